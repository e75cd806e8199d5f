#include "actions/DesktopControl.h"

#include "actions/DesktopInteraction.h"
#include "actions/DesktopObservation.h"
#include "actions/DesktopWindows.h"
#include "core/ContractError.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <cmath>

namespace corvane {

namespace {

void assertMainThread() {
    Q_ASSERT(QCoreApplication::instance() == nullptr ||
             QThread::currentThread() == QCoreApplication::instance()->thread());
}

bool contains(const std::vector<std::string>& list, std::string_view value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

} // namespace

DesktopControl::DesktopControl(const Platform& platform, UserDefaults* defaults)
    : platform_(platform)
    , defaults_(defaults) {}

void DesktopControl::enableDesktop() {
    ++epoch_;
    invalidate();
    storeConsent(true);
}

void DesktopControl::stop() {
    ++epoch_;
    bundleID_.reset();
    approvedApps_.clear();
    deadline_ = Clock::MonotonicTime::min();
    invalidate();
    storeConsent(false);
}

void DesktopControl::storeConsent(bool consent) {
    if (defaults_ == nullptr) {
        return;
    }
    // Whatever the store holds after a failure (the old value, or the new one when only a later
    // step failed), consent stays off in memory: a failed withdrawal never leaves control on, and
    // consent that may not come back at the next start is not shown as on.
    consentOffUntilStored_ = true;
    defaults_->setBool(std::string(consentKey), consent);
    consentOffUntilStored_ = false;
}

void DesktopControl::suspend() {
    ++epoch_;
    invalidate();
}

bool DesktopControl::desktopWide() const {
    return defaults_ != nullptr && !consentOffUntilStored_ &&
           defaults_->boolValue(std::string(consentKey)) == true;
}

bool DesktopControl::active() const {
    return desktopWide() || (bundleID_ && deadline_ > platform_.clock.monotonicNow());
}

bool DesktopControl::allowedBundle(std::string_view bundleID) {
    return std::find(excludedBundleIDs.begin(), excludedBundleIDs.end(), bundleID) ==
           excludedBundleIDs.end();
}

void DesktopControl::grantApp(const std::string& bundleID) {
    if (!allowedBundle(bundleID)) {
        throw ContractError("desktop_app_excluded");
    }
    grant(std::vector<std::string>{bundleID});
}

void DesktopControl::grant(const std::vector<std::string>& bundleIDs) {
    assertMainThread();
    if (bundleIDs.empty() || bundleIDs.size() > maxGrantedApps) {
        throw ContractError("desktop_app_excluded");
    }
    if (!std::all_of(bundleIDs.begin(), bundleIDs.end(),
                     [](const std::string& id) { return allowedBundle(id); })) {
        throw ContractError("desktop_app_excluded");
    }
    stop();
    std::vector<std::string> approved = bundleIDs;
    std::sort(approved.begin(), approved.end());
    approved.erase(std::unique(approved.begin(), approved.end()), approved.end());
    approvedApps_ = std::move(approved);
    bundleID_ = approvedApps_.front();
    deadline_ = platform_.clock.monotonicNow() + grantDuration;
}

void DesktopControl::requestAccessibility() {
    platform_.accessibility.requestTrust();
}

RunningApplication DesktopControl::check(const std::optional<std::string>& bundleID) {
    assertMainThread();
    if (!active()) {
        throw ContractError("desktop_permission_required");
    }
    std::optional<std::string> target = bundleID;
    if (!target) {
        if (const auto front = platform_.workspace.frontmostApplication()) {
            target = front->bundleID;
        }
    }
    if (!target) {
        target = bundleID_;
    }
    if (!target) {
        throw ContractError("desktop_app_not_running");
    }
    if (!allowedBundle(*target)) {
        throw ContractError("desktop_app_excluded");
    }
    if (!desktopWide() && !contains(approvedApps_, *target)) {
        throw ContractError("desktop_app_not_allowed");
    }
    bundleID_ = *target;
    if (platform_.sessionLock.state() != ScreenState::Unlocked) {
        ++epoch_;
        invalidate();
        throw ContractError("device_locked");
    }
    if (!platform_.accessibility.isTrusted()) {
        throw ContractError("accessibility_permission_required");
    }
    for (const RunningApplication& app : platform_.workspace.runningApplications()) {
        if (app.bundleID == *target) {
            return app;
        }
    }
    throw ContractError("desktop_app_not_running");
}

RunningApplication DesktopControl::recheckTarget(std::uint64_t capturedEpoch,
                                                 const RunningApplication& app) {
    if (epoch_ != capturedEpoch) {
        throw ContractError("desktop_permission_required");
    }
    if (!app.bundleID) {
        // Only an application that passed check() can be a target, and that one had an
        // identifier.
        throw ContractError("desktop_app_not_running");
    }
    RunningApplication current = check(app.bundleID);
    const std::optional<RunningApplication> front = platform_.workspace.frontmostApplication();
    if (!front || front->pid != app.pid) {
        throw ContractError("desktop_focus_changed");
    }
    return current;
}

bool DesktopControl::sameBounds(const QRectF& a, const QRectF& b) {
    const QRectF na = a.normalized();
    const QRectF nb = b.normalized();
    constexpr double tolerance = 3.0;
    return std::abs(na.x() - nb.x()) < tolerance && std::abs(na.y() - nb.y()) < tolerance &&
           std::abs(na.width() - nb.width()) < tolerance &&
           std::abs(na.height() - nb.height()) < tolerance;
}

void DesktopControl::invalidate() {
    snapshot_ = DesktopSnapshot{};
}

void DesktopControl::confirmWindow(std::int32_t pid) {
    confirmWindow(DesktopWindows::frontWindow(platform_.accessibility, pid));
}

void DesktopControl::confirmWindow(const DesktopWindows::FrontWindow& front) {
    if (front.error) {
        std::rethrow_exception(front.error);
    }
    if (!snapshot_.window || front.window != *snapshot_.window || !snapshot_.observedTitle ||
        front.title != *snapshot_.observedTitle) {
        throw ContractError("desktop_focus_changed");
    }
}

void DesktopControl::finalChecks(std::uint64_t capturedEpoch,
                                 const std::optional<DesktopWindows::FrontWindow>& window) {
    try {
        if (epoch_ != capturedEpoch) {
            throw ContractError("desktop_permission_required");
        }
        check(std::nullopt);
        const std::optional<RunningApplication> front = platform_.workspace.frontmostApplication();
        if (!front || front->pid != pid_) {
            throw ContractError("desktop_focus_changed");
        }
        if (window) {
            confirmWindow(*window);
        } else {
            confirmWindow(pid_);
        }
    } catch (...) {
        invalidate();
        throw;
    }
}

QCoro::Task<JSON> DesktopControl::observe(JSON params) {
    return DesktopObservation::run(this, std::move(params));
}

QCoro::Task<JSON> DesktopControl::act(JSON params) {
    return DesktopInteraction::run(this, std::move(params));
}

} // namespace corvane
