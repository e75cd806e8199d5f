#pragma once

#include "platform/ControlResult.h"

#include <qcoro/qcorotask.h>

#include <optional>
#include <string>
#include <vector>

namespace corvane {

// The media players the agent supports: which of them run, what one plays, and the playback
// commands. Awaitable, since a real backend talks to each player over another process's bus;
// calls start and resume on the main thread. Nothing here launches a player or shows a prompt.
class MediaPlayers {
public:
    virtual ~MediaPlayers() = default;

    struct Player {
        std::string id;          // the backend's own handle for the player
        std::string displayName; // "Music", "Spotify"
        bool operator==(const Player&) const = default;
    };
    struct Track {
        std::optional<std::string> title;  // absent when the player gives no text
        std::optional<std::string> artist; // likewise
        bool playing = false;              // false: paused
        bool operator==(const Track&) const = default;
    };
    enum class Command { PlayPause, Next, Previous };

    // The supported players that run now, the preferred one first.
    virtual QCoro::Task<std::vector<Player>> running() = 0;
    // Whether this process may already automate the player, asked without ever prompting.
    virtual QCoro::Task<bool> automationPermitted(Player player) = 0;
    // The current track; absent when the player is stopped, fails to answer or answers with
    // something else.
    virtual QCoro::Task<std::optional<Track>> nowPlaying(Player player) = 0;
    virtual QCoro::Task<ControlResult> send(Player player, Command command) = 0;
};

} // namespace corvane
