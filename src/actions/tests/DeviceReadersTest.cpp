#include "actions/CharacterPrefix.h"
#include "actions/SystemStatus.h"

#include "support/FakePlatform.h"

#include <gtest/gtest.h>

#include <limits>

namespace corvane {
namespace {

using Dict = PlatformValue::Dictionary;
using Array = PlatformValue::Array;

TEST(SystemStatus, MemoryIsClampedToPhysicalAndSurvivesOverflow) {
    constexpr std::uint64_t gib = 1ull << 30;
    using Memory = HostStats::Memory;
    constexpr std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
    struct Row {
        const char* name;
        Memory memory;
        std::uint64_t used;
    } const rows[] = {
        {"normal", {16 * gib, 16384, 1000, 500, 500}, 2000ull * 16384},
        {"sampled above physical", {gib, 4096, gib / 4096, 1, 0}, gib},
        {"exactly physical", {gib, 4096, gib / 4096, 0, 0}, gib},
        {"page sum overflows", {gib, 4096, huge, huge, huge}, gib},
        {"bytes overflow", {gib, 1ull << 40, 1ull << 30, 0, 0}, gib},
    };
    for (const Row& row : rows) {
        const JSON expected =
            JSON::Object{{"total_bytes", row.memory.physicalBytes}, {"used_bytes", row.used}};
        EXPECT_EQ(SystemStatus::memory(row.memory), expected) << row.name;
    }
    EXPECT_TRUE(SystemStatus::memory(std::nullopt).isNull());
}

TEST(SystemStatus, UptimeIsWholeSecondsAndNeverNegative) {
    using namespace std::chrono;
    const Clock::WallTime now{seconds(1'700'000'100) + milliseconds(999)};
    using Boot = HostStats::BootTime;
    EXPECT_EQ(SystemStatus::uptimeSeconds(Boot{1'700'000'000, 900'000}, now), 100);
    EXPECT_EQ(SystemStatus::uptimeSeconds(Boot{1'700'000'100, 0}, now), 0);
    EXPECT_EQ(SystemStatus::uptimeSeconds(Boot{1'700'000'500, 0}, now), 0);
    EXPECT_EQ(SystemStatus::uptimeSeconds(Boot{std::numeric_limits<std::int64_t>::max(), 0}, now),
              0);
    EXPECT_EQ(SystemStatus::uptimeSeconds(Boot{1, 0}, Clock::WallTime{seconds(-5)}), 0);
    EXPECT_FALSE(SystemStatus::uptimeSeconds(Boot{0, 500}, now).has_value());
    EXPECT_FALSE(SystemStatus::uptimeSeconds(std::nullopt, now).has_value());
}

TEST(SystemStatus, StorageIsClampedOrNullAndVersionIsDotted) {
    using V = HostStats::VolumeCapacity;
    const auto storage = [](std::int64_t total, std::int64_t available) {
        return JSON(JSON::Object{{"total_bytes", total}, {"available_bytes", available}});
    };
    EXPECT_EQ(SystemStatus::storage(V{500, 120}), storage(500, 120));
    EXPECT_EQ(SystemStatus::storage(V{500, 900}), storage(500, 500));
    EXPECT_EQ(SystemStatus::storage(V{1, 0}), storage(1, 0));
    for (const V& bad : {V{0, 0}, V{500, -1}, V{std::nullopt, 5}, V{500, std::nullopt}}) {
        EXPECT_TRUE(SystemStatus::storage(bad).isNull());
    }

    EXPECT_EQ(SystemStatus::versionText(OSVersion{15, 1, 2, ""}), "15.1.2");
}

TEST(SystemStatus, ReadAlwaysHasTheSixKeys) {
    test::FakePlatform mac;
    mac.host.thermal = HostStats::ThermalState::Serious;
    mac.host.lowPower = true;
    Platform platform = mac.platform();
    const JSON expected = JSON::Object{{"macos_version", "14.5.0"}, {"uptime_seconds", nullptr},
                                       {"low_power_mode", true},    {"thermal_state", "hot"},
                                       {"memory", nullptr},         {"storage", nullptr}};
    EXPECT_EQ(SystemStatus::read(platform), expected);
}

TEST(CharacterPrefix, CutsByGraphemeClusters) {
    const std::string e = "e\xCC\x81";                           // e + combining acute
    const std::string flag = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA"; // regional D, E
    const std::string family = "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"; // woman ZWJ girl
    const std::string hangul = "\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB";         // conjoining jamo
    struct Row {
        std::string in;
        std::size_t count;
        std::string out;
    } const rows[] = {
        {"Safari", 3, "Saf"},
        {"Safari", 10, "Safari"},
        {"", 5, ""},
        {"abc", 0, ""},
        {e + e + "x", 2, e + e},
        {flag + flag, 1, flag},
        {family + "z", 1, family},
        {hangul + "z", 1, hangul},
        {"a\r\nb", 2, "a\r\n"},
        {"ok\xFF", 3, "ok\xEF\xBF\xBD"}, // invalid byte becomes U+FFFD
    };
    for (const Row& row : rows) {
        EXPECT_EQ(characterPrefix(row.in, row.count), row.out) << row.in;
    }
}

} // namespace
} // namespace corvane
