#pragma once

#include "platform/UserDefaults.h"

#include <QSettings>
#include <QString>

#include <functional>
#include <mutex>

namespace corvane {

// The user's preferences in an INI file. Each value carries its type with it, so that a value read
// as another type than it was stored with is absent (a stored bool is not the integer 1, a stored
// string "true" is not a bool). Every write reaches the file before it returns, or throws
// UserDefaultsError and leaves reads giving what the file holds. The file and a folder created for
// it are private to the user.
//
// Safe to share between threads: the agent writes from its I/O worker while the main thread reads.
// A read waits for a write in progress rather than see a value that may never reach the disk.
class SettingsUserDefaults final : public UserDefaults {
public:
    explicit SettingsUserDefaults(const QString& filePath);

    // "$XDG_CONFIG_HOME/Corvane/defaults.ini" (the user's configuration directory).
    static QString standardFilePath();

    std::optional<bool> boolValue(const std::string& key) const override;
    std::optional<std::int64_t> integerValue(const std::string& key) const override;
    std::optional<std::string> stringValue(const std::string& key) const override;
    std::optional<std::vector<std::string>> stringListValue(const std::string& key) const override;

    void setBool(const std::string& key, bool value) override;
    void setInteger(const std::string& key, std::int64_t value) override;
    void setString(const std::string& key, const std::string& value) override;
    void setStringList(const std::string& key, const std::vector<std::string>& value) override;
    void remove(const std::string& key) override;

private:
    // Applies one change to `key` (already in its QSettings form) through `settings`.
    using Change = std::function<void(QSettings& settings, const QString& key)>;

    std::optional<QString> payload(const std::string& key, QChar tag) const;
    void store(const std::string& key, QChar tag, const QString& payload);
    // Makes `change` and saves it, or throws UserDefaultsError naming `operation` and puts back
    // the value the file holds.
    void write(const std::string& key, const std::string& operation, const Change& change);

    mutable std::mutex mutex_;
    // For reads only. QSettings keeps the first error of an object for good, so every write goes
    // through an object of its own; all objects for one file share its contents in memory.
    QSettings settings_;
};

} // namespace corvane
