#pragma once

#include <QString>

namespace corvane {

// Where a program finds the files it ships (the contract document, the dashboard, scenarios):
// beside it as the build tree lays them out, else where its package installs them, relative to
// the program's own folder (bin/../share/<package>, so /usr, /usr/local and /opt all work), else
// in the system's data folders.
namespace InstalledFile {

// The first of `programDir`/`builtPath`, `programDir`/../share/`package`/`installedPath`,
// /usr/local/share/`package`/`installedPath` and /usr/share/`package`/`installedPath` that
// exists; the first of them when none does, so that the error a caller reports names the place a
// developer expects.
QString find(const QString& programDir, const QString& builtPath, const QString& package,
             const QString& installedPath);

} // namespace InstalledFile

} // namespace corvane
