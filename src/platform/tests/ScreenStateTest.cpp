#include "platform/ScreenState.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(ScreenState, RawValuesReadBackAndNothingElseReads) {
    for (const ScreenState state : {ScreenState::Unlocked, ScreenState::Locked,
                                    ScreenState::Inactive, ScreenState::Unknown}) {
        EXPECT_EQ(screenStateFromRaw(rawValue(state)), state) << rawValue(state);
    }
    for (const char* other : {"Locked", "UNKNOWN", "", "unlocked ", "lock"}) {
        EXPECT_FALSE(screenStateFromRaw(other).has_value()) << other;
    }
}

} // namespace
} // namespace corvane
