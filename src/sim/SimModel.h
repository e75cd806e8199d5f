#pragma once

// The code generator cannot parse the concepts in the JSON header; it needs none of its types.
#ifndef Q_MOC_RUN
#include "sim/SimParts.h"
#endif
#include "core/Clock.h"
#include "platform/AXElement.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace corvane {

// The state of the simulated Mac behind every Sim port, and its one lock.
//
// Locking rule: the state lives in SimParts and is reachable only inside with(), which runs the
// given work under one non-recursive mutex. Ports, the control channel and tests call with() (or
// one of the locked operations below, each a with() of its own) from any thread: the agent calls
// the keychain and the application catalog from worker threads. Inside the work: call no port
// and no other locked operation (a nested call stops the program with a message rather than
// deadlock), emit no signal, and keep no pointer or reference into the parts past the return.
class SimModel : public QObject {
    Q_OBJECT

public:
    SimModel(QString root, Clock& clock);
    ~SimModel() override;

    QString root() const { return root_; }

    // Runs `work(SimParts&)` under the lock and returns its result by value.
    template <typename Work>
    auto with(Work&& work) {
        Holder holder(*this);
        return std::forward<Work>(work)(*parts_);
    }

    // --- locked operations, each one with() of its own ---
    JSON settings();
    // The member at `path` of the settings; null when absent.
    JSON setting(std::initializer_list<std::string_view> path);
    bool flag(std::initializer_list<std::string_view> path);
    std::string text(std::initializer_list<std::string_view> path);
    double number(std::initializer_list<std::string_view> path);
    // Writes an already valid value in place (the caller keeps the settings checked).
    void put(std::initializer_list<std::string_view> path, JSON value);
    std::vector<JSON> events();
    void lockScreen();
    void unlockScreen();
    bool screenLocked();
    // The live element with this scenario id.
    std::optional<AXElement> named(const std::string& name);
    std::vector<std::int32_t> pidsOf(const std::string& bundleID);
    bool setFrontmost(std::int32_t pid);
    JSON dump();

    // Workspace notifications: recorded, then announced (outside the lock, so that listeners may
    // call the ports).
    void notifySleep();
    void notifyWake();
    void notifySession(bool active);

Q_SIGNALS:
    void willSleep();
    void didWake();
    void sessionDidResignActive();
    void sessionDidBecomeActive();

private:
    // Holds the lock for one with(); stops the program on a nested call from the same thread.
    class Holder {
    public:
        explicit Holder(SimModel& model);
        ~Holder();
        Holder(const Holder&) = delete;
        Holder& operator=(const Holder&) = delete;

    private:
        SimModel& model_;
    };

    const QString root_;
    std::mutex mutex_;
    std::atomic<std::thread::id> holder_;
    std::unique_ptr<SimParts> parts_;
};

} // namespace corvane
