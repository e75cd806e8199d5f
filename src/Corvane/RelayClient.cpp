#include "Corvane/RelayClient.h"

#include "CorvaneCore/ContractError.h"
#include "CorvaneCore/Detached.h"

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

    QPointer<RelayClient> self(this);
    QPointer<QNetworkReply> reply = manager_.post(request, QByteArray::fromStdString(body.data()));
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
    const QByteArray answer = reply->isOpen() ? reply->readAll() : QByteArray();
    const QString reason = reply->errorString();
    reply->deleteLater();

    if (!status.isValid()) {
        if (error == QNetworkReply::SslHandshakeFailedError && self) {
            // A connection kept from before would be tried again as it is.
            self->manager_.clearConnectionCache();
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
