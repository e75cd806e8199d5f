#include "window/ConnectionPage.h"

#include "agent/RelayOrigin.h"
#include "core/ContractError.h"
#include "window/MainWindow.h"
#include "window/PageKit.h"
#include "window/QRCodeImage.h"
#include "window/SetupPrompt.h"
#include "window/Symbols.h"

#include <QDir>
#include <QMenu>
#include <QPixmap>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QUrl>
#include <QUrlQuery>

namespace corvane {

namespace {

QLabel* qrLabel(const QString& objectName) {
    auto* label = new QLabel;
    label->setObjectName(objectName);
    label->setFixedSize(168, 168);
    label->setScaledContents(true);
    return label;
}

void showQR(QLabel* label, QString& shown, const QString& text) {
    if (shown == text) {
        return;
    }
    shown = text;
    label->setPixmap(text.isEmpty() ? QPixmap() : QPixmap::fromImage(QRCodeImage::make(text)));
}

} // namespace

QString ConnectionPage::loginText(LoginItems::Status status) {
    switch (status) {
    case LoginItems::Status::NotRegistered:
        return QStringLiteral("Off. Open Velto yourself after logging in.");
    case LoginItems::Status::Enabled:
        return QStringLiteral("Starts quietly in the menu bar when you log in.");
    case LoginItems::Status::RequiresApproval:
        return QStringLiteral("Allow Velto in System Settings → General → Login Items.");
    case LoginItems::Status::NotFound:
        return QStringLiteral("Move Velto to Applications, then enable this setting.");
    }
    return QStringLiteral("Check Velto in System Settings → General → Login Items.");
}

QString ConnectionPage::desktopText(bool desktopWide, bool trusted, bool unlocked) {
    if (!desktopWide) {
        return QStringLiteral("Desktop control is off");
    }
    if (!trusted) {
        return QStringLiteral("Desktop control needs Accessibility access");
    }
    if (!unlocked) {
        return QStringLiteral("Desktop control paused while this Mac is locked or inactive");
    }
    return QStringLiteral("Desktop control enabled");
}

ConnectionPage::ConnectionPage(MainWindow& window)
    : window_(window) {
    setObjectName(QStringLiteral("connectionPage"));
    PageKit kit(window);
    stack_ = new QVBoxLayout(this);
    stack_->setContentsMargins(0, 0, 0, 0);
    stack_->setSpacing(24);
    stack_->addWidget(PageKit::heading(QStringLiteral("Stay connected")));
    buildPairing(kit);
    buildPhone(kit);
    auto* copyPrompt = PageKit::actionButton(QStringLiteral("Copy setup prompt"), "doc.on.doc",
                                             QStringLiteral("copySetupPrompt"));
    QObject::connect(copyPrompt, &QPushButton::clicked, this, [this, copyPrompt] {
        const QString dashboard = dashboardAddress().value_or(window_.services().website);
        const bool copied = window_.services().prompts.copy(
            SetupPrompt::text(window_.services().website, dashboard));
        copyPrompt->setText(copied ? QStringLiteral("Copied — paste into Lumo")
                                   : QStringLiteral("Couldn’t copy — try again"));
    });
    stack_->addWidget(
        PageKit::card(QStringLiteral("Use your Mac with Lumo"), QString(), nullptr, {copyPrompt}));
    buildStartup(kit);
    buildDesktop(kit);
    buildAdvanced(kit);
    stack_->addStretch(1);
}

void ConnectionPage::buildPairing(PageKit& kit) {
    connectButton_ =
        PageKit::actionButton(QStringLiteral("Connect"), "link", QStringLiteral("connect"));
    QObject::connect(connectButton_, &QPushButton::clicked, this,
                     [this] { window_.intents().pair(); });
    connection_ = PageKit::label(QString(), 13, false, true);
    connection_->setObjectName(QStringLiteral("connectionStatus"));

    pairingActions_ = new QWidget;
    pairingActions_->setObjectName(QStringLiteral("pairingActions"));
    auto* actions = new QVBoxLayout(pairingActions_);
    actions->setContentsMargins(0, 0, 0, 0);
    actions->addWidget(PageKit::label(
        QStringLiteral("Sign in and approve this Mac in your browser. Velto will connect "
                       "automatically."),
        13));
    codeLabel_ = PageKit::label(QString(), 17, true);
    codeLabel_->setObjectName(QStringLiteral("pairingCode"));
    copyPairingButton_ = PageKit::actionButton(QStringLiteral("Copy code"), "doc.on.doc",
                                               QStringLiteral("copyCode"));
    QObject::connect(copyPairingButton_, &QPushButton::clicked, this, [this] {
        if (window_.services().prompts.copy(QString::fromStdString(window_.agent()->code()))) {
            copyPairingButton_->setText(QStringLiteral("Copied"));
        }
    });
    auto* reopen = PageKit::actionButton(QStringLiteral("Open setup page again"), "arrow.up.right",
                                         QStringLiteral("reopenSetup"));
    QObject::connect(reopen, &QPushButton::clicked, this,
                     [this] { window_.intents().continuePairing(); });
    pairingHelpButton_ = PageKit::actionButton(QStringLiteral("Setup page didn’t open?"),
                                               "chevron.right", QStringLiteral("pairingHelp"));
    auto* cancel =
        PageKit::actionButton(QStringLiteral("Cancel"), {}, QStringLiteral("cancelPairing"));
    QObject::connect(cancel, &QPushButton::clicked, this,
                     [this] { window_.intents().cancelPairing(); });
    actions->addWidget(kit.row({codeLabel_, copyPairingButton_}));
    actions->addWidget(kit.row({reopen, pairingHelpButton_, cancel}));

    pairingFallback_ = new QWidget;
    pairingFallback_->setObjectName(QStringLiteral("pairingFallback"));
    auto* fallback = new QVBoxLayout(pairingFallback_);
    fallback->setContentsMargins(0, 0, 0, 0);
    fallback->addWidget(PageKit::label(
        QStringLiteral("Or open the dashboard, choose Add a Mac, and enter this code."), 13));
    auto* openDashboard = PageKit::actionButton(QStringLiteral("Open dashboard"), "arrow.up.right",
                                                QStringLiteral("openDashboardFallback"));
    QObject::connect(openDashboard, &QPushButton::clicked, this,
                     [this] { window_.intents().dashboard(); });
    fallback->addWidget(openDashboard);
    pairingQR_ = qrLabel(QStringLiteral("pairingQR"));
    pairingQR_->setAccessibleName(QStringLiteral("Scan to continue pairing on your phone"));
    fallback->addWidget(pairingQR_);
    fallback->addWidget(
        PageKit::label(QStringLiteral("Scan to continue pairing on your phone"), 12, false, true));
    pairingFallback_->hide();
    actions->addWidget(pairingFallback_);
    QObject::connect(pairingHelpButton_, &QPushButton::clicked, this, [this] {
        const bool shown = !pairingFallback_->isVisibleTo(this);
        pairingFallback_->setVisible(shown);
        pairingHelpButton_->setIcon(Symbols::icon(shown ? "chevron.down" : "chevron.right"));
    });

    certificate_ = new QWidget;
    certificate_->setObjectName(QStringLiteral("certificateProblem"));
    auto* certificate = new QVBoxLayout(certificate_);
    certificate->setContentsMargins(0, 0, 0, 0);
    certificateText_ = PageKit::label(QString(), 13);
    certificateText_->setObjectName(QStringLiteral("certificateText"));
    trustButton_ = PageKit::actionButton(QStringLiteral("Trust certificate…"), {},
                                         QStringLiteral("trustCertificate"));
    QObject::connect(trustButton_, &QPushButton::clicked, this,
                     [this] { window_.offerCertificateTrust(); });
    certificate->addWidget(certificateText_);
    certificate->addWidget(kit.row({trustButton_}));
    certificate_->hide();

    stack_->addWidget(PageKit::card(
        QStringLiteral("Connect your Mac"),
        QStringLiteral("Click Connect, sign in, and approve this Mac."), nullptr,
        {kit.row({connectButton_, connection_}), certificate_, pairingActions_,
         PageKit::label(QStringLiteral("Linking your Velto account prepares this Mac for remote "
                                       "control. Lumo authorization requires the official "
                                       "connector; it is not included in this preview."),
                        12, false, true)}));
}

void ConnectionPage::buildPhone(PageKit& kit) {
    phoneQR_ = qrLabel(QStringLiteral("phoneQR"));
    phoneQR_->setAccessibleName(QStringLiteral("Scan to open Velto on your phone"));
    // No share sheet on this desktop: the link goes out by clipboard or e-mail.
    auto* send = PageKit::actionButton(QStringLiteral("Send link"), "square.and.arrow.up",
                                       QStringLiteral("sendLink"));
    auto* menu = new QMenu(send);
    menu->setObjectName(QStringLiteral("shareMenu"));
    QAction* copyMessage =
        menu->addAction(Symbols::icon("doc.on.doc"), QStringLiteral("Copy link with message"));
    QAction* mail = menu->addAction(Symbols::icon("envelope"), QStringLiteral("Send by e-mail…"));
    QObject::connect(copyMessage, &QAction::triggered, this, [this] { copyPhoneLink(true); });
    QObject::connect(mail, &QAction::triggered, this, [this] { mailPhoneLink(); });
    send->setMenu(menu);
    auto* copy = PageKit::actionButton(QStringLiteral("Copy link"), {}, QStringLiteral("copyLink"));
    QObject::connect(copy, &QPushButton::clicked, this, [this] { copyPhoneLink(false); });
    auto* open = PageKit::actionButton(QStringLiteral("Open dashboard"), "arrow.up.right",
                                       QStringLiteral("openDashboardPhone"));
    QObject::connect(open, &QPushButton::clicked, this, [this] { window_.intents().dashboard(); });
    phoneControls_ = {send, copy, open};
    phoneHint_ = PageKit::label(QString(), 13, false, true);
    phoneHint_->setObjectName(QStringLiteral("phoneHint"));
    phoneCaption_ =
        PageKit::label(QStringLiteral("Scan to open Velto on your phone"), 12, false, true);
    stack_->addWidget(
        PageKit::card(QStringLiteral("Use Velto on your phone"), QString(), nullptr,
                      {phoneHint_, phoneQR_, phoneCaption_, kit.row({send, copy, open})}));
}

void ConnectionPage::buildStartup(PageKit& kit) {
    loginToggle_ = new QCheckBox(QStringLiteral("Start Velto when I log in"));
    loginToggle_->setObjectName(QStringLiteral("startAtLogin"));
    QObject::connect(loginToggle_, &QCheckBox::clicked, this, [this] { toggleStartAtLogin(); });
    loginStatus_ = PageKit::label(QString(), 13, false, true);
    loginStatus_->setObjectName(QStringLiteral("loginStatus"));
    // The desktop's autostart folder stands where another system has its login-items settings.
    auto* settings = PageKit::actionButton(QStringLiteral("Login settings"), {},
                                           QStringLiteral("loginSettings"));
    QObject::connect(settings, &QPushButton::clicked, this, [this] {
        const QString folder =
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
            QStringLiteral("/autostart");
        window_.services().prompts.openInBrowser(
            QUrl::fromLocalFile(folder).toString().toStdString());
    });
    stack_->addWidget(PageKit::card(QStringLiteral("Startup"), QString(), nullptr,
                                    {loginToggle_, loginStatus_, kit.row({settings})}));
}

void ConnectionPage::buildDesktop(PageKit& kit) {
    auto* enable = PageKit::actionButton(QStringLiteral("Enable desktop control"), {},
                                         QStringLiteral("enableDesktop"));
    auto* pause =
        PageKit::actionButton(QStringLiteral("Pause"), {}, QStringLiteral("pauseDesktop"));
    enableDesktopButton_ = enable;
    pauseDesktopButton_ = pause;
    auto* accessibility = PageKit::actionButton(QStringLiteral("Accessibility permission"), {},
                                                QStringLiteral("accessibilityPermission"));
    auto* screen = PageKit::actionButton(QStringLiteral("Screen capture permission"), {},
                                         QStringLiteral("screenPermission"));
    QObject::connect(enable, &QPushButton::clicked, this, [this] { enableDesktop(); });
    QObject::connect(pause, &QPushButton::clicked, this, [this] { stopDesktop(); });
    QObject::connect(accessibility, &QPushButton::clicked, this,
                     [this] { desktopAccessibility(); });
    QObject::connect(screen, &QPushButton::clicked, this, [this] { desktopScreenPermission(); });
    desktopStatus_ = PageKit::label(QString(), 13, false, true);
    desktopStatus_->setObjectName(QStringLiteral("desktopStatus"));
    stack_->addWidget(PageKit::card(
        QStringLiteral("Desktop control"),
        QStringLiteral("Let your assistant use apps across your Mac. Set up once; access stays on "
                       "until you pause it. Your Mac must be awake and unlocked."),
        nullptr, {kit.row({enable, pause}), kit.row({accessibility, screen}), desktopStatus_}));
}

void ConnectionPage::buildAdvanced(PageKit& kit) {
    auto* advanced = PageKit::actionButton(QStringLiteral("Advanced"), "chevron.right",
                                           QStringLiteral("advanced"));
    stack_->addWidget(kit.row({advanced}));
    relay_ =
        PageKit::field(QStringLiteral("https://relay.example.com"), QStringLiteral("relayField"));
    relay_->setText(QString::fromStdString(window_.agent()->relay()));
    auto* save = PageKit::actionButton(QStringLiteral("Save"), {}, QStringLiteral("saveRelay"));
    QObject::connect(save, &QPushButton::clicked, this, [this] { saveRelay(); });
    auto* open = PageKit::actionButton(QStringLiteral("Open dashboard"), "arrow.up.right",
                                       QStringLiteral("openDashboardAdvanced"));
    QObject::connect(open, &QPushButton::clicked, this, [this] { window_.intents().dashboard(); });
    auto* revokeButton =
        PageKit::actionButton(QStringLiteral("Revoke pairing…"), {}, QStringLiteral("revoke"));
    QObject::connect(revokeButton, &QPushButton::clicked, this, [this] { revoke(); });
    auto* acknowledge = PageKit::actionButton(QStringLiteral("I revoked in dashboard…"), {},
                                              QStringLiteral("acknowledgeRevoke"));
    QObject::connect(acknowledge, &QPushButton::clicked, this,
                     [this] { window_.intents().confirmDashboardRevocation(); });
    advancedView_ = PageKit::card(
        QStringLiteral("Connection settings"),
        QStringLiteral("For self-hosted or development services. Production builds include their "
                       "service address."),
        nullptr, {kit.row({relay_, save}), kit.row({open, revokeButton, acknowledge})});
    advancedView_->setObjectName(QStringLiteral("connectionSettings"));
    advancedView_->hide();
    stack_->addWidget(advancedView_);
    QObject::connect(advanced, &QPushButton::clicked, this, [this, advanced] {
        const bool shown = !advancedView_->isVisibleTo(this);
        advancedView_->setVisible(shown);
        advanced->setIcon(Symbols::icon(shown ? "chevron.down" : "chevron.right"));
    });
}

std::optional<QString> ConnectionPage::dashboardAddress() const {
    try {
        return window_.agent()->dashboardOrigin().toString();
    } catch (const ContractError&) {
        return std::nullopt;
    }
}

void ConnectionPage::render() {
    Agent* agent = window_.agent();
    const bool paired = agent->token().has_value();
    if (agent->pairing()) {
        connectButton_->setText(QStringLiteral("Connecting…"));
    } else if (paired && !agent->online() && !agent->pending()) {
        connectButton_->setText(QStringLiteral("Reconnecting…"));
    } else {
        connectButton_->setText(QStringLiteral("Connect"));
    }
    connectButton_->setEnabled(!agent->pairing());
    // Nothing to connect while connected.
    connectButton_->setVisible(!agent->online());
    connection_->setText(agent->pairing() && !agent->code().empty()
                             ? QStringLiteral("Waiting for approval…")
                             : QString::fromStdString(agent->status()));
    pairingActions_->setVisible(agent->pairing());
    codeLabel_->setText(QStringLiteral("Code: ") + QString::fromStdString(agent->code()));
    const std::optional<QUrl> pairingLink = agent->pairingURL();
    showQR(pairingQR_, pairingQRText_, pairingLink ? pairingLink->toString() : QString());

    renderCertificate();

    const std::optional<QString> dashboard = dashboardAddress();
    showQR(phoneQR_, phoneQRText_, dashboard.value_or(QString()));
    phoneQR_->setVisible(dashboard.has_value());
    phoneCaption_->setVisible(dashboard.has_value());
    phoneHint_->setText(dashboard ? QStringLiteral("Scan with your phone’s camera. Sign in with "
                                                   "your Velto name and password if asked.")
                                  : QStringLiteral("Enter your relay address under Advanced to "
                                                   "get a link for your phone."));
    for (QWidget* control : phoneControls_) {
        control->setEnabled(dashboard.has_value());
    }

    const LoginItems::Status login = window_.services().startup.status();
    loginStatus_->setText(loginText(login));
    const QSignalBlocker quiet(loginToggle_);
    loginToggle_->setChecked(login == LoginItems::Status::Enabled);

    const bool desktopOn = agent->desktopWide();
    enableDesktopButton_->setVisible(!desktopOn);
    pauseDesktopButton_->setEnabled(desktopOn);
    desktopStatus_->setText(desktopText(agent->desktopWide(),
                                        window_.services().platform.accessibility.isTrusted(),
                                        agent->screenState() == ScreenState::Unlocked));
}

void ConnectionPage::renderCertificate() {
    const RelayTrust* trust = window_.services().trust;
    const std::optional<RelayTrust::Refusal> refusal =
        trust != nullptr ? trust->lastRefusal() : std::nullopt;
    std::optional<QString> origin;
    try {
        origin = RelayTrust::originOf(window_.agent()->origin());
    } catch (const ContractError&) {
    }
    // Only the refusal of the relay in use, and only until it connects.
    const bool shown =
        refusal && origin && refusal->origin == *origin && !window_.agent()->online();
    certificate_->setVisible(shown);
    if (!shown) {
        return;
    }
    QString text = refusal->reason;
    if (!refusal->certificate.isNull()) {
        text += QStringLiteral("\nSHA-256 ") + RelayTrust::fingerprint(refusal->certificate);
    }
    certificateText_->setText(text);
    trustButton_->setVisible(refusal->trustable);
}

void ConnectionPage::toggleStartAtLogin() {
    try {
        window_.services().startup.setEnabled(loginToggle_->isChecked());
    } catch (const std::exception&) {
        window_.services().prompts.inform(
            QStringLiteral("Velto couldn’t change its startup setting."),
            QStringLiteral("Move Velto to Applications if needed, then check General → Login "
                           "Items in System Settings."));
    }
    render();
}

void ConnectionPage::enableDesktop() {
    window_.confirm(
        this, QStringLiteral("Allow Lumo-connected callers to control this Mac?"),
        QStringLiteral(
            "Desktop control covers applications across this Mac, including System Settings. "
            "Connected callers can read window contents, click, scroll and type, which can "
            "change files, send information or run code in capable apps. Content passes "
            "through Velto's relay. Access stays enabled across restarts and resumes after "
            "you unlock this Mac. Pause it anytime in Velto's menu. Password prompts and the "
            "lock screen remain yours to handle."),
        QStringLiteral("Enable desktop control"), [this] {
            try {
                window_.intents().enableDesktop();
            } catch (const std::exception& error) {
                window_.showMessage(QString::fromUtf8(error.what()));
            }
            render();
        });
}

void ConnectionPage::stopDesktop() {
    try {
        window_.intents().stopDesktop();
    } catch (const std::exception& error) {
        window_.showMessage(QString::fromUtf8(error.what()));
    }
    render();
}

void ConnectionPage::desktopAccessibility() {
    window_.confirm(this, QStringLiteral("Allow Velto to use Accessibility?"),
                    QStringLiteral("This lets Velto inspect buttons and fields and perform "
                                   "approved desktop interactions. macOS will ask you to "
                                   "enable Velto in Privacy & Security → Accessibility."),
                    QStringLiteral("Continue"), [this] {
                        window_.intents().requestAccessibility();
                        render();
                    });
}

void ConnectionPage::desktopScreenPermission() {
    window_.confirm(this, QStringLiteral("Allow window images?"),
                    QStringLiteral("Optional: desktop observations can include an image of the "
                                   "active app window. It is sent through the relay to the "
                                   "assistant, not saved in Velto's log. macOS requires "
                                   "Screen Recording permission."),
                    QStringLiteral("Continue"), [this] {
                        window_.services().platform.screenCapture.request();
                        render();
                    });
}

void ConnectionPage::copyPhoneLink(bool withMessage) {
    const std::optional<QString> dashboard = dashboardAddress();
    if (!dashboard) {
        return;
    }
    const QString text =
        withMessage ? QString::fromUtf8(shareText) + u'\n' + *dashboard : *dashboard;
    if (!window_.services().prompts.copy(text)) {
        window_.showMessage(QStringLiteral("Couldn’t copy — try again"));
    }
}

void ConnectionPage::mailPhoneLink() {
    const std::optional<QString> dashboard = dashboardAddress();
    if (!dashboard) {
        return;
    }
    QUrl mail(QStringLiteral("mailto:"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("subject"), QStringLiteral("Velto"));
    query.addQueryItem(QStringLiteral("body"), QString::fromUtf8(shareText) + u'\n' + *dashboard);
    mail.setQuery(query);
    window_.services().prompts.openInBrowser(mail.toString(QUrl::FullyEncoded).toStdString());
}

void ConnectionPage::saveRelay() {
    Agent* agent = window_.agent();
    if (agent->online() || agent->hasSocket() || agent->pairing()) {
        window_.showMessage(QStringLiteral("Disconnect before changing the service address."));
        return;
    }
    QString normalized;
    try {
        normalized =
            RelayOrigin::origin(relay_->text().trimmed().toStdString()).toString(QUrl::RemovePath);
    } catch (const ContractError&) {
        window_.showMessage(QStringLiteral("Enter a valid HTTPS service address."));
        return;
    }
    try {
        window_.services().platform.defaults.setString("relay", normalized.toStdString());
    } catch (const std::exception& error) {
        window_.showMessage(QString::fromUtf8(error.what()));
        return;
    }
    window_.intents().setRelay(normalized.toStdString());
    relay_->setText(normalized);
    window_.showMessage(QStringLiteral("Service saved. You can connect now."));
}

void ConnectionPage::revoke() {
    window_.confirm(this, QStringLiteral("Disconnect this Mac?"),
                    QStringLiteral("Remote commands will stop. If you are offline, you must "
                                   "also revoke in the dashboard."),
                    QStringLiteral("Revoke pairing"), [this] { window_.intents().revoke(); });
}

} // namespace corvane
