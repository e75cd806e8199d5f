#pragma once

#include <QString>
#include <QUrl>

#include <filesystem>
#include <string_view>

namespace corvane {

// Remembers across restarts that the Mac was disconnected locally while the server has not yet
// confirmed it, and builds the dashboard link where the person finishes the removal.
//
// File format: {"pending": <bool>}.
class RevocationState {
public:
    static constexpr std::string_view warning =
        "Server-side revocation pending, complete it in the web dashboard";

    // Loads the flag; a missing file means not pending. Throws FileError when the file cannot be
    // read, JSONReadError when it is not JSON, and DamagedFileError "invalid_revocation_state"
    // when it is not an object with a boolean "pending"; each names the file in its what().
    explicit RevocationState(std::filesystem::path file);

    bool pending() const noexcept { return pending_; }

    // Write the file, then set the flag: after a write error (FileError, thrown) the flag in
    // memory still says what the file says.
    void begin();
    void acknowledge();

    // `base` with the path components "devices" and the lower-cased device id appended. `base`
    // must be written with the scheme "https" in lower case, have a host, and carry no user,
    // password, query or fragment; `deviceID` must be a UUID in canonical text form. Otherwise
    // throws ContractError "invalid_dashboard".
    static QUrl dashboardLink(const QString& base, std::string_view deviceID);

    const std::filesystem::path& file() const noexcept { return file_; }

private:
    void save(bool pending) const;

    bool pending_ = false;
    std::filesystem::path file_;
};

} // namespace corvane
