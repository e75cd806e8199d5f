#include "CorvaneNative/LocalHTTPRequestReader.h"

#include <gtest/gtest.h>

#include <string>

namespace corvane {
namespace {

using Action = LocalHTTPRequestReader::Outcome::Action;

constexpr quint16 port = 50123;
constexpr std::string_view token = "s3cret-token";

struct Headers {
    std::string line = "POST /v1/commands HTTP/1.1";
    std::string host = "Host: 127.0.0.1:50123";
    std::string type = "Content-Type: application/json";
    std::string length; // derived from the body when empty
    std::string authorization = "Authorization: Bearer s3cret-token";
    std::string extra; // inserted before authorization, "\r\n"-terminated lines
    bool raw = false;  // the body is the whole request
};

std::string request(const Headers& h, std::string_view body) {
    if (h.raw)
        return std::string(body);
    std::string out = h.line + "\r\n";
    for (const std::string* header : {&h.host, &h.type}) {
        if (!header->empty())
            out += *header + "\r\n";
    }
    out += h.length.empty() ? "Content-Length: " + std::to_string(body.size()) + "\r\n"
                            : (h.length == "-" ? std::string() : h.length + "\r\n");
    out += h.extra;
    if (!h.authorization.empty())
        out += h.authorization + "\r\n";
    out += "\r\n";
    out += body;
    return out;
}

LocalHTTPRequestReader reader() {
    return LocalHTTPRequestReader(port, LocalHTTPRequestReader::hashToken(token));
}

struct Case {
    const char* name;
    Headers headers;
    std::string body;
    bool peerFinished;
    Action action;
    int status; // for Respond
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class LocalHTTPRequestReaderTable : public ::testing::TestWithParam<Case> {};

TEST_P(LocalHTTPRequestReaderTable, Answers) {
    const Case& c = GetParam();
    const auto outcome = reader().read(request(c.headers, c.body), c.peerFinished);
    EXPECT_EQ(outcome.action, c.action);
    if (c.action == Action::Respond) {
        EXPECT_EQ(outcome.status, c.status);
        const char* expectedCode = c.status == 404   ? "route_not_found"
                                   : c.status == 401 ? "unauthorized"
                                   : c.status == 413 ? "request_too_large"
                                                     : "invalid_request";
        EXPECT_EQ(outcome.code, expectedCode);
    }
}

Headers with(void (*edit)(Headers&)) {
    Headers h;
    edit(h);
    return h;
}

Case raw(const char* name, std::string bytes, bool peerFinished, Action action, int status = 0) {
    Headers none;
    none.raw = true;
    return {name, none, std::move(bytes), peerFinished, action, status};
}

const Case cases[] = {
    {"Valid", {}, R"({"a":1})", false, Action::Accept, 0},
    {"ValidScalarBody", {}, "5", true, Action::Accept, 0},
    {"MethodGet", with([](Headers& h) { h.line = "GET /v1/commands HTTP/1.1"; }), "{}", false,
     Action::Respond, 404},
    {"TrailingSlash", with([](Headers& h) { h.line = "POST /v1/commands/ HTTP/1.1"; }), "{}", false,
     Action::Respond, 404},
    {"Http10", with([](Headers& h) { h.line = "POST /v1/commands HTTP/1.0"; }), "{}", false,
     Action::Respond, 404},
    {"DoubleSpace", with([](Headers& h) { h.line = "POST  /v1/commands HTTP/1.1"; }), "{}", false,
     Action::Respond, 404},
    {"LowerCaseMethod", with([](Headers& h) { h.line = "post /v1/commands HTTP/1.1"; }), "{}",
     false, Action::Respond, 404},
    // A route error wins over a bad token.
    {"RouteBeforeToken", with([](Headers& h) {
         h.line = "GET / HTTP/1.1";
         h.authorization = "Authorization: Bearer wrong";
     }),
     "{}", false, Action::Respond, 404},
    {"HeaderWithoutColon", with([](Headers& h) { h.extra = "X-Thing\r\n"; }), "{}", false,
     Action::Respond, 400},
    {"HeaderWithEmptyValue", with([](Headers& h) { h.extra = "X-Thing:\r\n"; }), "{}", false,
     Action::Respond, 400},
    {"HeaderWithEmptyName", with([](Headers& h) { h.extra = ":value\r\n"; }), "{}", false,
     Action::Respond, 400},
    {"LeadingColonIsNoName", with([](Headers& h) { h.extra = ":X-Thing:value\r\n"; }), "{}", false,
     Action::Respond, 400},
    {"ColonInValueKept", with([](Headers& h) { h.extra = "X-Thing: a:b\r\n"; }), "{}", false,
     Action::Accept, 0},
    {"SpaceBeforeColonIsPartOfName", with([](Headers& h) { h.host = "Host : 127.0.0.1:50123"; }),
     "{}", false, Action::Respond, 400},
    {"DuplicateLength", with([](Headers& h) { h.extra = "content-length: 2\r\n"; }), "{}", false,
     Action::Respond, 400},
    {"DuplicateUnknownHeader", with([](Headers& h) { h.extra = "X-A: 1\r\nx-a: 1\r\n"; }), "{}",
     false, Action::Respond, 400},
    {"OriginLowerCase", with([](Headers& h) { h.extra = "origin: http://a\r\n"; }), "{}", false,
     Action::Respond, 400},
    {"OriginMixedCase", with([](Headers& h) { h.extra = "oRiGiN: null\r\n"; }), "{}", false,
     Action::Respond, 400},
    // Header errors are found before the token is looked at.
    {"OriginWithBadToken", with([](Headers& h) {
         h.extra = "Origin: x\r\n";
         h.authorization = "Authorization: Bearer wrong";
     }),
     "{}", false, Action::Respond, 400},
    {"TransferEncoding", with([](Headers& h) { h.extra = "Transfer-Encoding: chunked\r\n"; }), "{}",
     false, Action::Respond, 400},
    {"HostMissing", with([](Headers& h) { h.host.clear(); }), "{}", false, Action::Respond, 400},
    {"HostLocalhost", with([](Headers& h) { h.host = "Host: localhost:50123"; }), "{}", false,
     Action::Respond, 400},
    {"HostWrongPort", with([](Headers& h) { h.host = "Host: 127.0.0.1:50124"; }), "{}", false,
     Action::Respond, 400},
    {"HostWithoutPort", with([](Headers& h) { h.host = "Host: 127.0.0.1"; }), "{}", false,
     Action::Respond, 400},
    {"HostValueTrimmed", with([](Headers& h) { h.host = "hOsT: \t127.0.0.1:50123 \t"; }), "{}",
     false, Action::Accept, 0},
    {"HostWithStrayLineFeed", with([](Headers& h) { h.host = "Host: 127.0.0.1:50123\n"; }), "{}",
     false, Action::Respond, 400},
    {"TypeWithCharset",
     with([](Headers& h) { h.type = "Content-Type: application/json; charset=utf-8"; }), "{}",
     false, Action::Respond, 400},
    {"TypeUpperCase", with([](Headers& h) { h.type = "Content-Type: APPLICATION/JSON"; }), "{}",
     false, Action::Accept, 0},
    {"TypeMissing", with([](Headers& h) { h.type.clear(); }), "{}", false, Action::Respond, 400},
    {"LengthMissing", with([](Headers& h) { h.length = "-"; }), "{}", false, Action::Respond, 400},
    {"LengthNotDigits", with([](Headers& h) { h.length = "Content-Length: 2x"; }), "{}", false,
     Action::Respond, 400},
    {"LengthOnlySign", with([](Headers& h) { h.length = "Content-Length: +"; }), "{}", false,
     Action::Respond, 400},
    {"LengthPlusSign", with([](Headers& h) { h.length = "Content-Length: +2"; }), "{}", false,
     Action::Accept, 0},
    {"LengthOverflow", with([](Headers& h) {
         h.length = "Content-Length: 99999999999999999999";
         h.authorization = "Authorization: Bearer wrong";
     }),
     "{}", false, Action::Respond, 400},
    // A negative length passes the header check but no body can be that short.
    {"LengthNegative", with([](Headers& h) { h.length = "Content-Length: -1"; }), "", true,
     Action::Respond, 400},
    {"Length60001", with([](Headers& h) { h.length = "Content-Length: 60001"; }), "{}", false,
     Action::Respond, 400},
    {"WrongLengthWithBadToken", with([](Headers& h) {
         h.length = "Content-Length: 60001";
         h.authorization = "Authorization: Bearer wrong";
     }),
     "{}", false, Action::Respond, 400},
    {"LengthZeroEmptyBody", with([](Headers& h) { h.length = "Content-Length: 0"; }), "", false,
     Action::Respond, 400},
    {"AuthorizationMissing", with([](Headers& h) { h.authorization.clear(); }), "{}", false,
     Action::Respond, 401},
    {"LowerCaseBearer",
     with([](Headers& h) { h.authorization = "Authorization: bearer s3cret-token"; }), "{}", false,
     Action::Respond, 401},
    {"BearerWithoutSpace",
     with([](Headers& h) { h.authorization = "Authorization: Bearers3cret-token"; }), "{}", false,
     Action::Respond, 401},
    {"WrongToken", with([](Headers& h) { h.authorization = "Authorization: Bearer s3cret-tokeN"; }),
     "{}", false, Action::Respond, 401},
    {"TokenPrefix", with([](Headers& h) { h.authorization = "Authorization: Bearer s3cret"; }),
     "{}", false, Action::Respond, 401},
    {"TokenTrailingSpaceTrimmed",
     with([](Headers& h) { h.authorization = "authorization: Bearer s3cret-token  "; }), "{}",
     false, Action::Accept, 0},
    // A bad token is refused before the body is even complete.
    {"TokenBeforeBody", with([](Headers& h) {
         h.length = "Content-Length: 100";
         h.authorization = "Authorization: Bearer wrong";
     }),
     "{}", false, Action::Respond, 401},
    {"BodyShortWaiting", with([](Headers& h) { h.length = "Content-Length: 100"; }),
     std::string(50, ' '), false, Action::ReadMore, 0},
    {"BodyShortFinished", with([](Headers& h) { h.length = "Content-Length: 100"; }),
     std::string(50, ' '), true, Action::Respond, 400},
    {"BodyLonger", with([](Headers& h) { h.length = "Content-Length: 1"; }), "{}", false,
     Action::Respond, 400},
    {"BodyNotJSON", {}, "{\"a\":}", false, Action::Respond, 400},
    {"BodyNestedTooDeep",
     {},
     std::string(513, '[') + std::string(513, ']'),
     false,
     Action::Respond,
     400},
    {"LineFeedsInBody", {}, "[\n1\n]", false, Action::Accept, 0},
    {"HeadNotUTF8", with([](Headers& h) { h.extra = "X-Name: \xC3\x28\r\n"; }), "{}", false,
     Action::Respond, 400},
    {"HeadUTF8", with([](Headers& h) { h.extra = "X-Name: caf\xC3\xA9\r\n"; }), "{}", false,
     Action::Accept, 0},
    // Size alone decides, before anything else; exactly the limit is still read.
    raw("Oversize", std::string(65537, '\n'), false, Action::Respond, 413),
    raw("AtTheLimit", std::string(65536, 'x'), false, Action::ReadMore),
    raw("HalfAHeadWaiting", "POST /v1/commands HTTP/1.1\r\nHo", false, Action::ReadMore),
    raw("HalfAHeadFinished", "POST /v1/commands HTTP/1.1\r\nHo", true, Action::Close),
    raw("NothingFinished", "", true, Action::Close),
    // A line feed without its carriage return settles the head at once, from the bytes before it:
    // UTF-8 first, then the request line, then the line feed itself.
    raw("BareLineFeedAfterTheRoute", "POST /v1/commands HTTP/1.1\n", false, Action::Respond, 400),
    raw("BareLineFeedInAHeader", "POST /v1/commands HTTP/1.1\r\nHost: 127.0.0.1:50123\n", false,
        Action::Respond, 400),
    raw("BareLineFeedEndingTheHead", "POST /v1/commands HTTP/1.1\r\n\n", false, Action::Respond,
        400),
    raw("BareLineFeedAfterAnotherRoute", "GET / HTTP/1.1\n", false, Action::Respond, 404),
    raw("BareLineFeedLaterThanAnotherRoute", "GET / HTTP/1.1\r\nHost: 127.0.0.1:50123\n", false,
        Action::Respond, 404),
    raw("BareLineFeedFirst", "\n", false, Action::Respond, 404),
    raw("BareLineFeedAfterInvalidUTF8", "GET /\xC3\x28 HTTP/1.1\n", false, Action::Respond, 400),
    raw("BareLineFeedInACompleteHead",
        "POST /v1/commands HTTP/1.1\nHost: 127.0.0.1:50123\r\n\r\n{}", false, Action::Respond, 400),
};

INSTANTIATE_TEST_SUITE_P(Requests, LocalHTTPRequestReaderTable, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LocalHTTPRequestReader, TellsHowManyBytesTheBodyNeeds) {
    Headers h;
    h.length = "Content-Length: 7";
    const std::string full = request(h, R"({"a":1})");
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
        request({}, "{}"), "POST /\r\nA: b\r\n", "POST /\r\n\r",
        "POST /\r\n\n",    "\r\r\n\n",           "GET /\n\r\n\r\n",
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
    EXPECT_EQ(other.read(request({}, "{}"), false).status, 401);
}

} // namespace
} // namespace corvane
