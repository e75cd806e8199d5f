#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

namespace corvane {

// Turns SIGINT and SIGTERM into a Qt signal on the owning thread. The handler only writes the
// signal number to a pipe (all a signal handler may safely do); a socket notifier reads it on the
// event loop. One watcher per process: a second one throws std::logic_error. The destructor
// restores the previous handlers.
class SignalWatcher : public QObject {
    Q_OBJECT

public:
    explicit SignalWatcher(QObject* parent = nullptr);
    ~SignalWatcher() override;

    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

Q_SIGNALS:
    void received(int signalNumber);

private:
    void drain();

    int readEnd_ = -1;
    int writeEnd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    struct Previous;
    std::unique_ptr<Previous> previous_;
};

} // namespace corvane
