#pragma once

#include "mac/MacScripting.h"
#include "platform/MediaPlayers.h"
#include "platform/Workspace.h"

#include <array>
#include <string>
#include <string_view>

namespace corvane {

// Music and Spotify through their automation scripts; a player's id is its bundle identifier.
// Each call runs at most one script synchronously and completes before its first suspension.
class MediaPlayersOnMac final : public MediaPlayers {
public:
    MediaPlayersOnMac(MacScripting& scripting, const Workspace& workspace)
        : scripting_(scripting)
        , workspace_(workspace) {}

    struct Supported {
        std::string_view bundleID;
        std::string_view displayName;
    };
    // In order of preference.
    static constexpr std::array<Supported, 2> supported{Supported{"com.apple.Music", "Music"},
                                                        Supported{"com.spotify.client", "Spotify"}};

    // The query for the current track; each reply is bounded to one second.
    static std::string nowPlayingScript(std::string_view bundleID);
    static std::string commandScript(std::string_view bundleID, Command command);
    // The rule over the query's result list.
    static std::optional<Track> trackFrom(const MacScripting::Result& result);

    QCoro::Task<std::vector<Player>> running() override;
    QCoro::Task<bool> automationPermitted(Player player) override;
    QCoro::Task<std::optional<Track>> nowPlaying(Player player) override;
    QCoro::Task<ControlResult> send(Player player, Command command) override;

private:
    MacScripting& scripting_;
    const Workspace& workspace_;
};

} // namespace corvane
