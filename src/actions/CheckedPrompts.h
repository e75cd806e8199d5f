#pragma once

#include "platform/UserPrompts.h"

#include <functional>

namespace corvane {

// The person's prompts as one command sees them: every answer is followed by `check`, which
// throws when the command may no longer run (its session ended, a revocation or suspension came,
// the screen locked while the person was answering), so that nothing the command does after the
// answer runs on a state it was never admitted to. The rest goes to `prompts` unchanged. Lives as
// long as the command; main thread only.
class CheckedPrompts final : public UserPrompts {
public:
    CheckedPrompts(UserPrompts& prompts, std::function<void()> check)
        : prompts_(prompts)
        , check_(std::move(check)) {}

    QCoro::Task<Answer> alert(std::string message, std::string informativeText,
                              std::string firstButton, std::string secondButton) override;
    void setPasteboardText(const std::string& text) override { prompts_.setPasteboardText(text); }
    bool openInBrowser(const std::string& url) override { return prompts_.openInBrowser(url); }

private:
    UserPrompts& prompts_;
    std::function<void()> check_;
};

} // namespace corvane
