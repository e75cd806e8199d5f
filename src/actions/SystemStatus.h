#pragma once

#include "core/Clock.h"
#include "core/JSON.h"
#include "platform/HostStats.h"
#include "platform/OSVersion.h"
#include "platform/Platform.h"

#include <optional>
#include <string>

namespace corvane {

// The "system" member of the state report: operating-system version, uptime, low-power mode,
// thermal state, memory and storage. Always an object; unreadable parts are null.
namespace SystemStatus {

JSON read(Platform& platform);

// The parts, each over the platform value it needs.
std::string versionText(const OSVersion& version);
// Whole seconds since boot, never negative; absent when the boot time is unreadable.
std::optional<std::int64_t> uptimeSeconds(const std::optional<HostStats::BootTime>& boot,
                                          Clock::WallTime now);
std::string thermalName(HostStats::ThermalState state);
JSON memory(const std::optional<HostStats::Memory>& memory);
JSON storage(const HostStats::VolumeCapacity& capacity);

} // namespace SystemStatus

} // namespace corvane
