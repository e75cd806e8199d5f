#include "linuxdesktop/XdgLoginItems.h"

#include "linuxdesktop/GLibOwners.h"

#include <QtDebug>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

namespace {

// One argument of an Exec line: quoted when it holds a reserved character, with the characters
// that stay special inside quotes escaped; "%" doubled since it starts a field code.
std::optional<std::string> execArgument(const std::string& argument) {
    constexpr std::string_view reserved = " \t\"'\\><~|&;$*?#()`";
    std::string out;
    bool quote = argument.empty();
    for (const char c : argument) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            return std::nullopt;
        }
        quote = quote || reserved.find(c) != std::string_view::npos;
    }
    for (const char c : argument) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) {
            out += '\\';
        }
        out += c == '%' ? std::string("%%") : std::string(1, c);
    }
    if (quote) {
        out = '"' + out + '"';
    }
    // The line is itself a string value, whose own escape character is the backslash.
    std::string value;
    for (const char c : out) {
        value += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    return value;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool makeFolders(const std::string& folder) {
    std::size_t slash = 1;
    while (slash != std::string::npos) {
        slash = folder.find('/', slash + 1);
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    struct stat status {};
    return ::stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

} // namespace

XdgLoginItems::XdgLoginItems(std::string autostartFolder, std::string program,
                             std::vector<std::string> arguments)
    : folder_(std::move(autostartFolder))
    , program_(std::move(program))
    , arguments_(std::move(arguments)) {}

std::string XdgLoginItems::standardFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && *config == '/') {
        return std::string(config) + "/autostart";
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config/autostart";
}

std::string XdgLoginItems::path() const {
    return folder_ + '/' + fileName;
}

std::string XdgLoginItems::entryText(bool enabled) const {
    std::string exec;
    std::vector<std::string> words{program_};
    words.insert(words.end(), arguments_.begin(), arguments_.end());
    // Desktops check that the program exists before expanding "%%", so a program path with "%"
    // could never start.
    if (program_.find('%') != std::string::npos) {
        return {};
    }
    for (const std::string& word : words) {
        const std::optional<std::string> argument = execArgument(word);
        if (!argument) {
            return {};
        }
        exec += (exec.empty() ? "" : " ") + *argument;
    }
    const char* state = enabled ? "false" : "true";
    return std::string("[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=Velto\n"
                       "Comment=Lets you operate this computer from elsewhere\n"
                       "Icon=velto\n"
                       "Exec=") +
           exec + "\nTerminal=false\nX-GNOME-Autostart-enabled=" + (enabled ? "true" : "false") +
           "\nHidden=" + state + "\n";
}

LoginItems::Status XdgLoginItems::status() const {
    if (::access(program_.c_str(), X_OK) != 0) {
        return Status::NotFound;
    }
    const std::unique_ptr<GKeyFile, decltype(&g_key_file_free)> file(g_key_file_new(),
                                                                     &g_key_file_free);
    if (!g_key_file_load_from_file(file.get(), path().c_str(), G_KEY_FILE_NONE, nullptr)) {
        return Status::NotRegistered;
    }
    // An absent or unreadable key keeps its default: shown, enabled.
    const auto flag = [&file](const char* key, bool fallback) {
        GError* raw = nullptr;
        const bool value = g_key_file_get_boolean(file.get(), "Desktop Entry", key, &raw);
        const GLibOwners::Error error(raw);
        return error ? fallback : static_cast<bool>(value);
    };
    const bool on = !flag("Hidden", false) && flag("X-GNOME-Autostart-enabled", true);
    const Status status = on ? Status::Enabled : Status::NotRegistered;
    return status;
}

bool XdgLoginItems::registerItem() {
    return write(true);
}

bool XdgLoginItems::unregisterItem() {
    return write(false);
}

bool XdgLoginItems::write(bool enabled) {
    const std::string text = entryText(enabled);
    if (text.empty() || folder_.empty() || folder_.front() != '/' || !makeFolders(folder_)) {
        return false;
    }
    std::string temporary = path() + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        qWarning("login item: cannot create %s: %s", temporary.c_str(), std::strerror(errno));
        return false;
    }
    const bool written = writeAll(fd, text) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    const int saved = errno;
    if (::close(fd) != 0 || !written) {
        qWarning("login item: cannot write %s: %s", temporary.c_str(), std::strerror(saved));
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), path().c_str()) != 0) {
        qWarning("login item: cannot replace %s: %s", path().c_str(), std::strerror(errno));
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself lasts once the folder is synced.
    const int folder = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = folder >= 0 && ::fsync(folder) == 0;
    if (folder >= 0) {
        ::close(folder);
    }
    return synced;
}

} // namespace corvane
