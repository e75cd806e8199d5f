#pragma once

#include "core/JSON.h"

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QSslCertificate>
#include <QString>

#include <map>
#include <string>

namespace corvane::test {

// Blocking HTTPS calls for tests (the event loop runs meanwhile, so a relay in this process
// answers). Cookies only travel when the test passes them.
class HttpsClient {
public:
    struct Reply {
        int status = 0;
        JSON body; // null when not JSON
        QByteArray raw;
        std::map<QByteArray, QByteArray> headers; // lower-case names
        std::string code() const;                 // error.code, or ""
        QByteArray header(const char* name) const;
    };

    HttpsClient(QString origin, QList<QSslCertificate> trusted);

    Reply get(const QString& path, const std::map<QByteArray, QByteArray>& headers = {});
    Reply post(const QString& path, const JSON& body,
               const std::map<QByteArray, QByteArray>& headers = {});
    Reply postRaw(const QString& path, const QByteArray& body, const QByteArray& contentType,
                  const std::map<QByteArray, QByteArray>& headers = {});
    // Any method; redirects are answers, never followed.
    Reply call(const QByteArray& method, const QString& path, const QByteArray& body,
               const std::map<QByteArray, QByteArray>& headers);

private:
    QString origin_;
    QList<QSslCertificate> trusted_;
    QNetworkAccessManager manager_;
};

} // namespace corvane::test
