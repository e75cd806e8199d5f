// The relay origin rule and the dashboard it leads to.

#include "agent/RelayOrigin.h"
#include "core/ContractError.h"

#include <gtest/gtest.h>

#include <vector>

namespace corvane {
namespace {

std::string text(const QUrl& url) {
    return url.toString(QUrl::FullyEncoded).toStdString();
}

TEST(RelayOrigin, OnlyABareHttpsOriginIsAccepted) {
    struct Row {
        const char* relay;
        bool accepted;
    };
    const std::vector<Row> rows{
        {"https://relay.example.com", true},
        {"https://relay.example.com/", true},
        {"https://relay.example.com:8443", true},
        {"https://127.0.0.1:9000/", true},
        {"https://relay.example.com/v1", false},
        {"https://relay.example.com//", false},
        {"http://relay.example.com", false},
        {"HTTPS://relay.example.com", false},
        {"https://user@relay.example.com", false},
        {"https://@relay.example.com", false},
        {"https://relay.example.com?x=1", false},
        {"https://relay.example.com#pair", false},
        {"https://", false},
        {"https:relay.example.com", false},
        {"", false},
        {" https://relay.example.com", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.relay);
        try {
            RelayOrigin::origin(row.relay);
            EXPECT_TRUE(row.accepted);
        } catch (const ContractError& e) {
            EXPECT_FALSE(row.accepted);
            EXPECT_EQ(e.code(), "https_relay_required");
        }
    }
}

TEST(RelayOrigin, DashboardIsTheBuildsOwnOnlyForTheBuildsRelay) {
    struct Row {
        const char* relay;
        const char* builtRelay;
        const char* builtDashboard;
        const char* dashboard;
    };
    const std::vector<Row> rows{
        {"https://relay.example.com", "https://relay.example.com/", "https://app.example.com",
         "https://app.example.com"},
        {"https://relay.example.com/", "https://relay.example.com", "https://app.example.com/",
         "https://app.example.com/"},
        // A relay of the user's own serves its own dashboard.
        {"https://mine.example.org", "https://relay.example.com", "https://app.example.com",
         "https://mine.example.org"},
        // A build dashboard that breaks the rule is not used.
        {"https://relay.example.com", "https://relay.example.com", "http://app.example.com",
         "https://relay.example.com"},
        {"https://relay.example.com", "https://relay.example.com", "https://app.example.com/x",
         "https://relay.example.com"},
        {"https://relay.example.com", "", "https://app.example.com", "https://relay.example.com"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.relay + std::string(" / ") + row.builtRelay);
        EXPECT_EQ(text(RelayOrigin::dashboard(row.relay, row.builtRelay, row.builtDashboard)),
                  row.dashboard);
    }
    EXPECT_THROW(RelayOrigin::dashboard("http://relay.example.com", "", ""), ContractError);
}

// The pairing and session addresses built from the origin are exercised against a real relay by
// the Agent's
// tests; what those cannot show is that no code gives no link.
TEST(RelayOrigin, NoPairingLinkWithoutACode) {
    EXPECT_FALSE(
        RelayOrigin::pairingLink(RelayOrigin::origin("https://relay.example.com"), "").has_value());
}

} // namespace
} // namespace corvane
