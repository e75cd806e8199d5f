#pragma once

#include "core/JSON.h"
#include "platform/PlatformValue.h"

#include <cstdint>
#include <string>

namespace corvane {

class SimApplications;
class SimElementTree;
class SimEventRecord;
class SimSettings;
class SimTabStrips;

// What acting on the element trees does: the effects notation ("does") of scenario actions, of
// quit reactions and of the control channel, performed accessibility actions and attribute
// writes. An effect may reach beyond the tree: "quit" ends the owning application, "lock_screen"
// locks the screen. The browser tab effects are SimTabStrips'.
class SimEffects {
public:
    SimEffects(SimElementTree& tree, SimTabStrips& tabs, SimApplications& apps,
               SimSettings& settings, SimEventRecord& record)
        : tree_(tree)
        , tabs_(tabs)
        , apps_(apps)
        , settings_(settings)
        , record_(record) {}

    // Runs the effects in order; references are resolved against `self` (0 for none). An effect
    // whose target is gone does nothing; after "quit" nothing more runs.
    void run(const JSON& effects, std::uint64_t self);
    // An accessibility action, recorded: false, and nothing done, without trust, on an element
    // that cannot be read, or for an action it does not offer or that fails. A window always
    // offers "AXRaise".
    bool perform(std::uint64_t token, const std::string& action);
    // Runs the element's own action as a pointer press does (no trust needed, nothing recorded);
    // false when it offers no such action that works.
    bool press(std::uint64_t token, const std::string& action);
    // An accessibility attribute write, recorded: "AXFocused", "AXValue" where settable, and a
    // window's "AXPosition", "AXSize", "AXMinimized" and "AXMain".
    bool write(std::uint64_t token, const std::string& name, const PlatformValue& value);

private:
    void removeTabs(std::uint64_t strip, bool selected);

    SimElementTree& tree_;
    SimTabStrips& tabs_;
    SimApplications& apps_;
    SimSettings& settings_;
    SimEventRecord& record_;
};

} // namespace corvane
