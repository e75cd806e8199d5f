#include "core/InstalledFile.h"

#include <QDir>
#include <QFileInfo>

namespace corvane::InstalledFile {

QString find(const QString& programDir, const QString& builtPath, const QString& package,
             const QString& installedPath) {
    const QDir dir(programDir);
    const QString shared = package + u'/' + installedPath;
    const QString candidates[] = {
        dir.filePath(builtPath),
        QDir::cleanPath(dir.filePath(QStringLiteral("../share/") + shared)),
        QStringLiteral("/usr/local/share/") + shared,
        QStringLiteral("/usr/share/") + shared,
    };
    for (const QString& candidate : candidates) {
        if (QFileInfo::exists(candidate)) {
            return candidate;
        }
    }
    return candidates[0];
}

} // namespace corvane::InstalledFile
