#pragma once

#include "platform/LoginItems.h"

#include <string>
#include <vector>

namespace corvane {

// The agent as an XDG autostart entry ($XDG_CONFIG_HOME/autostart/velto.desktop). Switching it off
// keeps the file with Hidden=true, which also overrides an entry of the same name that the system
// installs. The file is replaced atomically (written beside it, synced, renamed), so a crash leaves
// the old entry or the new one, never half of one. Main thread; small local file operations only.
class XdgLoginItems final : public LoginItems {
public:
    // `program` and `arguments` make the entry's Exec line.
    XdgLoginItems(std::string autostartFolder, std::string program,
                  std::vector<std::string> arguments = {});

    static std::string standardFolder();
    static constexpr const char* fileName = "velto.desktop";

    // NotFound when the program is not there to start; NotRegistered without an entry or with one
    // switched off.
    Status status() const override;
    // False when the entry cannot be written (or the program cannot be named in an Exec line).
    bool registerItem() override;
    bool unregisterItem() override;

    std::string path() const;
    // The entry's text; empty when the program or an argument holds characters an Exec line cannot
    // carry (control characters, or "%" in the program's path).
    std::string entryText(bool enabled) const;

private:
    bool write(bool enabled);

    std::string folder_;
    std::string program_;
    std::vector<std::string> arguments_;
};

} // namespace corvane
