#include "actions/NowPlayingReader.h"

#include "actions/CharacterPrefix.h"

namespace corvane::NowPlayingReader {

namespace {

constexpr std::size_t maxTextCharacters = 500;

} // namespace

JSON normalized(const std::optional<std::string>& title, const std::optional<std::string>& artist,
                std::string_view source) {
    if (source != "Music" && source != "Spotify") {
        return nullptr;
    }
    if (!title || title->empty() || !artist || artist->empty()) {
        return nullptr;
    }
    return JSON::Object{{"title", characterPrefix(*title, maxTextCharacters)},
                        {"artist", characterPrefix(*artist, maxTextCharacters)},
                        {"source_app", std::string(source)}};
}

QCoro::Task<JSON> read(Platform platform) {
    MediaPlayers& players = platform.mediaPlayers;
    const std::vector<MediaPlayers::Player> running = co_await players.running();
    for (const MediaPlayers::Player& player : running) {
        // Asked without prompting; anything short of an existing grant skips the player quietly.
        if (!co_await players.automationPermitted(player)) {
            continue;
        }
        const std::optional<MediaPlayers::Track> track = co_await players.nowPlaying(player);
        if (!track) {
            continue;
        }
        JSON playing = normalized(track->title, track->artist, player.displayName);
        if (playing.isNull()) {
            continue;
        }
        playing.object()->emplace("playing", track->playing);
        co_return playing;
    }
    co_return JSON();
}

} // namespace corvane::NowPlayingReader
