#pragma once

#include <cstdint>
#include <optional>

namespace corvane {

// Memory, boot time, thermal state, low-power mode and the home volume's capacity.
class HostStats {
public:
    virtual ~HostStats() = default;

    struct Memory {
        std::uint64_t physicalBytes = 0;
        std::uint64_t pageSize = 0;
        std::uint64_t activePages = 0;
        std::uint64_t wiredPages = 0;
        std::uint64_t compressorPages = 0;
    };
    // Absent when the statistics or the page size cannot be read.
    virtual std::optional<Memory> memory() const = 0;

    struct BootTime {
        std::int64_t seconds = 0;
        std::int64_t microseconds = 0;
    };
    virtual std::optional<BootTime> bootTime() const = 0;

    enum class ThermalState { Nominal, Fair, Serious, Critical, Other };
    virtual ThermalState thermalState() const = 0;
    virtual bool lowPowerMode() const = 0;

    // Capacities of the volume holding the home directory; each absent when unreadable.
    struct VolumeCapacity {
        std::optional<std::int64_t> totalBytes;
        std::optional<std::int64_t> availableBytes;
    };
    virtual VolumeCapacity homeVolumeCapacity() const = 0;
};

} // namespace corvane
