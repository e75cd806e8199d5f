#include "relay/RelayText.h"

#include "core/CommandFeedback.h"

#include <array>
#include <cstdint>
#include <utility>

namespace corvane::RelayText {

namespace {

// Codes only the relay raises, so their sentences speak of the relay, never of the Mac.
constexpr std::array<std::pair<std::string_view, std::string_view>, 24> relaySentences{{
    {"rate_limited", "Too many attempts. Wait a few minutes, then try again."},
    {"sign_in_failed", "That name and password don’t match."},
    {"unauthorized", "You’re signed out. Sign in again to go on."},
    {"csrf_failed", "This page is out of date. Reload it, then try again."},
    {"setup_not_available",
     "This set-up link was already used. Sign in with the account it created."},
    {"pairing_not_found",
     "No Mac is waiting with this code. Check the code Velto shows on the Mac."},
    {"pairing_expired",
     "This pairing code expired. Click Connect in Velto on the Mac to get a new one."},
    {"device_not_found", "This Mac is no longer connected to your account."},
    {"device_offline",
     "The Mac is asleep or offline, so nothing was sent. Wake it or check its connection, then "
     "try again."},
    {"device_disconnected",
     "The Mac went offline while doing this, so the result is unknown. Check the Mac before "
     "trying again."},
    {"command_timed_out",
     "The Mac didn’t answer in time, so the result is unknown. Check the Mac before trying "
     "again."},
    {"device_busy", "The Mac is still busy with earlier requests. Wait a moment, then try again."},
    {"relay_lost",
     "The relay server holding the Mac’s connection stopped while doing this, so the result is "
     "unknown. Check the Mac before trying again."},
    {"invalid_device_name",
     "Enter a name of 1 to 64 characters, without line breaks or special characters."},
    {"owner_only", "Only the account’s owner can do this."},
    {"invite_not_available",
     "This invitation was already used, replaced or has expired. Ask for a new one."},
    {"name_taken", "This name is taken. Choose another one."},
    {"wrong_password", "That isn’t your current password."},
    {"weak_password", "Choose a new password of 10 to 1,024 characters."},
    {"too_many_streams",
     "Too many pages of this account are open. Close some, then reload this one."},
    {"invalid_request",
     "The relay didn’t understand this request. Reload the page, then try again."},
    {"relay_storage_failed",
     "The relay couldn’t read or write its database. Try again in a moment; if it keeps "
     "failing, the relay’s disk needs attention."},
    {"relay_failed", "The relay couldn’t finish this request. Try again in a moment."},
    {"relay_restarted",
     "The relay restarted while this command was on its way, so its result is unknown. Check the "
     "Mac before sending it again."},
}};

bool hidden(std::uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x200E ||
           c == 0x200F || c == 0x061C || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

} // namespace

bool plainName(std::string_view name) noexcept {
    if (name.empty()) {
        return false;
    }
    for (std::size_t i = 0; i < name.size();) {
        const auto lead = static_cast<unsigned char>(name[i]);
        const std::size_t length = lead < 0x80           ? 1
                                   : (lead >> 5) == 0x6  ? 2
                                   : (lead >> 4) == 0xE  ? 3
                                   : (lead >> 3) == 0x1E ? 4
                                                         : 0;
        if (length == 0 || i + length > name.size()) {
            return false;
        }
        std::uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(name[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            c = (c << 6) | (next & 0x3F);
        }
        if (hidden(c)) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string_view error(std::string_view code) noexcept {
    for (const auto& [known, sentence] : relaySentences) {
        if (known == code) {
            return sentence;
        }
    }
    return CommandFeedback::error(code);
}

std::string_view outcome(std::string_view outcome) noexcept {
    return outcome == "succeeded" ? CommandFeedback::outcome(outcome) : error(outcome);
}

} // namespace corvane::RelayText
