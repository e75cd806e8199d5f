#pragma once

#include "platform/OSVersion.h"

#include <QString>

namespace corvane {

// The distribution's version from os-release: VERSION_ID's numbers ("12", "22.04", "40") and
// PRETTY_NAME as the text, shell quoting removed. Missing numbers are 0; an unreadable file gives
// zeros and the kernel's own name.
namespace OsRelease {

OSVersion parse(const QByteArray& text);
OSVersion read(const QString& path = QStringLiteral("/etc/os-release"));

} // namespace OsRelease

} // namespace corvane
