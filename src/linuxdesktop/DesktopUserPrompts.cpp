#include "linuxdesktop/DesktopUserPrompts.h"

#include <QProcess>
#include <QUrl>

namespace corvane {

QCoro::Task<UserPrompts::Answer> DesktopUserPrompts::alert(std::string, std::string, std::string,
                                                           std::string) {
    co_return Answer::Second;
}

bool DesktopUserPrompts::openInBrowser(const std::string& url) {
    const QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    if (!parsed.isValid() ||
        (parsed.scheme() != QLatin1String("https") && parsed.scheme() != QLatin1String("http"))) {
        return false;
    }
    return QProcess::startDetached(QStringLiteral("xdg-open"),
                                   {parsed.toString(QUrl::FullyEncoded)});
}

} // namespace corvane
