#include "actions/SystemStatus.h"

#include <algorithm>
#include <chrono>

namespace corvane::SystemStatus {

namespace {

// a * b, absent when it does not fit 64 bits.
std::optional<std::uint64_t> multiplied(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) {
        return std::nullopt;
    }
    return product;
}

std::optional<std::uint64_t> added(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return std::nullopt;
    }
    return sum;
}

} // namespace

std::string versionText(const OSVersion& version) {
    return std::to_string(version.major) + '.' + std::to_string(version.minor) + '.' +
           std::to_string(version.patch);
}

std::optional<std::int64_t> uptimeSeconds(const std::optional<HostStats::BootTime>& boot,
                                          Clock::WallTime now) {
    if (!boot || boot->seconds < 1) {
        return std::nullopt;
    }
    // floor(now - boot) equals floor(now) - boot because the boot seconds are whole; a boot
    // time after now (a clock set back) is no uptime at all.
    const std::int64_t nowSeconds =
        std::chrono::floor<std::chrono::seconds>(now.time_since_epoch()).count();
    if (nowSeconds <= boot->seconds) {
        return 0;
    }
    return nowSeconds - boot->seconds;
}

std::string thermalName(HostStats::ThermalState state) {
    switch (state) {
    case HostStats::ThermalState::Nominal:
        return "normal";
    case HostStats::ThermalState::Fair:
        return "warm";
    case HostStats::ThermalState::Serious:
        return "hot";
    case HostStats::ThermalState::Critical:
        return "critical";
    case HostStats::ThermalState::Other:
        break;
    }
    return "unknown";
}

JSON memory(const std::optional<HostStats::Memory>& memory) {
    if (!memory) {
        return nullptr;
    }
    const std::uint64_t total = memory->physicalBytes;
    std::optional<std::uint64_t> pages = added(memory->activePages, memory->wiredPages);
    if (pages) {
        pages = added(*pages, memory->compressorPages);
    }
    std::optional<std::uint64_t> used = pages ? multiplied(*pages, memory->pageSize) : std::nullopt;
    // Page counts are sampled apart from each other and can add up past the physical memory.
    if (!used || *used >= total) {
        used = total;
    }
    return JSON::Object{{"total_bytes", total}, {"used_bytes", *used}};
}

JSON storage(const HostStats::VolumeCapacity& capacity) {
    if (!capacity.totalBytes || !capacity.availableBytes || *capacity.totalBytes < 1 ||
        *capacity.availableBytes < 0) {
        return nullptr;
    }
    const std::int64_t total = *capacity.totalBytes;
    const std::int64_t available = std::min(*capacity.availableBytes, total);
    return JSON::Object{{"total_bytes", total}, {"available_bytes", available}};
}

JSON read(Platform& platform) {
    const HostStats& host = platform.host;
    JSON::Object system;
    system.emplace("macos_version", versionText(platform.workspace.osVersion()));
    const auto uptime = uptimeSeconds(host.bootTime(), platform.clock.now());
    system.emplace("uptime_seconds", uptime ? JSON(*uptime) : JSON());
    system.emplace("low_power_mode", host.lowPowerMode());
    system.emplace("thermal_state", thermalName(host.thermalState()));
    system.emplace("memory", memory(host.memory()));
    system.emplace("storage", storage(host.homeVolumeCapacity()));
    return system;
}

} // namespace corvane::SystemStatus
