#include "relay/RelayHttp.h"

namespace corvane {

namespace {

QByteArray reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 410:
        return "Gone";
    case 413:
        return "Payload Too Large";
    case 411:
        return "Length Required";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    default:
        return "Error";
    }
}

} // namespace

QByteArray RelayHttpResponse::wire(bool keepOpen) const {
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason(status) + "\r\n";
    out += "Content-Type: " + contentType + "\r\n";
    if (attach) {
        // The stream ends when the connection does.
        keepOpen = false;
    } else {
        out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    }
    if (!keepOpen) {
        out += "Connection: close\r\n";
    }
    out += "Content-Security-Policy: default-src 'self'; script-src 'self'; style-src 'self'; "
           "img-src 'self' data:; connect-src 'self'; object-src 'none'; base-uri 'none'; "
           "form-action 'self'; frame-ancestors 'none'\r\n";
    out += "X-Frame-Options: DENY\r\n";
    out += "X-Content-Type-Options: nosniff\r\n";
    out += "Referrer-Policy: no-referrer\r\n";
    out += "Cache-Control: no-store\r\n";
    out += "Strict-Transport-Security: max-age=31536000\r\n";
    for (const auto& [name, value] : headers) {
        out += name + ": " + value + "\r\n";
    }
    out += "\r\n";
    out += body;
    return out;
}

} // namespace corvane
