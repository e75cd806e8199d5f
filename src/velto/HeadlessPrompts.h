#pragma once

#include "platform/UserPrompts.h"

#include <functional>
#include <string>

namespace corvane {

// The person's side of a headless run: nobody is there to answer, so every alert takes its second
// button (the "Cancel" of a confirmation or an explanation) and is reported; an address to open
// in the browser (the pairing link) is reported too, then handed to the platform, whose pasteboard
// and browser these stay.
class HeadlessPrompts final : public UserPrompts {
public:
    using Report = std::function<void(const std::string& line)>;

    HeadlessPrompts(UserPrompts& platform, Report report);

    QCoro::Task<Answer> alert(std::string message, std::string informativeText,
                              std::string firstButton, std::string secondButton) override;
    void setPasteboardText(const std::string& text) override;
    bool openInBrowser(const std::string& url) override;

private:
    Answer answer(const std::string& message, const std::string& secondButton);

    UserPrompts& platform_;
    Report report_;
};

} // namespace corvane
