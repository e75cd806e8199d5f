#include "linuxdesktop/DesktopEntry.h"

#include "linuxdesktop/GLibOwners.h"

#include <gio/gdesktopappinfo.h>

namespace corvane {

namespace {

std::string text(const char* value) {
    return value != nullptr ? std::string(value) : std::string();
}

std::string baseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

std::optional<DesktopEntry> DesktopEntry::read(const std::string& path) {
    const GLibOwners::Object<GDesktopAppInfo> info(
        g_desktop_app_info_new_from_filename(path.c_str()));
    if (!info) {
        return std::nullopt;
    }
    DesktopEntry entry;
    entry.path = path;
    entry.name = text(g_app_info_get_name(G_APP_INFO(info.get())));
    // NULL: the desktop named by XDG_CURRENT_DESKTOP.
    entry.hidden = g_desktop_app_info_get_is_hidden(info.get()) ||
                   g_desktop_app_info_get_nodisplay(info.get()) ||
                   !g_desktop_app_info_get_show_in(info.get(), nullptr);
    entry.startupWMClass = text(g_desktop_app_info_get_startup_wm_class(info.get()));
    entry.program = baseName(text(g_app_info_get_executable(G_APP_INFO(info.get()))));
    return entry;
}

} // namespace corvane
