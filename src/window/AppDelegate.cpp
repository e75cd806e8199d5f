#include "window/AppDelegate.h"

#include "window/Symbols.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTimer>
#include <QUrl>

namespace corvane {

AppDelegate::AppDelegate(Platform platform, WindowPrompts& prompts, Options options)
    : platform_(platform)
    , prompts_(prompts)
    , options_(std::move(options))
    , startup_(platform.loginItems, platform.defaults, options_.programPath) {}

AppDelegate::~AppDelegate() {
    if (window_) {
        window_->saveGeometryNow();
    }
    // The window reads the Agent while it goes: it goes first.
    window_.reset();
    agent_.reset();
}

MainWindow& AppDelegate::window() {
    // Built when first needed: a later launch starts in the tray, and a window nobody opened
    // would hold its pages' memory all day.
    if (!window_) {
        window_ = std::make_unique<MainWindow>(
            MainWindow::Services{platform_, prompts_, startup_, options_.reducedMotion,
                                 options_.website, options_.trust.get(), !hasTray_});
        if (failed_) {
            window_->showFailure();
        } else if (agent_) {
            window_->setAgent(agent_.get());
        } else {
            window_->showPlaceholder();
        }
    }
    return *window_;
}

void AppDelegate::launch() {
    hasTray_ = options_.trayAvailable ? options_.trayAvailable()
                                      : QSystemTrayIcon::isSystemTrayAvailable();
    buildMenu();
    if (!hasTray_ || !platform_.defaults.boolValue(launchedKey).value_or(false)) {
        showWindow();
        try {
            platform_.defaults.setBool(launchedKey, true);
        } catch (const std::exception&) {
            // Showing the window once more at the next launch is the lesser harm.
        }
    }
    try {
        startup_.enableOnceIfInstalled();
    } catch (const std::exception&) {
        // Start at login stays as it is; the person can change it on the Connection page.
    }
    QObject::connect(qApp, &QGuiApplication::applicationStateChanged, this,
                     [this](Qt::ApplicationState state) {
                         if (state == Qt::ApplicationActive) {
                             becameActive();
                         }
                     });
    QTimer::singleShot(0, this, [this] { createAgent(); });
}

void AppDelegate::createAgent() {
    try {
        agent_ = options_.makeAgent();
    } catch (const std::exception&) {
        agent_.reset();
    }
    if (!agent_) {
        failed_ = true;
        if (window_) {
            window_->showFailure();
        }
        return;
    }
    if (window_) {
        window_->setAgent(agent_.get());
    }
    agent_->refreshDeviceState();
    if (options_.started) {
        options_.started(*agent_);
    }
}

void AppDelegate::buildMenu() {
    QAction* open = menu_.addAction(QStringLiteral("Open Velto"));
    QObject::connect(open, &QAction::triggered, this, [this] { showWindow(); });
    QAction* pause = menu_.addAction(QStringLiteral("Pause desktop control"));
    QObject::connect(pause, &QAction::triggered, this, [this] { stopDesktop(); });
    const QString host = QUrl(options_.website).host();
    QAction* visit = menu_.addAction(QStringLiteral("Visit ") + host);
    QObject::connect(visit, &QAction::triggered, this, [this] { websiteHome(); });
    QAction* quit = menu_.addAction(QStringLiteral("Quit Velto"));
    QObject::connect(quit, &QAction::triggered, this, [] { QCoreApplication::quit(); });
    tray_.setIcon(Symbols::icon("desktopcomputer"));
    tray_.setToolTip(QStringLiteral("Velto"));
    tray_.setContextMenu(&menu_);
    // A click on the icon itself opens the window, as the menu's first item does.
    QObject::connect(&tray_, &QSystemTrayIcon::activated, this,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger) {
                             showWindow();
                         }
                     });
    // A desktop without a tray has nowhere to put it (and Qt warns on trying).
    if (hasTray_) {
        tray_.show();
    }
}

void AppDelegate::showWindow() {
    MainWindow& shown = window();
    // A window just shown is in front already; only one left open behind others is raised.
    const bool wasVisible = shown.isVisible() && !shown.isMinimized();
    if (shown.isMinimized()) {
        shown.showNormal();
    } else {
        shown.show();
    }
    if (wasVisible) {
        shown.raise();
    }
    shown.activateWindow();
}

void AppDelegate::stopDesktop() {
    if (!agent_) {
        return;
    }
    try {
        agent_->stopDesktop();
    } catch (const std::exception& error) {
        window().showMessage(QString::fromUtf8(error.what()));
    }
    if (window_) {
        window_->render();
    }
}

void AppDelegate::websiteHome() {
    prompts_.openInBrowser(options_.website.toStdString());
}

void AppDelegate::becameActive() {
    if (!agent_ || !window_) {
        return;
    }
    window_->refreshDisplayedState();
    window_->render();
}

} // namespace corvane
