#include "platform/SettingsUserDefaults.h"

#include "core/JSON.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

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
constexpr mode_t ownerOnlyFile = 0600;

void ensurePrivateFolder(const QString& filePath) {
    const QString folder = QFileInfo(filePath).absolutePath();
    if (!QFileInfo::exists(folder) && QDir().mkpath(folder)) {
        QFile::setPermissions(folder, ownerOnlyFolder);
    }
}

std::string quoted(const std::string& key) {
    return '"' + key + '"';
}

// Why a write through QSettings failed. QSettings says no more than "access error"; an unnamed file
// written in the same folder meets the same refusal and tells the system's reason (read-only file
// system, no space left, not a directory...).
std::string writeFailureCause(const QString& filePath, QSettings::Status status) {
    if (status == QSettings::FormatError) {
        return "the file changed on disk and cannot be read";
    }
#ifdef O_TMPFILE
    const QByteArray folder = QFile::encodeName(QFileInfo(filePath).absolutePath());
    const int fd = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, ownerOnlyFile);
    int error = fd < 0 ? errno : 0;
    if (fd >= 0) {
        if (::write(fd, "\n", 1) != 1) {
            error = errno;
        }
        ::close(fd);
    }
    // EISDIR and EOPNOTSUPP: a kernel or file system without unnamed files, which says nothing.
    if (error != 0 && error != EISDIR && error != EOPNOTSUPP) {
        return std::generic_category().message(error);
    }
#endif
    return "access denied";
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
    const std::lock_guard lock(mutex_);
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
    write(key, "saving " + quoted(key),
          [value = QString(tag) + u':' + payload](QSettings& settings, const QString& name) {
              settings.setValue(name, value);
          });
}

void SettingsUserDefaults::write(const std::string& key, const std::string& operation,
                                 const Change& change) {
    const std::lock_guard lock(mutex_);
    const QString file = settings_.fileName();
    if (key.empty()) {
        throw UserDefaultsError(file.toStdString(), operation, "a key cannot be empty");
    }
    ensurePrivateFolder(file);
    const QString name = settingsKey(key);

    std::optional<QSettings> writer(std::in_place, file, QSettings::IniFormat);
    // A damaged line (a file edited by hand) is a format error when its section is first read; read
    // them all now, so that the status of the object that writes speaks of the write alone.
    (void)writer->allKeys();
    if (writer->status() != QSettings::NoError) {
        writer.emplace(file, QSettings::IniFormat);
    }
    const QVariant before = writer->value(name);
    change(*writer, name);
    writer->sync();
    if (const QSettings::Status status = writer->status(); status != QSettings::NoError) {
        // QSettings keeps a change it could not save: reads would give it, and the next sync that
        // succeeds would save it after all. Put back what the file holds.
        if (before.isValid()) {
            writer->setValue(name, before);
        } else {
            writer->remove(name);
        }
        writer->sync();
        throw UserDefaultsError(file.toStdString(), operation, writeFailureCause(file, status));
    }
    // A file that QSettings creates gets the umask's mode. (Nothing to protect when a removal
    // found no file, and wrote none.)
    if (::chmod(QFile::encodeName(file).constData(), ownerOnlyFile) != 0) {
        const int error = errno;
        if (error != ENOENT && error != ENOTDIR) {
            throw UserDefaultsError(file.toStdString(), operation,
                                    "cannot make the file private: " +
                                        std::generic_category().message(error));
        }
    }
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
    write(key, "removing " + quoted(key),
          [](QSettings& settings, const QString& name) { settings.remove(name); });
}

} // namespace corvane
