#include "core/JSON.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

using corvane::JSON;
using corvane::JSONReadError;
using corvane::JSONWriteError;
using namespace std::string_literals;

namespace {

std::string nested(int depth, char open, char close) {
    return std::string(static_cast<std::size_t>(depth), open) +
           std::string(static_cast<std::size_t>(depth), close);
}

} // namespace

TEST(JSONReading, MapsEachTokenToItsCase) {
    EXPECT_TRUE(JSON::parse("true").isTrue());
    EXPECT_FALSE(JSON::parse("false").isTrue());
    EXPECT_EQ(JSON::parse("\"1\"").kind(), JSON::Kind::String);
    EXPECT_EQ(JSON::parse("null").kind(), JSON::Kind::Null);
    EXPECT_EQ(JSON::parse(" [1,\"a\",null] ").array()->size(), 3u);

    // The numbers 0 and 1 are never flags, and text is never a number.
    EXPECT_FALSE(JSON::parse("1").isTrue());
    EXPECT_FALSE(JSON::parse("\"5\"").number().has_value());
    EXPECT_FALSE(JSON::parse("5").string());
    EXPECT_FALSE(JSON::parse("true").number().has_value());

    const JSON object = JSON::parse(R"({"a":{"b":[2.5,-3e2]},"c":"\u00e9\/"})");
    ASSERT_TRUE(object.isObject());
    EXPECT_EQ(*object.find("a")->find("b")->array()->at(1).number(), -300.0);
    EXPECT_EQ(*object.stringMember("c"), "\xC3\xA9/");
    EXPECT_FALSE(object.find("missing"));
    EXPECT_FALSE(JSON::parse("[1]").subscript("a").has_value());
    EXPECT_FALSE(JSON::parse("\"x\"").subscript("x").has_value());
    EXPECT_FALSE(JSON(nullptr).find("x"));
}

TEST(JSONReading, NumbersAreDoubles) {
    EXPECT_EQ(*JSON::parse("18446744073709551616").number(), 18446744073709551616.0);
    EXPECT_EQ(*JSON::parse("-9223372036854775809").number(), -9223372036854775809.0);
    EXPECT_EQ(*JSON::parse("9007199254740993").number(), 9007199254740992.0);
    EXPECT_EQ(*JSON::parse("2.0").number(), 2.0);
    EXPECT_EQ(*JSON::parse("1e-400").number(), 0.0);
}

TEST(JSONReading, RefusesWhatIsNotOneJSONText) {
    const std::vector<std::string> bad = {
        "",
        " ",
        "1e400",
        "[1,]",
        "{\"a\":1,}",
        "01",
        "+1",
        ".5",
        "NaN",
        "[1] [2]",
        "tru",
        "\"unterminated",
        "\"tab\there\"",
        "\"\\x41\"",
        "\"\\ud800\"",          // lone high surrogate
        "\"\\ud800\\u0041\"",   // high surrogate followed by a non-surrogate
        "\"\xC3\"",             // truncated sequence
        "\"\xC0\xAF\"",         // overlong solidus
        "\"\xED\xA0\x80\"",     // encoded surrogate
        "\"\xF4\x90\x80\x80\"", // beyond U+10FFFF
        "\"\xFF\"",
        "[1] /* comment */",
        "\"a\0b\""s,
        // Whatever follows the value but whitespace makes the text invalid, a NUL byte included:
        // the reader's lexer would take the NUL for the end of the input.
        "123 x",
        "{} }",
        "123\0"s,
        "\0"s,
        "{\"action\":\"get_state\",\"params\":{}}\0{\"action\":\"quit_app\"}"s,
    };
    for (const std::string& text : bad) {
        EXPECT_THROW(JSON::parse(text), JSONReadError) << text;
    }
}

TEST(JSONReading, AcceptsValidUnicode) {
    EXPECT_EQ(*JSON::parse("\"\\ud83d\\ude00\"").string(), "\xF0\x9F\x98\x80");
    EXPECT_EQ(*JSON::parse("\"\xF0\x9F\x98\x80\"").string(), "\xF0\x9F\x98\x80");
    EXPECT_EQ(*JSON::parse("\"\\u0000\"").string(), std::string(1, '\0'));
}

TEST(JSONReading, BoundsNestingAt512Levels) {
    EXPECT_NO_THROW(JSON::parse(nested(512, '[', ']')));
    EXPECT_THROW(JSON::parse(nested(513, '[', ']')), JSONReadError);
    // What a 60000-byte request body could hold: refused, not a stack overflow later on.
    EXPECT_THROW(JSON::parse(nested(30000, '[', ']')), JSONReadError);

    std::string objects;
    for (int i = 0; i < 513; ++i) {
        objects += "{\"a\":";
    }
    objects += "1" + std::string(513, '}');
    EXPECT_THROW(JSON::parse(objects), JSONReadError);
}

TEST(JSONReading, DeepValuesBuiltInCodeTearDownWithoutRecursion) {
    // Far deeper than any stack could take recursively; the destructor must cope.
    JSON value = JSON::Array{};
    for (int i = 0; i < 200000; ++i) {
        JSON::Object holder;
        holder.emplace("x", std::move(value));
        value = JSON(std::move(holder));
    }
    EXPECT_THROW((void)value.data(), JSONWriteError);
}

TEST(JSONWriting, EscapesExactlyTheRequiredCharacters) {
    const struct {
        std::string in;
        std::string out;
    } rows[] = {
        {"a/b", R"("a\/b")"},
        {"\"\\", R"("\"\\")"},
        {"\n\r\t\b\f", R"("\n\r\t\b\f")"},
        {std::string("\x01\x1F\x00", 3), R"("\u0001\u001f\u0000")"},
        {"\x7F", "\"\x7F\""},
        {"\xC3\xA9\xE2\x86\x92\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x86\x92\xF0\x9F\x98\x80\""},
        {"", "\"\""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(JSON(row.in).data(), row.out);
    }
    EXPECT_THROW((void)JSON(std::string("\xC3")).data(), JSONWriteError);
    EXPECT_THROW((void)JSON(std::string("\xED\xA0\x80")).data(), JSONWriteError);
}

TEST(JSONWriting, WritesCompactly) {
    EXPECT_EQ(JSON(-42).data(), "-42");
    EXPECT_EQ(JSON(true).data(), "true");
    EXPECT_EQ(JSON(nullptr).data(), "null");
    EXPECT_EQ(JSON(JSON::Object{{"a", JSON::Array{1, "x", nullptr, false}}, {"b", JSON::Object{}}})
                  .data(),
              R"({"a":[1,"x",null,false],"b":{}})");

    // Writing is stable across a read: negative zero (which "-0" cannot carry back) is 0.
    for (const char* text : {"[-0.0]", "-0", "-25e-334", "[0]"}) {
        const std::string once = JSON::parse(text).data();
        EXPECT_EQ(JSON::parse(once).data(), once) << text;
    }
}

TEST(JSONWriting, WritesNumbersAsJavaScriptDoes) {
    // Each text is what JSON.stringify (node 20) wrote for that double; the literal is the same
    // text, so it names exactly that double.
    const struct {
        double value;
        const char* text;
    } rows[] = {
        // 1e21: the last plain value below it and the exponent form from it on.
        {999999999999999900000.0, "999999999999999900000"},
        {1e+21, "1e+21"},
        {-1e+21, "-1e+21"},
        // The small end: 0.000001 is plain, anything below it is not.
        {0.000001, "0.000001"},
        {0.0000010000000000000002, "0.0000010000000000000002"},
        {9.999999999999997e-7, "9.999999999999997e-7"},
        {1e-7, "1e-7"},
        {1.23e-18, "1.23e-18"},
        {0.0000125, "0.0000125"},
        // Integers around and beyond 2^53: plain digits, padded with zeros past the shortest ones.
        {9007199254740992.0, "9007199254740992"},
        {9223372036854776000.0, "9223372036854776000"},
        // Extremes.
        {5e-324, "5e-324"},
        {2.2250738585072014e-308, "2.2250738585072014e-308"},
        {1.7976931348623157e+308, "1.7976931348623157e+308"},
        // Everyday values: byte counts, levels, fractions.
        {-0.0, "0"},
        {17179869184.0, "17179869184"},
        {0.1, "0.1"},
        {-2.5, "-2.5"},
        {0.30000000000000004, "0.30000000000000004"},
    };
    for (const auto& row : rows) {
        const std::string text = JSON(row.value).data();
        EXPECT_EQ(text, row.text);
        // Every text reads back to the very same double (negative zero aside).
        EXPECT_EQ(std::bit_cast<std::uint64_t>(*JSON::parse(text).number()),
                  std::bit_cast<std::uint64_t>(row.value == 0.0 ? 0.0 : row.value))
            << text;
    }
}

TEST(JSONWriting, RandomDoublesReadBackToTheSameBits) {
    // Half of the values are random bit patterns (mostly in exponent form), half are random
    // mantissas scaled into and just around the plain range. SplitMix64 keeps the drawing cheap
    // under the sanitizers.
    std::uint64_t state = 20260102;
    const auto next = [&state] {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    };
    static constexpr double powers[] = {1e-9, 1e-8, 1e-7, 1e-6, 1e-5, 1e-3, 1,    1e3,  1e9,
                                        1e15, 1e17, 1e19, 1e20, 1e21, 1e22, 1e23, 1e300};
    constexpr std::size_t count = 300000;
    std::vector<double> values;
    values.reserve(count);
    while (values.size() < count) {
        const std::uint64_t bits = next();
        const double value = values.size() % 2 == 0
                                 ? std::bit_cast<double>(bits)
                                 : std::ldexp(static_cast<double>(bits >> 11), -53) *
                                       powers[bits % std::size(powers)] *
                                       ((bits & 0x400) != 0 ? -1 : 1);
        if (std::isfinite(value) && value != 0.0) {
            values.push_back(value);
        }
    }

    // Each text, read back by a correctly rounding reader as the agent's peers use, names the
    // same double, in the notation its magnitude calls for.
    int failures = 0;
    std::string text;
    for (const double value : values) {
        text.clear();
        JSON(value).appendData(text);
        double back = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), back);
        const bool plain = std::fabs(value) >= 1e-6 && std::fabs(value) < 1e21;
        if (error != std::errc() || end != text.data() + text.size() ||
            std::bit_cast<std::uint64_t>(back) != std::bit_cast<std::uint64_t>(value) ||
            plain == (text.find('e') != std::string::npos)) {
            ADD_FAILURE() << text << " does not name " << std::bit_cast<std::uint64_t>(value);
            if (++failures == 10) {
                return;
            }
        }
    }

    // And the agent's own reader agrees, for a slice written as one document.
    const JSON::Array slice(values.begin(), values.begin() + 10000);
    const JSON reread = JSON::parse(JSON(slice).data());
    ASSERT_EQ(reread.array()->size(), slice.size());
    for (std::size_t i = 0; i < slice.size(); ++i) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(*(*reread.array())[i].number()),
                  std::bit_cast<std::uint64_t>(*slice[i].number()))
            << JSON(slice[i]).data();
    }
}

TEST(JSONWriting, RefusesNonFiniteNumbersAnywhere) {
    EXPECT_THROW((void)JSON(std::nan("")).data(), JSONWriteError);
    EXPECT_THROW((void)JSON(std::numeric_limits<double>::infinity()).data(), JSONWriteError);
    const JSON inner(
        JSON::Object{{"ok", 1}, {"bad", JSON::Array{-std::numeric_limits<double>::infinity()}}});
    EXPECT_THROW((void)inner.data(), JSONWriteError);

    // A failed append leaves what was already in the buffer as it was.
    std::string out = "prefix";
    EXPECT_THROW(inner.appendData(out), JSONWriteError);
    EXPECT_EQ(out, "prefix");
}

TEST(JSONEquality, FollowsCasesMembersAndCanonicalEquivalence) {
    EXPECT_EQ(JSON::parse(R"({"a":1,"b":[true,null]})"), JSON::parse(R"({"b":[true,null],"a":1})"));
    EXPECT_NE(JSON::parse("[1,2]"), JSON::parse("[2,1]"));
    EXPECT_NE(JSON::parse(R"({"a":1})"), JSON::parse(R"({"a":1,"b":2})"));
    EXPECT_NE(JSON::parse(R"({"a":1})"), JSON::parse(R"({"b":1})"));
    EXPECT_NE(JSON(1), JSON(true));
    EXPECT_NE(JSON(1), JSON("1"));
    EXPECT_NE(JSON(0), JSON(false));
    EXPECT_NE(JSON(nullptr), JSON(false));
    EXPECT_EQ(JSON(nullptr), JSON::parse("null"));
    EXPECT_EQ(JSON(2), JSON::parse("2.0"));
    EXPECT_NE(JSON(std::nan("")), JSON(std::nan("")));

    const std::string composed = "caf\xC3\xA9";    // é as one code point
    const std::string decomposed = "cafe\xCC\x81"; // e + combining acute
    EXPECT_EQ(JSON(composed), JSON(decomposed));
    EXPECT_EQ(JSON::Array{composed}, JSON::Array{decomposed});
    EXPECT_NE(JSON("cafe"), JSON(composed));
    EXPECT_NE(JSON("abc"), JSON("abd"));
    // Compatibility forms are not canonical ones: the "fi" ligature is not "fi".
    EXPECT_NE(JSON("\xEF\xAC\x81"), JSON("fi"));
}
