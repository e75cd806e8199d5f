#include "actions/StateReport.h"

#include "actions/CharacterPrefix.h"
#include "actions/NowPlayingReader.h"
#include "actions/SystemStatus.h"

#include <exception>

namespace corvane::StateReport {

namespace {

constexpr std::size_t maxNameCharacters = 160;
constexpr std::size_t maxRunningApps = 512;

// One unavailable source must not fail the whole report: a backend that throws counts as a
// source that could not be read.
template <typename Read>
JSON orNull(Read&& read) {
    try {
        return read();
    } catch (const std::exception&) {
        return nullptr;
    }
}

// The "battery" member: {"percent", "charging"} of the computer's battery, or null without one.
JSON batteryJSON(const std::optional<PowerSources::Battery>& battery) {
    if (!battery) {
        return nullptr;
    }
    return JSON::Object{{"percent", battery->percent}, {"charging", battery->charging}};
}

JSON audioJSON(const std::optional<AudioOutput::State>& state) {
    if (!state) {
        return nullptr;
    }
    return JSON::Object{{"volume", state->volume}, {"muted", state->muted}};
}

// {"volume", "muted"} of the sound output, or null when it cannot be read.
QCoro::Task<JSON> audio(AudioOutput& output) {
    try {
        co_return audioJSON(co_await output.read());
    } catch (const std::exception&) {
        co_return JSON();
    }
}

} // namespace

JSON frontmostApp(const Workspace& workspace) {
    const auto app = workspace.frontmostApplication();
    if (!app || !app->localizedName) {
        return nullptr;
    }
    // An empty name is still the application's name; only a missing one is null.
    return characterPrefix(*app->localizedName, maxNameCharacters);
}

JSON runningApps(const Workspace& workspace) {
    JSON::Array names;
    for (const RunningApplication& app : workspace.runningApplications()) {
        if (names.size() == maxRunningApps) {
            break;
        }
        if (app.activationPolicy != RunningApplication::ActivationPolicy::Regular ||
            !app.localizedName) {
            continue;
        }
        std::string name = characterPrefix(*app.localizedName, maxNameCharacters);
        if (!name.empty()) {
            names.emplace_back(std::move(name));
        }
    }
    return names;
}

QCoro::Task<JSON> gather(Platform& caller) {
    // The bundle of port references is copied before the first suspension, so the caller's
    // bundle need not outlive the report; the ports themselves live as long as the backend.
    Platform platform = caller;
    JSON::Object report;
    report.emplace("screen_locked", false);
    report.emplace("frontmost_app", orNull([&] { return frontmostApp(platform.workspace); }));
    JSON nowPlaying;
    try {
        nowPlaying = co_await NowPlayingReader::read(platform);
    } catch (const std::exception&) {
        nowPlaying = nullptr;
    }
    report.emplace("now_playing", std::move(nowPlaying));
    JSON battery;
    try {
        battery = batteryJSON(co_await platform.powerSources.battery());
    } catch (const std::exception&) {
        battery = nullptr;
    }
    report.emplace("battery", std::move(battery));
    report.emplace("running_apps", runningApps(platform.workspace));
    report.emplace("system", SystemStatus::read(platform));
    JSON audioState = co_await audio(platform.audio);
    report.emplace("audio", std::move(audioState));
    co_return report;
}

} // namespace corvane::StateReport
