#include "velto/SignalWatcher.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace corvane {

namespace {

// A signal handler takes no context, so the pipe's write end has to be reachable from a static.
// It is set once by the one watcher and cleared when that watcher goes; nothing else uses it.
std::atomic<int> signalPipe{-1};

extern "C" void onSignal(int number) {
    const int saved = errno;
    const int fd = signalPipe.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(number);
        // A full pipe means a wake-up is already pending; losing this byte loses nothing.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = saved;
}

} // namespace

struct SignalWatcher::Previous {
    struct sigaction interrupt {};
    struct sigaction terminate {};
};

SignalWatcher::SignalWatcher(QObject* parent)
    : QObject(parent)
    , previous_(std::make_unique<Previous>()) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("cannot create the signal pipe");
    }
    int expected = -1;
    if (!signalPipe.compare_exchange_strong(expected, fds[1])) {
        ::close(fds[0]);
        ::close(fds[1]);
        throw std::logic_error("a signal watcher already exists");
    }
    readEnd_ = fds[0];
    writeEnd_ = fds[1];
    notifier_ = new QSocketNotifier(readEnd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SignalWatcher::drain);

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &previous_->interrupt);
    ::sigaction(SIGTERM, &action, &previous_->terminate);
}

SignalWatcher::~SignalWatcher() {
    ::sigaction(SIGINT, &previous_->interrupt, nullptr);
    ::sigaction(SIGTERM, &previous_->terminate, nullptr);
    signalPipe.store(-1);
    delete notifier_;
    ::close(readEnd_);
    ::close(writeEnd_);
}

void SignalWatcher::drain() {
    unsigned char bytes[64];
    ssize_t count = 0;
    while ((count = ::read(readEnd_, bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            Q_EMIT received(bytes[i]);
        }
    }
}

} // namespace corvane
