#include "HttpsClient.h"

#include <QEventLoop>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTimer>

namespace corvane::test {

std::string HttpsClient::Reply::code() const {
    if (const JSON* error = body.find("error")) {
        if (const std::string* code = error->stringMember("code")) {
            return *code;
        }
    }
    return {};
}

QByteArray HttpsClient::Reply::header(const char* name) const {
    const auto found = headers.find(QByteArray(name).toLower());
    return found != headers.end() ? found->second : QByteArray();
}

HttpsClient::HttpsClient(QString origin, QList<QSslCertificate> trusted)
    : origin_(std::move(origin))
    , trusted_(std::move(trusted)) {}

HttpsClient::Reply HttpsClient::get(const QString& path,
                                    const std::map<QByteArray, QByteArray>& headers) {
    return call("GET", path, {}, headers);
}

HttpsClient::Reply HttpsClient::post(const QString& path, const JSON& body,
                                     const std::map<QByteArray, QByteArray>& headers) {
    return postRaw(path, QByteArray::fromStdString(body.data()), "application/json", headers);
}

HttpsClient::Reply HttpsClient::postRaw(const QString& path, const QByteArray& body,
                                        const QByteArray& contentType,
                                        const std::map<QByteArray, QByteArray>& headers) {
    std::map<QByteArray, QByteArray> all = headers;
    all.emplace("Content-Type", contentType);
    return call("POST", path, body, all);
}

HttpsClient::Reply HttpsClient::call(const QByteArray& method, const QString& path,
                                     const QByteArray& body,
                                     const std::map<QByteArray, QByteArray>& headers) {
    QNetworkRequest request(QUrl(origin_ + path));
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(trusted_);
    request.setSslConfiguration(tls);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    for (const auto& [name, value] : headers) {
        request.setRawHeader(name, value);
    }
    QNetworkReply* reply = manager_.sendCustomRequest(request, method, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    if (!reply->isFinished()) {
        loop.exec();
    }
    Reply out;
    out.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    out.raw = reply->readAll();
    for (const auto& [name, value] : reply->rawHeaderPairs()) {
        out.headers[name.toLower()] = value;
    }
    try {
        out.body = JSON::parse(out.raw.toStdString());
    } catch (const std::exception&) {
        out.body = JSON();
    }
    reply->deleteLater();
    return out;
}

} // namespace corvane::test
