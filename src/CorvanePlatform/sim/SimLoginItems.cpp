#include "CorvanePlatform/sim/SimLoginItems.h"

#include "CorvanePlatform/sim/SimModel.h"

namespace corvane {

LoginItems::Status SimLoginItems::status() const {
    const std::string status = model_.text({"login_item", "status"});
    if (status == "enabled") {
        return Status::Enabled;
    }
    if (status == "requires_approval") {
        return Status::RequiresApproval;
    }
    if (status == "not_found") {
        return Status::NotFound;
    }
    return Status::NotRegistered;
}

bool SimLoginItems::change(const char* operation, const char* status) {
    auto guard = model_.lock();
    const bool accepted = !model_.flag({"login_item", "refuse_changes"});
    model_.record("login_item", {{"operation", JSON(operation)}, {"accepted", JSON(accepted)}});
    if (accepted) {
        model_.put({"login_item", "status"}, JSON(status));
    }
    return accepted;
}

bool SimLoginItems::registerItem() {
    return change("register", model_.text({"login_item", "on_register"}).c_str());
}

bool SimLoginItems::unregisterItem() {
    return change("unregister", "not_registered");
}

} // namespace corvane
