#include "actions/LocalHTTPRequestReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane {
namespace {

using Action = LocalHTTPRequestReader::Outcome::Action;

constexpr quint16 port = 50123;
constexpr std::string_view token = "s3cret-token";

// A request that is accepted, with `body` and its length.
std::string good(std::string_view body = "{}") {
    return "POST /v1/commands HTTP/1.1\r\nHost: 127.0.0.1:50123\r\nContent-Type: "
           "application/json\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\nAuthorization: Bearer s3cret-token\r\n\r\n" +
           std::string(body);
}

struct Edit {
    std::string from, to;
};
const Edit wrongToken{"Bearer s3cret-token", "Bearer wrong"};

// A header line placed just before the authorization.
Edit header(const std::string& line) {
    return {"Authorization:", line + "\r\nAuthorization:"};
}

// good(body) with each edit replacing the first occurrence of its text.
std::string edited(const std::vector<Edit>& edits, std::string_view body = "{}") {
    std::string out = good(body);
    for (const Edit& e : edits) {
        out.replace(out.find(e.from), e.from.size(), e.to);
    }
    return out;
}

LocalHTTPRequestReader reader() {
    return LocalHTTPRequestReader(port, LocalHTTPRequestReader::hashToken(token));
}

// What is expected: an answer's status, or one of these.
constexpr int accept = 1, readMore = 2, closes = 3;

struct Case {
    const char* name;
    std::string bytes;
    int expected;
    bool peerFinished = false;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class LocalHTTPRequestReaderTable : public ::testing::TestWithParam<Case> {};

TEST_P(LocalHTTPRequestReaderTable, Answers) {
    const Case& c = GetParam();
    const auto outcome = reader().read(c.bytes, c.peerFinished);
    const Action action = c.expected == accept     ? Action::Accept
                          : c.expected == readMore ? Action::ReadMore
                          : c.expected == closes   ? Action::Close
                                                   : Action::Respond;
    EXPECT_EQ(outcome.action, action);
    if (action == Action::Respond) {
        EXPECT_EQ(outcome.status, c.expected);
        const char* expectedCode = c.expected == 404   ? "route_not_found"
                                   : c.expected == 401 ? "unauthorized"
                                   : c.expected == 413 ? "request_too_large"
                                                       : "invalid_request";
        EXPECT_EQ(outcome.code, expectedCode);
    }
}

const std::string length100 = "Length: 100";

const Case cases[] = {
    {"Valid", good(R"({"a":1})"), accept},
    {"ValidScalarBody", good("5"), accept, true},
    {"MethodGet", edited({{"POST ", "GET "}}), 404},
    {"Http10", edited({{"HTTP/1.1", "HTTP/1.0"}}), 404},
    // A route error wins over a bad token.
    {"RouteBeforeToken", edited({{"POST /v1/commands", "GET /"}, wrongToken}), 404},
    {"HeaderWithoutColon", edited({header("X-Thing")}), 400},
    {"HeaderWithEmptyValue", edited({header("X-Thing:")}), 400},
    {"HeaderWithEmptyName", edited({header(":value")}), 400},
    {"ColonInValueKept", edited({header("X-Thing: a:b")}), accept},
    {"SpaceBeforeColonIsPartOfName", edited({{"Host:", "Host :"}}), 400},
    {"DuplicateLength", edited({header("content-length: 2")}), 400},
    {"DuplicateUnknownHeader", edited({header("X-A: 1\r\nx-a: 1")}), 400},
    {"OriginLowerCase", edited({header("origin: http://a")}), 400},
    // Header errors are found before the token is looked at.
    {"OriginWithBadToken", edited({header("Origin: x"), wrongToken}), 400},
    {"TransferEncoding", edited({header("Transfer-Encoding: chunked")}), 400},
    {"HostMissing", edited({{"Host: 127.0.0.1:50123\r\n", ""}}), 400},
    {"HostLocalhost", edited({{"127.0.0.1:", "localhost:"}}), 400},
    {"HostWrongPort", edited({{":50123", ":50124"}}), 400},
    {"HostValueTrimmed", edited({{"Host: 127.0.0.1:50123", "hOsT: \t127.0.0.1:50123 \t"}}), accept},
    {"HostWithStrayLineFeed", edited({{":50123", ":50123\n"}}), 400},
    {"TypeWithCharset", edited({{"/json", "/json; charset=utf-8"}}), 400},
    {"TypeUpperCase", edited({{"application/json", "APPLICATION/JSON"}}), accept},
    {"TypeMissing", edited({{"Content-Type: application/json\r\n", ""}}), 400},
    {"LengthMissing", edited({{"Content-Length: 2\r\n", ""}}), 400},
    {"LengthNotDigits", edited({{"Length: 2", "Length: 2x"}}), 400},
    {"LengthOnlySign", edited({{"Length: 2", "Length: +"}}), 400},
    {"LengthPlusSign", edited({{"Length: 2", "Length: +2"}}), accept},
    {"LengthOverflow", edited({{"Length: 2", "Length: 99999999999999999999"}, wrongToken}), 400},
    // A negative length passes the header check but no body can be that short.
    {"LengthNegative", edited({{"Length: 0", "Length: -1"}}, ""), 400, true},
    {"Length60001", edited({{"Length: 2", "Length: 60001"}}), 400},
    {"WrongLengthWithBadToken", edited({{"Length: 2", "Length: 60001"}, wrongToken}), 400},
    {"LengthZeroEmptyBody", good(""), 400},
    {"AuthorizationMissing", edited({{"Authorization: Bearer s3cret-token\r\n", ""}}), 401},
    {"LowerCaseBearer", edited({{"Bearer", "bearer"}}), 401},
    {"BearerWithoutSpace", edited({{"Bearer ", "Bearer"}}), 401},
    {"WrongToken", edited({{"s3cret-token", "s3cret-tokeN"}}), 401},
    {"TokenPrefix", edited({{"s3cret-token", "s3cret"}}), 401},
    {"TokenTrailingSpaceTrimmed",
     edited({{"Authorization: Bearer s3cret-token", "authorization: Bearer s3cret-token  "}}),
     accept},
    // A bad token is refused before the body is even complete.
    {"TokenBeforeBody", edited({{"Length: 2", length100}, wrongToken}), 401},
    {"BodyShortWaiting", edited({{"Length: 50", length100}}, std::string(50, ' ')), readMore},
    {"BodyShortFinished", edited({{"Length: 50", length100}}, std::string(50, ' ')), 400, true},
    {"BodyLonger", edited({{"Length: 2", "Length: 1"}}), 400},
    {"BodyNotJSON", good("{\"a\":}"), 400},
    {"BodyNestedTooDeep", good(std::string(513, '[') + std::string(513, ']')), 400},
    {"LineFeedsInBody", good("[\n1\n]"), accept},
    {"HeadNotUTF8", edited({header("X-Name: \xC3\x28")}), 400},
    {"HeadUTF8", edited({header("X-Name: caf\xC3\xA9")}), accept},
    // Size alone decides, before anything else; exactly the limit is still read.
    {"Oversize", std::string(65537, '\n'), 413},
    {"AtTheLimit", std::string(65536, 'x'), readMore},
    {"HalfAHeadWaiting", "POST /v1/commands HTTP/1.1\r\nHo", readMore},
    {"HalfAHeadFinished", "POST /v1/commands HTTP/1.1\r\nHo", closes, true},
    {"NothingFinished", "", closes, true},
    // A line feed without its carriage return settles the head at once, from the bytes before it:
    // UTF-8 first, then the request line, then the line feed itself.
    {"BareLineFeedAfterTheRoute", "POST /v1/commands HTTP/1.1\n", 400},
    {"BareLineFeedInAHeader", "POST /v1/commands HTTP/1.1\r\nHost: 127.0.0.1:50123\n", 400},
    {"BareLineFeedEndingTheHead", "POST /v1/commands HTTP/1.1\r\n\n", 400},
    {"BareLineFeedAfterAnotherRoute", "GET / HTTP/1.1\n", 404},
    {"BareLineFeedFirst", "\n", 404},
    {"BareLineFeedAfterInvalidUTF8", "GET /\xC3\x28 HTTP/1.1\n", 400},
    {"BareLineFeedInACompleteHead", "POST /v1/commands HTTP/1.1\nHost: 127.0.0.1:50123\r\n\r\n{}",
     400},
};

INSTANTIATE_TEST_SUITE_P(Requests, LocalHTTPRequestReaderTable, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LocalHTTPRequestReader, TellsHowManyBytesTheBodyNeeds) {
    const std::string full = good(R"({"a":1})");
    const auto outcome = reader().read(std::string_view(full).substr(0, full.size() - 3), false);
    ASSERT_EQ(outcome.action, Action::ReadMore);
    EXPECT_EQ(outcome.needBytes, full.size());
    const auto accepted = reader().read(full, false);
    ASSERT_EQ(accepted.action, Action::Accept);
    EXPECT_EQ(accepted.body, JSON(JSON::Object{{"a", 1}}));
}

TEST(LocalHTTPRequestReader, ASettledHeadStaysSettledWhereverTheBytesWereCut) {
    // The server scans only bytes it has not scanned before; every cut must agree with one scan.
    const std::string samples[] = {
        good(), "POST /\r\nA: b\r\n", "POST /\r\n\r", "POST /\r\n\n", "\r\r\n\n", "GET /\n\r\n\r\n",
    };
    for (const std::string& bytes : samples) {
        const bool whole = LocalHTTPRequestReader::headSettled(bytes, 0);
        for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
            const bool pieces =
                LocalHTTPRequestReader::headSettled(std::string_view(bytes).substr(0, cut), 0) ||
                LocalHTTPRequestReader::headSettled(bytes, cut);
            EXPECT_EQ(pieces, whole) << bytes << " cut at " << cut;
        }
    }
    EXPECT_FALSE(LocalHTTPRequestReader::headSettled("POST /\r\nA: b\r\n", 0));
    EXPECT_TRUE(LocalHTTPRequestReader::headSettled("POST /\r\n\n", 0));
}

TEST(LocalHTTPRequestReader, AnotherTokenHashRefusesTheSameRequest) {
    const LocalHTTPRequestReader other(port, LocalHTTPRequestReader::hashToken("other"));
    EXPECT_EQ(other.read(good(), false).status, 401);
}

} // namespace
} // namespace corvane
