#pragma once

#include "platform/LoginItems.h"

namespace corvane {

// No login item on this desktop yet: it reads as not found and refuses changes.
class AbsentLoginItems final : public LoginItems {
public:
    Status status() const override { return Status::NotFound; }
    bool registerItem() override { return false; }
    bool unregisterItem() override { return false; }
};

} // namespace corvane
