#pragma once

#include "actions/DesktopSnapshot.h"
#include "actions/DesktopWindows.h"
#include "core/JSON.h"
#include "core/WorkerPool.h"
#include "platform/AXElement.h"
#include "platform/Platform.h"
#include "platform/RunningApplication.h"

#include <QRectF>
#include <qcoro/qcorotask.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifndef CORVANE_BUNDLE_ID
#error "CORVANE_BUNDLE_ID (this application's bundle identifier) must be defined by the build"
#endif

namespace corvane {

// Consent and admission for observing and operating other applications' windows. One instance,
// owned by the action executor, main thread only. Every observation and action starts with
// check() and repeats recheckTarget() at its checkpoints; the epoch moves on whenever consent,
// suspension or the lock state changes, and with it every snapshot taken before is dropped.
//
// An observation ("desktop_observe", DesktopObservation with WindowCapture for its image) hands
// out a snapshot; one action ("desktop_act", DesktopInteraction) uses it up. Both suspend (the
// waits for the window, the image capture and encoding, the focus wait of "type"), and while one
// runs the other is refused as busy. Their coroutines hold the control weakly: after every
// suspension they stop with "session_changed" when it is gone.
class DesktopControl {
public:
    // The user default holding desktop-wide consent (a bool).
    static constexpr std::string_view consentKey = "desktop-control-consent-v1";
    // How long a limited-time grant lasts.
    static constexpr std::chrono::seconds grantDuration{900};
    static constexpr std::size_t maxGrantedApps = 10;
    // How long a snapshot may be acted on.
    static constexpr std::chrono::seconds snapshotLifetime{30};
    // Applications never observed or operated, whatever the consent: the system's authentication
    // dialogs, the login window and lock screen, the password stores, and this agent itself.
    static constexpr std::array<std::string_view, 5> excludedBundleIDs{
        "com.apple.SecurityAgent", "com.apple.loginwindow", "com.apple.keychainaccess",
        "com.apple.Passwords", CORVANE_BUNDLE_ID};

    // `defaults` is where consent is kept; null means consent can be neither read nor stored.
    DesktopControl(const Platform& platform, UserDefaults* defaults);
    DesktopControl(const DesktopControl&) = delete;
    DesktopControl& operator=(const DesktopControl&) = delete;

    // Desktop-wide consent, after the person confirmed it. When the consent cannot be stored the
    // store's error is thrown and desktop-wide consent reads as off.
    void enableDesktop();
    // Withdraws consent and every grant and drops the snapshot ("desktop_stop", the pause
    // button, unpairing). Desktop control ends in memory in any case; when the withdrawal cannot be
    // stored, the store's error is thrown afterwards (the stored consent would come back at the
    // next start).
    void stop();
    // Drops the snapshot and fences off running work; consent and grants stay.
    void suspend();

    // The stored consent, unless a change of it could not be stored (then off).
    bool desktopWide() const;
    // Desktop-wide, or a grant whose time has not run out.
    bool active() const;

    static bool allowedBundle(std::string_view bundleID);
    // Limited-time mode for one application; "desktop_app_excluded" for an excluded one. (Not an
    // overload of grant(): a braced pair of texts would also make a std::string.)
    void grantApp(const std::string& bundleID);
    // Limited-time mode for 1 to 10 applications: ends desktop-wide consent, keeps the distinct
    // identifiers sorted, admits the first and runs for grantDuration. Throws
    // "desktop_app_excluded" for an empty or longer list or one naming an excluded application,
    // and then changes nothing. When the stop() it starts with cannot be stored, throws that
    // error with control stopped and nothing granted.
    void grant(const std::vector<std::string>& bundleIDs);

    // Asks the system to show its accessibility permission prompt.
    void requestAccessibility();

    // The admission check: the running application to work on (the given identifier, else the
    // frontmost application, else the one last admitted), or a thrown code. A screen that is not
    // unlocked also moves the epoch on and drops the snapshot.
    RunningApplication check(const std::optional<std::string>& bundleID);

    // The checkpoint of a running observation or action that captured `capturedEpoch` when it
    // started and works on `app`: the epoch is unchanged, `app` still passes check() and is
    // still the frontmost application. Returns the application as check() finds it now.
    // The window, title and frame comparisons belong with the observation code and follow
    // these steps there.
    RunningApplication recheckTarget(std::uint64_t capturedEpoch, const RunningApplication& app);

    // "desktop_observe": a bounded description of the front window's controls under a new
    // snapshot id, with an image of the window when asked. Throws the codes of check() and the
    // observation's own.
    QCoro::Task<JSON> observe(JSON params);
    // "desktop_act": one interaction with the window of the current snapshot, which it uses up.
    // Returns {}.
    QCoro::Task<JSON> act(JSON params);

    // Whether two window frames are the same for the purpose of a click: each of minimum x,
    // minimum y, width and height differs by less than 3 points.
    static bool sameBounds(const QRectF& a, const QRectF& b);

    std::uint64_t epoch() const noexcept { return epoch_; }
    const std::optional<std::string>& bundleID() const noexcept { return bundleID_; }
    const std::vector<std::string>& approvedApps() const noexcept { return approvedApps_; }
    // End of the limited-time grant on the monotonic clock (the distant past when none).
    Clock::MonotonicTime deadline() const noexcept { return deadline_; }
    bool observing() const noexcept { return observing_; }
    bool acting() const noexcept { return acting_; }
    const std::optional<std::string>& snapshotID() const noexcept { return snapshot_.id; }
    const DesktopSnapshot& snapshot() const noexcept { return snapshot_; }
    // Process of the application of the last observation.
    std::int32_t pid() const noexcept { return pid_; }

private:
    friend class DesktopObservation;
    friend class WindowCapture;
    friend class DesktopInteraction;

    // Drops the current snapshot; epoch, pid, snapshot time, admitted application and grant stay.
    void invalidate();
    // The snapshot's window is still the focused window of the application `pid` and carries the
    // observed title: "desktop_focus_changed" otherwise (or what safeWindow throws).
    void confirmWindow(std::int32_t pid);
    // The same over a front window already read.
    void confirmWindow(const DesktopWindows::FrontWindow& front);
    // The checks before a snapshot is handed out: the epoch, the frontmost application admitted
    // and still the one observed, its window and title unchanged. Any failure drops the snapshot.
    // `window` is the front window read just before (else it is read here).
    void finalChecks(std::uint64_t capturedEpoch,
                     const std::optional<DesktopWindows::FrontWindow>& window = std::nullopt);
    // Stores desktop-wide consent; throws the store's error.
    void storeConsent(bool consent);

    const Platform platform_;
    UserDefaults* const defaults_;

    std::optional<std::string> bundleID_;
    std::vector<std::string> approvedApps_;
    // Monotonic, so that a change of the wall clock neither extends nor cuts a grant.
    Clock::MonotonicTime deadline_ = Clock::MonotonicTime::min();
    std::uint64_t epoch_ = 0;
    bool observing_ = false;
    bool acting_ = false;
    // Storing a change of consent failed: desktop-wide consent is off whatever the store holds,
    // until a change is stored again.
    bool consentOffUntilStored_ = false;

    DesktopSnapshot snapshot_;
    // Overwritten by the next observation. The wall time gives "expires_at"; the age that an
    // action checks is taken on the monotonic clock, which a change of the wall clock cannot move.
    Clock::WallTime snapshotAt_ = Clock::WallTime::min();
    Clock::MonotonicTime snapshotTakenAt_ = Clock::MonotonicTime::min();
    std::int32_t pid_ = 0;

    // Expires with the control, for the coroutines suspended in it.
    std::shared_ptr<int> life_ = std::make_shared<int>(0);
    // Encodes window images off the main thread; waited for first when the control goes.
    WorkerPool encoder_;
};

} // namespace corvane
