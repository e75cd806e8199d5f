#include "core/WireTime.h"

#include <cstdio>

namespace corvane::WireTime {

namespace {

using namespace std::chrono;

// Reads exactly `count` decimal digits at `pos`, or -1.
int digits(std::string_view text, std::size_t pos, std::size_t count) {
    if (pos + count > text.size()) {
        return -1;
    }
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            return -1;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

bool at(std::string_view text, std::size_t pos, char expected) {
    return pos < text.size() && text[pos] == expected;
}

} // namespace

std::string text(Instant instant) {
    // Floor, not round: a reading never lands in a later millisecond than the instant.
    const auto ms = floor<milliseconds>(instant);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{ms - day};
    char buffer[48];
    std::snprintf(
        buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return buffer;
}

std::optional<Instant> parse(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SS
    const int yearValue = digits(text, 0, 4);
    const int monthValue = digits(text, 5, 2);
    const int dayValue = digits(text, 8, 2);
    const int hourValue = digits(text, 11, 2);
    const int minuteValue = digits(text, 14, 2);
    const int secondValue = digits(text, 17, 2);
    if (yearValue < 0 || monthValue < 0 || dayValue < 0 || hourValue < 0 || minuteValue < 0 ||
        secondValue < 0 || !at(text, 4, '-') || !at(text, 7, '-') || !at(text, 10, 'T') ||
        !at(text, 13, ':') || !at(text, 16, ':')) {
        return std::nullopt;
    }
    const year_month_day date{year{yearValue}, month{static_cast<unsigned>(monthValue)},
                              day{static_cast<unsigned>(dayValue)}};
    if (!date.ok() || hourValue > 23 || minuteValue > 59 || secondValue > 59) {
        return std::nullopt;
    }

    std::size_t pos = 19;
    nanoseconds fraction{0};
    if (at(text, pos, '.')) {
        ++pos;
        const std::size_t start = pos;
        long long value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            // Digits past nanoseconds carry nothing an instant can hold.
            if (pos - start < 9) {
                value = value * 10 + (text[pos] - '0');
            }
            ++pos;
        }
        const std::size_t count = pos - start;
        if (count == 0) {
            return std::nullopt;
        }
        for (std::size_t i = count; i < 9; ++i) {
            value *= 10;
        }
        fraction = nanoseconds{value};
    }

    minutes offset{0};
    if (at(text, pos, 'Z')) {
        ++pos;
    } else if (at(text, pos, '+') || at(text, pos, '-')) {
        const bool negative = text[pos] == '-';
        const int offsetHours = digits(text, pos + 1, 2);
        const int offsetMinutes = digits(text, pos + 4, 2);
        if (offsetHours < 0 || offsetMinutes < 0 || !at(text, pos + 3, ':') || offsetHours > 23 ||
            offsetMinutes > 59) {
            return std::nullopt;
        }
        offset = hours{offsetHours} + minutes{offsetMinutes};
        if (negative) {
            offset = -offset;
        }
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != text.size()) {
        return std::nullopt;
    }

    // A clock reading at +02:00 is two hours ahead of UTC: subtract the offset. Whole seconds
    // first: an Instant spans only about 1678 to 2262, and a text outside that range must be
    // refused, not wrapped around into a near instant.
    const sys_seconds utcSeconds =
        sys_days{date} + hours{hourValue} + minutes{minuteValue} + seconds{secondValue} - offset;
    constexpr auto earliest = ceil<seconds>(Instant::min().time_since_epoch()) + seconds{1};
    constexpr auto latest = floor<seconds>(Instant::max().time_since_epoch()) - seconds{1};
    if (utcSeconds.time_since_epoch() < earliest || utcSeconds.time_since_epoch() > latest) {
        return std::nullopt;
    }
    return Instant{duration_cast<Instant::duration>(utcSeconds.time_since_epoch())} +
           duration_cast<Instant::duration>(fraction);
}

} // namespace corvane::WireTime
