#pragma once

#include "core/JSON.h"
#include "platform/Platform.h"

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The everyday actions: open and quit applications, open a website, run an approved Shortcut,
// set the volume and mute, and control playback. Each reads its parameters from the command's
// params object, drives the platform, and returns a small object (often empty) or throws a
// ContractError. Main thread only; nothing survives a call.
namespace EverydayActions {

// Resolves an application name to the path of the one bundle it designates, or throws
// "app_not_found_or_ambiguous" (the installed-application inventory).
using AppResolver = std::function<QCoro::Task<std::string>(std::string name)>;

// A quit is confirmed within 20 waits of 100 ms (about 2 s), or reported as waiting on the user.
inline constexpr std::chrono::milliseconds quitPollInterval{100};
inline constexpr int quitWaitLimit = 20;

inline constexpr std::string_view shortcutsTool = "/usr/bin/shortcuts";

using MediaCommand = MediaPlayers::Command;

// The bundle that "bundle_id" (when the workspace knows it) or else "app_name" designates,
// judged by the target policy ("protected_app"); the path returned is the one judged, with its
// symbolic links resolved, so what is opened or quit is what was checked.
QCoro::Task<std::string> applicationPath(Platform platform, JSON params, AppResolver resolve);

// {"already_open", "focused"}.
QCoro::Task<JSON> openApp(Platform platform, JSON params, AppResolver resolve);
// {} once every instance has ended, {"already_closed": true} when none ran.
QCoro::Task<JSON> quitApp(Platform platform, JSON params, AppResolver resolve);

// The text of an http or https URL with a host (scheme in any letter case), normalised; absent
// for anything else.
std::optional<std::string> webURL(const std::string& text);
JSON openURL(Workspace& workspace, const JSON& params);

// Runs an approved Shortcut through the executor's tool runner.
QCoro::Task<JSON> runShortcut(Platform platform, JSON params, std::vector<std::string> approved);

// A whole number from 0 to 100; absent for anything else.
std::optional<int> volumeLevel(const JSON& params);
// The volume, mute and playback requests fail with "action_failed" when the request could not be
// sent, and with "automation_failed_or_permission_required" when the other side refused it.
QCoro::Task<JSON> setVolume(Platform platform, JSON params);
QCoro::Task<JSON> setMuted(Platform platform, bool muted);

// Sends `command` to the preferred running player; nothing is launched.
QCoro::Task<JSON> media(Platform platform, MediaCommand command);

} // namespace EverydayActions

} // namespace corvane
