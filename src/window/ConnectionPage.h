#pragma once

#include "platform/LoginItems.h"
#include "window/Page.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <optional>

namespace corvane {

class CardView;
class MainWindow;
class PageKit;

// Pairing, the phone link, the assistant's setup prompt, start at login, desktop control and,
// under "Advanced", the relay address and revocation.
class ConnectionPage : public Page {
    Q_OBJECT

public:
    explicit ConnectionPage(MainWindow& window);

    void render() override;

    static QString loginText(LoginItems::Status status);
    // The desktop status line, first match wins.
    static QString desktopText(bool desktopWide, bool trusted, bool unlocked);
    static constexpr const char* shareText =
        "Open Velto on your phone and sign in with your Velto name and password to control your "
        "Mac.";

    void saveRelay();
    // The dashboard address, when the relay setting gives one.
    std::optional<QString> dashboardAddress() const;

private:
    void buildPairing(PageKit& kit);
    void buildPhone(PageKit& kit);
    void buildStartup(PageKit& kit);
    void buildDesktop(PageKit& kit);
    void buildAdvanced(PageKit& kit);
    void renderCertificate();
    void toggleStartAtLogin();
    void enableDesktop();
    void stopDesktop();
    void desktopAccessibility();
    void desktopScreenPermission();
    void copyPhoneLink(bool withMessage);
    void mailPhoneLink();
    void revoke();

    MainWindow& window_;
    QVBoxLayout* stack_ = nullptr;
    QPushButton* connectButton_ = nullptr;
    QLabel* connection_ = nullptr;
    QWidget* certificate_ = nullptr;
    QLabel* certificateText_ = nullptr;
    QPushButton* trustButton_ = nullptr;
    QLabel* phoneHint_ = nullptr;
    QLabel* phoneCaption_ = nullptr;
    QPushButton* enableDesktopButton_ = nullptr;
    QPushButton* pauseDesktopButton_ = nullptr;
    QWidget* pairingActions_ = nullptr;
    QLabel* codeLabel_ = nullptr;
    QPushButton* copyPairingButton_ = nullptr;
    QPushButton* pairingHelpButton_ = nullptr;
    QWidget* pairingFallback_ = nullptr;
    QLabel* pairingQR_ = nullptr;
    QString pairingQRText_;
    QLabel* phoneQR_ = nullptr;
    QString phoneQRText_;
    QList<QWidget*> phoneControls_;
    QCheckBox* loginToggle_ = nullptr;
    QLabel* loginStatus_ = nullptr;
    QLabel* desktopStatus_ = nullptr;
    CardView* advancedView_ = nullptr;
    QLineEdit* relay_ = nullptr;
};

} // namespace corvane
