#include "velto/HeadlessPrompts.h"

namespace corvane {

HeadlessPrompts::HeadlessPrompts(UserPrompts& platform, Report report)
    : platform_(platform)
    , report_(std::move(report)) {}

QCoro::Task<UserPrompts::Answer> HeadlessPrompts::alert(std::string message, std::string,
                                                        std::string, std::string secondButton) {
    co_return answer(message, secondButton);
}

UserPrompts::Answer HeadlessPrompts::answer(const std::string& message,
                                            const std::string& secondButton) {
    if (report_) {
        report_("alert: \u201c" + message + "\u201d \u2192 " + secondButton);
    }
    return Answer::Second;
}

void HeadlessPrompts::setPasteboardText(const std::string& text) {
    platform_.setPasteboardText(text);
}

bool HeadlessPrompts::openInBrowser(const std::string& url) {
    // Nobody looks at a browser here: the address (the pairing link, the dashboard) is printed.
    if (report_) {
        report_("open in browser: " + url);
    }
    return platform_.openInBrowser(url);
}

} // namespace corvane
