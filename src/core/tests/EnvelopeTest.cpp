#include "core/Envelope.h"

#include "core/Uuid.h"

#include <gtest/gtest.h>

#include <set>

using namespace std::chrono;
using corvane::JSON;

namespace {

const corvane::WireTime::Instant kNow =
    sys_days{year{2026} / 1 / 2} + hours{3} + minutes{4} + seconds{5} + microseconds{678901};

} // namespace

TEST(Envelope, OwnMembersReplaceTheCallersAndTheRestAreKept) {
    const JSON message = corvane::envelope("result",
                                           JSON::Object{
                                               {"v", JSON(7)},
                                               {"type", JSON("command")},
                                               {"id", JSON("forged")},
                                               {"ts", JSON(0)},
                                               {"command_id", JSON("c-1")},
                                               {"ok", JSON(true)},
                                               {"data", JSON(JSON::Object{{"x", JSON(nullptr)}})},
                                           },
                                           kNow);
    ASSERT_TRUE(message.isObject());
    EXPECT_EQ(message.object()->size(), 7u);
    EXPECT_EQ(message.find("v")->number(), 1.0);
    EXPECT_EQ(*message.stringMember("type"), "result");
    EXPECT_NE(*message.stringMember("id"), "forged");
    EXPECT_EQ(*message.stringMember("ts"), "2026-01-02T03:04:05.678Z");
    EXPECT_EQ(*message.stringMember("command_id"), "c-1");
    EXPECT_TRUE(message.find("ok")->isTrue());
    EXPECT_EQ(*message.find("data"), JSON(JSON::Object{{"x", JSON(nullptr)}}));
    // The version is written as the integer 1 on the wire.
    EXPECT_NE(message.data().find("\"v\":1"), std::string::npos);
}

TEST(Envelope, EveryEnvelopeGetsAFreshLowerCaseUuid) {
    std::set<std::string> ids;
    for (int i = 0; i < 200; ++i) {
        // The same instant for all: the timestamp may repeat, the id must not.
        const JSON message = corvane::envelope("heartbeat", {}, kNow);
        const std::string id = *message.stringMember("id");
        EXPECT_TRUE(corvane::Uuid::isCanonical(id)) << id;
        EXPECT_EQ(id.find_first_of("ABCDEF"), std::string::npos) << id;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 200u);
}

TEST(Envelope, DefaultClockStampsTheCurrentTime) {
    const auto before = floor<milliseconds>(system_clock::now());
    const JSON message = corvane::envelope("hello", {});
    const auto after = system_clock::now();
    const auto ts = corvane::WireTime::parse(*message.stringMember("ts"));
    ASSERT_TRUE(ts.has_value());
    EXPECT_GE(*ts, before);
    EXPECT_LE(*ts, after);
    EXPECT_EQ(message.object()->size(), 4u);
}
