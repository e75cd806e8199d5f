#pragma once

#include <qcoro/qcorotask.h>

#include <string>

namespace corvane {

// What the agent asks of or hands to the person at the computer. Main thread only.
//
// An alert is awaitable: a person answers in their own time and the agent goes on serving (the
// relay session, revocation, other commands) meanwhile, with no nested event loop. Whoever awaits
// an answer re-checks, once it comes, whatever may have changed in between.
class UserPrompts {
public:
    virtual ~UserPrompts() = default;

    enum class Answer { First, Second };
    // An alert with two buttons; completes with the one chosen.
    virtual QCoro::Task<Answer> alert(std::string message, std::string informativeText,
                                      std::string firstButton, std::string secondButton) = 0;
    virtual void setPasteboardText(const std::string& text) = 0;
    // Opens the URL in the default browser; false when that fails.
    virtual bool openInBrowser(const std::string& url) = 0;
};

} // namespace corvane
