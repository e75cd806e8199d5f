#pragma once

#include "platform/LoginItems.h"

namespace corvane {

class SimModel;

// The login-item status of the scenario; registering moves it to "on_register" unless changes are
// refused.
class SimLoginItems final : public LoginItems {
public:
    explicit SimLoginItems(SimModel& model)
        : model_(model) {}

    Status status() const override;
    bool registerItem() override;
    bool unregisterItem() override;

private:
    bool change(const char* operation, bool registering);

    SimModel& model_;
};

} // namespace corvane
