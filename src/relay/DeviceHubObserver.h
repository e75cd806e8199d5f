#pragma once

#include "relay/DeviceHub.h"

namespace corvane {

// Told by the hub what changed, as it happens, so that open dashboards can follow: a device came,
// heartbeated or went; a command was sent, delivered or finished. Called on the main thread from
// inside the hub's work: it must not call back into the hub.
class DeviceHubObserver {
public:
    virtual ~DeviceHubObserver() = default;
    virtual void deviceChanged(const std::string& deviceId, const DeviceHub::Live& live) = 0;
    virtual void commandChanged(const DeviceHub::Command& command) = 0;
};

} // namespace corvane
