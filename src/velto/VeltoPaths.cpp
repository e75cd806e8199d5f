#include "velto/VeltoPaths.h"

#include "core/InstalledFile.h"

#include <QCoreApplication>
#include <QStandardPaths>

namespace corvane::VeltoPaths {

QString dataDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Corvane");
}

QString simulatorRoot() {
    return dataDirectory() + QStringLiteral("/sim");
}

QString simulatorSocket() {
    return simulatorRoot() + QStringLiteral("/control.sock");
}

QString agentSocket() {
    return dataDirectory() + QStringLiteral("/agent.sock");
}

QString besideProgram(const QString& relativePath) {
    return InstalledFile::find(QCoreApplication::applicationDirPath(), relativePath,
                               QStringLiteral("velto"), relativePath);
}

} // namespace corvane::VeltoPaths
