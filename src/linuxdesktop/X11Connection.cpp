#include "linuxdesktop/X11Connection.h"

#include <QString>
#include <xcb/xcbext.h>

#include <algorithm>
#include <cstring>
#include <poll.h>
#include <string_view>

namespace corvane {

X11Connection::X11Connection(std::string display, std::vector<std::string> atomNames)
    : display_(std::move(display))
    , atomNames_(std::move(atomNames)) {}

X11Connection::~X11Connection() {
    drop();
}

bool X11Connection::connected() const {
    return xcb_ != nullptr && !broken_ && xcb_connection_has_error(xcb_) == 0;
}

void X11Connection::drop() {
    if (xcb_ != nullptr) {
        xcb_disconnect(xcb_);
        xcb_ = nullptr;
    }
    broken_ = false;
}

const xcb_setup_t* X11Connection::setup() const {
    return xcb_get_setup(xcb_);
}

bool X11Connection::begin() {
    fresh_ = false;
    deadline_ = std::chrono::steady_clock::now() + jobLimit;
    if (connected()) {
        discardEvents();
        return true;
    }
    drop();
    const auto now = std::chrono::steady_clock::now();
    if (lastAttempt_ != std::chrono::steady_clock::time_point{} &&
        now - lastAttempt_ < std::chrono::seconds(2)) {
        return false;
    }
    lastAttempt_ = now;
    const char* name = display_.empty() ? std::getenv("DISPLAY") : display_.c_str();
    if (name == nullptr || *name == '\0') {
        return false;
    }
    // Only a display on this machine answers quickly enough for the limits above.
    const std::string_view wanted(name);
    const std::string_view host = wanted.substr(0, std::min(wanted.rfind(':'), wanted.size()));
    if (!host.empty() && host != "unix" && host.front() != '/') {
        return false;
    }
    int screenNumber = 0;
    xcb_ = xcb_connect(name, &screenNumber);
    if (xcb_connection_has_error(xcb_) != 0) {
        drop();
        return false;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup());
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    if (screens.rem == 0) {
        drop();
        return false;
    }
    root_ = screens.data->root;
    std::vector<xcb_intern_atom_cookie_t> cookies;
    cookies.reserve(atomNames_.size());
    for (const std::string& atomName : atomNames_) {
        cookies.push_back(
            xcb_intern_atom(xcb_, 0, static_cast<std::uint16_t>(atomName.size()), atomName.data()));
    }
    atoms_.assign(atomNames_.size(), XCB_ATOM_NONE);
    for (std::size_t i = 0; i < cookies.size(); ++i) {
        const auto answer = reply<xcb_intern_atom_reply_t>(cookies[i].sequence);
        if (!answer) {
            drop();
            return false;
        }
        atoms_[i] = answer->atom;
    }
    fresh_ = true;
    return true;
}

void* X11Connection::awaitReply(unsigned int sequence) {
    if (!connected()) {
        return nullptr;
    }
    xcb_flush(xcb_);
    for (;;) {
        void* answer = nullptr;
        xcb_generic_error_t* error = nullptr;
        if (xcb_poll_for_reply(xcb_, sequence, &answer, &error) != 0) {
            if (error != nullptr) {
                std::free(error);
                std::free(answer);
                return nullptr;
            }
            return answer;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline_ - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !connected()) {
            // Closed at the next job: until then requests go nowhere harmful, and no reply is
            // awaited any more.
            broken_ = true;
            return nullptr;
        }
        pollfd descriptor{xcb_get_file_descriptor(xcb_), POLLIN, 0};
        ::poll(&descriptor, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
    }
}

bool X11Connection::sync() {
    if (!connected()) {
        return false;
    }
    return reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus(xcb_).sequence) != nullptr;
}

bool X11Connection::succeeded(xcb_void_cookie_t cookie) {
    if (!sync()) {
        return false;
    }
    // Handled before the sync's reply: its error, if any, is already here.
    void* answer = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (xcb_poll_for_reply(xcb_, cookie.sequence, &answer, &error) == 0) {
        return false;
    }
    std::free(answer);
    const bool ok = error == nullptr && connected();
    std::free(error);
    return ok;
}

void X11Connection::discardEvents() {
    // Errors of unchecked requests arrive as events; nobody reads them otherwise.
    while (xcb_generic_event_t* event = xcb_poll_for_event(xcb_)) {
        std::free(event);
    }
}

xcb_get_property_cookie_t X11Connection::property(xcb_window_t window, xcb_atom_t atom,
                                                  std::uint32_t words) {
    return xcb_get_property(xcb_, 0, window, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, words);
}

std::vector<std::uint32_t> X11Connection::cardinals(const xcb_get_property_reply_t* reply) {
    if (reply == nullptr || reply->format != 32) {
        return {};
    }
    const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
    const int length = xcb_get_property_value_length(reply);
    return {values, values + std::max(length, 0) / 4};
}

std::optional<std::string> X11Connection::text(const xcb_get_property_reply_t* reply, bool utf8) {
    if (reply == nullptr || reply->format != 8) {
        return std::nullopt;
    }
    const auto* bytes = static_cast<const char*>(xcb_get_property_value(reply));
    const int length = xcb_get_property_value_length(reply);
    if (length <= 0) {
        return std::nullopt;
    }
    const std::size_t size = ::strnlen(bytes, static_cast<std::size_t>(length));
    const QByteArray raw(bytes, static_cast<qsizetype>(size));
    return (utf8 ? QString::fromUtf8(raw) : QString::fromLatin1(raw)).toStdString();
}

} // namespace corvane
