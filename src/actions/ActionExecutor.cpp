#include "actions/ActionExecutor.h"

#include "actions/AppInventory.h"
#include "actions/CheckedPrompts.h"
#include "actions/EverydayActions.h"
#include "actions/SystemActions.h"
#include "core/CommandGate.h"
#include "core/ContractError.h"
#include "platform/PlatformWithPrompts.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace corvane {

namespace {

// Positions in ActionExecutor::actionNames.
enum class Action {
    ListApps,
    DesktopObserve,
    DesktopAct,
    DesktopStop,
    OpenURL,
    OpenApp,
    QuitApp,
    RunShortcut,
    SetVolume,
    Mute,
    Unmute,
    MediaPlayPause,
    MediaNext,
    MediaPrevious,
    GetState,
    LockScreen,
    CloseBrowserTabs,
    ToggleDoNotDisturb,
    SleepMac,
};

std::optional<Action> lookUp(std::string_view name) {
    const auto& names = ActionExecutor::actionNames;
    const auto it = std::find(names.begin(), names.end(), name);
    if (it == names.end()) {
        return std::nullopt;
    }
    return static_cast<Action>(it - names.begin());
}

// The command gate's verdict on the lock state read now: a replacement result, or nothing when the
// action may run (or its result stand); throws "device_locked" or "lock_state_unknown".
std::optional<JSON> lockGuard(const SessionLock& lock, std::string_view action) {
    return CommandGate::lockedResult(action, lockedValue(lock.state()));
}

// What a command must pass again after waiting for a person: the owner's fence, then the lock
// state (an action that changes the computer is refused on a locked screen).
std::function<void()> admission(SessionLock& lock, std::string action,
                                ActionExecutor::Fence fence) {
    return [&lock, action = std::move(action), fence = std::move(fence)] {
        if (fence) {
            fence();
        }
        lockGuard(lock, action);
    };
}

} // namespace

ActionExecutor::ActionExecutor(Platform& platform)
    : ActionExecutor(platform, Handlers{}) {}

ActionExecutor::ActionExecutor(Platform& platform, Handlers handlers)
    : platform_(platform)
    , handlers_(std::move(handlers))
    , desktop_(platform, &platform.defaults) {
    inventory_ = std::make_unique<AppInventory>(platform_);
    AppInventory* inventory = inventory_.get();
    if (!handlers_.listApps) {
        handlers_.listApps = [inventory](std::int64_t offset) {
            return inventory->page(offset);
        };
    }
    if (!handlers_.resolveApp) {
        handlers_.resolveApp = [inventory](std::string name) {
            return inventory->resolve(std::move(name));
        };
    }
}

ActionExecutor::~ActionExecutor() = default;

QCoro::Task<JSON> ActionExecutor::executeGuarded(std::string action, JSON params,
                                                 std::vector<std::string> shortcuts, Fence fence) {
    if (action == "desktop_stop") {
        // Withdrawing control must work even when the lock state says nothing else may run, and
        // must not wait behind the actions it is meant to stop.
        desktop_.stop();
        co_return JSON(JSON::Object{});
    }
    const Platform platform = platform_;
    SerialGate::Pass turn;
    if (!readsOnly(action)) {
        const std::weak_ptr<int> life = life_;
        turn = co_await gate_.enter();
        if (life.expired()) {
            throw ContractError("session_changed");
        }
    }
    // Read when the action's turn has come, not when it arrived.
    if (std::optional<JSON> answer = lockGuard(platform.sessionLock, action)) {
        co_return std::move(*answer);
    }
    // An answer may come long after the question: the command is admitted again before it goes
    // on, as if it had only just arrived.
    CheckedPrompts prompts(platform.prompts,
                           admission(platform.sessionLock, action, std::move(fence)));
    JSON result = co_await dispatch(platformWithPrompts(platform, prompts), action,
                                    std::move(params), std::move(shortcuts));
    // These two results describe the computer's contents: if the screen locked while they were
    // gathered, they are withheld.
    if (action == "get_state" || action == "list_apps") {
        if (std::optional<JSON> answer = lockGuard(platform.sessionLock, action)) {
            co_return std::move(*answer);
        }
    }
    co_return result;
}

bool ActionExecutor::readsOnly(std::string_view action) {
    return action == "get_state" || action == "list_apps";
}

QCoro::Task<JSON> ActionExecutor::execute(std::string action, JSON params,
                                          std::vector<std::string> shortcuts) {
    return dispatch(platform_, std::move(action), std::move(params), std::move(shortcuts));
}

QCoro::Task<JSON> ActionExecutor::dispatch(Platform platform, std::string action, JSON params,
                                           std::vector<std::string> shortcuts) {
    const std::optional<Action> known = lookUp(action);
    if (!known) {
        throw ContractError("action_unsupported");
    }
    // The action does not touch the executor after its first suspension.
    switch (*known) {
    case Action::ListApps: {
        const auto listApps = handlers_.listApps;
        if (!listApps) {
            break;
        }
        co_return co_await listApps(listAppsOffset(params));
    }
    case Action::DesktopStop:
        desktop_.stop();
        co_return JSON(JSON::Object{});
    case Action::OpenURL:
        co_return EverydayActions::openURL(platform.workspace, params);
    case Action::OpenApp:
        co_return co_await EverydayActions::openApp(platform, std::move(params),
                                                    handlers_.resolveApp);
    case Action::QuitApp:
        co_return co_await EverydayActions::quitApp(platform, std::move(params),
                                                    handlers_.resolveApp);
    case Action::RunShortcut:
        co_return co_await EverydayActions::runShortcut(platform, std::move(params),
                                                        std::move(shortcuts));
    case Action::SetVolume:
        co_return co_await EverydayActions::setVolume(platform, std::move(params));
    case Action::Mute:
        co_return co_await EverydayActions::setMuted(platform, true);
    case Action::Unmute:
        co_return co_await EverydayActions::setMuted(platform, false);
    case Action::MediaPlayPause:
        co_return co_await EverydayActions::media(platform,
                                                  EverydayActions::MediaCommand::PlayPause);
    case Action::MediaNext:
        co_return co_await EverydayActions::media(platform, EverydayActions::MediaCommand::Next);
    case Action::MediaPrevious:
        co_return co_await EverydayActions::media(platform,
                                                  EverydayActions::MediaCommand::Previous);
    case Action::GetState: {
        const auto gatherState = handlers_.gatherState;
        if (!gatherState) {
            break;
        }
        Platform gathering = platform;
        co_return co_await gatherState(gathering);
    }
    case Action::LockScreen:
        co_return co_await SystemActions::lock(platform);
    case Action::CloseBrowserTabs: {
        const BrowserCleanup cleanup = browserCleanup(params);
        // A desktop whose browsers do not expose what the cleanup proves before it closes
        // anything (pinned tabs, the Tab and File menus) leaves the action out: refused, never
        // reported as done because no browser of the Mac's was found.
        if (platform.gaps != nullptr) {
            for (const ServiceGaps::Gap& gap : platform.gaps->gaps()) {
                if (gap.name == "close_browser_tabs") {
                    throw ContractError(cleanup.browser == Browser::Safari
                                            ? "pinned_tab_detection_unverified"
                                            : "browser_menu_unavailable");
                }
            }
        }
        if (cleanup.browser == Browser::Safari) {
            co_return co_await SystemActions::safariCleanup(platform, cleanup.keepPinned);
        }
        co_return co_await SystemActions::chromeCleanup(platform, cleanup.keepPinned);
    }
    case Action::ToggleDoNotDisturb:
        co_return co_await SystemActions::focus(platform, focusEnabled(params));
    case Action::SleepMac:
        co_return co_await SystemActions::sleep(platform);
    case Action::DesktopObserve:
        co_return co_await desktop_.observe(std::move(params));
    case Action::DesktopAct:
        co_return co_await desktop_.act(std::move(params));
    }
    throw ContractError("action_unsupported");
}

QCoro::Task<void> ActionExecutor::process(Platform platform, std::string path,
                                          std::vector<std::string> arguments) {
    std::unique_ptr<ProcessRunner::Process> tool = platform.processes.start(path, arguments);
    for (int waits = 0;; ++waits) {
        if (const std::optional<int> status = tool->exitStatus()) {
            if (*status != 0) {
                throw ContractError("action_failed");
            }
            co_return;
        }
        if (waits == toolWaitLimit) {
            tool->terminate();
            // The tool may or may not have done its work before it was ended.
            throw ContractError("action_timeout_outcome_unknown");
        }
        co_await platform.clock.sleep(toolPollInterval);
    }
}

QCoro::Task<void> ActionExecutor::process(std::string path, std::vector<std::string> arguments) {
    return process(platform_, std::move(path), std::move(arguments));
}

QCoro::Task<void> ActionExecutor::explainAutomation(UserDefaults& defaults, UserPrompts& prompts,
                                                    std::string name) {
    const std::string key = std::string(automationExplainedPrefix) + name;
    if (defaults.boolValue(key) == true) {
        co_return;
    }
    const UserPrompts::Answer answer = co_await prompts.alert(
        "Allow Velto to control " + name + "?",
        "Velto needs Automation permission to change playback. macOS may show its permission "
        "dialog next.",
        "Continue", "Cancel");
    if (answer != UserPrompts::Answer::First) {
        throw ContractError("permission_required");
    }
    defaults.setBool(key, true);
}

QCoro::Task<void> ActionExecutor::explainAutomation(std::string name) {
    return explainAutomation(platform_.defaults, platform_.prompts, std::move(name));
}

std::int64_t ActionExecutor::listAppsOffset(const JSON& params) {
    const JSON* offset = params.find("offset");
    const std::optional<double> number = offset != nullptr ? offset->number() : std::nullopt;
    if (!number) {
        return 0;
    }
    const double whole = std::trunc(*number);
    // 2^63 is exactly representable; everything in [-2^63, 2^63) converts without overflow.
    constexpr double limit = 9223372036854775808.0;
    if (!(whole >= -limit && whole < limit)) {
        return 0;
    }
    return static_cast<std::int64_t>(whole);
}

ActionExecutor::BrowserCleanup ActionExecutor::browserCleanup(const JSON& params) {
    const std::string* browser = params.stringMember("browser");
    BrowserCleanup cleanup{Browser::Chrome, true};
    if (browser != nullptr && *browser == "chrome") {
        cleanup.browser = Browser::Chrome;
    } else if (browser != nullptr && *browser == "safari") {
        cleanup.browser = Browser::Safari;
    } else {
        throw ContractError("invalid_params");
    }
    const JSON* keepPinned = params.find("keep_pinned");
    cleanup.keepPinned = !(keepPinned != nullptr && keepPinned->boolean() == false);
    return cleanup;
}

bool ActionExecutor::focusEnabled(const JSON& params) {
    const JSON* enabled = params.find("enabled");
    return enabled != nullptr && enabled->isTrue();
}

} // namespace corvane
