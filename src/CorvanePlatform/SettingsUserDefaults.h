#pragma once

#include "CorvanePlatform/UserDefaults.h"

#include <QSettings>
#include <QString>

namespace corvane {

// The user's preferences in an INI file. Each value carries its type with it, so that a value read
// as another type than it was stored with is absent (a stored bool is not the integer 1, a stored
// string "true" is not a bool), and every write reaches the file at once. The file and a folder
// created for it are private to the user.
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
    std::optional<QString> payload(const std::string& key, QChar tag) const;
    void store(const std::string& key, QChar tag, const QString& payload);
    void sync();

    QSettings settings_;
};

} // namespace corvane
