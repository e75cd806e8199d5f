#include "CorvaneCore/DedupLedger.h"

#include "CorvaneCore/ContractError.h"
#include "CorvaneCore/FileError.h"
#include "CorvaneCore/JSON.h"
#include "CorvaneCore/Uuid.h"
#include "CorvaneCore/WireTime.h"
#include "FileTesting.h"

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

std::string codeOf(const std::function<void()>& run) {
    try {
        run();
    } catch (const ContractError& error) {
        return error.code();
    }
    return "none";
}

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

TEST(DedupLedgerTest, IdsAreComparedAsWritten) {
    QTemporaryDir temporary;
    DedupLedger ledger(pathOf(temporary) / "dedup.json");
    ledger.reserve(idA, t0);
    EXPECT_NO_THROW(ledger.reserve("0F8FAD5B-D9CB-469F-A165-70867728950E", t0 + 1s));
    EXPECT_EQ(ledger.size(), 2u);
}

TEST(DedupLedgerTest, NonUuidIsRefusedWithoutTouchingTheFile) {
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
    };
    const std::string entry = "{\"id\":\"" + idA + "\",\"at\":1}";
    const Case cases[] = {
        {"empty array", "[]", Expect::Empty},
        {"one entry", "[" + entry + "]", Expect::Loaded},
        {"extra member ignored", "[{\"id\":\"" + idA + "\",\"at\":1,\"x\":null}]", Expect::Loaded},
        {"huge at", "[{\"id\":\"" + idA + "\",\"at\":1e300}]", Expect::Loaded},
        {"10000 entries", ledgerText(10000, 0), Expect::Loaded},
        {"object", "{\"id\":\"" + idA + "\",\"at\":1}", Expect::ReadError},
        {"not JSON", "[{", Expect::ReadError},
        {"empty file", "", Expect::ReadError},
        {"element not an object", "[\"" + idA + "\"]", Expect::ReadError},
        {"id a number", "[{\"id\":5,\"at\":1}]", Expect::ReadError},
        {"at a string", "[{\"id\":\"" + idA + "\",\"at\":\"1\"}]", Expect::ReadError},
        {"at missing", "[{\"id\":\"" + idA + "\"}]", Expect::ReadError},
        {"id not a UUID", "[{\"id\":\"abc\",\"at\":1}]", Expect::InvalidLedger},
        {"id with braces", "[{\"id\":\"{" + idA + "}\",\"at\":1}]", Expect::InvalidLedger},
        {"10001 entries", ledgerText(10001, 0), Expect::InvalidLedger},
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
            EXPECT_THROW(DedupLedger{file}, JSONReadError);
            break;
        case Expect::InvalidLedger:
            EXPECT_EQ(codeOf([&] { DedupLedger{file}; }), "invalid_ledger");
            break;
        }
    }
    QTemporaryDir temporary;
    EXPECT_EQ(DedupLedger(pathOf(temporary) / "missing.json").size(), 0u);
    EXPECT_THROW(DedupLedger{pathOf(temporary)}, FileError);
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
