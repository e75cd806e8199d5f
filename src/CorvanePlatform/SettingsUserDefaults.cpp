#include "CorvanePlatform/SettingsUserDefaults.h"

#include "CorvaneCore/JSON.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace corvane {

namespace {

// Type tags in front of every stored value ("b:true", "i:42", "s:text", "l:[...]"). The INI format
// keeps nothing but text, so the type has to travel with the value.
constexpr char16_t boolTag = u'b';
constexpr char16_t integerTag = u'i';
constexpr char16_t stringTag = u's';
constexpr char16_t listTag = u'l';

// QSettings reads '/' and '\' in a key as group separators and folds repeated ones; escaping them
// (and the escape character itself) keeps every key exactly as given.
QString settingsKey(const std::string& key) {
    QString out;
    for (const QChar c : QString::fromUtf8(key)) {
        if (c == u'%') {
            out += QStringLiteral("%25");
        } else if (c == u'/') {
            out += QStringLiteral("%2F");
        } else if (c == u'\\') {
            out += QStringLiteral("%5C");
        } else {
            out += c;
        }
    }
    return out;
}

// The preferences hold the pairing's device id and relay: readable by their owner only, like the
// agent's other files.
constexpr QFileDevice::Permissions ownerOnlyFolder =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
constexpr QFileDevice::Permissions ownerOnlyFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

void ensurePrivateFolder(const QString& filePath) {
    const QString folder = QFileInfo(filePath).absolutePath();
    if (!QFileInfo::exists(folder) && QDir().mkpath(folder)) {
        QFile::setPermissions(folder, ownerOnlyFolder);
    }
}

} // namespace

SettingsUserDefaults::SettingsUserDefaults(const QString& filePath)
    : settings_((ensurePrivateFolder(filePath), filePath), QSettings::IniFormat) {}

QString SettingsUserDefaults::standardFilePath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Corvane/defaults.ini");
}

std::optional<QString> SettingsUserDefaults::payload(const std::string& key, QChar tag) const {
    if (key.empty()) {
        return std::nullopt;
    }
    const QVariant stored = settings_.value(settingsKey(key));
    if (stored.typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    const QString text = stored.toString();
    if (text.size() < 2 || text[0] != tag || text[1] != u':') {
        return std::nullopt;
    }
    return text.mid(2);
}

void SettingsUserDefaults::store(const std::string& key, QChar tag, const QString& payload) {
    if (key.empty()) {
        return;
    }
    settings_.setValue(settingsKey(key), QString(tag) + u':' + payload);
    sync();
}

void SettingsUserDefaults::sync() {
    settings_.sync();
    // Each write replaces the file, which then has the default mode again.
    QFile::setPermissions(settings_.fileName(), ownerOnlyFile);
}

std::optional<bool> SettingsUserDefaults::boolValue(const std::string& key) const {
    const std::optional<QString> text = payload(key, boolTag);
    if (text == QStringLiteral("true")) {
        return true;
    }
    if (text == QStringLiteral("false")) {
        return false;
    }
    return std::nullopt;
}

std::optional<std::int64_t> SettingsUserDefaults::integerValue(const std::string& key) const {
    const std::optional<QString> text = payload(key, integerTag);
    if (!text) {
        return std::nullopt;
    }
    bool ok = false;
    const qlonglong value = text->toLongLong(&ok);
    if (!ok) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> SettingsUserDefaults::stringValue(const std::string& key) const {
    const std::optional<QString> text = payload(key, stringTag);
    if (!text) {
        return std::nullopt;
    }
    return text->toStdString();
}

std::optional<std::vector<std::string>>
SettingsUserDefaults::stringListValue(const std::string& key) const {
    const std::optional<QString> text = payload(key, listTag);
    if (!text) {
        return std::nullopt;
    }
    try {
        const JSON list = JSON::parse(text->toStdString());
        const JSON::Array* items = list.array();
        if (items == nullptr) {
            return std::nullopt;
        }
        std::vector<std::string> out;
        out.reserve(items->size());
        for (const JSON& item : *items) {
            const std::string* s = item.string();
            if (s == nullptr) {
                return std::nullopt;
            }
            out.push_back(*s);
        }
        return out;
    } catch (const JSONReadError&) {
        // A hand-edited or damaged entry reads as absent, like any other unreadable value.
        return std::nullopt;
    }
}

void SettingsUserDefaults::setBool(const std::string& key, bool value) {
    store(key, boolTag, value ? QStringLiteral("true") : QStringLiteral("false"));
}

void SettingsUserDefaults::setInteger(const std::string& key, std::int64_t value) {
    store(key, integerTag, QString::number(static_cast<qlonglong>(value)));
}

void SettingsUserDefaults::setString(const std::string& key, const std::string& value) {
    store(key, stringTag, QString::fromUtf8(value));
}

void SettingsUserDefaults::setStringList(const std::string& key,
                                         const std::vector<std::string>& value) {
    JSON::Array items;
    items.reserve(value.size());
    for (const std::string& s : value) {
        // Through QString like setString, so that malformed UTF-8 cannot make the write fail.
        items.emplace_back(QString::fromUtf8(s).toStdString());
    }
    store(key, listTag, QString::fromStdString(JSON(std::move(items)).data()));
}

void SettingsUserDefaults::remove(const std::string& key) {
    if (key.empty()) {
        return;
    }
    settings_.remove(settingsKey(key));
    sync();
}

} // namespace corvane
