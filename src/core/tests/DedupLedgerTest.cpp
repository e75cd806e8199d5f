#include "core/DedupLedger.h"

#include "FileTesting.h"
#include "core/ContractError.h"
#include "core/FileError.h"
#include "core/JSON.h"
#include "core/Uuid.h"
#include "core/WireTime.h"

#include <gmock/gmock.h>

#include <chrono>
#include <cstdio>

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace corvane::testing;
using namespace std::chrono_literals;
using Instant = DedupLedger::Instant;

const Instant t0 = *WireTime::parse("2026-03-04T05:06:07.891Z");
const std::string idA = "0f8fad5b-d9cb-469f-a165-70867728950e";
const std::string idB = "7c9e6679-7425-40de-944b-e07fc1f90ae7";

// The canonical id number `i`, distinct for every i.
std::string idNumber(int i) {
    char text[37];
    std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012d", i);
    return text;
}

std::string ledgerText(int count, double at) {
    JSON::Array items;
    for (int i = 0; i < count; ++i) {
        items.emplace_back(JSON::Object{{"id", JSON(idNumber(i))}, {"at", JSON(at)}});
    }
    return JSON(std::move(items)).data();
}

// `ledgerText` with one more entry, `extra`, at the end.
std::string ledgerTextWith(int count, const std::string& extra) {
    std::string text = ledgerText(count, 0);
    text.insert(text.size() - 1, "," + extra);
    return text;
}

TEST(DedupLedgerTest, RetentionWindowBoundary) {
    struct Case {
        std::chrono::milliseconds later;
        const char* expected;
    };
    const Case cases[] = {
        {0ms, "duplicate_command"},      {599s, "duplicate_command"},
        {599999ms, "duplicate_command"}, {600s, "none"},
        {-1s, "duplicate_command"}, // the first entry is then in the future: it stays
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.later.count());
        QTemporaryDir temporary;
        DedupLedger ledger(pathOf(temporary) / "dedup.json");
        ledger.reserve(idA, t0);
        // The window also survives a restart: the reloaded file gives the same answer.
        DedupLedger reloaded(pathOf(temporary) / "dedup.json");
        EXPECT_EQ(codeOf([&] { ledger.reserve(idA, t0 + c.later); }), c.expected);
        EXPECT_EQ(codeOf([&] { reloaded.reserve(idA, t0 + c.later); }), c.expected);
    }
}

TEST(DedupLedgerTest, NonUuidIsRefusedWithoutTouchingTheFileAndIdsAreComparedAsWritten) {
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "dedup.json";
    DedupLedger ledger(file);
    for (const std::string id :
         {"", "not-a-uuid", "{0f8fad5b-d9cb-469f-a165-70867728950e}",
          "0f8fad5bd9cb469fa16570867728950e", "0f8fad5b-d9cb-469f-a165-70867728950g"}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(codeOf([&] { ledger.reserve(id, t0); }), "invalid_message");
    }
    EXPECT_FALSE(fs::exists(file));
    ledger.reserve(idA, t0);
    // The upper-case spelling is another id.
    ledger.reserve("0F8FAD5B-D9CB-469F-A165-70867728950E", t0 + 1s);
    EXPECT_EQ(ledger.size(), 2u);
    const std::string before = readBytes(file);
    EXPECT_EQ(codeOf([&] { ledger.reserve("nope", t0 + 1s); }), "invalid_message");
    EXPECT_EQ(codeOf([&] { ledger.reserve(idA, t0 + 1s); }), "duplicate_command");
    EXPECT_EQ(readBytes(file), before);
}

TEST(DedupLedgerTest, FileFormatUsesReferenceDateSeconds) {
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "Corvane" / "dedup.json";
    DedupLedger ledger(file);
    ledger.reserve(idA, *WireTime::parse("2001-01-01T00:01:00Z"));
    ledger.reserve(idB, *WireTime::parse("2001-01-01T00:01:00.25Z"));

    EXPECT_EQ(JSON::parse(readBytes(file)),
              JSON(JSON::Array{JSON::Object{{"id", JSON(idA)}, {"at", JSON(60)}},
                               JSON::Object{{"id", JSON(idB)}, {"at", JSON(60.25)}}}));
    // Written in integral form, whatever the member order.
    EXPECT_THAT(readBytes(file), ::testing::ContainsRegex("\"at\":60[,}]"));
}

TEST(DedupLedgerTest, KeepsAtMostTenThousandNewestEntries) {
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "dedup.json";
    const double now = DedupLedger::referenceSeconds(t0);
    writeBytes(file, ledgerText(10000, now));

    DedupLedger ledger(file);
    ledger.reserve(idA, t0 + 1s);

    const JSON written = JSON::parse(readBytes(file));
    ASSERT_EQ(written.array()->size(), 10000u);
    EXPECT_EQ(*written.array()->front().stringMember("id"), idNumber(1));
    EXPECT_EQ(*written.array()->back().stringMember("id"), idA);
    DedupLedger reloaded(file);
    EXPECT_NO_THROW(reloaded.reserve(idNumber(0), t0 + 2s));
    EXPECT_EQ(codeOf([&] { reloaded.reserve(idNumber(2), t0 + 3s); }), "duplicate_command");
}

TEST(DedupLedgerTest, LoadingRefusesOtherShapes) {
    enum class Expect { Empty, Loaded, ReadError, InvalidLedger };
    struct Case {
        const char* name;
        std::string content;
        Expect expect;
        // What the error says after the file's path.
        std::string problem = {};
    };
    const std::string entry = "{\"id\":\"" + idA + "\",\"at\":1}";
    const Case cases[] = {
        {"empty array", "[]", Expect::Empty},
        {"one entry", "[" + entry + "]", Expect::Loaded},
        {"extra member ignored", "[{\"id\":\"" + idA + "\",\"at\":1,\"x\":null}]", Expect::Loaded},
        {"10000 entries", ledgerText(10000, 0), Expect::Loaded},
        {"object", "{\"id\":\"" + idA + "\",\"at\":1}", Expect::ReadError, "expected an array"},
        {"not JSON", "[{", Expect::ReadError},
        {"element not an object", "[" + entry + ",\"" + idA + "\"]", Expect::ReadError,
         "entry 2: expected"},
        {"id a number", "[{\"id\":5,\"at\":1}]", Expect::ReadError, "entry 1: expected"},
        {"at a string", "[{\"id\":\"" + idA + "\",\"at\":\"1\"}]", Expect::ReadError},
        // The shape is judged before the count and the ids.
        {"10001 entries, the last of another shape", ledgerTextWith(10000, "{\"id\":1}"),
         Expect::ReadError, "entry 10001: expected"},
        {"an id not a UUID, then another shape", "[{\"id\":\"abc\",\"at\":1},{}]",
         Expect::ReadError, "entry 2: expected"},
        {"id not a UUID", "[" + entry + ",{\"id\":\"abc\",\"at\":1}]", Expect::InvalidLedger,
         "entry 2: \"id\" is not a UUID"},
        {"10001 entries", ledgerText(10001, 0), Expect::InvalidLedger,
         "10001 entries, more than 10000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir temporary;
        const fs::path file = pathOf(temporary) / "dedup.json";
        writeBytes(file, c.content);
        switch (c.expect) {
        case Expect::Empty:
            EXPECT_EQ(DedupLedger(file).size(), 0u);
            break;
        case Expect::Loaded:
            EXPECT_GT(DedupLedger(file).size(), 0u);
            break;
        case Expect::ReadError:
            // Still the reader's error, now saying which file.
            EXPECT_THAT(whatOf<JSONReadError>([&] { DedupLedger{file}; }),
                        ::testing::StartsWith(file.string() + ": " + c.problem));
            break;
        case Expect::InvalidLedger:
            EXPECT_THAT(
                damageOf([&] { DedupLedger{file}; }),
                ::testing::StartsWith("invalid_ledger: " + file.string() + ": " + c.problem));
            break;
        }
    }
    QTemporaryDir temporary;
    EXPECT_EQ(DedupLedger(pathOf(temporary) / "missing.json").size(), 0u);
    EXPECT_THAT(whatOf<FileError>([&] { DedupLedger{pathOf(temporary)}; }),
                ::testing::HasSubstr(pathOf(temporary).string()));
}

TEST(DedupLedgerTest, LoadedEntriesAgeOutAtTheNextReservation) {
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "dedup.json";
    const double at = DedupLedger::referenceSeconds(t0);
    writeBytes(file, "[{\"id\":\"" + idA + "\",\"at\":" + std::to_string(at - 600) +
                         "},{\"id\":\"" + idB + "\",\"at\":1e300}]");
    DedupLedger ledger(file);
    EXPECT_EQ(ledger.size(), 2u);
    ledger.reserve(idA, t0);
    // The far-future entry stays, its "at" written back unchanged.
    EXPECT_EQ(JSON::parse(readBytes(file)),
              JSON(JSON::Array{JSON::Object{{"id", JSON(idB)}, {"at", JSON(1e300)}},
                               JSON::Object{{"id", JSON(idA)}, {"at", JSON(at)}}}));
}

TEST(DedupLedgerTest, FailedWriteKeepsTheReservationInMemory) {
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "dedup.json";
    DedupLedger ledger(file);
    // A directory where the file should go: the rename fails, for root too.
    fs::create_directory(file);
    EXPECT_THROW(ledger.reserve(idA, t0), FileError);
    EXPECT_EQ(codeOf([&] { ledger.reserve(idA, t0 + 1s); }), "duplicate_command");
    EXPECT_TRUE(fs::is_directory(file));
    EXPECT_EQ(namesIn(pathOf(temporary)), std::vector<std::string>{"dedup.json"});
}

} // namespace
} // namespace corvane
