#include "sim/SimLoginItems.h"

#include "sim/SimModel.h"

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

bool SimLoginItems::change(const char* operation, bool registering) {
    return model_.with([&](SimParts& mac) {
        const bool accepted = !mac.settings.flag({"login_item", "refuse_changes"});
        mac.record.record("login_item",
                          {{"operation", JSON(operation)}, {"accepted", JSON(accepted)}});
        if (accepted) {
            mac.settings.put({"login_item", "status"},
                             registering ? mac.settings.get({"login_item", "on_register"})
                                         : JSON("not_registered"));
        }
        return accepted;
    });
}

bool SimLoginItems::registerItem() {
    return change("register", true);
}

bool SimLoginItems::unregisterItem() {
    return change("unregister", false);
}

} // namespace corvane
