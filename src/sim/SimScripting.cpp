#include "sim/SimScripting.h"

#include "mac/AudioOutputOnMac.h"
#include "mac/MediaPlayersOnMac.h"
#include "sim/SimModel.h"

#include <QRegularExpression>

#include <algorithm>

namespace corvane {

namespace {

MacScripting::Permission permissionIn(const SimSettings& settings, const std::string& bundleID) {
    const std::string permission = settings.text({"automation", bundleID});
    if (permission == "granted") {
        return MacScripting::Permission::Granted;
    }
    if (permission == "denied") {
        return MacScripting::Permission::Denied;
    }
    return MacScripting::Permission::NotDetermined;
}

// Applies the automation permission for a script sent to a player; false when refused.
bool mayAutomate(SimParts& mac, const std::string& bundleID) {
    switch (permissionIn(mac.settings, bundleID)) {
    case MacScripting::Permission::Granted:
        return true;
    case MacScripting::Permission::Denied:
        return false;
    case MacScripting::Permission::NotDetermined:
        // The system asks once; the simulated person allows it.
        mac.settings.put({"automation", bundleID}, JSON("granted"));
        mac.record.record("automation_prompt", {{"bundle_id", JSON(bundleID)}});
        return true;
    }
    return false;
}

} // namespace

MacScripting::Result SimScripting::run(const std::string& source) {
    return model_.with([&](SimParts& mac) {
        Result result = answer(mac, source);
        mac.record.record("script",
                          {{"source", JSON(source)},
                           {"ok", JSON(std::holds_alternative<PlatformValue::Array>(result))}});
        return result;
    });
}

MacScripting::Permission SimScripting::automationPermission(const std::string& bundleID) const {
    return model_.with([&](SimParts& mac) { return permissionIn(mac.settings, bundleID); });
}

MacScripting::Result SimScripting::answer(SimParts& mac, const std::string& source) {
    SimSettings& settings = mac.settings;
    if (!settings.flag({"scripting", "available"})) {
        return Failure::ExecutionFailed;
    }
    // The scripts the Mac adapter sends, recognised by their exact text.
    if (source == AudioOutputOnMac::readScript) {
        return PlatformValue::Array{
            PlatformValue(static_cast<std::int64_t>(settings.number({"audio", "volume"}))),
            PlatformValue(settings.flag({"audio", "muted"}))};
    }
    if (source == "set volume with output muted" || source == "set volume without output muted") {
        settings.put({"audio", "muted"}, JSON(source == "set volume with output muted"));
        return PlatformValue::Array{};
    }
    const QString text = QString::fromStdString(source);
    static const QRegularExpression setVolume(
        QStringLiteral("^set volume output volume (\\d{1,9})$"));
    if (const QRegularExpressionMatch m = setVolume.match(text); m.hasMatch()) {
        const int level = std::clamp(m.captured(1).toInt(), 0, 100);
        settings.put({"audio", "volume"}, JSON(level));
        return PlatformValue::Array{};
    }
    static const QRegularExpression command(QStringLiteral(
        "^tell application id \"([^\"]+)\" to (playpause|next track|previous track)$"));
    if (const QRegularExpressionMatch m = command.match(text); m.hasMatch()) {
        const std::string bundleID = m.captured(1).toStdString();
        if (mac.apps.pidsOf(bundleID).empty() || !mayAutomate(mac, bundleID)) {
            return Failure::ExecutionFailed;
        }
        if (settings.get({"players", bundleID}).isNull()) {
            settings.put({"players", bundleID}, JSON(JSON::Object{{"state", JSON("stopped")},
                                                                  {"tracks", JSON(JSON::Array{})},
                                                                  {"track", JSON(0)}}));
        }
        const std::string verb = m.captured(2).toStdString();
        const int count =
            static_cast<int>(settings.get({"players", bundleID, "tracks"}).array()->size());
        const int track = static_cast<int>(settings.number({"players", bundleID, "track"}));
        if (verb == "playpause") {
            const bool playing = settings.text({"players", bundleID, "state"}) == "playing";
            settings.put({"players", bundleID, "state"}, JSON(playing ? "paused" : "playing"));
        } else if (count > 0) {
            const int step = verb == "next track" ? 1 : count - 1;
            settings.put({"players", bundleID, "track"}, JSON((track + step) % count));
        }
        return PlatformValue::Array{};
    }
    static const QRegularExpression nowPlaying(
        QStringLiteral("^with timeout of 1 seconds\n    tell application id \"([^\"]+)\"\n"));
    if (const QRegularExpressionMatch m = nowPlaying.match(text); m.hasMatch()) {
        const std::string bundleID = m.captured(1).toStdString();
        if (source != MediaPlayersOnMac::nowPlayingScript(bundleID) ||
            mac.apps.pidsOf(bundleID).empty() || !mayAutomate(mac, bundleID)) {
            return Failure::ExecutionFailed;
        }
        const JSON player = settings.get({"players", bundleID});
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
