#include "sim/SimAccessibility.h"

#include "sim/SimModel.h"

#include <algorithm>
#include <map>

namespace corvane {

namespace {

bool trusted(const SimParts& mac) {
    return mac.settings.flag({"accessibility", "trusted"});
}

PlatformValue elementList(const std::vector<std::uint64_t>& tokens) {
    PlatformValue::Array list;
    for (std::uint64_t t : tokens) {
        list.emplace_back(AXElement(t));
    }
    return PlatformValue(std::move(list));
}

// A reference attribute: absent when the element is not there to be read.
std::optional<PlatformValue> visible(const SimElementTree& tree, std::uint64_t token) {
    if (token == 0 || !tree.readable(token)) {
        return std::nullopt;
    }
    return PlatformValue(AXElement(token));
}

std::optional<PlatformValue> systemWideAttribute(const SimParts& mac, const std::string& name) {
    const SimElementTree::Process* front = mac.tree.process(mac.apps.frontmost());
    if (name == "AXRole") {
        return PlatformValue("AXSystemWide");
    }
    if (name == "AXFocusedApplication" && front != nullptr) {
        return PlatformValue(AXElement(front->element));
    }
    if (name == "AXFocusedUIElement" && front != nullptr) {
        return visible(mac.tree, front->focusedElement);
    }
    return std::nullopt;
}

std::optional<PlatformValue> applicationAttribute(const SimParts& mac, std::int32_t pid,
                                                  const std::string& name) {
    const SimElementTree::Process& owner = *mac.tree.process(pid);
    if (name == "AXRole") {
        return PlatformValue("AXApplication");
    }
    if (name == "AXTitle") {
        return PlatformValue(mac.apps.localizedName(*mac.apps.instance(pid)));
    }
    if (name == "AXChildren") {
        return elementList(mac.tree.visibleChildren(owner.element));
    }
    if (name == "AXWindows") {
        std::vector<std::uint64_t> windows;
        std::copy_if(owner.windows.begin(), owner.windows.end(), std::back_inserter(windows),
                     [&](std::uint64_t w) { return mac.tree.readable(w); });
        return elementList(windows);
    }
    const std::map<std::string, std::uint64_t, std::less<>> references = {
        {"AXFocusedWindow", owner.focusedWindow},
        {"AXMainWindow", owner.mainWindow},
        {"AXMenuBar", owner.menuBar},
        {"AXFocusedUIElement", owner.focusedElement}};
    if (auto reference = references.find(name); reference != references.end()) {
        return visible(mac.tree, reference->second);
    }
    if (name == "AXFrontmost") {
        return PlatformValue(pid == mac.apps.frontmost());
    }
    return std::nullopt;
}

} // namespace

std::optional<PlatformValue> SimAccessibility::read(const SimParts& mac, std::uint64_t token,
                                                    const std::string& name) {
    if (!trusted(mac)) {
        return std::nullopt;
    }
    if (token == mac.tree.systemWide()) {
        return systemWideAttribute(mac, name);
    }
    if (!mac.tree.readable(token)) {
        return std::nullopt;
    }
    const SimElementTree::Element& e = *mac.tree.element(token);
    if (e.application) {
        return applicationAttribute(mac, e.pid, name);
    }
    const SimElementTree::Process& owner = *mac.tree.process(e.pid);
    if (name == "AXChildren") {
        return elementList(mac.tree.visibleChildren(token));
    }
    if (name == "AXParent") {
        return visible(mac.tree, e.parent);
    }
    if (name == "AXWindow" || name == "AXTopLevelUIElement") {
        return visible(mac.tree, mac.tree.windowOf(token));
    }
    if (name == "AXFocused") {
        return PlatformValue(owner.focusedElement == token);
    }
    if (name == "AXMain" && SimElementTree::role(e) == "AXWindow") {
        return PlatformValue(owner.mainWindow == token);
    }
    if (name == "AXCloseButton" && e.closeButton) {
        std::optional<std::uint64_t> button = mac.tree.resolve(*e.closeButton, token);
        return button ? visible(mac.tree, *button) : std::nullopt;
    }
    if (name == "AXEnabled" && !e.enabledFor.empty()) {
        return PlatformValue(*mac.tabs.enabled(token));
    }
    auto found = e.attributes.find(name);
    if (found == e.attributes.end()) {
        return std::nullopt;
    }
    return found->second;
}

bool SimAccessibility::isTrusted() const {
    return model_.flag({"accessibility", "trusted"});
}

void SimAccessibility::requestTrust() {
    model_.with([](SimParts& mac) {
        mac.record.record("accessibility_prompt");
        if (mac.settings.flag({"accessibility", "grant_on_request"})) {
            mac.settings.put({"accessibility", "trusted"}, JSON(true));
        }
    });
}

AXElement SimAccessibility::applicationElement(std::int32_t pid) {
    return AXElement(
        model_.with([pid](SimParts& mac) { return mac.tree.applicationElement(pid); }));
}

AXElement SimAccessibility::systemWideElement() {
    return AXElement(model_.with([](SimParts& mac) { return mac.tree.systemWide(); }));
}

void SimAccessibility::setMessagingTimeout(AXElement element, std::chrono::milliseconds timeout) {
    model_.with([&](SimParts& mac) { mac.tree.setMessagingTimeout(element.token(), timeout); });
}

std::optional<PlatformValue> SimAccessibility::attribute(AXElement element,
                                                         const std::string& name) const {
    return model_.with([&](SimParts& mac) {
        std::optional<PlatformValue> value = read(mac, element.token(), name);
        if (trusted(mac)) {
            mac.windows.read(element.token());
        }
        return value;
    });
}

std::optional<std::vector<std::string>> SimAccessibility::actionNames(AXElement element) const {
    return model_.with([&](SimParts& mac) -> std::optional<std::vector<std::string>> {
        if (!trusted(mac) || !mac.tree.readable(element.token())) {
            return std::nullopt;
        }
        const SimElementTree::Element& e = *mac.tree.element(element.token());
        std::vector<std::string> names;
        for (const SimElementTree::Action& action : e.actions) {
            names.push_back(action.name);
        }
        if (SimElementTree::role(e) == "AXWindow" &&
            std::find(names.begin(), names.end(), "AXRaise") == names.end()) {
            names.push_back("AXRaise");
        }
        mac.windows.read(element.token());
        return names;
    });
}

std::optional<std::string> SimAccessibility::actionDescription(AXElement element,
                                                               const std::string& action) const {
    static const std::map<std::string, std::string, std::less<>> standard = {
        {"AXPress", "press"},         {"AXRaise", "raise"},        {"AXCancel", "cancel"},
        {"AXConfirm", "confirm"},     {"AXShowMenu", "show menu"}, {"AXIncrement", "increment"},
        {"AXDecrement", "decrement"}, {"AXPick", "pick"}};
    return model_.with([&](SimParts& mac) -> std::optional<std::string> {
        if (!trusted(mac) || !mac.tree.readable(element.token())) {
            return std::nullopt;
        }
        const SimElementTree::Element& e = *mac.tree.element(element.token());
        for (const SimElementTree::Action& a : e.actions) {
            if (a.name == action) {
                if (a.description) {
                    return a.description;
                }
                auto known = standard.find(action);
                return known != standard.end() ? known->second : action;
            }
        }
        if (action == "AXRaise" && SimElementTree::role(e) == "AXWindow") {
            return std::string("raise");
        }
        return std::nullopt;
    });
}

std::optional<std::int32_t> SimAccessibility::pid(AXElement element) const {
    return model_.with([&](SimParts& mac) -> std::optional<std::int32_t> {
        const SimElementTree::Element* e = mac.tree.element(element.token());
        return e != nullptr ? std::optional(e->pid) : std::nullopt;
    });
}

bool SimAccessibility::performAction(AXElement element, const std::string& action) {
    return model_.with([&](SimParts& mac) { return mac.effects.perform(element.token(), action); });
}

bool SimAccessibility::setAttribute(AXElement element, const std::string& name,
                                    const PlatformValue& value) {
    return model_.with(
        [&](SimParts& mac) { return mac.effects.write(element.token(), name, value); });
}

std::optional<AXElement> SimAccessibility::elementAtPosition(double x, double y) const {
    return model_.with([&](SimParts& mac) -> std::optional<AXElement> {
        if (!trusted(mac)) {
            return std::nullopt;
        }
        std::optional<std::uint64_t> hit = mac.tree.hit(QPointF(x, y), true);
        return hit ? std::optional(AXElement(*hit)) : std::nullopt;
    });
}

} // namespace corvane
