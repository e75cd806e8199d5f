#pragma once

#include "platform/AccessibilityVocabulary.h"

#include <atspi/atspi-constants.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// AT-SPI's roles and action names in the one accessibility vocabulary, each in one table. A role
// outside the table keeps AT-SPI's own name for it; an action outside it keeps the application's.
class AtspiVocabulary {
public:
    // `roleName` is AT-SPI's name of the role, used when the table has no row for it.
    static AXRoleTerm role(AtspiRole role, std::string_view roleName);
    // Windows by their kind and the password field; absent for every other role.
    static std::optional<AXSubrole> subrole(AtspiRole role);
    static AXActionTerm action(std::string_view name);
    // The index among `names` (an element's own action names, in its order) that performs
    // `action`: the most specific name the table has for it, else the first matching one.
    static std::optional<int> actionIndex(const std::vector<std::string>& names,
                                          const AXActionTerm& action);
};

} // namespace corvane
