#include "sim/SimInput.h"

#include "core/JSON.h"
#include "mac/MacInputEvents.h"
#include "sim/SimApplications.h"
#include "sim/SimEffects.h"
#include "sim/SimElementTree.h"
#include "sim/SimEventRecord.h"
#include "sim/SimSettings.h"

#include <QString>

namespace corvane {

namespace {

constexpr std::uint16_t lockKey = 12;         // Q, with Control and Command
constexpr std::uint16_t controlCenterKey = 8; // C, with the Globe/Fn flag
constexpr std::uint16_t selectAllKey = 0;
constexpr std::uint16_t backspaceKey = 51;
constexpr const char* controlCenterID = "com.apple.controlcenter";

JSON::Object keyDetails(std::uint16_t keyCode, std::uint64_t flags,
                        const std::optional<std::string>& text) {
    JSON::Object details{{"key_code", JSON(keyCode)}, {"flags", JSON(static_cast<double>(flags))}};
    if (text) {
        details["text"] = JSON(*text);
    }
    return details;
}

// The element hit, by token and (when it has one) by scenario id.
void noteTarget(JSON::Object& details, const SimElementTree& tree, std::uint64_t target) {
    details["element"] = JSON(static_cast<double>(target));
    if (const std::string& name = tree.element(target)->name; !name.empty()) {
        details["name"] = JSON(name);
    }
}

} // namespace

void SimInput::type(std::int32_t pid, std::uint16_t keyCode, std::uint64_t flags,
                    const std::optional<std::string>& text) {
    SimElementTree::Process* target = tree_.process(pid);
    if (target == nullptr) {
        return;
    }
    if (keyCode == selectAllKey && (flags & MacInputEvents::commandFlag) != 0) {
        target->allSelected = true;
        return;
    }
    SimElementTree::Element* focused = tree_.element(target->focusedElement);
    if (focused == nullptr || !SimElementTree::editable(*focused)) {
        target->allSelected = false;
        return;
    }
    PlatformValue::Dictionary& attributes = focused->attributes;
    auto current = attributes.find("AXValue");
    QString value = current != attributes.end() && current->second.string() != nullptr
                        ? QString::fromStdString(*current->second.string())
                        : QString();
    if (text && !text->empty()) {
        value = target->allSelected ? QString::fromStdString(*text)
                                    : value + QString::fromStdString(*text);
    } else if (keyCode == backspaceKey) {
        if (target->allSelected) {
            value.clear();
        } else if (!value.isEmpty()) {
            value.chop(value.size() >= 2 && value.at(value.size() - 1).isLowSurrogate() ? 2 : 1);
        }
    } else {
        target->allSelected = false;
        return;
    }
    target->allSelected = false;
    attributes.insert_or_assign("AXValue", PlatformValue(value.toStdString()));
}

void SimInput::keyToProcess(std::uint16_t keyCode, std::uint64_t flags,
                            const std::optional<std::string>& text, std::int32_t pid) {
    JSON::Object details = keyDetails(keyCode, flags, text);
    details["pid"] = JSON(pid);
    record_.record("key_to_process", std::move(details));
    type(pid, keyCode, flags, text);
}

void SimInput::keyToSession(std::uint16_t keyCode, std::uint64_t flags,
                            const std::optional<std::string>& text) {
    record_.record("key_to_session", keyDetails(keyCode, flags, text));
    const std::uint64_t lockFlags = MacInputEvents::commandFlag | MacInputEvents::controlFlag;
    if (keyCode == lockKey && (flags & lockFlags) == lockFlags) {
        settings_.setLocked(true);
        record_.record("screen_locked");
        return;
    }
    if (keyCode == controlCenterKey && (flags & MacInputEvents::secondaryFunctionFlag) != 0) {
        for (std::int32_t pid : apps_.pidsOf(controlCenterID)) {
            for (std::uint64_t window : tree_.process(pid)->windows) {
                tree_.element(window)->hidden = false;
            }
        }
        record_.record("control_center_opened");
        return;
    }
    type(apps_.frontmost(), keyCode, flags, text);
}

void SimInput::click(double x, double y, bool right, int count) {
    JSON::Object details{{"x", JSON(x)},
                         {"y", JSON(y)},
                         {"button", JSON(right ? "right" : "left")},
                         {"count", JSON(count)}};
    const std::optional<std::uint64_t> target = tree_.hit(QPointF(x, y), true);
    if (target) {
        noteTarget(details, tree_, *target);
    }
    record_.record("click", std::move(details));
    if (!target) {
        return;
    }
    if (SimElementTree::editable(*tree_.element(*target))) {
        tree_.focus(*target);
        return;
    }
    const std::string action = right ? "AXShowMenu" : "AXPress";
    for (int n = 0; n < count && tree_.live(*target); ++n) {
        effects_.press(*target, action);
    }
}

void SimInput::scroll(double x, double y, std::int32_t pixels) {
    JSON::Object details{{"x", JSON(x)}, {"y", JSON(y)}, {"pixels", JSON(pixels)}};
    if (std::optional<std::uint64_t> target = tree_.hit(QPointF(x, y), false)) {
        noteTarget(details, tree_, *target);
    }
    record_.record("scroll", std::move(details));
}

} // namespace corvane
