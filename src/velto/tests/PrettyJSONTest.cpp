#include "velto/PrettyJSON.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(PrettyJSON, IndentedWithPlainSolidusAndTheSameValue) {
    const std::string bytes =
        R"({"b":[1,{"x":null},[]],"a":{},"url":"https:\/\/example.com\/a\\\/b","n":-0.5e-7})";
    const std::string pretty = PrettyJSON::fromBytes(bytes);
    EXPECT_EQ(pretty, "{\n"
                      "  \"a\": {},\n"
                      "  \"b\": [\n"
                      "    1,\n"
                      "    {\n"
                      "      \"x\": null\n"
                      "    },\n"
                      "    []\n"
                      "  ],\n"
                      "  \"n\": -5e-8,\n"
                      "  \"url\": \"https://example.com/a\\\\/b\"\n"
                      "}");
    EXPECT_EQ(JSON::parse(pretty), JSON::parse(bytes));
}

// Text from elsewhere cannot steer the terminal: controls, format characters (the bidirectional
// ones among them) and separators stay escapes, everything else is shown as itself.
TEST(PrettyJSON, CharactersThatCouldSteerATerminalStayEscaped) {
    struct Row {
        const char* value;
        const char* shown;
    } const rows[] = {
        {R"("\u001b[31m")", R"("\u001b[31m")"},
        {"\"\xc2\x9b"
         "2J\"",
         R"("\u009b2J")"}, // C1 CSI
        {"\"a\xe2\x80\xae"
         "b\"",
         R"("a\u202eb")"},                             // right-to-left override
        {"\"\xe2\x80\xa8\"", R"("\u2028")"},           // line separator
        {"\"\xf3\xa0\x80\x81\"", R"("\udb40\udc01")"}, // language tag
        {"\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82\"",
         "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82\""},
        {R"("tab\there")", R"("tab\there")"},
    };
    for (const Row& row : rows) {
        const std::string shown = PrettyJSON::fromBytes(row.value);
        EXPECT_EQ(shown, row.shown);
        EXPECT_EQ(JSON::parse(shown), JSON::parse(row.value)) << row.value;
    }
}

TEST(PrettyJSON, BytesThatAreNotJSONStayAsTheyAre) {
    EXPECT_EQ(PrettyJSON::fromBytes("not json"), "not json");
    EXPECT_EQ(PrettyJSON::fromBytes(""), "");
}

} // namespace
} // namespace corvane
