#include "relay/RelayStopSignals.h"

#include <QtGlobal>

#include <csignal>
#include <cstdlib>

#include <sys/signalfd.h>
#include <unistd.h>

namespace corvane {

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

} // namespace

RelayStopSignals::RelayStopSignals(std::function<void()> stop)
    : stop_(std::move(stop)) {
    const sigset_t set = stopSignals();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
        qWarning("relay: the stop signals end the relay where it stands");
        return;
    }
    descriptor_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (descriptor_ < 0) {
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        qWarning("relay: the stop signals end the relay where it stands");
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(descriptor_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { received(); });
}

RelayStopSignals::~RelayStopSignals() {
    notifier_.reset();
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

void RelayStopSignals::received() {
    signalfd_siginfo info{};
    bool any = false;
    while (::read(descriptor_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        any = true;
    }
    if (!any) {
        return;
    }
    if (stopping_) {
        std::_Exit(128 + static_cast<int>(info.ssi_signo));
    }
    stopping_ = true;
    stop_();
}

} // namespace corvane
