// The dashboards' event streams: who gets which event, how many streams one may hold, and when
// they end.
#include "relay/DashboardEvents.h"
#include "support/VirtualClock.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace std::chrono_literals;

namespace corvane::test {
namespace {

// What one stream was sent, and whether it is closed; the test may end it as a browser would.
struct SinkRecord {
    std::vector<std::string> chunks;
    bool closed = false;
};

class RecordingSink final : public EventSink {
public:
    explicit RecordingSink(std::shared_ptr<SinkRecord> record)
        : record_(std::move(record)) {}
    void send(std::string chunk) override {
        if (!record_->closed) {
            record_->chunks.push_back(std::move(chunk));
        }
    }
    void close() override { record_->closed = true; }
    bool open() const override { return !record_->closed; }

private:
    std::shared_ptr<SinkRecord> record_;
};

class DashboardEventsTest : public ::testing::Test {
protected:
    std::shared_ptr<SinkRecord> open(std::int64_t account, const std::string& session,
                                     std::chrono::seconds lifetime = 12h) {
        auto record = std::make_shared<SinkRecord>();
        events.open(std::make_unique<RecordingSink>(record), account, session,
                    clock.monotonicNow() + lifetime);
        return record;
    }

    VirtualClock clock;
    DashboardEvents events{clock};
};

TEST_F(DashboardEventsTest, StreamsAreBoundedPerSessionAccountAndFreedWhenTheyEnd) {
    std::vector<std::shared_ptr<SinkRecord>> first;
    for (std::size_t i = 0; i < DashboardEvents::perSession; ++i) {
        first.push_back(open(1, "a"));
    }
    EXPECT_TRUE(open(1, "a")->closed) << "one session past its bound";
    // The account's other sessions fill the account's bound.
    for (std::size_t i = DashboardEvents::perSession; i < DashboardEvents::perAccount; ++i) {
        // Appended: GCC 12 takes "s" + std::string&& for an overlapping copy when optimising.
        EXPECT_FALSE(
            open(1, std::string("s").append(std::to_string(i / DashboardEvents::perSession)))
                ->closed);
    }
    EXPECT_TRUE(open(1, "fresh")->closed) << "the account past its bound";
    EXPECT_FALSE(open(2, "b")->closed) << "another account is not held up";

    // A browser that went away frees its place.
    first.front()->closed = true;
    EXPECT_FALSE(open(1, "a")->closed);
    EXPECT_EQ(events.openCount(), DashboardEvents::perAccount + 1);
}

TEST_F(DashboardEventsTest, EventsReachOnlyTheirAccountAsOneDataLine) {
    const auto mine = open(1, "a");
    const auto mineElsewhere = open(1, "b");
    const auto theirs = open(2, "c");
    events.publish(1, "device", JSON(JSON::Object{{"name", JSON("two\nlines\r\n\ndata: x")}}));

    ASSERT_EQ(mine->chunks.size(), 1U);
    EXPECT_EQ(mine->chunks, mineElsewhere->chunks);
    EXPECT_TRUE(theirs->chunks.empty());
    // A name cannot break out of its event: one type line, one data line, one blank line.
    const std::string& text = mine->chunks.front();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 0) << text;
    EXPECT_TRUE(text.starts_with("event: device\ndata: {")) << text;
}

TEST_F(DashboardEventsTest, StreamsEndWithTheirSessionAndHearKeepAlives) {
    const auto signedOut = open(1, "a");
    const auto kept = open(1, "b");
    const auto other = open(1, "c");
    const auto shortLived = open(2, "d", 30s);
    const auto otherAccount = open(2, "e");

    events.endSession("a");
    EXPECT_TRUE(signedOut->closed);
    EXPECT_FALSE(kept->closed) << "another session of the account";
    EXPECT_FALSE(other->closed);
    EXPECT_FALSE(otherAccount->closed);

    events.tick();
    EXPECT_EQ(kept->chunks.size(), 1U) << "a keep-alive at once";
    clock.advance(DashboardEvents::keepAlivePeriod - 1s);
    events.tick();
    EXPECT_EQ(kept->chunks.size(), 1U);
    clock.advance(1s);
    events.tick();
    ASSERT_EQ(kept->chunks.size(), 2U);
    EXPECT_TRUE(kept->chunks.back().starts_with(':')) << "a comment, which pages ignore";

    clock.advance(30s);
    events.tick();
    EXPECT_TRUE(shortLived->closed) << "its session expired";
    EXPECT_FALSE(kept->closed);
    events.endAll();
    EXPECT_TRUE(kept->closed);
    EXPECT_EQ(events.openCount(), 0U);
}

} // namespace
} // namespace corvane::test
