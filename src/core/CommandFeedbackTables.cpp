#include "core/CommandFeedbackTables.h"

#include <array>

// The source is UTF-8 and so is the execution character set: the typographic apostrophe (U+2019),
// the arrow (U+2192) and the middle dot (U+00B7) below are stored as their UTF-8 bytes.

namespace corvane::CommandFeedbackTables {

namespace {

// clang-format off
// One row per line, in the product's own order, so each text can be read against its wording.

constexpr auto kActionNames = std::to_array<Text>({
    {"lock_screen", "Lock Mac"},
    {"sleep_mac", "Sleep Mac"},
    {"media_play_pause", "Play or pause"},
    {"media_next", "Next track"},
    {"media_previous", "Previous track"},
    {"set_volume", "Change volume"},
    {"mute", "Mute"},
    {"unmute", "Unmute"},
    {"close_browser_tabs", "Close browser tabs"},
    {"quit_app", "Close app"},
    {"open_app", "Open app"},
    {"open_url", "Open website"},
    {"run_shortcut", "Run Shortcut"},
    {"toggle_do_not_disturb", "Change Focus"},
    {"list_apps", "List apps"},
    {"get_state", "Check Mac status"},
    {"desktop_observe", "Look at app"},
    {"desktop_act", "Use app"},
    {"desktop_stop", "Pause desktop control"},
});

constexpr auto kSuccessTexts = std::to_array<SuccessText>({
    {"open_app", "already_open", "focused", "App already open · brought to front", true},
    {"open_app", "already_open", "", "App was already open", true},
    {"open_app", "", "", "App opened", true},
    {"quit_app", "already_closed", "", "App was already closed", true},
    {"quit_app", "", "", "App closed", true},
    {"lock_screen", "already_locked", "", "Mac was already locked", false},
    {"lock_screen", "", "", "Mac locked", false},
    {"get_state", "screen_locked", "", "Mac is locked", false},
    {"get_state", "", "", "Mac status updated", false},
    {"desktop_observe", "", "", "App view updated", false},
    {"desktop_act", "", "", "Interaction sent", false},
    {"desktop_stop", "", "", "Desktop control paused", false},
    {"list_apps", "", "", "App list updated", false},
    {"open_url", "", "", "Website opened", true},
    {"mute", "", "", "Audio muted", true},
    {"unmute", "", "", "Audio unmuted", true},
    {"set_volume", "", "", "Volume changed", true},
    {"run_shortcut", "", "", "Shortcut completed", true},
    {"media_play_pause", "", "", "Playback toggled", true},
    {"media_next", "", "", "Skipped to next track", true},
    {"media_previous", "", "", "Returned to previous track", true},
    {"sleep_mac", "", "", "Sleep requested", false},
    {"close_browser_tabs", "", "", "Browser tabs closed", false},
    {"toggle_do_not_disturb", "", "", "Focus updated", false},
});

constexpr auto kErrorTexts = std::to_array<Text>({
    {"accessibility_permission_required", "macOS isn’t allowing Velto to control apps. Check Velto in System Settings → Privacy & Security → Accessibility."},
    {"screen_recording_permission_required", "Allow Screen Recording for Velto in System Settings, or turn off images."},
    {"desktop_permission_required", "Enable desktop control in Velto’s Connection settings."},
    {"desktop_app_not_allowed", "Enable desktop control in Velto’s Connection settings."},
    {"desktop_app_not_running", "Open this app first, then look again."},
    {"desktop_window_unavailable", "Open a window in this app, then look again."},
    {"desktop_snapshot_expired", "This view expired. Look at the app again."},
    {"desktop_focus_changed", "The app or window changed. Look at it again before continuing."},
    {"desktop_capture_window_mismatch", "The app or window changed. Look at it again before continuing."},
    {"desktop_target_unavailable", "That control is no longer available. Look at the app again."},
    {"desktop_protected_ui", "This is a protected screen. Complete this step directly on your Mac."},
    {"desktop_app_excluded", "This is a protected screen. Complete this step directly on your Mac."},
    {"desktop_target_not_editable", "Velto can’t type into this field. Choose another field."},
    {"desktop_action_failed", "The app didn’t accept that action. Look at it again before retrying."},
    {"desktop_busy", "Velto is still reading the app. Wait a moment, then try again."},
    {"desktop_capture_failed", "Velto couldn’t capture this window. Look again, or turn off images."},
    {"desktop_image_required", "Look at the app with images turned on before clicking."},
    {"desktop_image_too_large", "This window is too large to capture. Make it smaller or turn off images."},
    {"desktop_observation_too_large", "This window has too much content. Try a smaller window."},
    {"invalid_params", "Check the action’s details, then try again."},
    {"invalid_message", "Check the action’s details, then try again."},
    {"invalid_url", "Enter a complete website address beginning with https:// or http://."},
    {"protected_app", "This is a macOS component. Velto cannot open or close it."},
    {"app_not_found", "App not found. Refresh the app list and choose it again."},
    {"app_not_found_or_ambiguous", "App not found. Refresh the app list and choose it again."},
    {"device_locked", "Unlock this Mac before running this action."},
    {"lock_state_unknown", "This Mac’s session changed. Return to it before trying again."},
    {"session_changed", "This Mac’s session changed. Return to it before trying again."},
    {"media_app_not_running", "Open Music or Spotify first, then try playback again."},
    {"automation_failed_or_permission_required", "The app didn’t respond. Check Velto’s Automation access in System Settings → Privacy & Security."},
    {"permission_required", "Permission wasn’t granted. Try again when you’re ready to allow it."},
    {"action_not_allowlisted", "Add this exact name to Velto’s approved Shortcuts first."},
    {"invalid_shortcut_name", "Enter the Shortcut’s exact name without line breaks."},
    {"quit_pending_user_attention", "The app is still open. Check it for a save dialog."},
    {"quit_refused", "The app declined to close. Check it on your Mac."},
    {"action_timeout_outcome_unknown", "This took too long. Check the Mac before retrying; the result is unknown."},
    {"command_expired", "This request expired before it could run. Send it again."},
    {"invalid_deadline", "This request expired before it could run. Send it again."},
    {"duplicate_command", "This request was already received. Check its result before trying again."},
    {"action_unsupported", "This version of Velto doesn’t support that action. Check for an update."},
    {"lock_not_confirmed", "Velto couldn’t confirm the Mac locked. Check the Mac before retrying."},
    {"sleep_unavailable", "macOS didn’t accept the sleep request. Try again on the Mac."},
    {"sleep_request_denied", "macOS didn’t accept the sleep request. Try again on the Mac."},
    {"focus_control_unavailable", "Velto couldn’t reach this control. Check it on the Mac."},
    {"native_control_unavailable", "Velto couldn’t reach this control. Check it on the Mac."},
    {"focus_change_not_confirmed", "Velto couldn’t confirm the Focus change. Check Control Center."},
    {"pinned_tab_detection_unverified", "Velto can’t identify pinned tabs in this window, so it left them open."},
    {"browser_tabs_changed", "The browser tabs changed. Check what’s open before trying again."},
    {"browser_cleanup_partial", "Some tabs may have closed. Check the browser before trying again."},
    {"browser_cleanup_pending_user_attention", "The browser is waiting for you. Check for a save or confirmation dialog."},
    {"browser_cleanup_limit_exceeded", "There are too many tabs to handle at once. Close some, then try again."},
    {"browser_menu_unavailable", "Velto couldn’t reach the browser’s tab controls. Check its windows before trying again."},
    {"browser_tab_close_unavailable", "Velto couldn’t reach the browser’s tab controls. Check its windows before trying again."},
    {"browser_tab_layout_unavailable", "Velto couldn’t reach the browser’s tab controls. Check its windows before trying again."},
    {"browser_window_unavailable", "Velto couldn’t reach the browser’s tab controls. Check its windows before trying again."},
    {"device_offline", "Velto lost its connection. Check your internet connection and try again."},
    {"relay_request_failed", "Velto lost its connection. Check your internet connection and try again."},
    {"device_token_revoked", "This Mac’s connection is no longer valid. Connect it again."},
    {"device_identity_mismatch", "This Mac’s connection is no longer valid. Connect it again."},
    {"pairing_expired", "This setup link expired. Click Connect to start again."},
    {"pairing_pending", "Approve this Mac in your browser to finish connecting."},
    {"https_relay_required", "Enter a valid HTTPS service address in Connection settings."},
    {"invalid_dashboard", "Enter a valid HTTPS service address in Connection settings."},
    {"keychain_read_failed", "Velto couldn’t access its connection keys. Check Connection settings and any Keychain prompt."},
    {"keychain_write_failed", "Velto couldn’t access its connection keys. Check Connection settings and any Keychain prompt."},
    {"keychain_delete_failed", "Velto couldn’t access its connection keys. Check Connection settings and any Keychain prompt."},
    {"keychain_credentials_invalid", "Velto couldn’t access its connection keys. Check Connection settings and any Keychain prompt."},
    {"connection_or_storage_failed", "Velto couldn’t access its connection keys. Check Connection settings and any Keychain prompt."},
    {"invalid_local_log", "Velto couldn’t read or save its activity log. Check this Mac before trying again."},
});

// clang-format on

} // namespace

constexpr std::string_view fallbackActionName = "Mac action";
constexpr std::string_view fallbackSuccess = "Completed";
constexpr std::string_view fallbackError =
    "Velto couldn’t complete this action. Check the Mac before trying again.";

std::span<const Text> actionNames() noexcept {
    return kActionNames;
}
std::span<const SuccessText> successTexts() noexcept {
    return kSuccessTexts;
}
std::span<const Text> errorTexts() noexcept {
    return kErrorTexts;
}

} // namespace corvane::CommandFeedbackTables
