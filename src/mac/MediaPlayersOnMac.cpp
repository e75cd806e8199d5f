#include "mac/MediaPlayersOnMac.h"

#include <algorithm>

namespace corvane {

namespace {

std::string_view verb(MediaPlayers::Command command) {
    switch (command) {
    case MediaPlayers::Command::PlayPause:
        return "playpause";
    case MediaPlayers::Command::Next:
        return "next track";
    case MediaPlayers::Command::Previous:
        return "previous track";
    }
    return {};
}

std::optional<std::string> text(const PlatformValue& item) {
    if (const std::string* s = item.string()) {
        return *s;
    }
    return std::nullopt;
}

} // namespace

std::string MediaPlayersOnMac::nowPlayingScript(std::string_view bundleID) {
    std::string source = "with timeout of 1 seconds\n";
    source += "    tell application id \"";
    source += bundleID;
    source += "\"\n";
    source += "        if player state is stopped then return {}\n";
    source += "        return {name of current track, artist of current track, player state is "
              "playing}\n";
    source += "    end tell\n";
    source += "end timeout";
    return source;
}

std::string MediaPlayersOnMac::commandScript(std::string_view bundleID, Command command) {
    return "tell application id \"" + std::string(bundleID) + "\" to " + std::string(verb(command));
}

std::optional<MediaPlayers::Track>
MediaPlayersOnMac::trackFrom(const MacScripting::Result& result) {
    const PlatformValue::Array* items = std::get_if<PlatformValue::Array>(&result);
    // A stopped player answers with an empty list.
    if (items == nullptr || items->size() != 3) {
        return std::nullopt;
    }
    const std::optional<bool> playing = (*items)[2].boolean();
    if (!playing) {
        return std::nullopt;
    }
    return Track{.title = text((*items)[0]), .artist = text((*items)[1]), .playing = *playing};
}

QCoro::Task<std::vector<MediaPlayers::Player>> MediaPlayersOnMac::running() {
    const std::vector<RunningApplication> apps = workspace_.runningApplications();
    std::vector<Player> players;
    for (const Supported& player : supported) {
        if (std::any_of(apps.begin(), apps.end(), [&](const RunningApplication& app) {
                return app.bundleID == player.bundleID;
            })) {
            players.push_back(
                Player{std::string(player.bundleID), std::string(player.displayName)});
        }
    }
    co_return players;
}

QCoro::Task<bool> MediaPlayersOnMac::automationPermitted(Player player) {
    co_return scripting_.automationPermission(player.id) == MacScripting::Permission::Granted;
}

QCoro::Task<std::optional<MediaPlayers::Track>> MediaPlayersOnMac::nowPlaying(Player player) {
    co_return trackFrom(scripting_.run(nowPlayingScript(player.id)));
}

QCoro::Task<ControlResult> MediaPlayersOnMac::send(Player player, Command command) {
    co_return MacScripting::controlResult(scripting_.run(commandScript(player.id, command)));
}

} // namespace corvane
