#include "CorvanePlatform/sim/SimScripting.h"

#include "CorvanePlatform/sim/SimModel.h"

#include <QRegularExpression>

#include <algorithm>

namespace corvane {

namespace {

const std::string volumeScript = "set settings to get volume settings\n"
                                 "return {output volume of settings, output muted of settings}";

std::string nowPlayingScript(const std::string& bundleID) {
    return "with timeout of 1 seconds\n"
           "    tell application id \"" +
           bundleID +
           "\"\n"
           "        if player state is stopped then return {}\n"
           "        return {name of current track, artist of current track, player state is "
           "playing}\n"
           "    end tell\n"
           "end timeout";
}

} // namespace

Scripting::Result SimScripting::run(const std::string& source) {
    auto guard = model_.lock();
    Result result = answer(source);
    model_.record("script", {{"source", JSON(source)},
                             {"ok", JSON(std::holds_alternative<PlatformValue::Array>(result))}});
    return result;
}

Scripting::Permission SimScripting::automationPermission(const std::string& bundleID) const {
    const std::string permission = model_.text({"automation", bundleID});
    if (permission == "granted") {
        return Permission::Granted;
    }
    if (permission == "denied") {
        return Permission::Denied;
    }
    return Permission::NotDetermined;
}

bool SimScripting::mayAutomate(const std::string& bundleID) {
    switch (automationPermission(bundleID)) {
    case Permission::Granted:
        return true;
    case Permission::Denied:
        return false;
    case Permission::NotDetermined:
        // The system asks once; the simulated person allows it.
        model_.put({"automation", bundleID}, JSON("granted"));
        model_.record("automation_prompt", {{"bundle_id", JSON(bundleID)}});
        return true;
    }
    return false;
}

Scripting::Result SimScripting::answer(const std::string& source) {
    if (!model_.flag({"scripting", "available"})) {
        return Failure::ExecutionFailed;
    }
    if (source == volumeScript) {
        return PlatformValue::Array{
            PlatformValue(static_cast<std::int64_t>(model_.number({"audio", "volume"}))),
            PlatformValue(model_.flag({"audio", "muted"}))};
    }
    if (source == "set volume with output muted" || source == "set volume without output muted") {
        model_.put({"audio", "muted"}, JSON(source == "set volume with output muted"));
        return PlatformValue::Array{};
    }
    const QString text = QString::fromStdString(source);
    static const QRegularExpression setVolume(
        QStringLiteral("^set volume output volume (\\d{1,9})$"));
    if (const QRegularExpressionMatch m = setVolume.match(text); m.hasMatch()) {
        const int level = std::clamp(m.captured(1).toInt(), 0, 100);
        model_.put({"audio", "volume"}, JSON(level));
        return PlatformValue::Array{};
    }
    static const QRegularExpression command(QStringLiteral(
        "^tell application id \"([^\"]+)\" to (playpause|next track|previous track)$"));
    if (const QRegularExpressionMatch m = command.match(text); m.hasMatch()) {
        const std::string bundleID = m.captured(1).toStdString();
        if (model_.pidsOf(bundleID).empty() || !mayAutomate(bundleID)) {
            return Failure::ExecutionFailed;
        }
        if (model_.setting({"players", bundleID}).isNull()) {
            model_.put({"players", bundleID}, JSON(JSON::Object{{"state", JSON("stopped")},
                                                                {"tracks", JSON(JSON::Array{})},
                                                                {"track", JSON(0)}}));
        }
        const std::string verb = m.captured(2).toStdString();
        const int count =
            static_cast<int>(model_.setting({"players", bundleID, "tracks"}).array()->size());
        const int track = static_cast<int>(model_.number({"players", bundleID, "track"}));
        if (verb == "playpause") {
            const bool playing = model_.text({"players", bundleID, "state"}) == "playing";
            model_.put({"players", bundleID, "state"}, JSON(playing ? "paused" : "playing"));
        } else if (count > 0) {
            const int step = verb == "next track" ? 1 : count - 1;
            model_.put({"players", bundleID, "track"}, JSON((track + step) % count));
        }
        return PlatformValue::Array{};
    }
    static const QRegularExpression nowPlaying(
        QStringLiteral("^with timeout of 1 seconds\n    tell application id \"([^\"]+)\"\n"));
    if (const QRegularExpressionMatch m = nowPlaying.match(text); m.hasMatch()) {
        const std::string bundleID = m.captured(1).toStdString();
        if (source != nowPlayingScript(bundleID) || model_.pidsOf(bundleID).empty() ||
            !mayAutomate(bundleID)) {
            return Failure::ExecutionFailed;
        }
        const JSON player = model_.setting({"players", bundleID});
        const std::string* state = player.stringMember("state");
        if (state == nullptr || *state == "stopped") {
            return PlatformValue::Array{};
        }
        const JSON::Array& tracks = *player.find("tracks")->array();
        const auto index = static_cast<std::size_t>(*player.find("track")->number());
        if (index >= tracks.size()) {
            return Failure::ExecutionFailed; // no current track
        }
        return PlatformValue::Array{PlatformValue(*tracks[index].stringMember("name")),
                                    PlatformValue(*tracks[index].stringMember("artist")),
                                    PlatformValue(*state == "playing")};
    }
    return Failure::ExecutionFailed;
}

} // namespace corvane
