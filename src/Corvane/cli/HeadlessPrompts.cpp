#include "Corvane/cli/HeadlessPrompts.h"

namespace corvane {

HeadlessPrompts::HeadlessPrompts(UserPrompts& platform, Report report)
    : platform_(platform)
    , report_(std::move(report)) {}

UserPrompts::Answer HeadlessPrompts::alert(const std::string& message, const std::string&,
                                           const std::string&, const std::string& secondButton) {
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
