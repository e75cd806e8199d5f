#pragma once

// The code generator cannot parse the concepts in the JSON header; it needs none of its types.
#ifndef Q_MOC_RUN
#include "agent/Agent.h"
#include "window/MainWindow.h"
#endif
#include "window/StartupSettings.h"
#include "window/WindowPrompts.h"

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>

namespace corvane {

// The window application: the tray icon and its menu, the main window and the launch sequence
// that creates the one Agent. Main thread.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    // The user default set once the first launch showed the window.
    static constexpr const char* launchedKey = "velto-has-launched";

    struct Options {
        // Builds the Agent; a throw shows the failure screen.
        std::function<std::unique_ptr<Agent>()> makeAgent;
        // Where the running program lives (start at login registers only installed programs).
        std::string programPath;
        std::function<bool()> reducedMotion;
        QString website;
        // Called after the Agent exists and has rendered: start its connections.
        std::function<void(Agent&)> started;
        // The relay certificates the Agent accepts; the window offers to pin one it refused.
        std::shared_ptr<RelayTrust> trust;
        // Whether the desktop shows tray icons; unset: asked of the desktop at launch. Without a
        // tray the window is the only way in: it is shown at every launch and closing it asks
        // whether to quit.
        std::function<bool()> trayAvailable;
    };

    // `platform.prompts` should be `prompts`, so that the Agent's own questions are windows too.
    AppDelegate(Platform platform, WindowPrompts& prompts, Options options);
    ~AppDelegate() override;

    // The launch sequence; the Agent is created on the event loop's next turn, after the
    // placeholder is on screen.
    void launch();

    MainWindow& window();
    Agent* agent() { return agent_.get(); }
    QMenu& trayMenu() { return menu_; }
    QSystemTrayIcon& tray() { return tray_; }
    StartupSettings& startup() { return startup_; }

    void showWindow();
    bool hasTray() const { return hasTray_; }
    void stopDesktop();
    void websiteHome();
    // The desktop made the application active: read the state afresh.
    void becameActive();

private:
    void buildMenu();
    void createAgent();

    Platform platform_;
    WindowPrompts& prompts_;
    Options options_;
    StartupSettings startup_;
    std::unique_ptr<Agent> agent_;
    bool failed_ = false;
    bool hasTray_ = true;
    std::unique_ptr<MainWindow> window_;
    QMenu menu_;
    QSystemTrayIcon tray_;
};

} // namespace corvane
