#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantList>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace corvane::desktop_services {

// Why a service cannot be started here (its program is missing), or empty.
QString missingProgram(const QStringList& programs);
// The Python module dbusmock under the system Python; empty when present.
QString missingDbusmock();

// Runs the event loop until `done` or the limit (which only ends a failing test).
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(10));

// A process of the test's own, stopped by its process id when the object goes.
class Service {
public:
    Service(const QString& program, const QStringList& arguments, const QStringList& environment);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    bool running() const;
    QProcess& process() { return process_; }
    // Stops it now (SIGTERM, then SIGKILL after 3 s).
    void stop();

private:
    QProcess process_;
};

// A private bus (dbus-daemon with a configuration of its own in `folder`) and a connection to it.
class PrivateBus {
public:
    explicit PrivateBus(const QString& folder, const QString& name);
    ~PrivateBus();

    bool started() const { return connection_.isConnected(); }
    QString address() const { return address_; }
    QDBusConnection connection() const { return connection_; }
    // The environment that points a child's system and session bus at this one.
    QStringList environment() const;

    // Waits until a name has an owner (or no longer has one).
    bool waitForOwner(const QString& service, bool owned = true);
    // A blocking call, for the test's own setup only; the reply (maybe an error).
    QDBusMessage call(const QString& service, const QString& path, const QString& interface,
                      const QString& method, const QVariantList& arguments = {});

private:
    std::unique_ptr<Service> daemon_;
    QString address_;
    QString connectionName_;
    QDBusConnection connection_{QStringLiteral("corvane-test-none")};
};

// A dbusmock template on the bus, its name owned once started.
std::unique_ptr<Service> startMock(PrivateBus& bus, const QString& templateName,
                                   const QString& busName, const QString& parameters = {});

// Lets dbusmock's Python code run against an object of a mock (Mock.AddMethod).
QDBusMessage addMockMethod(PrivateBus& bus, const QString& service, const QString& path,
                           const QString& interface, const QString& name, const QString& inSig,
                           const QString& outSig, const QString& code);

// A small MPRIS player of the test's own on the bus, its script written into `folder`: its name,
// identity and status as given; Next and Previous move through numbered tracks, PlayPause
// toggles; every answer waits `delay` seconds first (a player that hangs). Null when it never
// took its name.
std::unique_ptr<Service> startPlayer(PrivateBus& bus, const QString& folder, const QString& name,
                                     const QString& identity, const QString& status,
                                     const QString& delay = {});

// Awaits a task on the event loop, keeping its value or its exception.
template <typename T>
struct Outcome {
    std::optional<T> value;
    std::exception_ptr error;
    bool done = false;
};

template <typename T>
QCoro::Task<> capture(QCoro::Task<T> task, Outcome<T>* outcome) {
    try {
        outcome->value.emplace(co_await std::move(task));
    } catch (...) {
        outcome->error = std::current_exception();
    }
    outcome->done = true;
}

template <typename T>
Outcome<T> finish(QCoro::Task<T> task) {
    Outcome<T> outcome;
    capture(std::move(task), &outcome);
    waitUntil([&] { return outcome.done; }, std::chrono::seconds(15));
    return outcome;
}

} // namespace corvane::desktop_services
