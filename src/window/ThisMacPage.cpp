#include "window/ThisMacPage.h"

#include "window/MainWindow.h"
#include "window/PageKit.h"

#include <QRegularExpression>
#include <QStandardItemModel>

#include <cmath>

namespace corvane {

namespace {

JSON object(std::initializer_list<std::pair<const std::string, JSON>> members) {
    return JSON(JSON::Object(members));
}

} // namespace

ThisMacPage::ThisMacPage(MainWindow& window)
    : window_(window) {
    setObjectName(QStringLiteral("thisMacPage"));
    PageKit kit(window);
    build(kit);
    QObject::connect(&window_, &MainWindow::appsChanged, this, [this] { fillApps(); });
    if (window_.installedApps()) {
        fillApps();
    } else {
        window_.reloadApps(false);
    }
}

void ThisMacPage::build(PageKit& kit) {
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(24);

    readButton_ = PageKit::actionButton(QStringLiteral("Refresh"), "arrow.clockwise",
                                        QStringLiteral("refresh"));
    QObject::connect(readButton_, &QPushButton::clicked, this,
                     [this] { window_.refreshDisplayedState(); });
    auto* top = new QHBoxLayout;
    top->addWidget(PageKit::heading(QStringLiteral("This Mac")), 1);
    top->addWidget(readButton_);
    stack->addLayout(top);

    state_ = PageKit::label(QStringLiteral("Checking this Mac…"), 17, true);
    state_->setObjectName(QStringLiteral("stateHeadline"));
    details_ = PageKit::label(QString(), 13, false, true);
    details_->setObjectName(QStringLiteral("lockLine"));
    statusRows_ = new QWidget;
    statusRows_->setObjectName(QStringLiteral("statusRows"));
    rowGrid_ = new QGridLayout(statusRows_);
    rowGrid_->setContentsMargins(0, 0, 0, 0);
    rowGrid_->setColumnStretch(1, 1);
    stack->addWidget(state_);
    stack->addWidget(details_);
    stack->addWidget(statusRows_);

    // Volume.
    volume_ = new VolumeSlider;
    volume_->setObjectName(QStringLiteral("volume"));
    volume_->setAccessibleName(QStringLiteral("Adjust volume"));
    volume_->setMinimumWidth(240);
    volumeValue_ = PageKit::label(QString(), 13, false, true);
    volumeValue_->setObjectName(QStringLiteral("volumeValue"));
    QObject::connect(volume_, &QSlider::sliderReleased, this, [this] { sendVolume(); });
    QObject::connect(volume_, &QSlider::valueChanged, this, [this] {
        if (!volume_->isTrackingPointer()) {
            sendVolume();
        }
    });
    const std::string host = window_.services().platform.workspace.hostName();
    stack->addWidget(PageKit::card(
        host.empty() ? QStringLiteral("This Mac") : QString::fromStdString(host), QString(),
        nullptr,
        {kit.row({PageKit::label(QStringLiteral("Output volume"), 13), volume_}), volumeValue_}));

    // Sound and playback.
    auto* previous =
        kit.control(QStringLiteral("Previous"), "backward.end.fill", QStringLiteral("previous"));
    auto* playPause =
        kit.control(QStringLiteral("Play / Pause"), "playpause.fill", QStringLiteral("playPause"));
    auto* next = kit.control(QStringLiteral("Next"), "forward.end.fill", QStringLiteral("next"));
    auto* mute = kit.control(QStringLiteral("Mute"), "speaker.slash.fill", QStringLiteral("mute"));
    auto* unmute =
        kit.control(QStringLiteral("Unmute"), "speaker.wave.2.fill", QStringLiteral("unmute"));
    QObject::connect(previous, &QPushButton::clicked, this, [this] { run("media_previous"); });
    QObject::connect(playPause, &QPushButton::clicked, this, [this] { run("media_play_pause"); });
    QObject::connect(next, &QPushButton::clicked, this, [this] { run("media_next"); });
    QObject::connect(mute, &QPushButton::clicked, this, [this] { run("mute"); });
    QObject::connect(unmute, &QPushButton::clicked, this, [this] { run("unmute"); });
    stack->addWidget(
        PageKit::card(QStringLiteral("Sound & playback"),
                      QStringLiteral("Playback controls use Music or Spotify when open."), nullptr,
                      {kit.row({previous, playPause, next, mute, unmute})}));

    // Websites and apps.
    website_ = PageKit::field(QStringLiteral("Website · example.com"), QStringLiteral("website"));
    auto* openSite = kit.control(QStringLiteral("Open website"), "arrow.up.right",
                                 QStringLiteral("openWebsite"));
    QObject::connect(openSite, &QPushButton::clicked, this, [this] { openWebsite(); });
    QObject::connect(website_, &QLineEdit::returnPressed, this, [this] { openWebsite(); });
    appPicker_ = new QComboBox;
    appPicker_->setObjectName(QStringLiteral("appPicker"));
    appPicker_->setToolTip(QStringLiteral("Installed apps, most recently opened first"));
    appPicker_->setMinimumContentsLength(24);
    appPicker_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    auto* refreshApps = PageKit::actionButton(QStringLiteral("Refresh apps"), "arrow.clockwise",
                                              QStringLiteral("refreshApps"));
    QObject::connect(refreshApps, &QPushButton::clicked, this,
                     [this] { window_.reloadApps(true); });
    appName_ =
        PageKit::field(QStringLiteral("Other app name or bundle ID"), QStringLiteral("appName"));
    appName_->hide();
    QObject::connect(appPicker_, &QComboBox::currentIndexChanged, this, [this] {
        appName_->setVisible(appPicker_->currentData().toString() == QLatin1String(manualEntry));
    });
    auto* openAppButton = kit.control(QStringLiteral("Open app"), {}, QStringLiteral("openApp"));
    auto* quitAppButton = kit.control(QStringLiteral("Quit app"), {}, QStringLiteral("quitApp"));
    QObject::connect(openAppButton, &QPushButton::clicked, this, [this] { openApp(); });
    QObject::connect(quitAppButton, &QPushButton::clicked, this, [this] { quitApp(); });
    stack->addWidget(
        PageKit::card(QStringLiteral("Open something"), QString(), nullptr,
                      {kit.row({website_, openSite}), kit.row({appPicker_, refreshApps}), appName_,
                       kit.row({openAppButton, quitAppButton})}));

    // Computer controls.
    auto* lockButton = kit.control(QStringLiteral("Lock"), {}, QStringLiteral("lock"));
    auto* sleepButton = kit.control(QStringLiteral("Sleep"), {}, QStringLiteral("sleep"));
    auto* focusOn = kit.control(QStringLiteral("Focus on"), {}, QStringLiteral("focusOn"));
    auto* focusOff = kit.control(QStringLiteral("Focus off"), {}, QStringLiteral("focusOff"));
    cleanupBrowser_ = new QComboBox;
    cleanupBrowser_->setObjectName(QStringLiteral("cleanupBrowser"));
    cleanupBrowser_->setAccessibleName(QStringLiteral("Browser to clean up"));
    cleanupBrowser_->addItems({QStringLiteral("Safari"), QStringLiteral("Chrome")});
    auto* closeTabsButton =
        kit.control(QStringLiteral("Close browser tabs…"), {}, QStringLiteral("closeTabs"));
    QObject::connect(lockButton, &QPushButton::clicked, this, [this] { lock(); });
    QObject::connect(sleepButton, &QPushButton::clicked, this, [this] { sleep(); });
    QObject::connect(focusOn, &QPushButton::clicked, this, [this] {
        run("toggle_do_not_disturb", object({{"enabled", JSON(true)}}));
    });
    QObject::connect(focusOff, &QPushButton::clicked, this, [this] {
        run("toggle_do_not_disturb", object({{"enabled", JSON(false)}}));
    });
    QObject::connect(closeTabsButton, &QPushButton::clicked, this, [this] { closeTabs(); });
    stack->addWidget(PageKit::card(QStringLiteral("Mac controls"), QString(), nullptr,
                                   {kit.row({lockButton, sleepButton, focusOn, focusOff}),
                                    kit.row({cleanupBrowser_, closeTabsButton})}));
    stack->addStretch(1);
}

void ThisMacPage::fillApps() {
    const auto& apps = window_.installedApps();
    const QString chosen = appPicker_->currentData().toString();
    const QSignalBlocker quiet(appPicker_);
    // Filled apart and handed over whole: adding thousands of entries one by one to the picker
    // re-measures it after each.
    auto* model = new QStandardItemModel(appPicker_);
    auto entry = [](const QString& text, const QString& value) {
        auto* item = new QStandardItem(text);
        item->setData(value, Qt::UserRole);
        return item;
    };
    model->appendRow(entry(QStringLiteral("Choose an app"), QString()));
    if (apps) {
        for (const AppInventory::Entry& app : *apps) {
            model->appendRow(
                entry(QString::fromStdString(app.name), QString::fromStdString(app.bundleID)));
        }
    }
    model->appendRow(entry(QStringLiteral("Other…"), QString::fromLatin1(manualEntry)));
    // The picker deletes the model it replaces when it is the model's parent.
    appPicker_->setModel(model);
    const int keep = chosen.isEmpty() ? 0 : appPicker_->findData(chosen);
    appPicker_->setCurrentIndex(keep < 0 ? 0 : keep);
    appName_->setVisible(appPicker_->currentData().toString() == QLatin1String(manualEntry));
}

void ThisMacPage::render() {
    Agent* agent = window_.agent();
    const bool reading = agent->readingState();
    readButton_->setText(reading ? QStringLiteral("Reading…") : QStringLiteral("Refresh"));
    readButton_->setEnabled(!reading);
    const std::optional<JSON>& report = agent->deviceState();
    if (reading) {
        state_->setText(QStringLiteral("Reading your Mac…"));
    } else if (!report) {
        state_->setText(QStringLiteral("Refresh to see this Mac’s current state."));
    } else {
        state_->setText(QStringLiteral("Current state"));
    }
    switch (agent->screenState()) {
    case ScreenState::Unlocked:
        details_->clear();
        break;
    case ScreenState::Locked:
        details_->setText(QStringLiteral("Screen locked · information hidden"));
        break;
    default:
        details_->setText(QStringLiteral("Session unavailable · actions paused"));
        break;
    }
    details_->setVisible(!details_->text().isEmpty());
    renderRows(report);
    const std::optional<double> level = report ? DeviceStateRows::volume(*report) : std::nullopt;
    volumeValue_->setText(report ? DeviceStateRows::volumeLine(*report)
                                 : QStringLiteral("Output volume unavailable"));
    // Without a level the slider shows none and takes no input: its last position would be a
    // stale value, and moving it would set a volume nobody saw.
    volume_->follow(level ? static_cast<int>(std::lround(*level)) : 0);
    volume_->setEnabled(level.has_value() && !agent->actionRunning());
}

void ThisMacPage::renderRows(const std::optional<JSON>& report) {
    std::optional<QString> note;
    std::vector<DeviceStateRows::Row> rows;
    if (!report) {
        note = QString();
    } else if (const JSON* locked = report->find("screen_locked");
               locked != nullptr && locked->isTrue()) {
        note = QStringLiteral(
            "Unlock on this Mac to use controls. Remote unlock is intentionally unavailable.");
    } else {
        rows = DeviceStateRows::rows(*report);
    }
    if (note == noteShown_ && (note || rows == statusSignature_)) {
        return;
    }
    noteShown_ = note;
    statusSignature_ = note ? std::nullopt : std::optional(rows);
    ++rowDraws_;
    while (QLayoutItem* item = rowGrid_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    if (note) {
        if (!note->isEmpty()) {
            rowGrid_->addWidget(PageKit::label(*note, 13, false, true), 0, 0, 1, 2);
        }
        return;
    }
    int line = 0;
    for (const auto& [name, value] : rows) {
        rowGrid_->addWidget(PageKit::label(name, 13, false, true), line, 0);
        QLabel* shown = PageKit::label(value, 13);
        shown->setObjectName(QStringLiteral("row:") + name);
        rowGrid_->addWidget(shown, line, 1);
        ++line;
    }
}

void ThisMacPage::run(const char* action, JSON params) {
    window_.intents().runLocalAction(action, std::move(params));
}

void ThisMacPage::sendVolume() {
    if (window_.agent()->actionRunning()) {
        return;
    }
    window_.requestVolumeRefresh();
    run("set_volume", object({{"level", JSON(static_cast<double>(volume_->value()))}}));
}

void ThisMacPage::openWebsite() {
    run("open_url", object({{"url", JSON(website_->text().trimmed().toStdString())}}));
}

std::optional<ThisMacPage::Choice> ThisMacPage::chosenApp() {
    const QString value = appPicker_->currentData().toString();
    if (value == QLatin1String(manualEntry)) {
        const QString text = appName_->text().trimmed();
        if (text.isEmpty()) {
            window_.showMessage(QStringLiteral("Enter an app name or bundle ID."));
            return std::nullopt;
        }
        static const QRegularExpression bundle(QString::fromLatin1(bundlePattern));
        const char* key = bundle.match(text).hasMatch() ? "bundle_id" : "app_name";
        return Choice{text, object({{key, JSON(text.toStdString())}})};
    }
    if (value.isEmpty()) {
        window_.showMessage(QStringLiteral("Choose an app first."));
        return std::nullopt;
    }
    return Choice{appPicker_->currentText(), object({{"bundle_id", JSON(value.toStdString())}})};
}

void ThisMacPage::openApp() {
    if (std::optional<Choice> choice = chosenApp()) {
        run("open_app", std::move(choice->params));
    }
}

void ThisMacPage::quitApp() {
    std::optional<Choice> choice = chosenApp();
    if (!choice) {
        return;
    }
    window_.confirm(this, QStringLiteral("Quit ") + choice->name + u'?',
                    QStringLiteral("Velto will ask this app to quit gracefully. Any save "
                                   "dialog must be handled on this Mac."),
                    QStringLiteral("Quit app"),
                    [this, params = std::move(choice->params)] { run("quit_app", params); });
}

void ThisMacPage::lock() {
    window_.confirm(this, QStringLiteral("Lock this Mac?"),
                    QStringLiteral("You will need to unlock it on the Mac to continue using it."),
                    QStringLiteral("Lock"), [this] { run("lock_screen"); });
}

void ThisMacPage::sleep() {
    window_.confirm(this, QStringLiteral("Put this Mac to sleep?"),
                    QStringLiteral("Remote access stops until the Mac wakes. A sleeping Mac "
                                   "may not return a result."),
                    QStringLiteral("Sleep"), [this] { run("sleep_mac"); });
}

void ThisMacPage::closeTabs() {
    const QString browser = cleanupBrowser_->currentText();
    JSON params =
        object({{"browser", JSON(browser.toLower().toStdString())}, {"keep_pinned", JSON(true)}});
    window_.confirm(this, QStringLiteral("Close unpinned ") + browser + QStringLiteral(" tabs?"),
                    QStringLiteral("This closes unpinned tabs in open ") + browser +
                        QStringLiteral(" windows. Pinned tabs stay open. Unsaved pages may ask "
                                       "you to confirm in the browser."),
                    QStringLiteral("Close tabs"),
                    [this, params = std::move(params)] { run("close_browser_tabs", params); });
}

} // namespace corvane
