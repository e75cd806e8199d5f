#include "CorvaneNative/LocalHTTPConnection.h"

#include <QtDebug>

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane {

namespace {

// Reads are bounded so the accumulator never holds more than one byte beyond the request limit.
constexpr std::size_t maxReadBytes = 65536;

} // namespace

LocalHTTPConnection::LocalHTTPConnection(int descriptor, quint64 id,
                                         const LocalHTTPRequestReader& reader,
                                         std::chrono::milliseconds lifetime, Callbacks callbacks,
                                         QObject* parent)
    : QObject(parent)
    , descriptor_(descriptor)
    , id_(id)
    , reader_(reader)
    , callbacks_(std::move(callbacks))
    , readNotifier_(descriptor, QSocketNotifier::Read, this)
    , writeNotifier_(descriptor, QSocketNotifier::Write, this)
    , lifetime_(this) {
    writeNotifier_.setEnabled(false);
    connect(&readNotifier_, &QSocketNotifier::activated, this, &LocalHTTPConnection::onReadable);
    connect(&writeNotifier_, &QSocketNotifier::activated, this, &LocalHTTPConnection::onWritable);
    // Precise: a coarse timer may fire up to 5 % early, and the lifetime is a stated bound.
    lifetime_.setTimerType(Qt::PreciseTimer);
    lifetime_.setSingleShot(true);
    connect(&lifetime_, &QTimer::timeout, this, &LocalHTTPConnection::finish);
    lifetime_.start(lifetime);
}

LocalHTTPConnection::~LocalHTTPConnection() {
    readNotifier_.setEnabled(false);
    writeNotifier_.setEnabled(false);
    if (descriptor_ >= 0)
        ::close(descriptor_);
}

void LocalHTTPConnection::respond(const std::optional<LocalHTTPResponse>& response) {
    if (state_ != State::AwaitingHandler)
        return;
    if (!response) {
        finish();
        return;
    }
    std::string bytes;
    try {
        bytes = response->bytes();
    } catch (const JSONWriteError& error) {
        qWarning("Local command answer could not be written: %s", error.what());
        finish();
        return;
    }
    send(std::move(bytes));
}

void LocalHTTPConnection::onReadable() {
    if (state_ != State::Reading)
        return;
    const std::size_t room =
        std::min(maxReadBytes, LocalHTTPRequestReader::maxRequestBytes + 1 - received_.size());
    const std::size_t before = received_.size();
    received_.resize(before + room);
    ssize_t count = -1;
    do {
        count = ::recv(descriptor_, received_.data() + before, room, 0);
    } while (count < 0 && errno == EINTR);
    received_.resize(before + static_cast<std::size_t>(std::max<ssize_t>(count, 0)));

    if (count < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        finish();
        return;
    }
    if (count == 0) {
        peerFinished_ = true;
        // End of stream stays readable; stop listening for it.
        readNotifier_.setEnabled(false);
    }
    consider();
}

void LocalHTTPConnection::consider() {
    if (!headSeen_) {
        headSeen_ = received_.find("\r\n\r\n", scanFrom_) != std::string::npos;
        scanFrom_ = received_.size() >= 3 ? received_.size() - 3 : 0;
    }
    const bool worthAsking = received_.size() > LocalHTTPRequestReader::maxRequestBytes ||
                             peerFinished_ || (headSeen_ && received_.size() >= needBytes_);
    if (!worthAsking)
        return;

    LocalHTTPRequestReader::Outcome outcome;
    try {
        outcome = reader_.read(received_, peerFinished_);
    } catch (const std::exception& error) {
        qWarning("Local command request could not be read: %s", error.what());
        finish();
        return;
    }

    using Action = LocalHTTPRequestReader::Outcome::Action;
    switch (outcome.action) {
    case Action::ReadMore:
        needBytes_ = outcome.needBytes;
        if (peerFinished_)
            finish();
        return;
    case Action::Close:
        finish();
        return;
    case Action::Respond:
        send(LocalHTTPResponse::error(outcome.status, outcome.code).bytes());
        return;
    case Action::Accept:
        // One request per connection: whatever follows it is never read.
        state_ = State::AwaitingHandler;
        readNotifier_.setEnabled(false);
        received_.clear();
        received_.shrink_to_fit();
        callbacks_.accepted(id_, std::move(outcome.body));
        return;
    }
}

void LocalHTTPConnection::send(std::string bytes) {
    state_ = State::Writing;
    readNotifier_.setEnabled(false);
    outgoing_ = std::move(bytes);
    sent_ = 0;
    onWritable();
}

void LocalHTTPConnection::onWritable() {
    if (state_ != State::Writing)
        return;
    while (sent_ < outgoing_.size()) {
        const ssize_t count =
            ::send(descriptor_, outgoing_.data() + sent_, outgoing_.size() - sent_, MSG_NOSIGNAL);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                writeNotifier_.setEnabled(true);
                return;
            }
            break; // the peer is gone; nothing more to do than close
        }
        sent_ += static_cast<std::size_t>(count);
    }
    finish();
}

void LocalHTTPConnection::finish() {
    if (state_ == State::Finished)
        return;
    state_ = State::Finished;
    lifetime_.stop();
    readNotifier_.setEnabled(false);
    writeNotifier_.setEnabled(false);
    ::close(descriptor_);
    descriptor_ = -1;
    callbacks_.finished(id_);
}

} // namespace corvane
