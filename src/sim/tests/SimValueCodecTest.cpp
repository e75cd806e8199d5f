#include "sim/SimValueCodec.h"
#include "sim/SimScenarioError.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(SimValueCodecTest, KindsSurviveTheRoundTrip) {
    struct Row {
        const char* json;
        PlatformValue::Kind kind;
    };
    const std::vector<Row> rows = {
        {"true", PlatformValue::Kind::Bool},
        {"1", PlatformValue::Kind::Integer},
        {"0.5", PlatformValue::Kind::Real},
        {R"({"$real": 1})", PlatformValue::Kind::Real},
        {R"("1")", PlatformValue::Kind::String},
        {R"({"$date": "2026-01-02T03:04:05.678Z"})", PlatformValue::Kind::Date},
        {R"({"$point": [1.5, 2]})", PlatformValue::Kind::Point},
        {R"({"$size": [640, 400]})", PlatformValue::Kind::Size},
        {R"([true, 0, {"k": "v"}])", PlatformValue::Kind::Array},
        {R"({"Is Charging": false, "Current Capacity": 57})", PlatformValue::Kind::Dictionary},
    };
    for (const Row& row : rows) {
        const JSON json = JSON::parse(row.json);
        EXPECT_NO_THROW(SimValueCodec::validate(json, "v", false)) << row.json;
        const PlatformValue value = SimValueCodec::fromJSON(json);
        EXPECT_EQ(value.kind(), row.kind) << row.json;
        EXPECT_EQ(SimValueCodec::fromJSON(SimValueCodec::toJSON(value)), value) << row.json;
    }
    // The genuine boolean and the number one stay apart.
    EXPECT_NE(SimValueCodec::fromJSON(JSON(true)), SimValueCodec::fromJSON(JSON(1)));
}

TEST(SimValueCodecTest, RefusesWhatIsNoPlatformValue) {
    const std::vector<std::pair<const char*, const char*>> rows = {
        {"null", "v: null is not a platform value"},
        {R"({"a": [1, null]})", "v.a[1]: null is not a platform value"},
        {R"({"$real": "1"})", "v.$real: expected a number"},
        {R"({"$point": [1]})", "v.$point: expected two numbers"},
        {R"({"$ref": "x"})", "v: unknown value notation \"$ref\""}, // refs only where allowed
        {R"({"$colour": 1})", "v: unknown value notation \"$colour\""},
    };
    for (const auto& [text, message] : rows) {
        try {
            SimValueCodec::validate(JSON::parse(text), "v", false);
            ADD_FAILURE() << text << ": accepted";
        } catch (const SimScenarioError& error) {
            EXPECT_STREQ(error.what(), message);
        }
    }
    EXPECT_NO_THROW(SimValueCodec::validate(JSON::parse(R"({"$ref": "x"})"), "v", true));
}

} // namespace
} // namespace corvane
