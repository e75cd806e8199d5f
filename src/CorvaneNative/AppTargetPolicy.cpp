#include "CorvaneNative/AppTargetPolicy.h"

#include "CorvaneCore/ContractError.h"

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

// Whether a bundle flag is set. Besides a genuine boolean, the system honours the number 1 and
// the texts "1", "YES" and "true" that hand-written property lists use, so those count too.
bool flagSet(const PlatformValue::Dictionary& info, std::string_view key) {
    const auto it = info.find(key);
    if (it == info.end()) {
        return false;
    }
    const PlatformValue& value = it->second;
    if (const auto b = value.boolean()) {
        return *b;
    }
    if (const auto n = value.integer()) {
        return *n != 0;
    }
    if (const std::string* s = value.string()) {
        const QString text = QString::fromStdString(*s).trimmed();
        return text == QLatin1StringView("1") ||
               text.compare(QLatin1StringView("yes"), Qt::CaseInsensitive) == 0 ||
               text.compare(QLatin1StringView("true"), Qt::CaseInsensitive) == 0;
    }
    return false;
}

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

bool allows(const Workspace& workspace, const std::string& path) {
    const std::string resolved = resolvedPath(path);
    if (resolved.empty()) {
        return false;
    }
    // A trailing slash lets "/usr" itself and a bundle path ending in ".app/Contents" meet the
    // prefix and marker rules.
    const QString text = QString::fromStdString(resolved) + u'/';
    for (const QLatin1StringView prefix : protectedPrefixes) {
        if (text.startsWith(prefix, Qt::CaseInsensitive)) {
            return false;
        }
    }
    if (text.contains(nestedBundleMarker, Qt::CaseInsensitive)) {
        return false;
    }
    const std::optional<PlatformValue::Dictionary> info = workspace.bundleInfo(resolved);
    if (!info) {
        return false;
    }
    const auto identifier = info->find(std::string_view("CFBundleIdentifier"));
    if (identifier == info->end() || identifier->second.string() == nullptr ||
        identifier->second.string()->empty()) {
        return false;
    }
    return !flagSet(*info, "LSBackgroundOnly") && !flagSet(*info, "LSUIElement");
}

void check(const Workspace& workspace, const std::string& path) {
    if (!allows(workspace, path)) {
        throw ContractError("protected_app");
    }
}

} // namespace corvane::AppTargetPolicy
