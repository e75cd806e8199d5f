#pragma once

#include "actions/DesktopControl.h"
#include "actions/StateReport.h"
#include "core/JSON.h"
#include "core/SerialGate.h"
#include "platform/Platform.h"

#include <qcoro/qcorotask.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

class AppInventory;

// The one entry through which every action runs: the lock guard around the dispatcher, the tool
// runner (a command-line tool with a time limit) and the one-time explanation before an
// application is automated. Main thread only.
//
// Actions that change the computer run one at a time, in the order they arrived, whichever entry
// they came from: two Focus changes, or a quit and an open of the same application, never
// interleave at their suspension points. Pure reads ("get_state", "list_apps") and withdrawing
// desktop control do not wait.
//
// The coroutines here copy what they need before their first suspension and check that the
// executor still exists before touching it after one.
class ActionExecutor {
public:
    // Action bodies that live in other components, wired by the owner (tests substitute them).
    struct Handlers {
        // "get_state": the state report.
        std::function<QCoro::Task<JSON>(Platform&)> gatherState = &StateReport::gather;
        // "list_apps": one page of the installed applications from `offset`. Left empty, the
        // executor's own inventory answers.
        std::function<QCoro::Task<JSON>(std::int64_t offset)> listApps;
        // "open_app", "quit_app": the bundle path that an application name designates, or
        // "app_not_found_or_ambiguous". Left empty, the executor's own inventory answers.
        std::function<QCoro::Task<std::string>(std::string name)> resolveApp;
    };

    // Every action name the dispatcher knows, in the order it compares them.
    static constexpr std::array<std::string_view, 19> actionNames{"list_apps",
                                                                  "desktop_observe",
                                                                  "desktop_act",
                                                                  "desktop_stop",
                                                                  "open_url",
                                                                  "open_app",
                                                                  "quit_app",
                                                                  "run_shortcut",
                                                                  "set_volume",
                                                                  "mute",
                                                                  "unmute",
                                                                  "media_play_pause",
                                                                  "media_next",
                                                                  "media_previous",
                                                                  "get_state",
                                                                  "lock_screen",
                                                                  "close_browser_tabs",
                                                                  "toggle_do_not_disturb",
                                                                  "sleep_mac"};

    // The tool runner's poll interval and the number of waits before a tool is ended (about 12 s).
    static constexpr std::chrono::milliseconds toolPollInterval{100};
    static constexpr int toolWaitLimit = 120;

    // The user default prefix remembering that an application's automation was explained.
    static constexpr std::string_view automationExplainedPrefix = "automation-explained-";

    // With the standard handlers.
    explicit ActionExecutor(Platform& platform);
    ActionExecutor(Platform& platform, Handlers handlers);
    ActionExecutor(const ActionExecutor&) = delete;
    ActionExecutor& operator=(const ActionExecutor&) = delete;
    ~ActionExecutor();

    DesktopControl& desktop() noexcept { return desktop_; }
    const DesktopControl& desktop() const noexcept { return desktop_; }
    // The installed applications behind "list_apps" and the application name lookup, for other
    // users on the main thread (the window's picker) so that all share one cache.
    AppInventory& inventory() noexcept { return *inventory_; }

    // The owner's admission of one command, checked again whenever the command resumes after a
    // person answered a prompt: throws (the owner's code) once the command may no longer run.
    using Fence = std::function<void()>;

    // The guarded entry the Agent calls: "desktop_stop" whatever the lock state; otherwise a
    // locked or undetermined screen refuses or answers the action without running it, and the
    // results of "get_state" and "list_apps" are withheld when the screen locked meanwhile. An
    // action that asks the person something checks `fence` and the lock state again once the
    // answer comes, before it goes on.
    QCoro::Task<JSON> executeGuarded(std::string action, JSON params,
                                     std::vector<std::string> shortcuts, Fence fence = {});
    // Whether an action only reads and may run beside others.
    static bool readsOnly(std::string_view action);
    // Actions waiting for their turn or running, counted from executeGuarded.
    std::size_t queued() const noexcept { return gate_.occupancy(); }

    // The dispatcher: exact, case-sensitive names; "action_unsupported" for anything else.
    QCoro::Task<JSON> execute(std::string action, JSON params, std::vector<std::string> shortcuts);

    // Runs a tool with discarded output; exit status 0 is success, another status
    // "action_failed"; still running after toolWaitLimit waits it is terminated with
    // "action_timeout_outcome_unknown". A tool that cannot start throws ProcessStartError.
    static QCoro::Task<void> process(Platform platform, std::string path,
                                     std::vector<std::string> arguments);
    QCoro::Task<void> process(std::string path, std::vector<std::string> arguments);
    // Before the first automation of an application: an explanation, remembered once the person
    // chooses Continue; Cancel throws "permission_required" and asks again next time. `defaults`
    // and `prompts` must outlive the wait for the answer.
    static QCoro::Task<void> explainAutomation(UserDefaults& defaults, UserPrompts& prompts,
                                               std::string name);
    QCoro::Task<void> explainAutomation(std::string name);

    // Parameter rules of actions carried out elsewhere.
    // "list_apps": the integer part of a numeric "offset", 0 when missing, not a number or out of
    // the 64-bit range.
    static std::int64_t listAppsOffset(const JSON& params);
    enum class Browser { Chrome, Safari };
    struct BrowserCleanup {
        Browser browser;
        bool keepPinned;
    };
    // "close_browser_tabs": "browser" is "chrome" or "safari" ("invalid_params" otherwise);
    // pinned tabs are kept unless "keep_pinned" is exactly false.
    static BrowserCleanup browserCleanup(const JSON& params);
    // "toggle_do_not_disturb": on only for "enabled" exactly true.
    static bool focusEnabled(const JSON& params);

private:
    // The dispatcher on `platform` (the executor's own, or one whose prompts are checked).
    QCoro::Task<JSON> dispatch(Platform platform, std::string action, JSON params,
                               std::vector<std::string> shortcuts);

    Platform platform_;
    // The installed applications with their short-lived cache, behind the default "list_apps"
    // and name lookup handlers.
    std::unique_ptr<AppInventory> inventory_;
    Handlers handlers_;
    DesktopControl desktop_;
    SerialGate gate_;
    // Expires with the executor, for the actions that waited their turn.
    std::shared_ptr<int> life_ = std::make_shared<int>(0);
};

} // namespace corvane
