#include "agent/RelayClient.h"

#include "agent/RelayTrust.h"

#include "core/ContractError.h"
#include "core/Detached.h"

#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <coroutine>
#include <stdexcept>

namespace corvane {

namespace {

// A jar that neither keeps nor hands out cookies.
class ForgetfulCookieJar final : public QNetworkCookieJar {
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    QList<QNetworkCookie> cookiesForUrl(const QUrl&) const override { return {}; }
    bool setCookiesFromUrl(const QList<QNetworkCookie>&, const QUrl&) override { return false; }
};

// Resumes its coroutine when the reply finishes or is destroyed (its manager went), directly from
// the signal: a queued resumption would be dropped with a reply deleted meanwhile.
struct ReplyDone {
    QNetworkReply* reply;
    QMetaObject::Connection finished;
    QMetaObject::Connection destroyed;

    bool await_ready() const { return reply->isFinished(); }
    void await_suspend(std::coroutine_handle<> handle) {
        auto fired = std::make_shared<bool>(false);
        const auto resume = [handle, fired] {
            if (!*fired) {
                *fired = true;
                handle.resume();
            }
        };
        finished = QObject::connect(reply, &QNetworkReply::finished, reply, resume);
        destroyed = QObject::connect(reply, &QObject::destroyed, reply, resume);
    }
    void await_resume() {
        QObject::disconnect(finished);
        QObject::disconnect(destroyed);
    }
};

// The body of a reply as far as it was read: never more than one byte past the limit.
struct BoundedBody {
    QByteArray bytes;
    bool tooLarge = false;
};

// Takes what the reply holds, stopping one byte past the limit.
void readInto(QNetworkReply& reply, BoundedBody& body) {
    while (!body.tooLarge && reply.bytesAvailable() > 0) {
        const QByteArray chunk = reply.read(RelayClient::maxReply + 1 - body.bytes.size());
        if (chunk.isEmpty()) {
            return;
        }
        body.bytes.append(chunk);
        body.tooLarge = body.bytes.size() > RelayClient::maxReply;
    }
}

// "relay_request_failed" to callers; the report says why.
class OversizedReply final : public ContractError {
public:
    OversizedReply()
        : ContractError("relay_request_failed")
        , message_("the relay's reply is larger than " + std::to_string(RelayClient::maxReply) +
                   " bytes") {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

JSON decoded(const QByteArray& body) {
    return JSON::parse(std::string(body.constData(), static_cast<std::size_t>(body.size())));
}

// The relay's own code for a refusal, when its body says one.
std::string refusalCode(const QByteArray& body) {
    try {
        const JSON answer = decoded(body);
        if (const JSON* error = answer.find("error")) {
            if (const std::string* code = error->stringMember("code")) {
                return *code;
            }
        }
    } catch (const std::exception&) {
        // Not JSON: a proxy's or server's page.
    }
    return "relay_request_failed";
}

} // namespace

QSslConfiguration RelayClient::trusting(const QList<QSslCertificate>& extra) {
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    if (!extra.isEmpty()) {
        tls.addCaCertificates(extra);
    }
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    return tls;
}

RelayClient::RelayClient(Clock& clock, QSslConfiguration tls, QObject* parent)
    : QObject(parent)
    , clock_(clock)
    , tls_(std::move(tls)) {
    manager_.setCookieJar(new ForgetfulCookieJar(&manager_));
    manager_.setCache(nullptr);
    manager_.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    manager_.setStrictTransportSecurityEnabled(false);
}

RelayClient::RelayClient(Clock& clock, std::shared_ptr<RelayTrust> trust, QObject* parent)
    : RelayClient(clock, trust->configuration(), parent) {
    trust_ = std::move(trust);
}

RelayClient::~RelayClient() {
    // Their callers resume now, while the manager still exists.
    for (QNetworkReply* reply : manager_.findChildren<QNetworkReply*>()) {
        reply->abort();
    }
}

QCoro::Task<> RelayClient::timeLimit(QPointer<QNetworkReply> reply, TaskHandle handle, Clock* clock,
                                     std::shared_ptr<bool> timedOut) {
    const bool expired = co_await TaskHandle::sleep(handle, clock, timeout);
    if (expired && reply && !reply->isFinished()) {
        *timedOut = true;
        reply->abort();
    }
}

QCoro::Task<JSON> RelayClient::post(QUrl url, JSON body, std::optional<std::string> bearer) {
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (bearer) {
        request.setRawHeader(QByteArrayLiteral("Authorization"),
                             QByteArrayLiteral("Bearer ") + QByteArray::fromStdString(*bearer));
    }
    request.setSslConfiguration(tls_);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setTransferTimeout(0);
    // A compressed body would be inflated before it is counted.
    request.setRawHeader(QByteArrayLiteral("Accept-Encoding"), QByteArrayLiteral("identity"));

    QPointer<RelayClient> self(this);
    QPointer<QNetworkReply> reply = manager_.post(request, QByteArray::fromStdString(body.data()));
    // Qt reads no further ahead of us than this; the body is taken as it comes, and the reply is
    // ended once it declares or reaches more than the limit. The abort waits for the event loop:
    // it finishes the reply, which would resume this coroutine inside Qt's signal.
    reply->setReadBufferSize(maxReply);
    auto received = std::make_shared<BoundedBody>();
    const auto refuse = [reply] {
        QMetaObject::invokeMethod(reply.data(), &QNetworkReply::abort, Qt::QueuedConnection);
    };
    QObject::connect(
        reply.data(), &QNetworkReply::metaDataChanged, reply.data(), [reply, received, refuse] {
            const QVariant declared = reply->header(QNetworkRequest::ContentLengthHeader);
            if (!received->tooLarge && declared.isValid() && declared.toLongLong() > maxReply) {
                received->tooLarge = true;
                refuse();
            }
        });
    QObject::connect(reply.data(), &QNetworkReply::readyRead, reply.data(),
                     [reply, received, refuse] {
                         if (!received->tooLarge) {
                             readInto(*reply, *received);
                             if (received->tooLarge) {
                                 refuse();
                             }
                         }
                     });
    // The handshake's complaints, kept for the refusal's text; a certificate pinned for this
    // address lets the handshake go on.
    auto complaints = std::make_shared<QList<QSslError>>();
    QObject::connect(reply.data(), &QNetworkReply::sslErrors, reply.data(),
                     [reply, complaints, trust = trust_, url](const QList<QSslError>& errors) {
                         *complaints = errors;
                         if (trust && trust->accepts(url, errors)) {
                             reply->ignoreSslErrors();
                         }
                     });
    const TaskHandle limit = TaskHandle::make();
    auto timedOut = std::make_shared<bool>(false);
    startDetached(timeLimit(reply, limit, &clock_, timedOut), {});
    co_await ReplyDone{reply.data(), {}, {}};
    limit.cancel();
    if (!reply) {
        throw std::runtime_error("the relay request was abandoned");
    }
    // Read everything before the reply goes.
    const QNetworkReply::NetworkError error = reply->error();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (reply->isOpen()) {
        readInto(*reply, *received);
    }
    const QString reason = reply->errorString();
    reply->deleteLater();

    if (received->tooLarge) {
        throw OversizedReply();
    }
    const QByteArray& answer = received->bytes;
    if (!status.isValid()) {
        if (error == QNetworkReply::SslHandshakeFailedError && self) {
            // A connection kept from before would be tried again as it is.
            self->manager_.clearConnectionCache();
            if (!complaints->isEmpty()) {
                throw std::runtime_error("relay request failed: " +
                                         RelayTrust::report(self->trust_.get(), url, *complaints));
            }
        }
        throw std::runtime_error(*timedOut ? "the relay did not answer within 15 seconds"
                                           : "relay request failed: " + reason.toStdString());
    }
    const int code = status.toInt();
    if (code < 200 || code > 299) {
        throw ContractError(refusalCode(answer));
    }
    co_return decoded(answer);
}

} // namespace corvane
