#pragma once

#include "platform/UserPrompts.h"

#include <QString>

namespace corvane {

// The person's prompts when a window is there: alerts are application-modal message boxes, shown
// and awaited without a nested event loop (the agent keeps serving while one is open); copied text
// goes to the desktop's clipboard (and to the platform's pasteboard, so the simulated computer sees
// it too); pages open in the browser through the platform.
class WindowPrompts final : public UserPrompts {
public:
    explicit WindowPrompts(UserPrompts& platform)
        : platform_(platform) {}

    QCoro::Task<Answer> alert(std::string message, std::string informativeText,
                              std::string firstButton, std::string secondButton) override;
    void setPasteboardText(const std::string& text) override;
    bool openInBrowser(const std::string& url) override;

    // A modal notice with one "OK" button; returns once it is shown.
    void inform(const QString& message, const QString& informativeText);
    // Copies and reads the clipboard back: false when the desktop did not take the text.
    bool copy(const QString& text);

    // The object name the alert's buttons carry ("alertFirst", "alertSecond"), so that a driver
    // finds them.
    static constexpr const char* firstButtonName = "alertFirst";
    static constexpr const char* secondButtonName = "alertSecond";

private:
    UserPrompts& platform_;
};

} // namespace corvane
