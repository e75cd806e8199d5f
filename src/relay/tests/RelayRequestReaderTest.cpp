// The request reader on a connection's bytes however they are cut up: a large request trickled in
// costs what it costs sent at once, since no byte is handed to the parser twice.
#include "relay/RelayRequestReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane::test {
namespace {

TEST(RelayRequestReaderTest, EachByteIsParsedOnceHoweverItArrives) {
    // A head just under its limit announcing the largest body, then a request sent along with it.
    const std::string body(RelayRequestReader::largestBody, 'b');
    std::string first = "POST /v1/pairing/code HTTP/1.1\r\nHost: relay\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\nX-Fill: ";
    first.append(16000 - first.size() - 4, 'a');
    first += "\r\n\r\n" + body;
    const std::string stream = first + "GET /next HTTP/1.1\r\nHost: relay\r\n\r\n";

    // One byte per arrival is a body trickled one byte per TLS record.
    for (const std::size_t arrival : {stream.size(), std::size_t{1000}, std::size_t{1}}) {
        SCOPED_TRACE(arrival);
        RelayRequestReader reader;
        std::vector<RelayHttpRequest> requests;
        for (std::size_t at = 0; at < stream.size(); at += arrival) {
            RelayRequestReader::State state =
                reader.read(std::string_view(stream).substr(at, arrival));
            while (state == RelayRequestReader::State::Whole) {
                requests.push_back(reader.request());
                state = reader.next();
            }
            ASSERT_NE(state, RelayRequestReader::State::Refused) << reader.refusal();
        }
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0].body.toStdString(), body);
        EXPECT_EQ(requests[1].path.toStdString(), "/next");
        EXPECT_EQ(reader.handed(), stream.size());
    }
}

} // namespace
} // namespace corvane::test
