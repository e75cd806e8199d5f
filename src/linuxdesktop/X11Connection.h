#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// One connection to the X server for a worker thread: connected on first use, dropped when the
// server goes away or is slow, and tried again at most every two seconds. Every reply is awaited
// only until the current job's deadline, so a server that stops answering costs a job at most
// `jobLimit`. Only connecting itself (xcb waits for the server's greeting) has no limit of ours:
// the callers bound their own wait for the worker. Used from one thread at a time (the worker
// that owns it).
class X11Connection {
public:
    // `display` as in DISPLAY; empty uses the DISPLAY environment variable. `atomNames` are
    // interned once per connection, in that order.
    X11Connection(std::string display, std::vector<std::string> atomNames);
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    static constexpr std::chrono::milliseconds jobLimit{2000};

    // Starts a job: connects when needed and sets the deadline of its replies. False when there is
    // no server to talk to.
    bool begin();
    // Whether the connection was made by the last begin() (windows may still be repainting).
    bool fresh() const { return fresh_; }
    // Whether the job may still await replies.
    bool connected() const;

    xcb_connection_t* xcb() const { return xcb_; }
    xcb_window_t root() const { return root_; }
    const xcb_setup_t* setup() const;
    xcb_atom_t atom(std::size_t index) const { return atoms_.at(index); }

    struct Free {
        void operator()(void* p) const { std::free(p); }
    };
    template <typename Reply>
    using Owned = std::unique_ptr<Reply, Free>;

    // The reply to request `sequence`, or null on an X error, a lost connection or a passed
    // deadline (the connection is then closed at the next begin(): its late replies would answer
    // the wrong job). The connection stays usable for requests until then.
    template <typename Reply>
    Owned<Reply> reply(unsigned int sequence) {
        return Owned<Reply>(static_cast<Reply*>(awaitReply(sequence)));
    }
    // Waits for a checked request without a reply; whether it succeeded.
    bool succeeded(xcb_void_cookie_t cookie);
    // Makes sure the server has handled every request sent so far.
    bool sync();

    // A window property of up to `words` 32-bit units.
    xcb_get_property_cookie_t property(xcb_window_t window, xcb_atom_t atom, std::uint32_t words);
    // A property's 32-bit values; empty when absent or of another format.
    static std::vector<std::uint32_t> cardinals(const xcb_get_property_reply_t* reply);
    // A text property up to its first NUL: UTF-8 when `utf8`, else Latin-1, made valid UTF-8.
    static std::optional<std::string> text(const xcb_get_property_reply_t* reply, bool utf8);

private:
    void drop();
    void* awaitReply(unsigned int sequence);
    void discardEvents();

    std::string display_;
    std::vector<std::string> atomNames_;
    xcb_connection_t* xcb_ = nullptr;
    xcb_window_t root_ = 0;
    std::vector<xcb_atom_t> atoms_;
    bool fresh_ = false;
    bool broken_ = false;
    std::chrono::steady_clock::time_point lastAttempt_{};
    std::chrono::steady_clock::time_point deadline_{};
};

} // namespace corvane
