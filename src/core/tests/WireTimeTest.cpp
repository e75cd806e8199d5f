#include "core/WireTime.h"

#include <gtest/gtest.h>

using namespace std::chrono;
namespace WireTime = corvane::WireTime;

namespace {

WireTime::Instant utc(int y, unsigned mo, unsigned d, int h, int mi, int s) {
    return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s};
}

} // namespace

TEST(WireTime, WritesMillisecondsAndZ) {
    EXPECT_EQ(WireTime::text(utc(2026, 1, 2, 3, 4, 5) + milliseconds{678}),
              "2026-01-02T03:04:05.678Z");
    EXPECT_EQ(WireTime::text(utc(2001, 1, 1, 0, 0, 0)), "2001-01-01T00:00:00.000Z");
    // Sub-millisecond digits are dropped, never rounded into the next millisecond or second.
    EXPECT_EQ(WireTime::text(utc(2026, 12, 31, 23, 59, 59) + microseconds{999999}),
              "2026-12-31T23:59:59.999Z");
    EXPECT_EQ(WireTime::text(utc(1969, 12, 31, 23, 59, 59) + microseconds{999500}),
              "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(WireTime::text(utc(2024, 2, 29, 12, 0, 0) + microseconds{1}),
              "2024-02-29T12:00:00.000Z");
}

TEST(WireTime, ReadsBothFormsAndAppliesOffsets) {
    const auto base = utc(2026, 1, 2, 3, 4, 5);
    EXPECT_EQ(WireTime::parse("2026-01-02T03:04:05Z"), base);
    EXPECT_EQ(WireTime::parse("2026-01-02T03:04:05.678Z"), base + milliseconds{678});
    EXPECT_EQ(WireTime::parse("2026-01-02T03:04:05.5Z"), base + milliseconds{500});
    EXPECT_EQ(WireTime::parse("2026-01-02T03:04:05.123456Z"), base + microseconds{123456});
    EXPECT_EQ(WireTime::parse("2026-01-02T05:04:05+02:00"), base);
    EXPECT_EQ(WireTime::parse("2026-01-01T22:34:05-04:30"), base);
    EXPECT_EQ(WireTime::parse("2024-02-29T00:00:00Z"), utc(2024, 2, 29, 0, 0, 0));

    // What text writes, parse reads back.
    const auto instant = base + milliseconds{42};
    EXPECT_EQ(WireTime::parse(WireTime::text(instant)), instant);
}

TEST(WireTime, RefusesEveryOtherForm) {
    const char* bad[] = {
        "",
        "2026-01-02",
        "2026-01-02T03:04:05",
        "2026-01-02 03:04:05Z",
        "2026-01-02t03:04:05Z",
        "2026-01-02T03:04Z",
        "2026-01-02T03:04:05.Z",
        "2026-01-02T03:04:05,5Z",
        "2026-01-02T03:04:05+0200",
        "2026-01-02T03:04:05+24:00",
        "2026-01-02T03:04:05Z ",
        "2026-13-02T03:04:05Z",
        "2026-02-30T03:04:05Z",
        "2025-02-29T03:04:05Z",
        "2026-01-02T24:00:00Z",
        "2026-01-02T03:60:05Z",
        "2026-01-02T03:04:60Z",
        "20260102T030405Z",
        "+2026-01-02T03:04:05Z",
        "2026-1-02T03:04:05Z",
        "2026-01-02T03:04:05.123Zjunk",
        // Outside what an instant can hold: refused, never wrapped into a nearby time.
        "9999-12-31T23:59:59Z",
        "2611-01-01T00:00:00Z",
        "1600-01-01T00:00:00+00:00",
    };
    for (const char* text : bad) {
        EXPECT_FALSE(WireTime::parse(text).has_value()) << text;
    }
}
