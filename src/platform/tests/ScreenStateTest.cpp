#include "platform/ScreenState.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(ScreenState, RawValuesAndLockedFlag) {
    struct Row {
        ScreenState state;
        const char* raw;
        std::optional<bool> locked;
    };
    const Row rows[] = {{ScreenState::Unlocked, "unlocked", false},
                        {ScreenState::Locked, "locked", true},
                        {ScreenState::Inactive, "inactive", std::nullopt},
                        {ScreenState::Unknown, "unknown", std::nullopt}};
    for (const Row& row : rows) {
        EXPECT_EQ(rawValue(row.state), row.raw);
        EXPECT_EQ(screenStateFromRaw(row.raw), row.state);
        EXPECT_EQ(lockedValue(row.state), row.locked) << row.raw;
    }
    for (const char* other : {"Locked", "UNKNOWN", "", "unlocked ", "lock"}) {
        EXPECT_FALSE(screenStateFromRaw(other).has_value()) << other;
    }
}

} // namespace
} // namespace corvane
