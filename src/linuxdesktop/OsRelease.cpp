#include "linuxdesktop/OsRelease.h"

#include <QFile>
#include <QStringList>
#include <QSysInfo>

namespace corvane::OsRelease {

namespace {

// A value as os-release writes it: bare, or in single or double quotes with backslash escapes.
QString unquoted(const QString& raw) {
    const QString value = raw.trimmed();
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front()) {
        QString out;
        const QString inner = value.mid(1, value.size() - 2);
        for (qsizetype i = 0; i < inner.size(); ++i) {
            if (inner[i] == u'\\' && i + 1 < inner.size()) {
                ++i;
            }
            out += inner[i];
        }
        return out;
    }
    return value;
}

int number(const QStringList& parts, qsizetype index) {
    bool ok = false;
    const int value = parts.value(index).toInt(&ok);
    return ok && value >= 0 ? value : 0;
}

} // namespace

OSVersion parse(const QByteArray& text) {
    QString versionId;
    QString pretty;
    QString name;
    for (const QString& line : QString::fromUtf8(text).split(u'\n')) {
        const qsizetype equals = line.indexOf(u'=');
        if (equals <= 0 || line.startsWith(u'#')) {
            continue;
        }
        const QString key = line.left(equals).trimmed();
        const QString value = unquoted(line.mid(equals + 1));
        if (key == QLatin1String("VERSION_ID")) {
            versionId = value;
        } else if (key == QLatin1String("PRETTY_NAME")) {
            pretty = value;
        } else if (key == QLatin1String("NAME")) {
            name = value;
        }
    }
    const QStringList parts = versionId.split(u'.');
    OSVersion version;
    version.major = number(parts, 0);
    version.minor = number(parts, 1);
    version.patch = number(parts, 2);
    QString shown = !pretty.isEmpty() ? pretty : (name + u' ' + versionId).trimmed();
    if (shown.isEmpty()) {
        shown = QSysInfo::kernelType() + u' ' + QSysInfo::kernelVersion();
    }
    // Shown as one line whatever the file holds.
    version.text = shown.simplified().left(200).toStdString();
    return version;
}

OSVersion read(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return parse({});
    }
    return parse(file.read(64 * 1024));
}

} // namespace corvane::OsRelease
