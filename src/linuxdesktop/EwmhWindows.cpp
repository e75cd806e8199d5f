#include "linuxdesktop/EwmhWindows.h"

#include <xcb/xcb.h>

#include <array>
#include <cstdlib>
#include <cstring>

namespace corvane {

namespace {

enum Atom : std::size_t {
    ClientList,
    ActiveWindow,
    WmPid,
    CloseWindow,
    WmName,
    Utf8String,
    WindowType,
    TypeDock,
    TypeDesktop,
    AtomCount,
};

constexpr std::array<const char*, AtomCount> atomNames{"_NET_CLIENT_LIST",
                                                       "_NET_ACTIVE_WINDOW",
                                                       "_NET_WM_PID",
                                                       "_NET_CLOSE_WINDOW",
                                                       "_NET_WM_NAME",
                                                       "UTF8_STRING",
                                                       "_NET_WM_WINDOW_TYPE",
                                                       "_NET_WM_WINDOW_TYPE_DOCK",
                                                       "_NET_WM_WINDOW_TYPE_DESKTOP"};

// The requests carry "pager" as their source: a request on the person's behalf, which window
// managers honour without focus-stealing prevention.
constexpr std::uint32_t sourcePager = 2;

struct ReplyFree {
    void operator()(void* reply) const { std::free(reply); }
};
using PropertyReply = std::unique_ptr<xcb_get_property_reply_t, ReplyFree>;

std::string textOf(const PropertyReply& reply) {
    if (!reply || reply->format != 8) {
        return {};
    }
    const auto* bytes = static_cast<const char*>(xcb_get_property_value(reply.get()));
    const int length = xcb_get_property_value_length(reply.get());
    return length > 0 ? std::string(bytes, static_cast<std::size_t>(length)) : std::string();
}

std::vector<std::uint32_t> cardinalsOf(const PropertyReply& reply) {
    if (!reply || reply->format != 32) {
        return {};
    }
    const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    const int length = xcb_get_property_value_length(reply.get());
    return {values, values + length / 4};
}

// A text property up to its first NUL (titles and host names carry none inside).
std::string firstText(const PropertyReply& reply) {
    std::string text = textOf(reply);
    if (const std::size_t nul = text.find('\0'); nul != std::string::npos) {
        text.resize(nul);
    }
    return text;
}

} // namespace

struct EwmhWindows::Connection {
    xcb_connection_t* xcb = nullptr;
    xcb_window_t root = 0;
    std::array<xcb_atom_t, AtomCount> atoms{};

    ~Connection() {
        if (xcb != nullptr) {
            xcb_disconnect(xcb);
        }
    }

    xcb_get_property_cookie_t property(xcb_window_t window, xcb_atom_t atom, std::uint32_t words) {
        return xcb_get_property(xcb, 0, window, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, words);
    }
    PropertyReply reply(xcb_get_property_cookie_t cookie) {
        // A window that went away between the list and its properties answers with an error,
        // which would otherwise pile up in the event queue nobody reads.
        xcb_generic_error_t* error = nullptr;
        PropertyReply answer(xcb_get_property_reply(xcb, cookie, &error));
        std::free(error);
        return answer;
    }
};

EwmhWindows::EwmhWindows(const std::string& display)
    : display_(display) {}

EwmhWindows::~EwmhWindows() = default;

bool EwmhWindows::connected() {
    if (connection_ && xcb_connection_has_error(connection_->xcb) == 0) {
        return true;
    }
    // A server that went away (or never was) is tried again at most every two seconds, so that a
    // desktop without X costs nothing per read.
    const auto now = std::chrono::steady_clock::now();
    if (lastAttempt_ != std::chrono::steady_clock::time_point{} &&
        now - lastAttempt_ < std::chrono::seconds(2)) {
        return false;
    }
    lastAttempt_ = now;
    connection_.reset();
    const char* name = display_.empty() ? std::getenv("DISPLAY") : display_.c_str();
    if (name == nullptr || *name == '\0') {
        return false;
    }
    // Reads happen on the caller's thread: only a display on this machine answers quickly enough.
    const std::string_view display(name);
    const std::string_view host = display.substr(0, std::min(display.rfind(':'), display.size()));
    if (!host.empty() && host != "unix" && host.front() != '/') {
        return false;
    }
    auto connection = std::make_unique<Connection>();
    int screenNumber = 0;
    connection->xcb = xcb_connect(name, &screenNumber);
    if (xcb_connection_has_error(connection->xcb) != 0) {
        return false;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection->xcb));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    if (screens.rem == 0) {
        return false;
    }
    connection->root = screens.data->root;
    std::array<xcb_intern_atom_cookie_t, AtomCount> cookies{};
    for (std::size_t i = 0; i < AtomCount; ++i) {
        cookies[i] =
            xcb_intern_atom(connection->xcb, 0,
                            static_cast<std::uint16_t>(std::strlen(atomNames[i])), atomNames[i]);
    }
    for (std::size_t i = 0; i < AtomCount; ++i) {
        xcb_intern_atom_reply_t* reply =
            xcb_intern_atom_reply(connection->xcb, cookies[i], nullptr);
        if (reply == nullptr) {
            return false;
        }
        connection->atoms[i] = reply->atom;
        std::free(reply);
    }
    connection_ = std::move(connection);
    return true;
}

bool EwmhWindows::available() {
    return connected();
}

std::vector<EwmhWindows::Window> EwmhWindows::clients() {
    std::vector<Window> windows;
    if (!connected()) {
        return windows;
    }
    Connection& c = *connection_;
    const std::vector<std::uint32_t> ids =
        cardinalsOf(c.reply(c.property(c.root, c.atoms[ClientList], windowLimit)));
    struct Pending {
        xcb_get_property_cookie_t pid, wmClass, netName, name, machine, type;
    };
    // Every window's properties in one batch: one wait for the whole list.
    std::vector<Pending> pending;
    pending.reserve(ids.size());
    const std::uint32_t textWords = textLimit / 4;
    for (const std::uint32_t id : ids) {
        pending.push_back({c.property(id, c.atoms[WmPid], 1),
                           c.property(id, XCB_ATOM_WM_CLASS, textWords),
                           c.property(id, c.atoms[WmName], textWords),
                           c.property(id, XCB_ATOM_WM_NAME, textWords),
                           c.property(id, XCB_ATOM_WM_CLIENT_MACHINE, textWords),
                           c.property(id, c.atoms[WindowType], 16)});
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
        Window window;
        window.id = ids[i];
        const std::vector<std::uint32_t> pid = cardinalsOf(c.reply(pending[i].pid));
        if (!pid.empty() && pid.front() > 0 && pid.front() <= 0x7fffffff) {
            window.pid = static_cast<std::int32_t>(pid.front());
        }
        const std::string wmClass = textOf(c.reply(pending[i].wmClass));
        const std::size_t nul = wmClass.find('\0');
        window.instance = wmClass.substr(0, nul);
        if (nul != std::string::npos) {
            const std::string rest = wmClass.substr(nul + 1);
            window.windowClass = rest.substr(0, rest.find('\0'));
        }
        window.title = firstText(c.reply(pending[i].netName));
        std::string plainName = firstText(c.reply(pending[i].name));
        if (window.title.empty()) {
            window.title = std::move(plainName);
        }
        window.machine = firstText(c.reply(pending[i].machine));
        for (const std::uint32_t type : cardinalsOf(c.reply(pending[i].type))) {
            if (type == c.atoms[TypeDock] || type == c.atoms[TypeDesktop]) {
                window.ordinary = false;
            }
        }
        windows.push_back(std::move(window));
    }
    return windows;
}

std::optional<std::uint32_t> EwmhWindows::activeWindow() {
    if (!connected()) {
        return std::nullopt;
    }
    Connection& c = *connection_;
    const std::vector<std::uint32_t> active =
        cardinalsOf(c.reply(c.property(c.root, c.atoms[ActiveWindow], 1)));
    if (active.empty() || active.front() == XCB_WINDOW_NONE) {
        return std::nullopt;
    }
    return active.front();
}

bool EwmhWindows::sendToRoot(std::uint32_t window, std::uint32_t type,
                             const std::uint32_t (&data)[5]) {
    if (!connected()) {
        return false;
    }
    Connection& c = *connection_;
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = type;
    std::memcpy(event.data.data32, data, sizeof(data));
    const xcb_void_cookie_t cookie = xcb_send_event_checked(
        c.xcb, 0, c.root, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
        reinterpret_cast<const char*>(&event));
    xcb_generic_error_t* error = xcb_request_check(c.xcb, cookie);
    if (error != nullptr) {
        std::free(error);
        return false;
    }
    return true;
}

bool EwmhWindows::requestActivate(std::uint32_t window) {
    if (!connected()) {
        return false;
    }
    const std::uint32_t current = activeWindow().value_or(XCB_WINDOW_NONE);
    return sendToRoot(window, connection_->atoms[ActiveWindow],
                      {sourcePager, XCB_CURRENT_TIME, current, 0, 0});
}

bool EwmhWindows::requestClose(std::uint32_t window) {
    if (!connected()) {
        return false;
    }
    return sendToRoot(window, connection_->atoms[CloseWindow],
                      {XCB_CURRENT_TIME, sourcePager, 0, 0, 0});
}

} // namespace corvane
