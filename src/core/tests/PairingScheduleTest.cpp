#include "core/PairingSchedule.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace std::chrono;
namespace PairingSchedule = corvane::PairingSchedule;

namespace {

const corvane::WireTime::Instant kNow = sys_days{year{2026} / 1 / 2} + hours{3};

} // namespace

TEST(PairingSchedule, DelayIsBasePlusCappedSampleWithinTheTimeLeft) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    struct Row {
        duration<double> left;
        double sample;
        double expected;
    };
    const Row rows[] = {
        {seconds{60}, 0.5, 3.0},        {seconds{60}, 0.0, 2.5},
        {seconds{60}, 0.999, 3.499},    {seconds{60}, 1.0, 3.5},
        {seconds{60}, 7.0, 3.5},        {seconds{60}, inf, 3.5},
        {seconds{60}, -0.5, 2.5},       {seconds{60}, -inf, 2.5},
        {seconds{60}, nan, 2.5},        {seconds{1}, 0.5, 1.0},
        {milliseconds{3200}, 1.0, 3.2}, {milliseconds{3200}, 0.5, 3.0},
        {nanoseconds{1}, 0.0, 1e-9},    {hours{24 * 365 * 200}, 0.25, 2.75},
    };
    for (const auto& row : rows) {
        const auto expiresAt = kNow + duration_cast<nanoseconds>(row.left);
        const auto delay = PairingSchedule::nextDelay(kNow, expiresAt, true, row.sample);
        ASSERT_TRUE(delay.has_value()) << row.left.count() << " s left, sample " << row.sample;
        EXPECT_DOUBLE_EQ(delay->count(), row.expected)
            << row.left.count() << " s left, sample " << row.sample;
    }
}

TEST(PairingSchedule, NoPollingWhenHiddenOrExpired) {
    EXPECT_FALSE(PairingSchedule::nextDelay(kNow, kNow + seconds{60}, false, 0.5));
    EXPECT_FALSE(PairingSchedule::nextDelay(kNow, kNow, true, 0.5));
    EXPECT_FALSE(PairingSchedule::nextDelay(kNow, kNow - nanoseconds{1}, true, 0.5));
    EXPECT_FALSE(PairingSchedule::nextDelay(kNow, kNow - hours{1}, false, 0.5));
}

TEST(PairingSchedule, ExtremeInstantsDoNotOverflow) {
    using Instant = corvane::WireTime::Instant;
    const auto delay = PairingSchedule::nextDelay(Instant::min(), Instant::max(), true, 0.0);
    ASSERT_TRUE(delay.has_value());
    EXPECT_DOUBLE_EQ(delay->count(), 2.5);
    EXPECT_FALSE(PairingSchedule::nextDelay(Instant::max(), Instant::min(), true, 0.0));
}
