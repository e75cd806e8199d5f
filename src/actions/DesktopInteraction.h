#pragma once

#include "core/JSON.h"
#include "platform/AXElement.h"
#include "platform/Accessibility.h"
#include "platform/Input.h"

#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <qcoro/qcorotask.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane {

class DesktopControl;
class DesktopTaskGuard;

// "desktop_act": one interaction with the window of the current snapshot (press a control,
// replace a field's text, type into the focused element, send a key, scroll, click a point of the
// observation image). Accepted only against a snapshot younger than 30 seconds while the same
// application, window and title are in front; every accepted action uses the snapshot up.
// Nothing is ever done to a password field, to another process's element, or while a password
// field has keyboard focus.
class DesktopInteraction {
public:
    // Texts typed, in characters.
    static constexpr std::size_t maxTextCharacters = 2000;
    // "type" waits up to 10 × 20 ms for the field to take focus.
    static constexpr int focusChecks = 10;
    static constexpr std::chrono::milliseconds focusInterval{20};
    // Scroll-wheel amounts in pixels, from three quarters of the visible height.
    static constexpr std::int32_t minScroll = 100;
    static constexpr std::int32_t maxScroll = 600;

    struct Chord {
        Input::Key key;
        Input::Modifiers modifiers;
        friend bool operator==(const Chord&, const Chord&) = default;
    };
    static constexpr Input::Modifiers command{.command = true};
    static constexpr Chord selectAll{Input::Key::A, command};
    struct NamedKey {
        std::string_view name;
        Chord chord;
    };
    // The keys "key" may send, by name.
    static constexpr std::array<NamedKey, 14> keys{{{"return", {Input::Key::Return, {}}},
                                                    {"tab", {Input::Key::Tab, {}}},
                                                    {"escape", {Input::Key::Escape, {}}},
                                                    {"up", {Input::Key::Up, {}}},
                                                    {"down", {Input::Key::Down, {}}},
                                                    {"left", {Input::Key::Left, {}}},
                                                    {"right", {Input::Key::Right, {}}},
                                                    {"backspace", {Input::Key::Backspace, {}}},
                                                    {"space", {Input::Key::Space, {}}},
                                                    {"select_all", selectAll},
                                                    {"home", {Input::Key::Home, {}}},
                                                    {"end", {Input::Key::End, {}}},
                                                    {"page_up", {Input::Key::PageUp, {}}},
                                                    {"page_down", {Input::Key::PageDown, {}}}}};
    static std::optional<Chord> keyNamed(std::string_view name);

    // A position on the observation image (pixels from its top left) as a screen point, given
    // the image's size and the window frame it shows.
    static QPointF clickPoint(const QSizeF& imageSize, const QRectF& frame, double x, double y);
    // The wheel amount for a visible height in points: three quarters of it, at least minScroll
    // and at most maxScroll whole pixels; positive scrolls up.
    static std::int32_t scrollAmount(double visibleHeight, bool up);
    // A key-down and key-up pair to the process; "desktop_action_failed" when the events cannot
    // be made.
    static void postKey(Input& input, Chord chord, std::int32_t pid);

    // The whole action on `control` (main thread); returns {}.
    static QCoro::Task<JSON> run(DesktopControl* control, JSON params);

private:
    // Steps after admission, each throwing its code; the caller drops the snapshot afterwards.
    static QCoro::Task<void> perform(DesktopControl* control, const DesktopTaskGuard& guard,
                                     std::uint64_t capturedEpoch, JSON params);
    static void typeText(DesktopControl& control, const JSON& params);
    static void key(DesktopControl& control, const JSON& params);
    static QCoro::Task<void> click(DesktopControl* control, const DesktopTaskGuard& guard,
                                   JSON params);
    // The snapshot's element named by "element_id"; "desktop_target_unavailable" when there is
    // none. Its checks against the application come with the operation's own reads.
    static AXElement resolve(DesktopControl& control, const JSON& params);
    // "desktop_target_unavailable" for a password field or another process's element.
    static void checkTarget(const Accessibility& accessibility, AXElement element,
                            std::int32_t pid);
    static QCoro::Task<void> press(DesktopControl* control, const DesktopTaskGuard& guard,
                                   AXElement element);
    static QCoro::Task<void> type(DesktopControl* control, const DesktopTaskGuard& guard,
                                  std::uint64_t capturedEpoch, AXElement element, JSON params);
    static QCoro::Task<void> scroll(DesktopControl* control, const DesktopTaskGuard& guard,
                                    AXElement element, JSON params);
    static QCoro::Task<bool> isFocused(Accessibility* accessibility, std::int32_t pid,
                                       AXElement element);
};

} // namespace corvane
