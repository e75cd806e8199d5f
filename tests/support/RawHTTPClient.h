#pragma once

#include <QtGlobal>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace corvane::test {

// A deliberately raw HTTP client for the loopback server's tests: it sends exactly the bytes it is
// given, in as many pieces as the test likes, can close its sending side, and reads until the
// server closes. Waiting runs the calling thread's Qt event loop, so handlers awaited there make
// progress meanwhile.
class RawHTTPClient {
public:
    struct Reply {
        bool closed = false; // the server closed (or reset) the connection
        bool reset = false;  // it ended with a reset rather than an orderly close
        std::string bytes;   // everything received

        // The status of "HTTP/1.1 <status> ...", or -1 when there is no status line.
        int status() const;
        // The bytes after the blank line that ends the head.
        std::string body() const;
    };

    // Connects to 127.0.0.1:`port`; connected() says whether that worked.
    explicit RawHTTPClient(quint16 port);
    ~RawHTTPClient();
    RawHTTPClient(const RawHTTPClient&) = delete;
    RawHTTPClient& operator=(const RawHTTPClient&) = delete;

    bool connected() const { return descriptor_ >= 0 && connected_; }
    // Sends all of `bytes`; false when the connection refused them.
    bool send(std::string_view bytes);
    // Half-closes: the server sees the end of the request stream.
    void finishSending();
    // Reads until the server closes or `timeout` has passed.
    Reply readUntilClosed(std::chrono::milliseconds timeout);
    // Reads what has arrived, without waiting: `closed` says whether the end came with it.
    Reply readAvailable();

    // Runs the current thread's event loop until `condition` holds (checked every millisecond) or
    // `timeout` has passed; returns the condition's last value. A gate for tests that wait on
    // progress made by a handler or by another thread.
    static bool runEventLoopUntil(const std::function<bool()>& condition,
                                  std::chrono::milliseconds timeout);
    // A request with the usual headers for `port` and `token` and the given body.
    static std::string request(quint16 port, std::string_view token, std::string_view body);

private:
    enum class Received { Bytes, Nothing, End };
    // One read without waiting, appended to `reply`; at the end, `reply` is marked closed.
    Received receive(Reply& reply);

    int descriptor_ = -1;
    bool connected_ = false;
};

} // namespace corvane::test
