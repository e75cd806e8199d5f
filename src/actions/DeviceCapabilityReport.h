#pragma once

#include "core/JSON.h"
#include "platform/Platform.h"
#include "platform/ScreenState.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// What this agent offers and which permissions it holds, sent in the session's heartbeats; its
// version is also the one pairing and the session greeting announce.
namespace DeviceCapabilityReport {

inline constexpr std::array<std::string_view, 19> actions{"lock_screen",
                                                          "sleep_mac",
                                                          "media_play_pause",
                                                          "media_next",
                                                          "media_previous",
                                                          "set_volume",
                                                          "mute",
                                                          "unmute",
                                                          "close_browser_tabs",
                                                          "quit_app",
                                                          "open_app",
                                                          "open_url",
                                                          "run_shortcut",
                                                          "toggle_do_not_disturb",
                                                          "list_apps",
                                                          "get_state",
                                                          "desktop_observe",
                                                          "desktop_act",
                                                          "desktop_stop"};

inline constexpr std::array<std::string_view, 5> features{
    "audio_output_state", "playback_state", "app_inventory", "desktop_images", "system_status"};

// The agent's version, fixed at build time from the project version; "development" when the
// build set none.
std::string version();
// The build identifier fixed at build time (CORVANE_AGENT_BUILD); absent when the build set none.
std::optional<std::string> build();

// Reads the lock state once, for "screen_state" and for the permissions: all three are "unknown"
// unless the screen is unlocked.
JSON read(Platform& platform, bool desktopEnabled);

// The report over values already read; `read` fills them from the platform.
struct Inputs {
    std::string osVersion;
    ScreenState screenState = ScreenState::Unknown;
    std::string agentVersion;
    std::optional<std::string> agentBuild;
    bool desktopEnabled = false;
    bool accessibilityTrusted = false;
    bool screenCaptureAllowed = false;
    // Actions and features this computer cannot offer: left out of the lists.
    std::vector<std::string> unavailable;
};
JSON assemble(const Inputs& inputs);

} // namespace DeviceCapabilityReport

} // namespace corvane
