#include "actions/LocalHTTPConnection.h"

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
                                         std::chrono::milliseconds lifetime,
                                         std::chrono::milliseconds drainTime, Callbacks callbacks,
                                         QObject* parent)
    : QObject(parent)
    , descriptor_(descriptor)
    , id_(id)
    , reader_(reader)
    , callbacks_(std::move(callbacks))
    , readNotifier_(descriptor, QSocketNotifier::Read, this)
    , writeNotifier_(descriptor, QSocketNotifier::Write, this)
    , lifetime_(this)
    , drainTime_(this) {
    writeNotifier_.setEnabled(false);
    connect(&readNotifier_, &QSocketNotifier::activated, this, &LocalHTTPConnection::onReadable);
    connect(&writeNotifier_, &QSocketNotifier::activated, this, &LocalHTTPConnection::onWritable);
    // Precise: a coarse timer may fire up to 5 % early, and the lifetime is a stated bound.
    lifetime_.setTimerType(Qt::PreciseTimer);
    lifetime_.setSingleShot(true);
    connect(&lifetime_, &QTimer::timeout, this, &LocalHTTPConnection::finish);
    lifetime_.start(lifetime);
    drainTime_.setSingleShot(true);
    drainTime_.setInterval(drainTime);
    connect(&drainTime_, &QTimer::timeout, this, &LocalHTTPConnection::finish);
}

LocalHTTPConnection::~LocalHTTPConnection() {
    readNotifier_.setEnabled(false);
    writeNotifier_.setEnabled(false);
    if (descriptor_ >= 0)
        ::close(descriptor_);
}

void LocalHTTPConnection::start() {
    onReadable();
}

LocalHTTPConnection::Stake LocalHTTPConnection::stake() const {
    switch (state_) {
    case State::Reading:
        // A settled head that is still reading waits for its body: it passed the token check.
        return headSettled_ ? Stake::Request : Stake::NoHead;
    case State::Draining:
    case State::Finished:
        return Stake::Answered;
    case State::AwaitingHandler:
    case State::Writing:
        break;
    }
    return Stake::Request;
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
    if (state_ == State::Draining) {
        discard();
        return;
    }
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
    if (!headSettled_) {
        headSettled_ = LocalHTTPRequestReader::headSettled(received_, scanFrom_);
        scanFrom_ = received_.size();
    }
    const bool worthAsking = received_.size() > LocalHTTPRequestReader::maxRequestBytes ||
                             peerFinished_ || (headSettled_ && received_.size() >= needBytes_);
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
    if (sent_ == outgoing_.size())
        drain();
    else
        finish();
}

void LocalHTTPConnection::drain() {
    outgoing_.clear();
    outgoing_.shrink_to_fit();
    received_.clear();
    received_.shrink_to_fit();
    writeNotifier_.setEnabled(false);
    // The end of stream tells the peer the answer is complete; a peer that has finished sending
    // has nothing left to discard.
    if (peerFinished_ || ::shutdown(descriptor_, SHUT_WR) < 0) {
        finish();
        return;
    }
    state_ = State::Draining;
    drainTime_.start();
    readNotifier_.setEnabled(true);
    discard();
}

void LocalHTTPConnection::discard() {
    char scratch[16384];
    while (state_ == State::Draining) {
        const std::size_t room = std::min(sizeof scratch, maxDrainBytes - drained_);
        const ssize_t count = ::recv(descriptor_, scratch, room, 0);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (count <= 0) {
            finish(); // the peer has closed too (or is gone)
            return;
        }
        drained_ += static_cast<std::size_t>(count);
        if (drained_ >= maxDrainBytes)
            finish();
    }
}

void LocalHTTPConnection::finish() {
    if (state_ == State::Finished)
        return;
    state_ = State::Finished;
    lifetime_.stop();
    drainTime_.stop();
    readNotifier_.setEnabled(false);
    writeNotifier_.setEnabled(false);
    ::close(descriptor_);
    descriptor_ = -1;
    callbacks_.finished(id_);
}

} // namespace corvane
