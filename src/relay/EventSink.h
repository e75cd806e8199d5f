#pragma once

#include <string>

namespace corvane {

// One open event stream to a dashboard as the main thread sees it: text chunks out, and whether
// the browser is still there. The server implements it over an HTTP response that never ends;
// tests record what it was asked.
class EventSink {
public:
    virtual ~EventSink() = default;
    // Queues `chunk` (whole events); a sink that has ended ignores it.
    virtual void send(std::string chunk) = 0;
    virtual void close() = 0;
    // False once the connection ended, from either side (a slow reader included).
    virtual bool open() const = 0;
};

} // namespace corvane
