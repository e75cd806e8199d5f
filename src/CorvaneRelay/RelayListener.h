#pragma once

#include "CorvaneRelay/RelayHttp.h"

#include <QObject>
#include <QSslConfiguration>
#include <QSslServer>
#include <QWebSocketServer>

#include <functional>
#include <memory>

class QSslSocket;
class QWebSocket;

namespace corvane {

// TLS on one port, split by path: "/v1/ws/device" upgrades to a WebSocket, everything else is one
// HTTP request per connection answered by the handler. Heads over 16 KiB, bodies over 64 KiB,
// chunked bodies and connections silent for 20 seconds are refused. Main thread.
class RelayListener final : public QObject {
public:
    static constexpr qsizetype largestHead = 16384;
    static constexpr qsizetype largestBody = 65536;

    using Handler = std::function<RelayHttpResponse(const RelayHttpRequest&)>;
    using Upgraded = std::function<void(std::unique_ptr<QWebSocket>)>;

    RelayListener(QSslConfiguration tls, Handler handler, Upgraded upgraded,
                  QObject* parent = nullptr);
    ~RelayListener() override;

    // The port, 0 when it cannot listen.
    quint16 listen(const QHostAddress& address, quint16 port);

private:
    void accepted();
    void read(QSslSocket* socket);
    void answer(QSslSocket* socket, const RelayHttpResponse& response);
    void upgradedSockets();

    QSslServer server_;
    QWebSocketServer upgrader_;
    Handler handler_;
    Upgraded upgraded_;
};

} // namespace corvane
