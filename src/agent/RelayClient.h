#pragma once

#include "agent/TaskHandle.h"
#include "core/Clock.h"
#include "core/JSON.h"

#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QUrl>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

class QNetworkReply;

namespace corvane {

class RelayTrust;

// The relay's HTTPS requests: POST with a JSON body and an optional bearer token, on a session that
// keeps nothing between requests (no cookies stored or sent, no cache, no credential reuse, no
// redirects followed), with a 15-second limit on the clock. A reply body is read as it arrives and
// never beyond maxReply bytes. Main thread only.
class RelayClient final : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::seconds timeout{15};
    // The relay answers with small JSON documents; a larger body is refused, not read.
    static constexpr qint64 maxReply = 64 * 1024;

    // The system's trusted certificates plus `extra` (a self-hosted relay's own authority).
    // Verification stays on.
    static QSslConfiguration trusting(const QList<QSslCertificate>& extra);

    // `clock` must outlive the client. With `trust`, a certificate pinned for the request's address
    // is accepted too, and a refused certificate is reported to it.
    RelayClient(Clock& clock, QSslConfiguration tls, QObject* parent = nullptr);
    RelayClient(Clock& clock, std::shared_ptr<RelayTrust> trust, QObject* parent = nullptr);
    // Ends the requests still under way: their callers see a transport failure.
    ~RelayClient() override;

    // One request. Returns the decoded body of a 2xx answer. Throws ContractError with the code at
    // "error"."code" of any other answer, else "relay_request_failed"; a body of a 2xx answer that
    // is not JSON throws the reader's error; a body that declares or reaches more than maxReply
    // bytes throws "relay_request_failed" whatever the status; a failed transport (refused, TLS,
    // time-out) throws std::runtime_error with the transport's reason.
    QCoro::Task<JSON> post(QUrl url, JSON body, std::optional<std::string> bearer);

    const QSslConfiguration& tls() const noexcept { return tls_; }
    const std::shared_ptr<RelayTrust>& trust() const noexcept { return trust_; }

private:
    static QCoro::Task<> timeLimit(QPointer<QNetworkReply> reply, TaskHandle handle, Clock* clock,
                                   std::shared_ptr<bool> timedOut);

    Clock& clock_;
    QSslConfiguration tls_;
    std::shared_ptr<RelayTrust> trust_;
    QNetworkAccessManager manager_;
};

} // namespace corvane
