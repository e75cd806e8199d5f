#include "core/RevocationState.h"

#include "FileTesting.h"
#include "core/ContractError.h"
#include "core/FileError.h"
#include "core/JSON.h"

#include <gmock/gmock.h>

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace corvane::testing;

const std::string deviceID = "0F8FAD5B-D9CB-469F-A165-70867728950E";

TEST(RevocationStateTest, LoadsTheFlagFromEachFileShape) {
    enum class Expect { Pending, NotPending, Invalid, ReadError };
    struct Case {
        const char* content;
        Expect expect;
    };
    const Case cases[] = {
        {"{\"pending\":true}", Expect::Pending},
        {"{\"pending\":false}", Expect::NotPending},
        {" {\"pending\" : true, \"note\": 1} ", Expect::Pending},
        {"true", Expect::Invalid},
        {"{}", Expect::Invalid},
        {"{\"pending\":1}", Expect::Invalid},
        {"{\"Pending\":true}", Expect::Invalid},
        {"", Expect::ReadError},
        {"{\"pending\":true", Expect::ReadError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        QTemporaryDir temporary;
        const fs::path file = pathOf(temporary) / "revocation.json";
        writeBytes(file, c.content);
        switch (c.expect) {
        case Expect::Pending:
        case Expect::NotPending:
            EXPECT_EQ(RevocationState(file).pending(), c.expect == Expect::Pending);
            break;
        case Expect::Invalid:
            EXPECT_THAT(damageOf([&] { RevocationState{file}; }),
                        ::testing::StartsWith("invalid_revocation_state: " + file.string()));
            break;
        case Expect::ReadError:
            EXPECT_THAT(whatOf<JSONReadError>([&] { RevocationState{file}; }),
                        ::testing::StartsWith(file.string() + ": "));
            break;
        }
    }
    QTemporaryDir temporary;
    EXPECT_FALSE(RevocationState(pathOf(temporary) / "revocation.json").pending());
    EXPECT_THAT(whatOf<FileError>([&] { RevocationState{pathOf(temporary)}; }),
                ::testing::HasSubstr(pathOf(temporary).string()));
}

TEST(RevocationStateTest, BeginAndAcknowledgePersist) {
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "Corvane" / "revocation.json";
    RevocationState state(file);
    state.begin();
    EXPECT_TRUE(state.pending());
    EXPECT_EQ(readBytes(file), "{\"pending\":true}");
    EXPECT_TRUE(RevocationState(file).pending());

    state.acknowledge();
    EXPECT_EQ(readBytes(file), "{\"pending\":false}");
    EXPECT_FALSE(RevocationState(file).pending());
}

// The flag in memory follows the file: a failed save changes neither.
TEST(RevocationStateTest, FailedWriteLeavesTheFlag) {
    QTemporaryDir temporary;
    const fs::path file = pathOf(temporary) / "revocation.json";
    RevocationState state(file);
    // A directory where the file should go: the rename fails, for root too.
    fs::create_directory(file);
    EXPECT_THROW(state.begin(), FileError);
    EXPECT_FALSE(state.pending());
    fs::remove(file);
    state.begin();
    fs::remove(file);
    fs::create_directory(file);
    EXPECT_THROW(state.acknowledge(), FileError);
    EXPECT_TRUE(state.pending());
}

TEST(RevocationStateTest, DashboardLink) {
    struct Case {
        const char* base;
        const char* link; // empty: refused with "invalid_dashboard"
    };
    const Case cases[] = {
        {"https://dash.example.com", "https://dash.example.com/devices/"},
        {"https://dash.example.com/", "https://dash.example.com/devices/"},
        {"https://dash.example.com/app/v2", "https://dash.example.com/app/v2/devices/"},
        {"https://dash.example.com/app/v2/", "https://dash.example.com/app/v2/devices/"},
        {"https://dash.example.com:8443/a%20b", "https://dash.example.com:8443/a%20b/devices/"},
        {"https://DASH.example.com", "https://dash.example.com/devices/"},
        {"http://dash.example.com", ""},
        {"HTTPS://dash.example.com", ""},
        {"https:///path", ""},
        {"https://dash.example.com/?", ""},
        {"https://dash.example.com/#", ""},
        {"https://user@dash.example.com/", ""},
        {"https://@dash.example.com/", ""},
        {"https://dash example.com/", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.base);
        const QString base = QString::fromUtf8(c.base);
        if (*c.link == '\0') {
            try {
                const QUrl url = RevocationState::dashboardLink(base, deviceID);
                ADD_FAILURE() << url.toString().toStdString();
            } catch (const ContractError& error) {
                EXPECT_EQ(error.code(), "invalid_dashboard");
            }
            continue;
        }
        const QUrl url = RevocationState::dashboardLink(base, deviceID);
        EXPECT_EQ(url.toString(QUrl::FullyEncoded).toStdString(),
                  std::string(c.link) + "0f8fad5b-d9cb-469f-a165-70867728950e");
    }
    for (const char* id : {"", "not-a-uuid", "{0f8fad5b-d9cb-469f-a165-70867728950e}",
                           "0f8fad5b-d9cb-469f-a165-70867728950e/../x"}) {
        SCOPED_TRACE(id);
        EXPECT_THROW(RevocationState::dashboardLink(QStringLiteral("https://d.example"), id),
                     ContractError);
    }
}

} // namespace
} // namespace corvane
