#pragma once

namespace corvane {

// Registration of the agent as an item started at login.
class LoginItems {
public:
    virtual ~LoginItems() = default;

    enum class Status { NotRegistered, Enabled, RequiresApproval, NotFound };
    virtual Status status() const = 0;
    // False when the platform refuses the change.
    virtual bool registerItem() = 0;
    virtual bool unregisterItem() = 0;
};

} // namespace corvane
