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
    const DesktopWindows::FrontWindow front =
        co_await DesktopWindows::awaitFrontWindow(&platform.accessibility, control->pid_);
    guard.resumed();
    if (control->epoch_ != capturedEpoch) {
        throw ContractError("desktop_permission_required");
    }
    try {
        if (app.pid != control->pid_ || !frontmostIs(platform.workspace, control->pid_)) {
            throw ContractError("desktop_focus_changed");
        }
        control->confirmWindow(front);
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
    Accessibility* accessibility = &control->platform_.accessibility;
    bool secureFocus = false;
    co_await accessibility->batch([accessibility, &secureFocus, pid = control->pid_] {
        const AXElement application = accessibility->applicationElement(pid);
        const std::optional<PlatformValue> focused =
            accessibility->attribute(application, AXAttribute::FocusedElement);
        const std::optional<AXElement> element = focused ? focused->element() : std::nullopt;
        secureFocus = element && DesktopWindows::secure(*accessibility, *element);
    });
    guard.resumed();
    if (secureFocus) {
        throw ContractError("desktop_protected_ui");
    }

    const std::string operation = stringParam(params, "operation");
    if (operation == "type_text") {
        typeText(*control, params);
    } else if (operation == "key") {
        key(*control, params);
    } else if (operation == "click") {
        co_await click(control, guard, std::move(params));
    } else if (operation == "press" || operation == "type" || operation == "scroll") {
        const AXElement element = resolve(*control, params);
        if (operation == "press") {
            co_await press(control, guard, element);
        } else if (operation == "type") {
            co_await type(control, guard, capturedEpoch, element, std::move(params));
        } else {
            co_await scroll(control, guard, element, std::move(params));
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

QCoro::Task<void> DesktopInteraction::click(DesktopControl* control, const DesktopTaskGuard& guard,
                                            JSON params) {
    const Platform platform = control->platform_;
    Accessibility* accessibility = &platform.accessibility;
    // Copies: the snapshot may be dropped while the reads run.
    const DesktopSnapshot snapshot = control->snapshot_;
    const std::int32_t pid = control->pid_;
    std::optional<QRectF> frame;
    co_await accessibility->batch([accessibility, &frame, window = *snapshot.window] {
        frame = DesktopWindows::rect(*accessibility, window);
    });
    guard.resumed();
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
    co_await accessibility->batch([accessibility, point, pid] {
        const std::optional<AXElement> hit = accessibility->elementAtPosition(point.x(), point.y());
        if (!hit) {
            throw ContractError("desktop_target_unavailable");
        }
        if (accessibility->pid(*hit) != pid || DesktopWindows::secure(*accessibility, *hit)) {
            throw ContractError("desktop_protected_ui");
        }
    });
    guard.resumed();
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
    return found->second;
}

void DesktopInteraction::checkTarget(const Accessibility& accessibility, AXElement element,
                                     std::int32_t pid) {
    if (DesktopWindows::secure(accessibility, element) || accessibility.pid(element) != pid) {
        throw ContractError("desktop_target_unavailable");
    }
}

QCoro::Task<void> DesktopInteraction::press(DesktopControl* control, const DesktopTaskGuard& guard,
                                            AXElement element) {
    Accessibility* accessibility = &control->platform_.accessibility;
    co_await accessibility->batch([accessibility, element, pid = control->pid_] {
        checkTarget(*accessibility, element, pid);
        if (!accessibility->perform(element, AXAction::Press)) {
            throw ContractError("desktop_action_failed");
        }
    });
    guard.resumed();
}

QCoro::Task<bool> DesktopInteraction::isFocused(Accessibility* accessibility, std::int32_t pid,
                                                AXElement element) {
    bool focusedNow = false;
    co_await accessibility->batch([accessibility, pid, element, &focusedNow] {
        const std::optional<PlatformValue> focused = accessibility->attribute(
            accessibility->applicationElement(pid), AXAttribute::FocusedElement);
        const std::optional<AXElement> current = focused ? focused->element() : std::nullopt;
        focusedNow = current && *current == element;
    });
    co_return focusedNow;
}

QCoro::Task<void> DesktopInteraction::type(DesktopControl* control, const DesktopTaskGuard& guard,
                                           std::uint64_t capturedEpoch, AXElement element,
                                           JSON params) {
    const Platform platform = control->platform_;
    Accessibility* accessibility = &platform.accessibility;
    const std::int32_t pid = control->pid_;
    const std::optional<std::string> text = boundedText(params);
    bool focused = false;
    co_await accessibility->batch([accessibility, element, pid, &text, &focused] {
        checkTarget(*accessibility, element, pid);
        if (!text || !editable(accessibility->role(element))) {
            throw ContractError("desktop_target_not_editable");
        }
        accessibility->setAttribute(element, AXAttribute::Focused, PlatformValue(true));
        const std::optional<PlatformValue> now = accessibility->attribute(
            accessibility->applicationElement(pid), AXAttribute::FocusedElement);
        focused = now && now->element() == element;
        if (!focused) {
            accessibility->perform(element, AXAction::Press);
        }
    });
    guard.resumed();
    // An awaited wait rather than a blocking one: the main thread stays free meanwhile, and the
    // checks below see whatever changed.
    focused = co_await isFocused(accessibility, pid, element);
    guard.resumed();
    for (int checks = 0; checks < focusChecks && !focused; ++checks) {
        co_await platform.clock.sleep(focusInterval);
        guard.resumed();
        focused = co_await isFocused(accessibility, pid, element);
        guard.resumed();
    }
    if (!focused) {
        throw ContractError("desktop_focus_changed");
    }
    const DesktopWindows::FrontWindow front =
        co_await DesktopWindows::awaitFrontWindow(accessibility, pid);
    guard.resumed();
    if (control->epoch_ != capturedEpoch) {
        throw ContractError("desktop_permission_required");
    }
    control->check(control->bundleID_);
    if (!frontmostIs(platform.workspace, control->pid_)) {
        throw ContractError("desktop_focus_changed");
    }
    control->confirmWindow(front);

    postKey(platform.input, selectAll, control->pid_);
    if (text->empty()) {
        postKey(platform.input, {Input::Key::Backspace, {}}, control->pid_);
    } else {
        postText(platform.input, *text, control->pid_);
    }
}

QCoro::Task<void> DesktopInteraction::scroll(DesktopControl* control, const DesktopTaskGuard& guard,
                                             AXElement element, JSON params) {
    const Platform platform = control->platform_;
    Accessibility* accessibility = &platform.accessibility;
    const bool up = stringParam(params, "direction") == "up";
    // Where the wheel turns, when the area takes no page action.
    std::optional<QPointF> wheelAt;
    double visibleHeight = 0;
    co_await accessibility->batch([accessibility, element, up, pid = control->pid_,
                                   window = *control->snapshot_.window, &wheelAt, &visibleHeight] {
        checkTarget(*accessibility, element, pid);
        const std::optional<AXRoleTerm> role = accessibility->role(element);
        if (role != AXRole::WebArea &&
            accessibility->perform(element,
                                   up ? AXAction::ScrollUpByPage : AXAction::ScrollDownByPage)) {
            return;
        }
        // The wheel: web areas take no page actions, and other areas may refuse them.
        const std::optional<QRectF> area = DesktopWindows::rect(*accessibility, element);
        const std::optional<QRectF> frame = DesktopWindows::rect(*accessibility, window);
        if (!scrollable(role) || !area || !frame) {
            throw ContractError("desktop_action_failed");
        }
        const QRectF visible = area->intersected(*frame);
        if (visible.isEmpty() || visible.width() <= 0 || visible.height() <= 0) {
            throw ContractError("desktop_target_unavailable");
        }
        const QPointF centre = visible.center();
        const std::optional<AXElement> hit =
            accessibility->elementAtPosition(centre.x(), centre.y());
        if (!hit || DesktopWindows::secure(*accessibility, *hit)) {
            throw ContractError("desktop_protected_ui");
        }
        if (accessibility->pid(*hit) != pid) {
            throw ContractError("desktop_focus_changed");
        }
        wheelAt = centre;
        visibleHeight = visible.height();
    });
    guard.resumed();
    if (wheelAt &&
        !platform.input.scroll(wheelAt->x(), wheelAt->y(), scrollAmount(visibleHeight, up))) {
        throw ContractError("desktop_action_failed");
    }
}

} // namespace corvane
