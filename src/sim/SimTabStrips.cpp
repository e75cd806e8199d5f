#include "sim/SimTabStrips.h"

#include <algorithm>
#include <deque>
#include <string>

namespace corvane {

namespace {

constexpr std::string_view pinnedField = "isPinned=";

// The identifier with every "isPinned=" field of its "&"-separated list set to `pinned`.
std::string withPinnedField(const std::string& identifier, bool pinned) {
    const std::size_t query = identifier.find('?');
    if (query == std::string::npos) {
        return identifier;
    }
    std::string result = identifier.substr(0, query + 1);
    std::size_t start = query + 1;
    while (true) {
        const std::size_t end = identifier.find('&', start);
        const std::string piece = identifier.substr(start, end - start);
        result += piece.starts_with(pinnedField)
                      ? std::string(pinnedField) + (pinned ? "true" : "false")
                      : piece;
        if (end == std::string::npos) {
            return result;
        }
        result += '&';
        start = end + 1;
    }
}

} // namespace

bool SimTabStrips::isEffect(std::string_view kind) {
    return kind == "close_tab" || kind == "close_other_tabs" || kind == "pin" || kind == "unpin";
}

void SimTabStrips::readFields(const JSON& node, SimElementTree::Element& element) {
    const JSON* pinned = node.find("pinned");
    element.pinned = pinned != nullptr && pinned->isTrue();
    if (const JSON* onClose = node.find("on_close")) {
        element.onClose = *onClose;
    }
    if (const std::string* command = node.stringMember("enabled_for")) {
        element.enabledFor = *command;
    }
}

bool SimTabStrips::isTab(std::uint64_t token) const {
    const SimElementTree::Element* e = tree_.element(token);
    if (e == nullptr) {
        return false;
    }
    const std::string role = SimElementTree::role(*e);
    const SimElementTree::Element* parent = tree_.element(e->parent);
    return (role == "AXRadioButton" || role == "AXTab") && parent != nullptr &&
           SimElementTree::role(*parent) == "AXTabGroup";
}

bool SimTabStrips::selected(std::uint64_t tab) const {
    const SimElementTree::Element& e = *tree_.element(tab);
    auto value = e.attributes.find("AXValue");
    if (value == e.attributes.end()) {
        return false;
    }
    if (std::optional<bool> b = value->second.boolean()) {
        return *b;
    }
    return value->second.number().value_or(0.0) != 0.0;
}

std::vector<std::uint64_t> SimTabStrips::tabsOf(std::uint64_t strip) const {
    std::vector<std::uint64_t> tabs;
    if (const SimElementTree::Element* e = tree_.element(strip)) {
        std::copy_if(e->children.begin(), e->children.end(), std::back_inserter(tabs),
                     [this](std::uint64_t child) { return isTab(child); });
    }
    return tabs;
}

std::uint64_t SimTabStrips::stripFor(std::uint64_t target) const {
    const SimElementTree::Element* e = tree_.element(target);
    if (e == nullptr) {
        return 0;
    }
    if (isTab(target)) {
        return e->parent;
    }
    const std::string role = SimElementTree::role(*e);
    if (role == "AXTabGroup") {
        return target;
    }
    if (role != "AXWindow") {
        // A menu command acts on the front window of its application.
        const SimElementTree::Process* owner = tree_.process(e->pid);
        if (owner == nullptr) {
            return 0;
        }
        const std::uint64_t front = owner->mainWindow != 0      ? owner->mainWindow
                                    : owner->focusedWindow != 0 ? owner->focusedWindow
                                    : owner->windows.empty()    ? 0
                                                                : owner->windows.front();
        return front != 0 ? stripFor(front) : 0;
    }
    std::deque<std::uint64_t> queue(e->children.begin(), e->children.end());
    while (!queue.empty()) {
        const SimElementTree::Element& next = *tree_.element(queue.front());
        if (SimElementTree::role(next) == "AXTabGroup") {
            return queue.front();
        }
        queue.pop_front();
        queue.insert(queue.end(), next.children.begin(), next.children.end());
    }
    return 0;
}

void SimTabStrips::apply(std::string_view kind, std::uint64_t target, const RunEffects& run) {
    if (kind == "pin" || kind == "unpin") {
        if (isTab(target)) {
            pin(target, kind == "pin");
        }
        return;
    }
    const std::uint64_t strip = stripFor(target);
    if (strip == 0) {
        return;
    }
    const std::vector<std::uint64_t> tabs = tabsOf(strip);
    const auto chosen =
        isTab(target) ? std::find(tabs.begin(), tabs.end(), target)
                      : std::find_if(tabs.begin(), tabs.end(), [&](auto t) { return selected(t); });
    if (kind == "close_tab") {
        if (chosen != tabs.end()) {
            close(*chosen, run);
        }
        return;
    }
    for (std::uint64_t tab : tabs) {
        const bool kept = (chosen != tabs.end() && tab == *chosen) ||
                          tree_.element(tab) == nullptr || tree_.element(tab)->pinned;
        if (!kept) {
            close(tab, run);
        }
    }
}

void SimTabStrips::close(std::uint64_t tab, const RunEffects& run) {
    const SimElementTree::Element& e = *tree_.element(tab);
    if (e.onClose && !asking_.contains(tab)) {
        const JSON effects = *e.onClose; // they may remove the tab
        asking_.insert(tab);
        run(effects, tab);
        asking_.erase(tab);
        return;
    }
    const std::uint64_t strip = e.parent;
    std::vector<std::uint64_t> tabs = tabsOf(strip);
    const auto at =
        static_cast<std::size_t>(std::find(tabs.begin(), tabs.end(), tab) - tabs.begin());
    const bool wasSelected = selected(tab);
    const std::uint64_t window = tree_.windowOf(strip);
    tree_.remove(tab);
    tabs = tabsOf(strip);
    if (tabs.empty()) {
        // The last tab takes its window with it.
        if (window != 0) {
            tree_.remove(window);
        }
    } else if (wasSelected) {
        tree_.select(tabs[std::min(at, tabs.size() - 1)]);
    }
}

void SimTabStrips::pin(std::uint64_t tab, bool pinned) {
    SimElementTree::Element& e = *tree_.element(tab);
    e.pinned = pinned;
    auto identifier = e.attributes.find("AXIdentifier");
    if (identifier != e.attributes.end() && identifier->second.string() != nullptr) {
        identifier->second = PlatformValue(withPinnedField(*identifier->second.string(), pinned));
    }
}

std::optional<bool> SimTabStrips::enabled(std::uint64_t token) const {
    const SimElementTree::Element* e = tree_.element(token);
    if (e == nullptr || e->enabledFor.empty()) {
        return std::nullopt;
    }
    const std::vector<std::uint64_t> tabs = tabsOf(stripFor(token));
    if (e->enabledFor == "close_tab") {
        return std::any_of(tabs.begin(), tabs.end(), [&](auto t) { return selected(t); });
    }
    return std::any_of(tabs.begin(), tabs.end(),
                       [&](auto t) { return !selected(t) && !tree_.element(t)->pinned; });
}

} // namespace corvane
