#include "agent/AgentDetail.h"

#include "core/ContractError.h"

namespace corvane::agent_detail {

std::string codeOf(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const ContractError& e) {
        return e.code();
    } catch (...) {
        return std::string(storageFailure);
    }
}

std::string causeOf(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const ContractError& e) {
        return e.code() == std::string_view(e.what()) ? std::string() : std::string(e.what());
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "an unknown error";
    }
}

JSON emptyObject() {
    return JSON(JSON::Object{});
}

JSON requestBody(const std::string& action, JSON params) {
    return JSON(JSON::Object{{"action", JSON(action)}, {"params", std::move(params)}});
}

} // namespace corvane::agent_detail
