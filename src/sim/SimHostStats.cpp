#include "sim/SimHostStats.h"

#include "sim/SimModel.h"

namespace corvane {

namespace {

std::uint64_t count(const JSON& object, std::string_view key) {
    return static_cast<std::uint64_t>(object.find(key)->number().value_or(0.0));
}

} // namespace

std::optional<HostStats::Memory> SimHostStats::memory() const {
    const JSON memory = model_.setting({"host", "memory"});
    if (memory.isNull()) {
        return std::nullopt;
    }
    return Memory{count(memory, "physical_bytes"), count(memory, "page_size"),
                  count(memory, "active_pages"), count(memory, "wired_pages"),
                  count(memory, "compressor_pages")};
}

std::optional<HostStats::BootTime> SimHostStats::bootTime() const {
    const JSON boot = model_.setting({"host", "boot_time"});
    if (boot.isNull()) {
        return std::nullopt;
    }
    return BootTime{static_cast<std::int64_t>(*boot.find("seconds")->number()),
                    static_cast<std::int64_t>(*boot.find("microseconds")->number())};
}

HostStats::ThermalState SimHostStats::thermalState() const {
    const std::string state = model_.text({"host", "thermal_state"});
    if (state == "nominal") {
        return ThermalState::Nominal;
    }
    if (state == "fair") {
        return ThermalState::Fair;
    }
    if (state == "serious") {
        return ThermalState::Serious;
    }
    if (state == "critical") {
        return ThermalState::Critical;
    }
    return ThermalState::Other;
}

bool SimHostStats::lowPowerMode() const {
    return model_.flag({"host", "low_power_mode"});
}

HostStats::VolumeCapacity SimHostStats::homeVolumeCapacity() const {
    const JSON volume = model_.setting({"host", "volume"});
    VolumeCapacity capacity;
    if (std::optional<double> total = volume.find("total_bytes")->number()) {
        capacity.totalBytes = static_cast<std::int64_t>(*total);
    }
    if (std::optional<double> available = volume.find("available_bytes")->number()) {
        capacity.availableBytes = static_cast<std::int64_t>(*available);
    }
    return capacity;
}

} // namespace corvane
