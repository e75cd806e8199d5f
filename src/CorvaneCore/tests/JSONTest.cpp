#include "CorvaneCore/JSON.h"

#include <gtest/gtest.h>

#include <cmath>
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
    EXPECT_EQ(JSON::parse("true").kind(), JSON::Kind::Bool);
    EXPECT_TRUE(JSON::parse("true").isTrue());
    EXPECT_FALSE(JSON::parse("false").isTrue());
    EXPECT_EQ(JSON::parse("1").kind(), JSON::Kind::Number);
    EXPECT_EQ(JSON::parse("0").number(), 0.0);
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
        "-1e400",
        "[1,]",
        "{\"a\":1,}",
        "{'a':1}",
        "01",
        "+1",
        ".5",
        "NaN",
        "Infinity",
        "[1] [2]",
        "tru",
        "\"unterminated",
        "\"tab\there\"",
        "\"\\x41\"",
        "\"\\ud800\"",          // lone high surrogate
        "\"\\udc00\"",          // lone low surrogate
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
        "123 \r\n\0"s,
        "true\0"s,
        "\"a\"\0"s,
        "[1]\0\0"s,
        "\0"s,
        "\0 1"s,
        "{\"action\":\"get_state\",\"params\":{}}\0"s,
        "{\"action\":\"get_state\",\"params\":{}}\0{\"action\":\"quit_app\"}"s,
        "{\"action\":\"get_state\",\"params\":{}}\0\xFF garbage"s,
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

TEST(JSONWriting, WritesCompactlyWithShortestNumbers) {
    EXPECT_EQ(JSON(1.0).data(), "1");
    EXPECT_EQ(JSON(0.5).data(), "0.5");
    EXPECT_EQ(JSON(-42).data(), "-42");
    EXPECT_EQ(JSON(0.1).data(), "0.1");
    EXPECT_EQ(JSON(123456789012.0).data(), "123456789012");
    EXPECT_EQ(JSON(true).data(), "true");
    EXPECT_EQ(JSON(nullptr).data(), "null");
    EXPECT_EQ(JSON(JSON::Object{{"a", JSON::Array{1, "x", nullptr, false}}, {"b", JSON::Object{}}})
                  .data(),
              R"({"a":[1,"x",null,false],"b":{}})");

    // Exponent forms and awkward doubles read back to the very same double.
    for (const double value : {1e21, 1e-7, 5e-324, 1.7976931348623157e308, 0.1 + 0.2, -2.5e-10,
                               9007199254740993.0, 1e300}) {
        const std::string text = JSON(value).data();
        EXPECT_EQ(text.find(' '), std::string::npos);
        EXPECT_EQ(*JSON::parse(text).number(), value) << text;
    }
    EXPECT_EQ(JSON(1e21).data().find('.'), std::string::npos);

    // Writing is stable across a read: negative zero (which "-0" cannot carry back) is 0.
    for (const char* text : {"[-0.0]", "-0", "-25e-334", "[0]"}) {
        const std::string once = JSON::parse(text).data();
        EXPECT_EQ(JSON::parse(once).data(), once) << text;
    }
    EXPECT_EQ(JSON(-0.0).data(), "0");
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

TEST(JSONWriting, RoundTripsWhatItReads) {
    const std::string text =
        R"({"action":"open_url","params":{"url":"https:\/\/example.com\/a?b=c","n":[1,2.25,-0.001,1e+100]},"u":"é→·","t":true,"z":null})";
    const JSON value = JSON::parse(text);
    EXPECT_EQ(JSON::parse(value.data()), value);
    EXPECT_EQ(JSON::parse(value.data()).data(), value.data());
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
