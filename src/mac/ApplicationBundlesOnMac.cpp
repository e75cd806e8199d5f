#include "mac/ApplicationBundlesOnMac.h"

#include <QString>

#include <string_view>

namespace corvane {

namespace {

const std::string* stringValue(const PlatformValue::Dictionary& info, std::string_view key) {
    const auto it = info.find(key);
    return it == info.end() ? nullptr : it->second.string();
}

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

ApplicationBundlesOnMac::ApplicationBundlesOnMac(const MacBundles& bundles)
    : bundles_(bundles) {}

std::optional<ApplicationBundles::Info>
ApplicationBundlesOnMac::info(const std::string& path) const {
    const std::optional<PlatformValue::Dictionary> dictionary = bundles_.bundleInfo(path);
    if (!dictionary) {
        return std::nullopt;
    }
    return fromDictionary(*dictionary);
}

ApplicationBundles::Info
ApplicationBundlesOnMac::fromDictionary(const PlatformValue::Dictionary& info) {
    Info result;
    if (const std::string* identifier = stringValue(info, "CFBundleIdentifier")) {
        result.identifier = *identifier;
    }
    // The display name wins whenever it is text, even empty text.
    if (const std::string* display = stringValue(info, "CFBundleDisplayName")) {
        result.name = *display;
    } else if (const std::string* name = stringValue(info, "CFBundleName")) {
        result.name = *name;
    }
    result.hidden = flagSet(info, "LSBackgroundOnly") || flagSet(info, "LSUIElement");
    return result;
}

} // namespace corvane
