#pragma once

#include "platform/UserPrompts.h"

namespace corvane {

// The desktop's own ways of handing things to the person when the program has none of its own:
// no alert can be shown from here (the answer is the second button, the safe one), the clipboard
// belongs to the window, and links open with xdg-open, started without waiting for it.
class DesktopUserPrompts final : public UserPrompts {
public:
    QCoro::Task<Answer> alert(std::string, std::string, std::string, std::string) override;
    void setPasteboardText(const std::string&) override {}
    bool openInBrowser(const std::string& url) override;
};

} // namespace corvane
