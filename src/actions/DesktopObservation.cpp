#include "actions/DesktopObservation.h"

#include "actions/CharacterPrefix.h"
#include "actions/DesktopControl.h"
#include "actions/DesktopTaskGuard.h"
#include "actions/DesktopWindows.h"
#include "actions/ObservationPreparationError.h"
#include "actions/SystemActions.h"
#include "actions/WindowCapture.h"
#include "core/ContractError.h"
#include "core/Uuid.h"
#include "core/WireTime.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <array>
#include <deque>
#include <string_view>
#include <unordered_set>

namespace corvane {

namespace {

constexpr std::array<AXRole, 6> containerRoles{AXRole::Group, AXRole::SplitGroup, AXRole::Row,
                                               AXRole::Cell,  AXRole::Toolbar,    AXRole::Unknown};

bool isContainer(const AXRoleTerm& role) {
    return std::find(containerRoles.begin(), containerRoles.end(), role.term()) !=
           containerRoles.end();
}

bool scrollable(const AXRoleTerm& role) {
    return role == AXRole::ScrollArea || role == AXRole::WebArea;
}

JSON elementObject(std::size_t id, const AXRoleTerm& role, const std::string& label,
                   const std::string& value, const std::vector<AXActionTerm>& actions) {
    JSON::Array actionList;
    for (std::size_t i = 0; i < actions.size() && i < DesktopObservation::maxActions; ++i) {
        actionList.emplace_back(characterPrefix(actions[i].name(), DesktopObservation::actionCut));
    }
    return JSON(JSON::Object{
        {"element_id", JSON(std::to_string(id))},
        {"role", JSON(role.name())},
        {"label", JSON(characterPrefix(label, DesktopObservation::textCut))},
        {"value", JSON(characterPrefix(value, DesktopObservation::textCut))},
        {"actions", JSON(std::move(actionList))},
    });
}

JSON resultObject(const std::string& snapshotID, const std::string& bundleID,
                  Clock::WallTime snapshotAt, JSON::Array elements, bool truncated) {
    return JSON(JSON::Object{
        {"snapshot_id", JSON(snapshotID)},
        {"bundle_id", JSON(bundleID)},
        {"expires_at", JSON(WireTime::text(snapshotAt + DesktopControl::snapshotLifetime))},
        {"elements", JSON(std::move(elements))},
        {"truncated", JSON(truncated)},
    });
}

bool exactlyTrue(const JSON& params, std::string_view key) {
    const JSON* value = params.find(key);
    return value != nullptr && value->isTrue();
}

bool frontmostIs(const Workspace& workspace, std::int32_t pid) {
    const std::optional<RunningApplication> front = workspace.frontmostApplication();
    return front && front->pid == pid;
}

} // namespace

DesktopObservation::Walk DesktopObservation::walk(Accessibility& accessibility, const Clock& clock,
                                                  const std::vector<AXElement>& roots) {
    Walk result;
    std::deque<AXElement> queue(roots.begin(), roots.end());
    // Element identity rather than a hash value alone: two elements whose hashes collide are
    // still both reported.
    std::unordered_set<AXElement> visited;
    const Clock::MonotonicTime deadline = clock.monotonicNow() + walkDeadline;
    while (!queue.empty() && result.elements.size() < maxElements && result.taken < maxTaken &&
           clock.monotonicNow() < deadline) {
        const AXElement element = queue.front();
        queue.pop_front();
        ++result.taken;
        if (!visited.insert(element).second) {
            continue;
        }
        accessibility.setMessagingTimeout(element, elementTimeout);
        // A password field is neither reported nor entered.
        if (accessibility.subrole(element) == AXSubrole::SecureTextField) {
            continue;
        }
        // A missing role reads as the unknown one.
        const AXRoleTerm role = accessibility.role(element).value_or(AXRole::Unknown);
        if (role == AXRole::SecureTextField) {
            continue;
        }
        std::vector<AXActionTerm> actions =
            accessibility.actions(element).value_or(std::vector<AXActionTerm>{});
        if (scrollable(role)) {
            for (const AXAction scroll : {AXAction::ScrollUpByPage, AXAction::ScrollDownByPage}) {
                if (std::find(actions.begin(), actions.end(), scroll) == actions.end()) {
                    actions.emplace_back(scroll);
                }
            }
        }
        std::string label = DesktopWindows::text(accessibility, element, AXAttribute::Title);
        if (label.empty()) {
            label = DesktopWindows::text(accessibility, element, AXAttribute::Description);
        }
        // Children past what the walk can still take are never read: one more than fit keeps the
        // queue from running empty, so "truncated" says the same as with all of them.
        const std::size_t room = maxTaken - result.taken;
        const std::size_t kept =
            queue.size() > room ? 0 : std::min(maxChildren, room - queue.size() + 1);
        const std::vector<AXElement> children =
            kept == 0 ? std::vector<AXElement>{}
                      : SystemActions::children(accessibility, element, kept);
        queue.insert(queue.end(), children.begin(), children.end());
        const std::string value = DesktopWindows::text(accessibility, element, AXAttribute::Value);
        // A bare container says nothing of its own; its children are already queued.
        if (isContainer(role) && label.empty() && value.empty() && actions.empty()) {
            continue;
        }
        const std::size_t id = result.elements.size();
        result.nodes.emplace(std::to_string(id), element);
        result.elements.push_back(elementObject(id, role, label, value, actions));
    }
    result.truncated = !queue.empty();
    return result;
}

QCoro::Task<JSON> DesktopObservation::run(DesktopControl* control, JSON params) {
    Q_ASSERT(QCoreApplication::instance() == nullptr ||
             QThread::currentThread() == QCoreApplication::instance()->thread());
    if (control->observing_ || control->acting_) {
        throw ContractError("desktop_busy");
    }
    const DesktopTaskGuard guard(control->life_, control->observing_);
    const Platform platform = control->platform_;

    const std::string* wanted = params.stringMember("bundle_id");
    const RunningApplication app =
        control->check(wanted != nullptr ? std::optional(*wanted) : std::nullopt);
    const std::uint64_t capturedEpoch = control->epoch_;
    const std::optional<std::string> bundleID = app.bundleID;
    platform.workspace.activate(app.pid);

    const AXElement window = co_await prepareObservationWindow(control, guard, app, capturedEpoch);
    guard.resumed();
    if (control->epoch_ != capturedEpoch) {
        throw ContractError("desktop_permission_required");
    }
    control->check(bundleID);
    if (!frontmostIs(platform.workspace, app.pid)) {
        throw ContractError("desktop_focus_changed");
    }

    Accessibility& accessibility = platform.accessibility;
    control->invalidate();
    control->snapshot_.window = window;
    control->pid_ = app.pid;

    // The title, the menu bar and the walk in one batch: with a backend over other processes they
    // run on its own thread while this one stays free.
    std::string title;
    Walk walked;
    co_await accessibility.batch([&accessibility, &title, &walked, &platform, window,
                                  menus = exactlyTrue(params, "include_menus"), pid = app.pid] {
        title = DesktopWindows::text(accessibility, window, AXAttribute::Title);
        std::vector<AXElement> roots{window};
        if (menus) {
            const AXElement application = accessibility.applicationElement(pid);
            accessibility.setMessagingTimeout(application, DesktopWindows::messagingTimeout);
            const std::optional<PlatformValue> menuBar =
                accessibility.attribute(application, AXAttribute::MenuBar);
            if (const std::optional<AXElement> bar = menuBar ? menuBar->element() : std::nullopt) {
                roots.push_back(*bar);
            }
        }
        walked = walk(accessibility, platform.clock, roots);
    });
    guard.resumed();
    control->snapshot_.observedTitle = std::move(title);
    control->snapshot_.nodes = std::move(walked.nodes);
    control->snapshot_.id = Uuid::make();
    control->snapshotAt_ = platform.clock.now();
    control->snapshotTakenAt_ = platform.clock.monotonicNow();
    JSON result = resultObject(*control->snapshot_.id, bundleID.value_or(std::string()),
                               control->snapshotAt_, std::move(walked.elements), walked.truncated);

    if (exactlyTrue(params, "include_image")) {
        // The image path runs its own checks and size limit.
        co_return co_await WindowCapture::run(control, guard, capturedEpoch, app,
                                              std::move(result));
    }
    const DesktopWindows::FrontWindow front =
        co_await DesktopWindows::awaitFrontWindow(&accessibility, control->pid_);
    guard.resumed();
    control->finalChecks(capturedEpoch, front);
    checkSize(*control, result);
    co_return result;
}

void DesktopObservation::checkSize(DesktopControl& control, const JSON& result) {
    if (result.data().size() >= maxResultBytes) {
        control.invalidate();
        throw ContractError("desktop_observation_too_large");
    }
}

QCoro::Task<AXElement> DesktopObservation::prepareObservationWindow(DesktopControl* control,
                                                                    const DesktopTaskGuard& guard,
                                                                    RunningApplication app,
                                                                    std::uint64_t capturedEpoch) {
    const Platform platform = control->platform_;
    const Clock::MonotonicTime deadline = platform.clock.monotonicNow() + windowSearchDeadline;
    std::optional<AXElement> found;
    for (int attempt = 0; attempt < windowAttempts && !found; ++attempt) {
        if (attempt > 0) {
            co_await platform.clock.sleep(attemptInterval);
            guard.resumed();
        }
        if (control->epoch_ != capturedEpoch) {
            throw ContractError("desktop_permission_required");
        }
        control->check(app.bundleID);
        if (!frontmostIs(platform.workspace, app.pid)) {
            continue; // another application is still in front
        }
        try {
            co_await platform.accessibility.batch([&found, &platform, pid = app.pid, deadline] {
                found = DesktopWindows::observationWindow(platform.accessibility, platform.clock,
                                                          pid, deadline);
            });
            guard.resumed();
        } catch (const ObservationPreparationError&) {
            throw ContractError("desktop_window_unavailable");
        } catch (const ContractError& error) {
            if (error.code() != "desktop_window_unavailable") {
                throw;
            }
        }
    }
    if (control->epoch_ != capturedEpoch) {
        throw ContractError("desktop_permission_required");
    }
    control->check(app.bundleID);
    if (!frontmostIs(platform.workspace, app.pid)) {
        throw ContractError("desktop_focus_changed");
    }
    if (!found) {
        throw ContractError("desktop_window_unavailable");
    }
    const AXElement window = *found;
    co_await platform.accessibility.batch(
        [&platform, window] { platform.accessibility.perform(window, AXAction::Raise); });
    guard.resumed();
    for (int confirmation = 0; confirmation < windowConfirmations; ++confirmation) {
        if (confirmation > 0) {
            co_await platform.clock.sleep(attemptInterval);
            guard.resumed();
        }
        const DesktopWindows::FrontWindow front =
            co_await DesktopWindows::awaitFrontWindow(&platform.accessibility, app.pid);
        guard.resumed();
        if (control->epoch_ != capturedEpoch) {
            throw ContractError("desktop_permission_required");
        }
        control->check(app.bundleID);
        if (frontmostIs(platform.workspace, app.pid)) {
            if (front.error) {
                std::rethrow_exception(front.error);
            }
            if (front.window == window) {
                co_return window;
            }
        }
    }
    throw ContractError("desktop_focus_changed");
}

} // namespace corvane
