#include "actions/AppTargetPolicy.h"

#include "core/ContractError.h"

#include <QDir>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <array>

namespace corvane::AppTargetPolicy {

namespace {

// Compared without regard to letter case: on a case-insensitive volume "/system/library/" names
// the same folder as "/System/Library/".
constexpr std::array<QLatin1StringView, 3> protectedPrefixes{QLatin1StringView("/System/Library/"),
                                                             QLatin1StringView("/usr/"),
                                                             QLatin1StringView("/Library/Apple/")};
constexpr QLatin1StringView nestedBundleMarker(".app/Contents/");

} // namespace

std::string resolvedPath(const std::string& path) {
    const QString given = QString::fromStdString(path);
    if (!QDir::isAbsolutePath(given)) {
        return {};
    }
    // Component by component, like realpath(3), except that a part that does not exist is kept
    // as written instead of failing: the workspace, not the file system, decides whether a bundle
    // is there. A link is followed even when its target is missing.
    constexpr int maxLinks = 40;
    int links = 0;
    QStringList pending = given.split(u'/', Qt::SkipEmptyParts);
    QString current; // resolved so far; empty is the root
    bool exists = true;
    while (!pending.isEmpty()) {
        const QString part = pending.takeFirst();
        if (part == QLatin1StringView(".")) {
            continue;
        }
        if (part == QLatin1StringView("..")) {
            current.truncate(std::max<qsizetype>(0, current.lastIndexOf(u'/')));
            continue;
        }
        const QString next = current + u'/' + part;
        if (exists) {
            const QFileInfo info(next);
            if (info.isSymLink()) {
                if (++links > maxLinks) {
                    return {};
                }
                pending = info.symLinkTarget().split(u'/', Qt::SkipEmptyParts) + pending;
                current.clear();
                continue;
            }
            exists = info.exists();
        }
        current = next;
    }
    return current.isEmpty() ? std::string("/") : current.toStdString();
}

bool allows(const ApplicationBundles& bundles, const std::string& path) {
    const std::string resolved = resolvedPath(path);
    if (resolved.empty()) {
        return false;
    }
    // A trailing slash lets "/usr" itself and a bundle path ending in ".app/Contents" meet the
    // prefix and marker rules.
    const QString text = QString::fromStdString(resolved) + u'/';
    if (const std::optional<std::vector<std::string>> folders = bundles.systemFolders()) {
        for (const std::string& folder : *folders) {
            if (text.startsWith(QString::fromStdString(folder), Qt::CaseInsensitive)) {
                return false;
            }
        }
    } else {
        for (const QLatin1StringView prefix : protectedPrefixes) {
            if (text.startsWith(prefix, Qt::CaseInsensitive)) {
                return false;
            }
        }
    }
    if (text.contains(nestedBundleMarker, Qt::CaseInsensitive)) {
        return false;
    }
    const std::optional<ApplicationBundles::Info> info = bundles.info(resolved);
    return info && !info->identifier.empty() && !info->hidden;
}

void check(const ApplicationBundles& bundles, const std::string& path) {
    if (!allows(bundles, path)) {
        throw ContractError("protected_app");
    }
}

} // namespace corvane::AppTargetPolicy
