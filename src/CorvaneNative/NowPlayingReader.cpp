#include "CorvaneNative/NowPlayingReader.h"

#include "CorvaneNative/CharacterPrefix.h"

#include <algorithm>
#include <array>

namespace corvane::NowPlayingReader {

namespace {

constexpr std::size_t maxTextCharacters = 500;

struct Source {
    std::string_view bundleID;
    std::string_view label;
};

constexpr std::array<Source, 2> sources{
    {{"com.apple.Music", "Music"}, {"com.spotify.client", "Spotify"}}};

bool isRunning(const Workspace& workspace, std::string_view bundleID) {
    const auto apps = workspace.runningApplications();
    return std::any_of(apps.begin(), apps.end(), [bundleID](const RunningApplication& app) {
        return app.bundleID && *app.bundleID == bundleID;
    });
}

std::optional<std::string> text(const PlatformValue& item) {
    if (const std::string* s = item.string()) {
        return *s;
    }
    return std::nullopt;
}

} // namespace

std::string script(std::string_view bundleID) {
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

QCoro::Task<JSON> read(Platform& platform) {
    Workspace& workspace = platform.workspace;
    Scripting& scripting = platform.scripting;
    for (const Source& source : sources) {
        if (!isRunning(workspace, source.bundleID)) {
            continue;
        }
        // Asked without prompting; anything short of an existing grant skips the player quietly.
        if (scripting.automationPermission(std::string(source.bundleID)) !=
            Scripting::Permission::Granted) {
            continue;
        }
        const Scripting::Result result = scripting.run(script(source.bundleID));
        const PlatformValue::Array* items = std::get_if<PlatformValue::Array>(&result);
        // A stopped player answers with an empty list.
        if (items == nullptr || items->size() != 3) {
            continue;
        }
        JSON playing = normalized(text((*items)[0]), text((*items)[1]), source.label);
        const auto isPlaying = (*items)[2].boolean();
        if (playing.isNull() || !isPlaying) {
            continue;
        }
        playing.object()->emplace("playing", *isPlaying);
        co_return playing;
    }
    co_return JSON();
}

} // namespace corvane::NowPlayingReader
