#pragma once

#include <QtGlobal>

#include <chrono>
#include <string>
#include <string_view>

namespace corvane {

// One command to the agent's loopback API: "POST /v1/commands HTTP/1.1" to 127.0.0.1:port with the
// bearer token, then the answer read until the agent closes the connection. Waiting runs the
// calling thread's event loop (so an agent in the same process keeps serving).
class LocalCommandClient {
public:
    struct Reply {
        // The answer's status, or -1 when no complete answer arrived (see error).
        int status = -1;
        std::string body;
        // Why there is no answer: cannot connect, closed early, timed out, malformed answer.
        std::string error;
    };

    // The exact request bytes: request line, Host, Content-Type, Content-Length, Authorization.
    static std::string request(quint16 port, std::string_view token, std::string_view body);

    // Splits a complete answer into status and body; status -1 when it is not an HTTP/1.1 answer
    // with a complete head and a body of the declared length.
    static Reply parseAnswer(std::string_view bytes);

    static Reply post(quint16 port, std::string_view token, std::string_view body,
                      std::chrono::milliseconds timeout = std::chrono::seconds(25));
};

} // namespace corvane
