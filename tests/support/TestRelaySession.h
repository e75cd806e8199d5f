#pragma once

#include "core/JSON.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QSslSocket>
#include <QWebSocket>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane::test {

// One device session accepted by the TestRelay: records what the agent sent and lets the test send
// anything back (valid messages, unknown types, malformed or oversized text, binary frames) and
// close with any code, or stay silent.
class TestRelaySession final : public QObject {
public:
    // `transport` is the connection under `socket`, for frames written by hand.
    TestRelaySession(std::unique_ptr<QWebSocket> socket, QByteArray deviceHeader,
                     QPointer<QSslSocket> transport);
    ~TestRelaySession() override;

    // The "X-Velto-Device-ID" header of the upgrade request.
    const QByteArray& deviceHeader() const noexcept { return deviceHeader_; }
    // Every text message the agent sent, as it came (parsed where it is JSON).
    const std::vector<QByteArray>& raw() const noexcept { return raw_; }
    std::vector<JSON> messages() const;
    // The "type" members of the agent's messages, in order.
    std::vector<std::string> types() const;
    // The messages of one type.
    std::vector<JSON> ofType(const std::string& type) const;

    // Runs for every message the agent sends (after it was recorded).
    std::function<void(TestRelaySession&, const JSON&)> onMessage;

    void send(const JSON& message);
    void sendText(const QString& text);
    void sendBinary(const QByteArray& bytes);
    // Closes with `code` (and a reason, which the agent ignores).
    void close(int code);
    // Drops the connection without a close frame.
    void abort();
    // Writes `bytes` as they are, under the WebSocket (hand-made frames).
    void sendRaw(const QByteArray& bytes);
    // What the relay has written and the connection not yet taken.
    qint64 unsentBytes() const { return transport_ ? transport_->bytesToWrite() : 0; }
    // Stops reading and answering, like a stopped process: the connection stays open, pings go
    // unanswered.
    void freeze();
    // Sends a ping; pongs() counts the agent's answers.
    void ping();
    int pongs() const noexcept { return pongs_; }

    bool ended() const noexcept { return ended_; }
    // The close code the agent sent, once it closed the session.
    std::optional<int> agentCloseCode() const noexcept { return agentCloseCode_; }

private:
    std::unique_ptr<QWebSocket> socket_;
    QPointer<QSslSocket> transport_;
    QByteArray deviceHeader_;
    std::vector<QByteArray> raw_;
    bool ended_ = false;
    bool closedHere_ = false;
    int pongs_ = 0;
    std::optional<int> agentCloseCode_;
};

} // namespace corvane::test
