#pragma once

#include "platform/ProcessRunner.h"

#include <string>

namespace corvane {

// The person's Shortcuts on a Linux desktop: executables they place in one folder
// ($XDG_CONFIG_HOME/Velto/shortcuts), each run by its file name with no arguments, through the
// same tool runner as every other tool (own process group, output discarded, the actions' time
// limit). Tools themselves pass through to `tools`.
class ShortcutFolderRunner final : public ProcessRunner {
public:
    ShortcutFolderRunner(ProcessRunner& tools, std::string folder);

    static std::string standardFolder();

    std::unique_ptr<Process> start(const std::string& path,
                                   const std::vector<std::string>& arguments) override;
    // Refuses with "invalid_shortcut_name" a name that could leave the folder or is no file name
    // ("/", ".", "..", NUL or control characters), and with "action_failed" when no executable by
    // that name is in the folder, or when the folder or the file may be changed by other users.
    std::optional<Command> shortcutCommand(const std::string& name) const override;

private:
    ProcessRunner& tools_;
    std::string folder_;
};

} // namespace corvane
