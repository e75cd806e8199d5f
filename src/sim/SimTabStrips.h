#pragma once

#include "core/JSON.h"
#include "sim/SimElementTree.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string_view>

namespace corvane {

// Browser tab strips as a browser keeps them. A strip is an "AXTabGroup"; its tabs are the
// children with role "AXRadioButton" or "AXTab", the selected one having "AXValue" true (or 1).
//
// Closing a tab removes it, hands the selection to its right neighbour (else its left one) when
// it was selected, and closes the window with the strip's last tab. A tab with "on_close" effects
// does not close: those run instead (a "Leave site?" sheet, or nothing for a tab that stays).
// Closing the other tabs keeps the pinned ones. The close commands of a browser's menus act on
// the front (main) window of their application, and a menu item's "AXEnabled" can follow what
// its command would close there ("enabled_for").
class SimTabStrips {
public:
    // Runs effects (the "on_close" of a tab that is asked to close) with the tab as "self".
    using RunEffects = std::function<void(const JSON& effects, std::uint64_t self)>;

    explicit SimTabStrips(SimElementTree& tree)
        : tree_(tree) {}

    // The effects this piece adds: "close_tab", "close_other_tabs", "pin", "unpin".
    static bool isEffect(std::string_view kind);
    // The element fields it reads from a checked template: "pinned", "on_close", "enabled_for".
    static void readFields(const JSON& node, SimElementTree::Element& element);

    // Runs one of its effects on `target`: for the close commands a tab (that one, or the others
    // of its strip), a strip (its selected tab), a window (its first strip) or any other element
    // (its application's main window); for "pin" and "unpin" a tab, whose identifier's
    // "isPinned=" field follows.
    void apply(std::string_view kind, std::uint64_t target, const RunEffects& run);

    // "AXEnabled" of a menu item with "enabled_for": whether its command would close a tab of the
    // front window now. Absent for any other element.
    std::optional<bool> enabled(std::uint64_t token) const;

private:
    std::uint64_t stripFor(std::uint64_t target) const;
    std::vector<std::uint64_t> tabsOf(std::uint64_t strip) const;
    bool isTab(std::uint64_t token) const;
    bool selected(std::uint64_t tab) const;
    void close(std::uint64_t tab, const RunEffects& run);
    void pin(std::uint64_t tab, bool pinned);

    SimElementTree& tree_;
    // Tabs whose "on_close" effects are running: a close they ask for goes through.
    std::set<std::uint64_t> asking_;
};

} // namespace corvane
