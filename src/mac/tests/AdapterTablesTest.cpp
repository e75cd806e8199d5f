#include "mac/ApplicationBundlesOnMac.h"
#include "mac/PowerSourcesOnMac.h"

#include <gtest/gtest.h>

#include <limits>

namespace corvane {
namespace {

using Dict = PlatformValue::Dictionary;
using Array = PlatformValue::Array;

PowerSources::Battery battery(int percent, bool charging,
                              std::optional<bool> pluggedIn = std::nullopt) {
    return {percent, charging, pluggedIn};
}

TEST(PowerSourcesOnMac, PercentRoundsHalvesAwayFromZeroAndClamps) {
    constexpr std::int64_t big = std::numeric_limits<std::int64_t>::max();
    struct Row {
        std::int64_t current, maximum;
        int percent;
    } const rows[] = {
        // Halves round away from zero; out of range clamps; large values do not overflow.
        {57, 114, 50},   {1, 3, 33},    {1, 200, 1},         {1, 201, 0},        {-4, 5, 0},
        {115, 114, 100}, {big, 1, 100}, {big - 1, big, 100}, {big / 2, big, 50}, {1, big, 0},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(PowerSourcesOnMac::percent(row.current, row.maximum), row.percent)
            << row.current << " of " << row.maximum;
    }
}

TEST(PowerSourcesOnMac, FirstQualifyingSourceWins) {
    const Dict ups{{"Current Capacity", 80}, {"Max Capacity", 0}, {"Is Charging", true}};
    const Dict realCapacity{{"Current Capacity", 80.0}, {"Max Capacity", 100}};
    const Dict internal{{"Current Capacity", 57}, {"Max Capacity", 114}, {"Is Charging", true}};
    const Dict second{{"Current Capacity", 10}, {"Max Capacity", 100}, {"Is Charging", true}};
    const Dict numericCharging{{"Current Capacity", 1}, {"Max Capacity", 3}, {"Is Charging", 1}};
    const Dict onAC{
        {"Current Capacity", 1}, {"Max Capacity", 1}, {"Power Source State", "AC Power"}};
    const Dict onBattery{
        {"Current Capacity", 1}, {"Max Capacity", 1}, {"Power Source State", "Battery Power"}};
    const Dict otherState{{"Current Capacity", 1}, {"Max Capacity", 1}, {"Power Source State", 1}};

    struct Case {
        const char* name;
        std::optional<PlatformValue> sources;
        std::optional<PowerSources::Battery> expected;
    } const cases[] = {
        {"no power information", std::nullopt, std::nullopt},
        {"not a list", PlatformValue(internal), std::nullopt},
        {"desktop without sources", PlatformValue(Array{}), std::nullopt},
        {"source without max capacity", PlatformValue(Array{Dict{{"Current Capacity", 3}}}),
         std::nullopt},
        {"skips zero max and real capacities",
         PlatformValue(Array{ups, realCapacity, internal, second}), battery(50, true)},
        {"skips entries that are not dictionaries", PlatformValue(Array{PlatformValue(7), second}),
         battery(10, true)},
        {"charging only as a genuine boolean", PlatformValue(Array{numericCharging}),
         battery(33, false)},
        {"on AC power", PlatformValue(Array{onAC}), battery(100, false, true)},
        {"on battery power", PlatformValue(Array{onBattery}), battery(100, false, false)},
        {"power state not text", PlatformValue(Array{otherState}), battery(100, false)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PowerSourcesOnMac::fromSources(c.sources), c.expected) << c.name;
    }
}

TEST(ApplicationBundlesOnMac, InfoPlistKeysBecomeTheBundleInfo) {
    using Info = ApplicationBundles::Info;
    struct Row {
        const char* name;
        Dict plist;
        Info expected;
    } const rows[] = {
        {"empty", {}, Info{}},
        {"identifier and bundle name",
         {{"CFBundleIdentifier", "com.example.a"}, {"CFBundleName", "A"}},
         Info{"com.example.a", "A", false}},
        {"identifier not text", {{"CFBundleIdentifier", 5}}, Info{}},
        {"display name wins",
         {{"CFBundleDisplayName", "Shown"}, {"CFBundleName", "A"}},
         Info{"", "Shown", false}},
        {"an empty display name still wins",
         {{"CFBundleDisplayName", ""}, {"CFBundleName", "A"}},
         Info{"", "", false}},
        {"display name not text",
         {{"CFBundleDisplayName", 7}, {"CFBundleName", "A"}},
         Info{"", "A", false}},
        {"background only", {{"LSBackgroundOnly", true}}, Info{"", std::nullopt, true}},
        {"menu-bar agent as a number", {{"LSUIElement", 1}}, Info{"", std::nullopt, true}},
        {"agent as the number 0", {{"LSUIElement", 0}}, Info{}},
        {"agent as text YES", {{"LSUIElement", " YES "}}, Info{"", std::nullopt, true}},
        {"agent as other text", {{"LSUIElement", "no"}}, Info{}},
        {"agent as a real", {{"LSUIElement", 1.0}}, Info{}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ApplicationBundlesOnMac::fromDictionary(row.plist), row.expected) << row.name;
    }
}

} // namespace
} // namespace corvane
