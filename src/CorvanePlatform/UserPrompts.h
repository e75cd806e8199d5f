#pragma once

#include <string>

namespace corvane {

// What the agent asks of or hands to the person at the computer.
class UserPrompts {
public:
    virtual ~UserPrompts() = default;

    enum class Answer { First, Second };
    // A modal alert with two buttons; returns which one was chosen.
    virtual Answer alert(const std::string& message, const std::string& informativeText,
                         const std::string& firstButton, const std::string& secondButton) = 0;
    virtual void setPasteboardText(const std::string& text) = 0;
    // Opens the URL in the default browser; false when that fails.
    virtual bool openInBrowser(const std::string& url) = 0;
};

} // namespace corvane
