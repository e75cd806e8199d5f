#include "relay/PostgresListener.h"

#include "relay/PostgresConnection.h"

#include <QMetaObject>

#include <libpq-fe.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace corvane {

PostgresListener::PostgresListener(std::string address, std::string channel, QObject* context,
                                   std::function<void(std::string)> notified,
                                   std::function<void()> listening)
    : address_(std::move(address))
    , channel_(std::move(channel))
    , context_(context)
    , notified_(std::move(notified))
    , listening_(std::move(listening))
    , wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wake_ < 0) {
        throw std::runtime_error("relay: no event descriptor for the command bus");
    }
    thread_ = std::jthread([this](std::stop_token stop) { loop(std::move(stop)); });
}

PostgresListener::~PostgresListener() {
    thread_.request_stop();
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
    thread_.join();
    ::close(wake_);
}

bool PostgresListener::wait(int fd, bool write, int timeoutMs, const std::stop_token& stop) const {
    pollfd fds[2] = {{fd, static_cast<short>(write ? POLLOUT : POLLIN), 0}, {wake_, POLLIN, 0}};
    const int count = fd < 0 ? 1 : 2;
    pollfd* first = fd < 0 ? &fds[1] : &fds[0];
    ::poll(first, static_cast<nfds_t>(count), timeoutMs);
    return !stop.stop_requested();
}

void PostgresListener::loop(std::stop_token stop) {
    int pause = 25;
    while (!stop.stop_requested()) {
        // A connection that got as far as listening starts the pauses over.
        pause = listen(stop) ? 50 : std::min(pause * 2, 2000);
        if (!wait(-1, false, pause, stop)) {
            return;
        }
    }
}

bool PostgresListener::listen(std::stop_token stop) {
    const std::vector<const char*> keys = PostgresConnection::settingKeys();
    const std::vector<const char*> values =
        PostgresConnection::settingValues(address_, applicationName);
    const std::unique_ptr<PGconn, void (*)(PGconn*)> conn(
        PQconnectStartParams(keys.data(), values.data(), 1), PQfinish);
    if (!conn || PQstatus(conn.get()) == CONNECTION_BAD) {
        return false;
    }
    // Connecting without blocking, so that stopping never waits for a server that is away.
    for (PostgresPollingStatusType state = PGRES_POLLING_WRITING; state != PGRES_POLLING_OK;) {
        if (state == PGRES_POLLING_FAILED ||
            !wait(PQsocket(conn.get()), state == PGRES_POLLING_WRITING, 10000, stop)) {
            return false;
        }
        state = PQconnectPoll(conn.get());
    }
    PQsetNoticeProcessor(
        conn.get(), [](void*, const char*) {}, nullptr);
    // The channel is made of letters and digits (the relay id), quoted to keep its case.
    const std::string sql = "LISTEN \"" + channel_ + "\"";
    const std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(conn.get(), sql.c_str()),
                                                                PQclear);
    if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
        return false;
    }
    QMetaObject::invokeMethod(context_, listening_, Qt::QueuedConnection);
    for (;;) {
        // Drained before each wait: notices may already sit in libpq's buffer (read along with
        // the LISTEN's answer), where the socket would never announce them.
        while (PGnotify* notice = PQnotifies(conn.get())) {
            std::string payload = notice->extra != nullptr ? notice->extra : "";
            PQfreemem(notice);
            QMetaObject::invokeMethod(
                context_,
                [notified = notified_, payload = std::move(payload)] { notified(payload); },
                Qt::QueuedConnection);
        }
        if (!wait(PQsocket(conn.get()), false, -1, stop) || PQconsumeInput(conn.get()) == 0 ||
            PQstatus(conn.get()) != CONNECTION_OK) {
            break;
        }
    }
    return true;
}

} // namespace corvane
