#include "actions/DesktopInteraction.h"

#include "actions/CharacterPrefix.h"
#include "actions/DesktopControl.h"
#include "actions/DesktopTaskGuard.h"
#include "actions/DesktopWindows.h"
#include "core/ContractError.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <cmath>

namespace corvane {

namespace {

bool editable(const std::optional<AXRoleTerm>& role) {
    return role == AXRole::TextField || role == AXRole::TextArea || role == AXRole::ComboBox;
}

bool scrollable(const std::optional<AXRoleTerm>& role) {
    return role == AXRole::ScrollArea || role == AXRole::WebArea;
}

std::string stringParam(const JSON& params, std::string_view key) {
    const std::string* value = params.stringMember(key);
    return value != nullptr ? *value : std::string();
}

// A text of at most maxTextCharacters characters (the empty one too), or absent.
std::optional<std::string> boundedText(const JSON& params) {
    const std::string* text = params.stringMember("text");
    if (text == nullptr || characterCount(*text, DesktopInteraction::maxTextCharacters) >
                               DesktopInteraction::maxTextCharacters) {
        return std::nullopt;
    }
    return *text;
}

void postText(Input& input, const std::string& text, std::int32_t pid) {
    if (!input.typeText(text, pid)) {
        throw ContractError("desktop_action_failed");
    }
}

bool frontmostIs(const Workspace& workspace, std::int32_t pid) {
    const std::optional<RunningApplication> front = workspace.frontmostApplication();
    return front && front->pid == pid;
}

} // namespace

std::optional<DesktopInteraction::Chord> DesktopInteraction::keyNamed(std::string_view name) {
    const auto found =
        std::find_if(keys.begin(), keys.end(), [&](const NamedKey& k) { return k.name == name; });
    return found != keys.end() ? std::optional(found->chord) : std::nullopt;
}

QPointF DesktopInteraction::clickPoint(const QSizeF& imageSize, const QRectF& frame, double x,
                                       double y) {
    return QPointF(frame.x() + x / imageSize.width() * frame.width(),
                   frame.y() + y / imageSize.height() * frame.height());
}

std::int32_t DesktopInteraction::scrollAmount(double visibleHeight, bool up) {
    const double amount = std::clamp(visibleHeight * 0.75, double(minScroll), double(maxScroll));
    const auto pixels = static_cast<std::int32_t>(amount);
    return up ? pixels : -pixels;
}

void DesktopInteraction::postKey(Input& input, Chord chord, std::int32_t pid) {
    if (!input.pressKey(chord.key, chord.modifiers, pid)) {
        throw ContractError("desktop_action_failed");
    }
}

QCoro::Task<JSON> DesktopInteraction::run(DesktopControl* control, JSON params) {
    Q_ASSERT(QCoreApplication::instance() == nullptr ||
             QThread::currentThread() == QCoreApplication::instance()->thread());
    if (control->observing_ || control->acting_) {
        throw ContractError("desktop_busy");
    }
    const DesktopTaskGuard guard(control->life_, control->acting_);
    const Platform platform = control->platform_;
    const std::uint64_t capturedEpoch = control->epoch_;

    const RunningApplication app = control->check(control->bundleID_);
    const DesktopSnapshot& snapshot = control->snapshot_;
    const std::string* snapshotID = params.stringMember("snapshot_id");
    if (snapshotID == nullptr || !snapshot.id || *snapshotID != *snapshot.id) {
        throw ContractError("desktop_snapshot_expired");
    }
    if (platform.clock.monotonicNow() - control->snapshotTakenAt_ >=
        DesktopControl::snapshotLifetime) {
        throw ContractError("desktop_snapshot_expired");
    }
    try {
        if (app.pid != control->pid_ || !frontmostIs(platform.workspace, control->pid_)) {
            throw ContractError("desktop_focus_changed");
        }
        control->confirmWindow(control->pid_);
    } catch (...) {
        control->invalidate();
        throw;
    }

    // From here on the snapshot is used up, whatever the outcome.
    try {
        co_await perform(control, guard, capturedEpoch, std::move(params));
    } catch (...) {
        if (guard.alive()) {
            control->invalidate();
        }
        throw;
    }
    guard.resumed();
    control->invalidate();
    co_return JSON(JSON::Object{});
}

QCoro::Task<void> DesktopInteraction::perform(DesktopControl* control,
                                              const DesktopTaskGuard& guard,
                                              std::uint64_t capturedEpoch, JSON params) {
    Accessibility& accessibility = control->platform_.accessibility;
    const AXElement application = accessibility.applicationElement(control->pid_);
    const std::optional<PlatformValue> focused =
        accessibility.attribute(application, AXAttribute::FocusedElement);
    if (const std::optional<AXElement> element = focused ? focused->element() : std::nullopt;
        element && DesktopWindows::secure(accessibility, *element)) {
        throw ContractError("desktop_protected_ui");
    }

    const std::string operation = stringParam(params, "operation");
    if (operation == "type_text") {
        typeText(*control, params);
    } else if (operation == "key") {
        key(*control, params);
    } else if (operation == "click") {
        click(*control, params);
    } else if (operation == "press" || operation == "type" || operation == "scroll") {
        const AXElement element = resolve(*control, params);
        if (operation == "press") {
            press(*control, element);
        } else if (operation == "type") {
            co_await type(control, guard, capturedEpoch, element, std::move(params));
        } else {
            scroll(*control, element, params);
        }
    } else {
        throw ContractError("invalid_params");
    }
}

void DesktopInteraction::typeText(DesktopControl& control, const JSON& params) {
    const std::optional<std::string> text = boundedText(params);
    if (!text || text->empty()) {
        throw ContractError("invalid_params");
    }
    postText(control.platform_.input, *text, control.pid_);
}

void DesktopInteraction::key(DesktopControl& control, const JSON& params) {
    const std::string* name = params.stringMember("key");
    const std::optional<Chord> chord = name != nullptr ? keyNamed(*name) : std::nullopt;
    if (!chord) {
        throw ContractError("invalid_params");
    }
    postKey(control.platform_.input, *chord, control.pid_);
}

void DesktopInteraction::click(DesktopControl& control, const JSON& params) {
    const Platform& platform = control.platform_;
    const DesktopSnapshot& snapshot = control.snapshot_;
    const std::optional<QRectF> frame =
        DesktopWindows::rect(platform.accessibility, *snapshot.window);
    // A missing or non-numeric coordinate is NaN, which no range check lets through. (Plain
    // doubles: GCC 12 takes optionals checked this way for maybe uninitialised.)
    const auto coordinate = [&](std::string_view name) {
        const JSON* value = params.find(name);
        return value != nullptr ? value->number().value_or(std::nan("")) : std::nan("");
    };
    const double x = coordinate("x");
    const double y = coordinate("y");
    if (!snapshot.imageSize || !frame || !(x >= 0 && x < snapshot.imageSize->width()) ||
        !(y >= 0 && y < snapshot.imageSize->height())) {
        throw ContractError("desktop_image_required");
    }
    if (!snapshot.imageBounds || !DesktopControl::sameBounds(*snapshot.imageBounds, *frame)) {
        throw ContractError("desktop_focus_changed");
    }
    const QPointF point = clickPoint(*snapshot.imageSize, *frame, x, y);
    const std::optional<AXElement> hit =
        platform.accessibility.elementAtPosition(point.x(), point.y());
    if (!hit) {
        throw ContractError("desktop_target_unavailable");
    }
    if (platform.accessibility.pid(*hit) != control.pid_ ||
        DesktopWindows::secure(platform.accessibility, *hit)) {
        throw ContractError("desktop_protected_ui");
    }
    const Input::MouseButton button = stringParam(params, "button") == "right"
                                          ? Input::MouseButton::Right
                                          : Input::MouseButton::Left;
    const JSON* countValue = params.find("click_count");
    const std::optional<double> count = countValue != nullptr ? countValue->number() : std::nullopt;
    // Two at most: a triple click would select a whole paragraph, more than was observed.
    const int clicks = count && std::trunc(*count) > 1 ? 2 : 1;
    if (!platform.input.click(point.x(), point.y(), button, clicks)) {
        throw ContractError("desktop_action_failed");
    }
}

AXElement DesktopInteraction::resolve(DesktopControl& control, const JSON& params) {
    const std::string* id = params.stringMember("element_id");
    if (id == nullptr) {
        throw ContractError("desktop_target_unavailable");
    }
    const auto found = control.snapshot_.nodes.find(*id);
    if (found == control.snapshot_.nodes.end()) {
        throw ContractError("desktop_target_unavailable");
    }
    const Accessibility& accessibility = control.platform_.accessibility;
    if (DesktopWindows::secure(accessibility, found->second) ||
        accessibility.pid(found->second) != control.pid_) {
        throw ContractError("desktop_target_unavailable");
    }
    return found->second;
}

void DesktopInteraction::press(DesktopControl& control, AXElement element) {
    if (!control.platform_.accessibility.perform(element, AXAction::Press)) {
        throw ContractError("desktop_action_failed");
    }
}

bool DesktopInteraction::isFocused(DesktopControl& control, AXElement element) {
    Accessibility& accessibility = control.platform_.accessibility;
    const std::optional<PlatformValue> focused = accessibility.attribute(
        accessibility.applicationElement(control.pid_), AXAttribute::FocusedElement);
    const std::optional<AXElement> current = focused ? focused->element() : std::nullopt;
    return current && *current == element;
}

QCoro::Task<void> DesktopInteraction::type(DesktopControl* control, const DesktopTaskGuard& guard,
                                           std::uint64_t capturedEpoch, AXElement element,
                                           JSON params) {
    const Platform platform = control->platform_;
    const std::optional<std::string> text = boundedText(params);
    if (!text || !editable(platform.accessibility.role(element))) {
        throw ContractError("desktop_target_not_editable");
    }
    platform.accessibility.setAttribute(element, AXAttribute::Focused, PlatformValue(true));
    if (!isFocused(*control, element)) {
        platform.accessibility.perform(element, AXAction::Press);
    }
    // An awaited wait rather than a blocking one: the main thread stays free meanwhile, and the
    // checks below see whatever changed.
    for (int checks = 0; checks < focusChecks && !isFocused(*control, element); ++checks) {
        co_await platform.clock.sleep(focusInterval);
        guard.resumed();
    }
    if (!isFocused(*control, element)) {
        throw ContractError("desktop_focus_changed");
    }
    if (control->epoch_ != capturedEpoch) {
        throw ContractError("desktop_permission_required");
    }
    control->check(control->bundleID_);
    if (!frontmostIs(platform.workspace, control->pid_)) {
        throw ContractError("desktop_focus_changed");
    }
    control->confirmWindow(control->pid_);

    postKey(platform.input, selectAll, control->pid_);
    if (text->empty()) {
        postKey(platform.input, {Input::Key::Backspace, {}}, control->pid_);
    } else {
        postText(platform.input, *text, control->pid_);
    }
}

void DesktopInteraction::scroll(DesktopControl& control, AXElement element, const JSON& params) {
    Accessibility& accessibility = control.platform_.accessibility;
    const bool up = stringParam(params, "direction") == "up";
    const std::optional<AXRoleTerm> role = accessibility.role(element);
    if (role != AXRole::WebArea &&
        accessibility.perform(element,
                              up ? AXAction::ScrollUpByPage : AXAction::ScrollDownByPage)) {
        return;
    }
    // The wheel: web areas take no page actions, and other areas may refuse them.
    const std::optional<QRectF> area = DesktopWindows::rect(accessibility, element);
    const std::optional<QRectF> window =
        DesktopWindows::rect(accessibility, *control.snapshot_.window);
    if (!scrollable(role) || !area || !window) {
        throw ContractError("desktop_action_failed");
    }
    const QRectF visible = area->intersected(*window);
    if (visible.isEmpty() || visible.width() <= 0 || visible.height() <= 0) {
        throw ContractError("desktop_target_unavailable");
    }
    const QPointF centre = visible.center();
    const std::optional<AXElement> hit = accessibility.elementAtPosition(centre.x(), centre.y());
    if (!hit || DesktopWindows::secure(accessibility, *hit)) {
        throw ContractError("desktop_protected_ui");
    }
    if (accessibility.pid(*hit) != control.pid_) {
        throw ContractError("desktop_focus_changed");
    }
    if (!control.platform_.input.scroll(centre.x(), centre.y(),
                                        scrollAmount(visible.height(), up))) {
        throw ContractError("desktop_action_failed");
    }
}

} // namespace corvane
