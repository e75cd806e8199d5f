#include "actions/EverydayActions.h"

#include "actions/ActionExecutor.h"
#include "actions/AppTargetPolicy.h"
#include "actions/ShortcutAllowlist.h"
#include "core/ContractError.h"

#include <QString>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <set>

namespace corvane::EverydayActions {

namespace {

JSON emptyObject() {
    return JSON(JSON::Object{});
}

// The bundle's identifier; empty when it has none.
std::string bundleIdentifier(const ApplicationBundles& bundles, const std::string& path) {
    const std::optional<ApplicationBundles::Info> info = bundles.info(path);
    return info ? info->identifier : std::string();
}

std::vector<RunningApplication> instancesOf(const Workspace& workspace,
                                            const std::string& bundleID) {
    std::vector<RunningApplication> instances;
    if (bundleID.empty()) {
        return instances;
    }
    for (RunningApplication& app : workspace.runningApplications()) {
        if (app.bundleID == bundleID) {
            instances.push_back(std::move(app));
        }
    }
    return instances;
}

// The instance the open brought up: the one running from the opened bundle, else the first with
// its identifier (another copy of the same application answers the open too).
std::optional<RunningApplication>
openedInstance(const Workspace& workspace, const std::string& bundleID, const std::string& path) {
    const std::vector<RunningApplication> instances = instancesOf(workspace, bundleID);
    if (instances.empty()) {
        return std::nullopt;
    }
    const auto fromPath = std::find_if(instances.begin(), instances.end(), [&](const auto& app) {
        return app.bundlePath && AppTargetPolicy::resolvedPath(*app.bundlePath) == path;
    });
    return fromPath != instances.end() ? *fromPath : instances.front();
}

bool isActive(const Workspace& workspace, std::int32_t pid) {
    const std::vector<RunningApplication> running = workspace.runningApplications();
    return std::any_of(running.begin(), running.end(),
                       [&](const auto& app) { return app.pid == pid && app.active; });
}

// Instances among `pids` that still run under the identifier (a pid reused by another program
// does not count).
bool anyStillRunning(const Workspace& workspace, const std::set<std::int32_t>& pids,
                     const std::string& bundleID) {
    const std::vector<RunningApplication> running = workspace.runningApplications();
    return std::any_of(running.begin(), running.end(), [&](const auto& app) {
        return pids.contains(app.pid) && app.bundleID == bundleID;
    });
}

void require(ControlResult result) {
    switch (result) {
    case ControlResult::Done:
        return;
    case ControlResult::NotSent:
        throw ContractError("action_failed");
    case ControlResult::Refused:
        throw ContractError("automation_failed_or_permission_required");
    }
}

} // namespace

QCoro::Task<std::string> applicationPath(Platform platform, JSON params, AppResolver resolve) {
    std::optional<std::string> path;
    if (const std::string* bundleID = params.stringMember("bundle_id")) {
        path = platform.workspace.applicationPath(*bundleID);
    }
    if (!path) {
        const std::string* name = params.stringMember("app_name");
        if (name == nullptr || !resolve) {
            throw ContractError("app_not_found_or_ambiguous");
        }
        path = co_await resolve(*name);
    }
    AppTargetPolicy::check(platform.bundles, *path);
    co_return AppTargetPolicy::resolvedPath(*path);
}

QCoro::Task<JSON> openApp(Platform platform, JSON params, AppResolver resolve) {
    const std::string path =
        co_await applicationPath(platform, std::move(params), std::move(resolve));
    Workspace& workspace = platform.workspace;
    const std::string bundleID = bundleIdentifier(platform.bundles, path);
    const bool alreadyOpen = !instancesOf(workspace, bundleID).empty();

    co_await workspace.openApplication(path, true);

    bool focused = false;
    if (const std::optional<RunningApplication> opened =
            openedInstance(workspace, bundleID, path)) {
        // Whether the request was accepted matters less than what the workspace shows afterwards.
        workspace.activate(opened->pid);
        focused = isActive(workspace, opened->pid);
    }
    co_return JSON(JSON::Object{{"already_open", JSON(alreadyOpen)}, {"focused", JSON(focused)}});
}

QCoro::Task<JSON> quitApp(Platform platform, JSON params, AppResolver resolve) {
    const std::string path =
        co_await applicationPath(platform, std::move(params), std::move(resolve));
    Workspace& workspace = platform.workspace;
    const std::string bundleID = bundleIdentifier(platform.bundles, path);
    if (bundleID.empty()) {
        throw ContractError("app_not_found");
    }
    const std::vector<RunningApplication> instances = instancesOf(workspace, bundleID);
    if (instances.empty()) {
        co_return JSON(JSON::Object{{"already_closed", JSON(true)}});
    }
    std::set<std::int32_t> pids;
    for (const RunningApplication& instance : instances) {
        // A normal quit, as from the application's menu: the person keeps the chance to save.
        if (!workspace.terminate(instance.pid)) {
            throw ContractError("quit_refused");
        }
        pids.insert(instance.pid);
    }
    for (int waits = 0; anyStillRunning(workspace, pids, bundleID); ++waits) {
        if (waits == quitWaitLimit) {
            // Typically a save prompt is showing; the application stays open.
            throw ContractError("quit_pending_user_attention");
        }
        co_await platform.clock.sleep(quitPollInterval);
    }
    co_return emptyObject();
}

std::optional<std::string> webURL(const std::string& text) {
    // Strict parsing: spaces, control characters and stray delimiters are refused rather than
    // silently repaired into some other address.
    const QUrl url(QString::fromStdString(text), QUrl::StrictMode);
    if (!url.isValid()) {
        return std::nullopt;
    }
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1StringView("https") && scheme != QLatin1StringView("http")) {
        return std::nullopt;
    }
    if (url.host().isEmpty()) {
        return std::nullopt;
    }
    return url.toString(QUrl::FullyEncoded).toStdString();
}

JSON openURL(Workspace& workspace, const JSON& params) {
    const std::string* text = params.stringMember("url");
    const std::optional<std::string> url = text != nullptr ? webURL(*text) : std::nullopt;
    if (!url) {
        throw ContractError("invalid_url");
    }
    if (!workspace.openURL(*url)) {
        throw ContractError("action_failed");
    }
    return emptyObject();
}

QCoro::Task<JSON> runShortcut(Platform platform, JSON params, std::vector<std::string> approved) {
    const std::string* name = params.stringMember("name");
    if (name == nullptr || !ShortcutAllowlist(std::move(approved)).allows(*name)) {
        throw ContractError("action_not_allowlisted");
    }
    std::optional<ProcessRunner::Command> command = platform.processes.shortcutCommand(*name);
    if (!command) {
        // "--" keeps a name that begins with a dash from being read as an option.
        command = ProcessRunner::Command{std::string(shortcutsTool), {"run", "--", *name}};
    }
    co_await ActionExecutor::process(platform, std::move(command->path),
                                     std::move(command->arguments));
    co_return emptyObject();
}

std::optional<int> volumeLevel(const JSON& params) {
    const JSON* level = params.find("level");
    const std::optional<double> number = level != nullptr ? level->number() : std::nullopt;
    if (!number || !(*number >= 0 && *number <= 100) || std::trunc(*number) != *number) {
        return std::nullopt;
    }
    return static_cast<int>(*number);
}

QCoro::Task<JSON> setVolume(Platform platform, JSON params) {
    const std::optional<int> level = volumeLevel(params);
    if (!level) {
        throw ContractError("invalid_params");
    }
    require(co_await platform.audio.setVolume(*level));
    co_return emptyObject();
}

QCoro::Task<JSON> setMuted(Platform platform, bool muted) {
    require(co_await platform.audio.setMuted(muted));
    co_return emptyObject();
}

QCoro::Task<JSON> media(Platform platform, MediaCommand command) {
    // Nothing is launched: playback is only steered in a player that already runs.
    const std::vector<MediaPlayers::Player> running = co_await platform.mediaPlayers.running();
    if (running.empty()) {
        throw ContractError("media_app_not_running");
    }
    const MediaPlayers::Player player = running.front();
    co_await ActionExecutor::explainAutomation(platform.defaults, platform.prompts,
                                               player.displayName);
    require(co_await platform.mediaPlayers.send(player, command));
    co_return emptyObject();
}

} // namespace corvane::EverydayActions
