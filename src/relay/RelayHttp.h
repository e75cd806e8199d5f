#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace corvane {

class EventSink;

// One HTTP/1.1 request as the relay's listener read it: a Content-Length body at most, header names
// in lower case.
struct RelayHttpRequest {
    QByteArray method;
    QString path;     // percent-decoding is left to whoever reads it
    QByteArray query; // what follows '?' in the target, as sent
    std::map<QByteArray, QByteArray> headers;
    QByteArray body;
    QHostAddress remote;

    QByteArray header(const char* lowerName) const {
        const auto found = headers.find(QByteArray(lowerName));
        return found != headers.end() ? found->second : QByteArray();
    }
};

struct RelayHttpResponse {
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    std::vector<std::pair<QByteArray, QByteArray>> headers;
    // Set for an event stream: the answer has no length and stays open, `body` is its first
    // events, and this receives (on the main thread) the sink that sends the rest.
    std::function<void(std::unique_ptr<EventSink>)> attach;

    // The bytes on the wire, with the headers every answer of the relay carries: no framing, no
    // inline script, no sniffing, no caching, no referrer; unless `keepOpen`, the connection
    // closes after it.
    QByteArray wire(bool keepOpen = false) const;
};

} // namespace corvane
