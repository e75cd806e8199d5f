#pragma once

#include <string>

namespace corvane {

// One device's transport as the hub sees it: whole text messages out, one per frame, and a close
// with a code. The server implements it over a WebSocket; tests record what it was asked.
class DeviceLink {
public:
    virtual ~DeviceLink() = default;
    virtual void sendText(const std::string& text) = 0;
    // Ends the transport; the hub has already forgotten the session when it calls this.
    virtual void close(int code) = 0;
};

} // namespace corvane
