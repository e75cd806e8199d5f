#include "window/MainWindow.h"

#include "core/CommandFeedback.h"
#include "core/Detached.h"
#include "window/ActivityPage.h"
#include "window/ConnectionPage.h"
#include "window/PageKit.h"
#include "window/ShortcutsPage.h"
#include "window/Symbols.h"
#include "window/ThisMacPage.h"

#include <QAbstractButton>
#include <QAction>
#include <QCloseEvent>
#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QKeySequence>
#include <QPropertyAnimation>
#include <QScreen>
#include <QTimer>

#include <algorithm>

namespace corvane {

MainWindow::MainWindow(Services services, QWidget* parent)
    : QWidget(parent)
    , services_(std::move(services)) {
    buildWindow();
}

MainWindow::~MainWindow() {
    feedbackTask_.cancel();
    QObject::disconnect(observation_);
}

void MainWindow::buildWindow() {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Velto"));
    setWindowIcon(Symbols::icon("desktopcomputer"));
    setMinimumSize(1, 1);

    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    sidebar_ = new QFrame;
    sidebar_->setObjectName(QStringLiteral("sidebar"));
    sidebar_->setAutoFillBackground(true);
    sidebar_->setBackgroundRole(QPalette::AlternateBase);
    sidebar_->setFixedWidth(sidebarWidth);
    auto* side = new QVBoxLayout(sidebar_);
    side->setContentsMargins(20, 40, 20, 20);
    side->setSpacing(12);
    side->addWidget(PageKit::label(QStringLiteral("Velto"), 23, true));
    side->addSpacing(20);
    for (int index = 0; index < static_cast<int>(pages.size()); ++index) {
        const PageInfo& info = pages[static_cast<std::size_t>(index)];
        auto* button = PageKit::actionButton(QString::fromUtf8(info.title), info.symbol,
                                             QStringLiteral("nav%1").arg(index));
        button->setCheckable(true);
        button->setFixedSize(174, 38);
        button->setAccessibleName(QString::fromUtf8(info.title));
        QFont font = button->font();
        font.setPointSize(13);
        font.setWeight(QFont::Medium);
        button->setFont(font);
        QObject::connect(button, &QPushButton::clicked, this, [this, index] { navigate(index); });
        navigation_.append(button);
        side->addWidget(button);
    }
    side->addStretch(1);
    outer->addWidget(sidebar_);

    auto* column = new QVBoxLayout;
    column->setContentsMargins(0, 0, 0, 0);
    pagePicker_ = new QComboBox;
    pagePicker_->setObjectName(QStringLiteral("pagePicker"));
    pagePicker_->setAccessibleName(QStringLiteral("Page"));
    for (const PageInfo& info : pages) {
        pagePicker_->addItem(QString::fromUtf8(info.title));
    }
    pagePicker_->hide();
    QObject::connect(pagePicker_, &QComboBox::activated, this,
                     [this](int index) { pickPage(index); });
    auto* pickerRow = new QHBoxLayout;
    pickerRow->setContentsMargins(12, 12, 12, 0);
    pickerRow->addWidget(pagePicker_);
    pickerRow->addStretch(1);
    column->addLayout(pickerRow);

    scroll_ = new QScrollArea;
    scroll_->setObjectName(QStringLiteral("content"));
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    document_ = new QWidget;
    documentLayout_ = new QVBoxLayout(document_);
    documentLayout_->setContentsMargins(32, 40, 32, 24);
    documentLayout_->addStretch(1);
    scroll_->setWidget(document_);
    column->addWidget(scroll_, 1);

    result_ = PageKit::label(QString(), 12, false, true);
    result_->setObjectName(QStringLiteral("feedback"));
    // The line keeps its room while empty: the page above would otherwise shrink and jump each
    // time a text comes and goes.
    result_->setMinimumHeight(result_->fontMetrics().lineSpacing());
    auto* resultRow = new QHBoxLayout;
    resultRow->setContentsMargins(32, 0, 32, 20);
    resultRow->addWidget(result_);
    column->addLayout(resultRow);
    outer->addLayout(column, 1);

    // No menu bar of its own in a tray application: the window's keys stand in for it.
    auto addKey = [this](QKeySequence::StandardKey key, auto slot) {
        auto* action = new QAction(this);
        action->setShortcut(key);
        QObject::connect(action, &QAction::triggered, this, slot);
        addAction(action);
    };
    addKey(QKeySequence::Close, [this] {
        if (services_.withoutTray) {
            askToQuit();
        } else {
            close();
        }
    });
    addKey(QKeySequence::Quit, [] { QCoreApplication::quit(); });
    auto* minimize = new QAction(this);
    minimize->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    QObject::connect(minimize, &QAction::triggered, this, [this] { showMinimized(); });
    addAction(minimize);

    std::optional<std::string> saved = services_.platform.defaults.stringValue(geometryKey);
    const bool restored =
        saved && restoreGeometry(QByteArray::fromBase64(QByteArray::fromStdString(*saved)));
    if (!restored) {
        resize(defaultWidth, defaultHeight);
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            move(screen->availableGeometry().center() - rect().center());
        }
    }
    navigation_[selected_]->setChecked(true);
    updateLayout();
}

void MainWindow::setBody(QWidget* body) {
    if (body_) {
        body_->deleteLater();
        body_->hide();
    }
    body_ = body;
    page_ = qobject_cast<Page*>(body);
    body->setMinimumWidth(240);
    documentLayout_->insertWidget(0, body);
}

void MainWindow::showPlaceholder() {
    auto* body = new QWidget;
    auto* stack = new QVBoxLayout(body);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(24);
    stack->addWidget(PageKit::label(QStringLiteral("Opening Velto…"), 28, true));
    stack->addWidget(PageKit::label(
        QStringLiteral("If macOS asks, allow Velto to access its connection keys in Keychain."), 13,
        false, true));
    setBody(body);
}

void MainWindow::showFailure() {
    auto* body = new QWidget;
    body->setObjectName(QStringLiteral("failure"));
    auto* stack = new QVBoxLayout(body);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(24);
    stack->addWidget(
        PageKit::label(QStringLiteral("Velto couldn’t open its connection keys."), 22));
    stack->addWidget(PageKit::label(
        QStringLiteral("Reopen Velto and approve its Keychain access when macOS asks. Your "
                       "existing keys have not been deleted."),
        13, false, true));
    setBody(body);
}

void MainWindow::setAgent(Agent* agent) {
    agent_ = agent;
    intents_ = agent;
    buildPage();
    // Many fields change in one go (a command's end touches three): one render covers them.
    screenSeen_ = agent_->screenState();
    observation_ = QObject::connect(agent_, &Agent::changed, this, [this](Agent::Field field) {
        if (field == Agent::Field::ScreenState) {
            const ScreenState now = agent_->screenState();
            // What was read while locked is hidden or stale: read it again once unlocked.
            if (now == ScreenState::Unlocked && screenSeen_ != ScreenState::Unlocked) {
                unlockRefreshPending_ = true;
            }
            screenSeen_ = now;
        }
        scheduleChange();
    });
    if (services_.trust != nullptr) {
        QObject::connect(services_.trust, &RelayTrust::refusedCertificate, this,
                         [this] { certificateRefused(); });
    }
    render();
}

void MainWindow::scheduleChange() {
    if (changeScheduled_) {
        return;
    }
    changeScheduled_ = true;
    QTimer::singleShot(0, this, [this] {
        changeScheduled_ = false;
        agentDidChange();
    });
}

void MainWindow::agentDidChange() {
    if (agent_ == nullptr) {
        return;
    }
    if ((volumeRefreshPending_ || unlockRefreshPending_) && !agent_->actionRunning() &&
        !agent_->readingState()) {
        volumeRefreshPending_ = false;
        unlockRefreshPending_ = false;
        refreshDisplayedState();
    }
    render();
}

void MainWindow::refreshDisplayedState() {
    if (agent_ != nullptr && !agent_->readingState()) {
        intents_->refreshDeviceState();
    }
}

void MainWindow::buildPage() {
    if (agent_ == nullptr) {
        return;
    }
    // The page about to be built registers its own rows and controls.
    responsiveRows_.clear();
    controls_.clear();
    switch (selected_) {
    case 0:
        setBody(new ThisMacPage(*this));
        break;
    case 1:
        setBody(new ShortcutsPage(*this));
        break;
    case 2:
        setBody(new ActivityPage(*this));
        break;
    default:
        setBody(new ConnectionPage(*this));
        break;
    }
    // The new page's rows start in the layout in force.
    arrangeRows();
}

void MainWindow::navigate(int index) {
    if (index < 0 || index >= static_cast<int>(pages.size())) {
        return;
    }
    for (int i = 0; i < navigation_.size(); ++i) {
        navigation_[i]->setChecked(i == (index == selected_ ? selected_ : index));
    }
    if (index == selected_) {
        return;
    }
    selected_ = index;
    buildPage();
    render();
    if (body_ && !(services_.reducedMotion && services_.reducedMotion())) {
        auto* effect = new QGraphicsOpacityEffect(body_);
        effect->setOpacity(fadeFrom);
        body_->setGraphicsEffect(effect);
        auto* fade = new QPropertyAnimation(effect, "opacity", effect);
        fade->setDuration(fadeMilliseconds);
        fade->setStartValue(fadeFrom);
        fade->setEndValue(1.0);
        // The effect goes once the page is opaque again: it would slow every later paint.
        QPointer<QWidget> body = body_;
        QObject::connect(fade, &QPropertyAnimation::finished, this, [body] {
            if (body) {
                body->setGraphicsEffect(nullptr);
            }
        });
        fade->start();
    }
}

void MainWindow::pickPage(int index) {
    if (index < 0 || index >= static_cast<int>(pages.size())) {
        return;
    }
    selected_ = index;
    for (int i = 0; i < navigation_.size(); ++i) {
        navigation_[i]->setChecked(i == selected_);
    }
    pagePicker_->setCurrentIndex(selected_);
    buildPage();
    render();
}

void MainWindow::render() {
    if (agent_ == nullptr) {
        return;
    }
    if (page_ != nullptr) {
        page_->render();
    }
    const bool running = agent_->actionRunning();
    for (const QPointer<QWidget>& control : controls_) {
        if (control) {
            control->setEnabled(!running);
        }
    }
    showFeedback(QString::fromStdString(agent_->lastCommand()));
}

void MainWindow::updateLayout() {
    const bool narrow = width() < compactBelow;
    if (laidOut_ && narrow == compact_) {
        return;
    }
    if (laidOut_) {
        ++layoutSwitches_;
    }
    laidOut_ = true;
    compact_ = narrow;
    sidebar_->setVisible(!narrow);
    pagePicker_->setVisible(narrow);
    if (narrow) {
        pagePicker_->setCurrentIndex(selected_);
    }
    // Narrow, the content starts 72 points down, of which the picker row above it takes 44.
    documentLayout_->setContentsMargins(narrow ? 12 : 32, narrow ? 28 : 40, narrow ? 12 : 32, 24);
    arrangeRows();
}

void MainWindow::arrangeRows() {
    for (const QPointer<QBoxLayout>& row : responsiveRows_) {
        if (!row) {
            continue;
        }
        row->setDirection(compact_ ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight);
        row->setAlignment(compact_ ? Qt::Alignment() : Qt::AlignVCenter);
        // Stacked, buttons keep their own width and the rest takes the whole width: a wrapping
        // text held to its preferred width wrapped early and lost its second line.
        for (int index = 0; index < row->count(); ++index) {
            QWidget* view = row->itemAt(index)->widget();
            if (view != nullptr) {
                const bool button = qobject_cast<QAbstractButton*>(view) != nullptr;
                row->setAlignment(view, compact_ && button ? Qt::AlignLeft : Qt::Alignment());
            }
        }
    }
}

void MainWindow::showFeedback(const QString& text) {
    if (text == displayedCommand_) {
        return;
    }
    displayedCommand_ = text;
    feedbackTask_.cancel();
    if (text.isEmpty() || text == QLatin1String("None")) {
        result_->clear();
        return;
    }
    result_->setText(text);
    if (CommandFeedback::fades(text.toStdString())) {
        feedbackTask_ = TaskHandle::make();
        startDetached(
            clearFeedback(QPointer<MainWindow>(this), feedbackTask_, &services_.platform.clock),
            {});
    }
}

void MainWindow::showMessage(const QString& text) {
    feedbackTask_.cancel();
    result_->setText(text);
}

QCoro::Task<> MainWindow::clearFeedback(QPointer<MainWindow> window, TaskHandle handle,
                                        Clock* clock) {
    const bool elapsed = co_await TaskHandle::sleep(
        handle, clock, std::chrono::duration_cast<std::chrono::milliseconds>(feedbackLifetime));
    if (!elapsed || !window || handle.cancelled()) {
        co_return;
    }
    window->result_->clear();
}

void MainWindow::setInstalledApps(std::vector<AppInventory::Entry> apps) {
    installedApps_ = std::move(apps);
    Q_EMIT appsChanged();
}

void MainWindow::reloadApps(bool refresh) {
    if (agent_ == nullptr || loadingApps_) {
        return;
    }
    loadingApps_ = true;
    startDetached(loadApps(QPointer<MainWindow>(this), QPointer<Agent>(agent_), refresh),
                  [window = QPointer<MainWindow>(this)](std::exception_ptr) {
                      if (window) {
                          window->loadingApps_ = false;
                      }
                  });
}

QCoro::Task<> MainWindow::loadApps(QPointer<MainWindow> window, QPointer<Agent> agent,
                                   bool refresh) {
    if (!agent) {
        co_return;
    }
    std::vector<AppInventory::Entry> apps = co_await agent->applications(refresh);
    if (!window) {
        co_return;
    }
    window->loadingApps_ = false;
    window->setInstalledApps(std::move(apps));
}

void MainWindow::confirm(QObject* asker, const QString& title, const QString& detail,
                         const QString& button, std::function<void()> confirmed) {
    startDetached(confirmation(QPointer<QObject>(asker),
                               services_.prompts.alert(title.toStdString(), detail.toStdString(),
                                                       button.toStdString(), "Cancel"),
                               std::move(confirmed)),
                  [window = QPointer<MainWindow>(this)](std::exception_ptr error) {
                      if (window == nullptr) {
                          return;
                      }
                      try {
                          std::rethrow_exception(error);
                      } catch (const std::exception& failure) {
                          window->showMessage(QString::fromUtf8(failure.what()));
                      } catch (...) {
                      }
                  });
}

QCoro::Task<> MainWindow::confirmation(QPointer<QObject> asker,
                                       QCoro::Task<UserPrompts::Answer> question,
                                       std::function<void()> confirmed) {
    const UserPrompts::Answer answer = co_await std::move(question);
    if (asker != nullptr && answer == UserPrompts::Answer::First) {
        confirmed();
    }
}

void MainWindow::addResponsiveRow(QBoxLayout* row) {
    responsiveRows_.append(QPointer<QBoxLayout>(row));
}

void MainWindow::addControl(QWidget* control) {
    controls_.append(QPointer<QWidget>(control));
}

void MainWindow::saveGeometryNow() {
    try {
        services_.platform.defaults.setString(geometryKey, saveGeometry().toBase64().toStdString());
    } catch (const std::exception&) {
        // The frame is a convenience: a refused write leaves the last saved one.
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    saveGeometryNow();
    if (services_.withoutTray && !event->spontaneous()) {
        // The application quitting closes its windows first: that close goes through.
        event->accept();
        return;
    }
    event->ignore();
    if (!services_.withoutTray) {
        hide();
        return;
    }
    askToQuit();
}

void MainWindow::askToQuit() {
    // Hidden without a tray icon, the window could only come back through another launch.
    confirm(this, QStringLiteral("Quit Velto?"),
            QStringLiteral("This desktop shows no menu-bar icon for Velto, so its window is the "
                           "way back to it. Quitting stops remote commands until you open Velto "
                           "again; starting Velto again while it runs brings this window back."),
            QStringLiteral("Quit Velto"), [] { QCoreApplication::quit(); });
}

void MainWindow::certificateRefused() {
    const std::optional<RelayTrust::Refusal>& refusal = services_.trust->lastRefusal();
    render();
    // Asked once per certificate and run, while someone looks at the window; the Connection page
    // keeps offering it.
    if (!refusal || !refusal->trustable || askingCertificate_ || !isVisible() ||
        certificateAsked_ == RelayTrust::fingerprint(refusal->certificate)) {
        return;
    }
    offerCertificateTrust();
}

void MainWindow::offerCertificateTrust() {
    if (services_.trust == nullptr || askingCertificate_) {
        return;
    }
    const std::optional<RelayTrust::Refusal> refusal = services_.trust->lastRefusal();
    if (!refusal || !refusal->trustable) {
        return;
    }
    const QString fingerprint = RelayTrust::fingerprint(refusal->certificate);
    certificateAsked_ = fingerprint;
    askingCertificate_ = true;
    const QString title = refusal->changed ? QStringLiteral("The relay’s certificate has changed")
                                           : QStringLiteral("Trust this relay’s certificate?");
    const QString detail =
        (refusal->changed
             ? QStringLiteral("%1 now presents a different certificate from the one you trusted. "
                              "If its certificate was not replaced on purpose, someone may be "
                              "between this Mac and the relay.")
             : QStringLiteral("No certificate authority vouches for the certificate of %1. "
                              "Velto can trust this certificate for this relay address alone."))
            .arg(refusal->origin) +
        QStringLiteral("\n\nTrust it only if its SHA-256 fingerprint is the one the relay printed "
                       "when it started:\n\n") +
        fingerprint;
    const QPointer<MainWindow> self(this);
    startDetached(
        certificateAnswer(self,
                          services_.prompts.alert(title.toStdString(), detail.toStdString(),
                                                  "Trust Certificate", "Cancel"),
                          *refusal),
        [self](std::exception_ptr) {
            if (self) {
                self->askingCertificate_ = false;
            }
        });
}

QCoro::Task<> MainWindow::certificateAnswer(QPointer<MainWindow> window,
                                            QCoro::Task<UserPrompts::Answer> question,
                                            RelayTrust::Refusal asked) {
    const UserPrompts::Answer answer = co_await std::move(question);
    if (!window) {
        co_return;
    }
    window->askingCertificate_ = false;
    if (answer == UserPrompts::Answer::First) {
        window->trustCertificate(asked);
    }
}

void MainWindow::trustCertificate(const RelayTrust::Refusal& refusal) {
    try {
        services_.trust->trust(refusal.origin, refusal.certificate);
    } catch (const std::exception& error) {
        showMessage(QStringLiteral("Velto couldn’t keep the certificate: ") +
                    QString::fromUtf8(error.what()));
        return;
    }
    render();
    if (agent_ == nullptr) {
        return;
    }
    // Connecting again at once, as the person's Connect did before the question.
    if (agent_->token()) {
        agent_->connect();
    } else if (!agent_->pairing()) {
        agent_->pair();
    }
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    updateLayout();
}

} // namespace corvane
