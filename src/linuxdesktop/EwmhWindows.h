#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// The application windows an X11 window manager lists through its extended hints (EWMH): which
// windows it manages, which one is active, and the requests to activate or close one. Every read is
// one batch of requests and replies to the local X server (quick round trips); requests are sent
// without waiting for the window manager to act on them. Without a display on this machine (or
// when the server went away) it is unavailable: lists are empty and requests fail. Used from one
// thread.
class EwmhWindows {
public:
    // `display` as in DISPLAY; empty uses the DISPLAY environment variable.
    explicit EwmhWindows(const std::string& display = {});
    ~EwmhWindows();
    EwmhWindows(const EwmhWindows&) = delete;
    EwmhWindows& operator=(const EwmhWindows&) = delete;

    struct Window {
        std::uint32_t id = 0;
        // 0 when the window states none (_NET_WM_PID).
        std::int32_t pid = 0;
        // WM_CLASS: the instance and class names.
        std::string instance;
        std::string windowClass;
        std::string title;
        // WM_CLIENT_MACHINE: the host the client runs on ("" when unstated).
        std::string machine;
        // Not a dock, panel or desktop background.
        bool ordinary = true;
    };

    bool available();
    // The managed windows in the window manager's order (_NET_CLIENT_LIST).
    std::vector<Window> clients();
    std::optional<std::uint32_t> activeWindow();
    // False when the request could not be sent (no display, or no such window).
    bool requestActivate(std::uint32_t window);
    bool requestClose(std::uint32_t window);

    // Bounds on what one read takes from the server.
    static constexpr std::uint32_t windowLimit = 4096;
    static constexpr std::uint32_t textLimit = 1024;

private:
    struct Connection;
    bool connected();
    bool sendToRoot(std::uint32_t window, std::uint32_t type, const std::uint32_t (&data)[5]);

    std::string display_;
    std::unique_ptr<Connection> connection_;
    std::chrono::steady_clock::time_point lastAttempt_{};
};

} // namespace corvane
