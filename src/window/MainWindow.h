#pragma once

// The code generator cannot parse the concepts in the JSON header; it needs none of its types.
#ifndef Q_MOC_RUN
#include "actions/AppInventory.h"
#include "agent/Agent.h"
#include "agent/RelayTrust.h"
#include "agent/TaskHandle.h"
#include "platform/Platform.h"
#endif
#include "window/Page.h"
#include "window/StartupSettings.h"
#include "window/WindowPrompts.h"

#include <QBoxLayout>
#include <QComboBox>
#include <QLabel>
#include <QList>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>
#include <vector>

namespace corvane {

// The main window: the sidebar (or, when narrow, the page picker), the current page and the
// feedback line. It follows the Agent it is given; until then it shows what the launch sequence
// puts in it (the placeholder, or the failure screen). Closing it only hides it. Main thread.
class MainWindow : public QWidget {
    Q_OBJECT

public:
    struct PageInfo {
        const char* title;
        const char* symbol;
        const char* heading;
    };
    static constexpr std::array<PageInfo, 4> pages{{
        {"This Mac", "desktopcomputer", "This Mac"},
        {"Shortcuts", "square.stack.3d.up", "Your Shortcuts"},
        {"Activity", "clock.arrow.circlepath", "Recent activity"},
        {"Connection", "link", "Stay connected"},
    }};
    static constexpr int defaultWidth = 980;
    static constexpr int defaultHeight = 760;
    static constexpr int compactBelow = 720;
    static constexpr int sidebarWidth = 214;
    static constexpr int fadeMilliseconds = 180;
    static constexpr double fadeFrom = 0.65;
    static constexpr std::chrono::seconds feedbackLifetime{3};
    // The user default holding the window's frame.
    static constexpr const char* geometryKey = "CorvaneMainWindow";
    // Sentences that fade (the feedback table says which) are cleared after feedbackLifetime.

    struct Services {
        Platform platform;
        WindowPrompts& prompts;
        StartupSettings& startup;
        // True when the person asked the desktop for less motion.
        std::function<bool()> reducedMotion;
        // The product's website (the status menu's "Visit …").
        QString website;
        // The relay certificates the Agent accepts (absent in tests that need none).
        RelayTrust* trust = nullptr;
        // No tray icon leads back to a hidden window: closing it asks whether to quit.
        bool withoutTray = false;
    };

    explicit MainWindow(Services services, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The launch screens, shown until the Agent exists.
    void showPlaceholder();
    void showFailure();
    // From now on the pages follow `agent`, which outlives the window's use of it: they read its
    // published fields and ask through its intents.
    void setAgent(Agent* agent);
    Agent* agent() const { return agent_; }
    AgentIntents& intents() const { return *intents_; }
    const Services& services() const { return services_; }

    int selected() const { return selected_; }
    bool compact() const { return compact_; }
    // How many times the layout switched between wide and narrow.
    int layoutSwitches() const { return layoutSwitches_; }
    Page* page() const { return page_; }
    // Sidebar click: a new page fades in unless reduced motion is asked for.
    void navigate(int index);
    // Picker choice: a new page, no animation.
    void pickPage(int index);
    void render();
    // Lays the window out for its width; run on every resize.
    void updateLayout();

    // The Agent's last command text: shown, hidden ("None", empty) and, for a success, cleared
    // after feedbackLifetime. The same text twice changes nothing.
    void showFeedback(const QString& text);
    // A text of the window's own (an input problem), shown until the Agent's next text.
    void showMessage(const QString& text);
    QLabel* feedbackLabel() const { return result_; }

    // Asks for the state report unless one is being read.
    void refreshDisplayedState();
    // A volume change was sent: read the state once the action and any read are over.
    void requestVolumeRefresh() { volumeRefreshPending_ = true; }
    bool volumeRefreshPending() const { return volumeRefreshPending_; }

    // The app picker's list, kept across page builds.
    const std::optional<std::vector<AppInventory::Entry>>& installedApps() const {
        return installedApps_;
    }
    void setInstalledApps(std::vector<AppInventory::Entry> apps);
    // Read off the main thread; the This Mac page is told when they arrive.
    void reloadApps(bool refresh);
    bool loadingApps() const { return loadingApps_; }

    // Asks with `button` acting and "Cancel" beside it, and returns at once; `confirmed` runs when
    // the person chose `button` and `asker` (the page asking) still exists then.
    void confirm(QObject* asker, const QString& title, const QString& detail, const QString& button,
                 std::function<void()> confirmed);

    // Offers to pin the certificate the relay was last refused for, when nobody vouches for it;
    // once trusted, connecting starts again.
    void offerCertificateTrust();

    // Registration by the page being built.
    void addResponsiveRow(QBoxLayout* row);
    void addControl(QWidget* control);

    void saveGeometryNow();

Q_SIGNALS:
    void appsChanged();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void buildWindow();
    // Each responsive row in the layout in force (stacked when compact).
    void arrangeRows();
    void buildPage();
    void setBody(QWidget* body);
    void agentDidChange();
    void certificateRefused();
    void askToQuit();
    void trustCertificate(const RelayTrust::Refusal& refusal);
    void scheduleChange();
    static QCoro::Task<> clearFeedback(QPointer<MainWindow> window, TaskHandle handle,
                                       Clock* clock);
    static QCoro::Task<> confirmation(QPointer<QObject> asker,
                                      QCoro::Task<UserPrompts::Answer> question,
                                      std::function<void()> confirmed);
    static QCoro::Task<> certificateAnswer(QPointer<MainWindow> window,
                                           QCoro::Task<UserPrompts::Answer> question,
                                           RelayTrust::Refusal asked);
    static QCoro::Task<> loadApps(QPointer<MainWindow> window, QPointer<Agent> agent, bool refresh);

    Services services_;
    Agent* agent_ = nullptr;
    AgentIntents* intents_ = nullptr;
    int selected_ = 0;
    bool compact_ = false;
    bool laidOut_ = false;
    int layoutSwitches_ = 0;
    QList<QPointer<QBoxLayout>> responsiveRows_;
    QList<QPointer<QWidget>> controls_;
    QWidget* sidebar_ = nullptr;
    QList<QPushButton*> navigation_;
    QComboBox* pagePicker_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QWidget* document_ = nullptr;
    QVBoxLayout* documentLayout_ = nullptr;
    QPointer<QWidget> body_;
    Page* page_ = nullptr;
    QLabel* result_ = nullptr;
    TaskHandle feedbackTask_;
    QString displayedCommand_;
    bool volumeRefreshPending_ = false;
    bool changeScheduled_ = false;
    bool loadingApps_ = false;
    // The Agent's lock state at the last change seen: the state is read again on unlocking.
    ScreenState screenSeen_ = ScreenState::Unknown;
    bool unlockRefreshPending_ = false;
    // The certificate (fingerprint) asked about in this run and whether its question is open, so
    // that the connection's retries do not stack questions.
    QString certificateAsked_;
    bool askingCertificate_ = false;
    std::optional<std::vector<AppInventory::Entry>> installedApps_;
    QMetaObject::Connection observation_;
};

} // namespace corvane
