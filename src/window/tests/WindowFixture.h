#pragma once

// The window application on the simulated Mac: a virtual clock, a temporary home, an in-memory
// credential store, and the Agent's actions recorded before (optionally) running for real.

#include "agent/Agent.h"
#include "agent/RelayTrust.h"
#include "core/ContractError.h"
#include "core/JSON.h"
#include "platform/PlatformWithPrompts.h"
#include "sim/SimModel.h"
#include "sim/SimulatedMac.h"
#include "support/VirtualClock.h"
#include "window/ActivityPage.h"
#include "window/AppDelegate.h"
#include "window/WindowPrompts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvane::window_test {

class MemoryVault final : public CredentialVault {
public:
    Credentials load(bool) override {
        const std::lock_guard lock(mutex_);
        return Credentials{device, "local-token-0123456789abcdef0123456789abcdef", false};
    }
    std::optional<std::string> read(const std::string& account) override {
        const std::lock_guard lock(mutex_);
        const auto found = secrets_.find(account);
        return found == secrets_.end() ? std::nullopt : std::optional(found->second);
    }
    void write(const std::string& value, const std::string& account) override {
        const std::lock_guard lock(mutex_);
        secrets_[account] = value;
    }
    void remove(const std::string& account) override {
        const std::lock_guard lock(mutex_);
        secrets_.erase(account);
    }
    std::string replaceLocalToken() override { return "local-token-replaced-0123456789abcdef"; }

    std::optional<std::string> device;

private:
    std::mutex mutex_;
    std::map<std::string, std::string> secrets_;
};

using Changes = std::vector<std::pair<std::string, JSON>>;

// Every action the Agent handed to its executor, in order.
struct ActionRecord {
    Changes actions;
    // Virtual time every recorded action other than "get_state" takes.
    std::chrono::milliseconds delay{0};
    Clock* clock = nullptr;
    // Run for real on the simulated Mac; otherwise answered with an empty object ("get_state"
    // always runs).
    bool passThrough = false;

    Changes changes() const {
        Changes out;
        for (const auto& entry : actions) {
            if (entry.first != "get_state") {
                out.push_back(entry);
            }
        }
        return out;
    }
};

inline QCoro::Task<JSON> recordAndRun(std::shared_ptr<ActionRecord> record,
                                      ActionExecutor& executor, std::string action, JSON params,
                                      std::vector<std::string> shortcuts,
                                      ActionExecutor::Fence fence) {
    record->actions.emplace_back(action, params);
    if (record->delay.count() > 0 && action != "get_state") {
        co_await record->clock->sleep(record->delay);
    }
    if (!record->passThrough && action != "get_state") {
        co_return JSON(JSON::Object{});
    }
    co_return co_await executor.executeGuarded(std::move(action), std::move(params),
                                               std::move(shortcuts), std::move(fence));
}

class WindowFixture : public ::testing::Test {
protected:
    WindowFixture() {
        QFile scenario(QStringLiteral(CORVANE_SCENARIO_PATH));
        scenario.open(QIODevice::ReadOnly);
        scenarioText = scenario.readAll().toStdString();
    }

    // Builds the simulated Mac (after `adjust` changed its scenario), the Agent and the window,
    // and runs the launch sequence.
    void launch(std::function<void(JSON&)> adjust = {}, std::string programPath = "/build/velto") {
        JSON scenario = JSON::parse(scenarioText);
        if (adjust) {
            adjust(scenario);
        }
        mac = std::make_unique<SimulatedMac>(home.path() + QStringLiteral("/sim"),
                                             SimulatedMac::Options{&clock, nullptr});
        mac->load(scenario.data());
        start(std::move(programPath));
    }

    // Launches and shows the page at `index` of the sidebar.
    void launchOn(int index, std::function<void(JSON&)> adjust = {}) {
        launch(std::move(adjust));
        window().pickPage(index);
        settle();
    }

    // The application again on the same simulated Mac and files (a second launch).
    void relaunch(std::string programPath = "/build/velto") {
        app.reset();
        settle();
        start(std::move(programPath));
    }

    // Where the pinned relay certificates are kept, as the window program keeps them.
    std::filesystem::path pinFile() const {
        return (home.path() + QStringLiteral("/data/relay-certificates.json")).toStdString();
    }

    void start(std::string programPath) {
        trust = std::make_shared<RelayTrust>(pinFile(), QList<QSslCertificate>());
        base = std::make_unique<Platform>(mac->platform());
        prompts = std::make_unique<WindowPrompts>(base->prompts);
        platform = std::make_unique<Platform>(platformWithPrompts(*base, *prompts));
        AppDelegate::Options options;
        options.programPath = std::move(programPath);
        options.reducedMotion = [this] {
            return reducedMotion;
        };
        options.website = QStringLiteral("https://velto.example.com");
        options.trust = trust;
        options.trayAvailable = [this] {
            return trayAvailable;
        };
        options.makeAgent = [this]() -> std::unique_ptr<Agent> {
            if (failAgent) {
                throw ContractError("schema_missing");
            }
            Agent::Options agentOptions;
            agentOptions.relayOrigin = relayOrigin;
            agentOptions.relayTrust = trust;
            auto shared = record;
            agentOptions.execute = [shared](ActionExecutor& executor, std::string action,
                                            JSON params, std::vector<std::string> shortcuts,
                                            ActionExecutor::Fence fence) {
                return recordAndRun(shared, executor, std::move(action), std::move(params),
                                    std::move(shortcuts), std::move(fence));
            };
            return std::make_unique<Agent>(
                *platform, vault,
                Agent::Paths{(home.path() + QStringLiteral("/data")).toStdString(),
                             QStringLiteral(CORVANE_SCHEMA_PATH)},
                std::move(agentOptions));
        };
        app = std::make_unique<AppDelegate>(*platform, *prompts, std::move(options));
        app->launch();
        settle();
    }

    ~WindowFixture() override {
        app.reset();
        settle();
    }

    MainWindow& window() { return app->window(); }
    Agent& agent() { return *app->agent(); }
    SimModel& model() { return mac->model(); }

    // Lets queued calls, worker threads and the tasks they resume run until nothing moves.
    void settle() {
        std::size_t quiet = 0;
        for (int round = 0; round < 2000 && quiet < 3; ++round) {
            Agent* agent = app ? app->agent() : nullptr;
            const std::size_t before = agent != nullptr ? agent->waitForWorkers() : 0;
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            const std::size_t after = agent != nullptr ? agent->waitForWorkers() : 0;
            // The app list and the log are read on threads of their own.
            const bool busy = app && (app->window().loadingApps() || activityReading());
            if (busy) {
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
            }
            quiet = after == before && !busy ? quiet + 1 : 0;
        }
    }

    // Settles until `condition` holds (the app list arriving from its thread, a real relay on
    // this thread, a timer), for up to 20 seconds of real time.
    bool settleUntil(const std::function<bool()>& condition) {
        QElapsedTimer timer;
        timer.start();
        while (!condition()) {
            if (timer.hasExpired(20000)) {
                return false;
            }
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
            settle();
        }
        return true;
    }

    bool activityReading() {
        auto* page = qobject_cast<ActivityPage*>(app->window().page());
        return page != nullptr && page->reading();
    }

    void advance(std::chrono::milliseconds duration) {
        settle();
        clock.advance(duration);
        settle();
    }

    template <typename T = QWidget>
    T* find(const QString& name) {
        T* found = window().findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }

    QString text(const QString& labelName) {
        QLabel* label = find<QLabel>(labelName);
        return label != nullptr ? label->text() : QString();
    }

    // The texts of the labels inside `parent`, in order.
    static QStringList labelTexts(const QWidget* parent) {
        QStringList texts;
        for (const QLabel* label : parent->findChildren<QLabel*>()) {
            texts.append(label->text());
        }
        return texts;
    }

    void click(const QString& buttonName) {
        auto* button = find<QAbstractButton>(buttonName);
        ASSERT_NE(button, nullptr);
        button->click();
        settle();
    }

    // Answers the next modal alert with its first or second button, noting its texts.
    struct Dialog {
        QString title;
        QString detail;
        QStringList buttons;
        // What Enter would choose.
        QString defaultButton;
    };
    void answerNextDialog(bool first) {
        auto* timer = new QTimer(&window());
        timer->setInterval(0);
        QObject::connect(timer, &QTimer::timeout, timer, [this, first, timer] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                return;
            }
            timer->stop();
            timer->deleteLater();
            Dialog seen{box->text(),
                        box->informativeText(),
                        {},
                        box->defaultButton() != nullptr ? box->defaultButton()->text() : QString()};
            for (QAbstractButton* button : box->buttons()) {
                seen.buttons.append(button->text());
            }
            dialogs.push_back(seen);
            // Pictures of the questions, for a person to look at.
            if (qEnvironmentVariableIsSet("CORVANE_SHOTS")) {
                const char* test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
                box->grab().save(qEnvironmentVariable("CORVANE_SHOTS") + u'/' +
                                 QString::fromUtf8(test) +
                                 QStringLiteral("-dialog-%1.png").arg(dialogs.size()));
            }
            box->findChild<QPushButton*>(QString::fromLatin1(first
                                                                 ? WindowPrompts::firstButtonName
                                                                 : WindowPrompts::secondButtonName))
                ->click();
        });
        timer->start();
    }

    std::vector<JSON> events(const std::string& kind) {
        std::vector<JSON> out;
        for (const JSON& event : model().events()) {
            if (const std::string* k = event.stringMember("kind"); k != nullptr && *k == kind) {
                out.push_back(event);
            }
        }
        return out;
    }

    void saveSnapshot(const QString& name) {
        QDir().mkpath(QStringLiteral(CORVANE_SNAPSHOT_DIR));
        window().grab().save(QStringLiteral(CORVANE_SNAPSHOT_DIR "/") + name +
                             QStringLiteral(".png"));
    }

    QTemporaryDir home;
    VirtualClock clock;
    std::string scenarioText;
    std::unique_ptr<SimulatedMac> mac;
    std::unique_ptr<Platform> base;
    std::unique_ptr<WindowPrompts> prompts;
    std::unique_ptr<Platform> platform;
    std::shared_ptr<MemoryVault> vault = std::make_shared<MemoryVault>();
    std::shared_ptr<ActionRecord> record = std::make_shared<ActionRecord>();
    std::shared_ptr<RelayTrust> trust;
    std::unique_ptr<AppDelegate> app;
    std::vector<Dialog> dialogs;
    std::string relayOrigin;
    bool reducedMotion = true;
    bool failAgent = false;
    bool trayAvailable = true;
};

} // namespace corvane::window_test
