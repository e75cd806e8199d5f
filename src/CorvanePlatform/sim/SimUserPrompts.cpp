#include "CorvanePlatform/sim/SimUserPrompts.h"

#include "CorvanePlatform/sim/SimModel.h"

namespace corvane {

UserPrompts::Answer SimUserPrompts::alert(const std::string& message,
                                          const std::string& informativeText,
                                          const std::string& firstButton,
                                          const std::string& secondButton) {
    auto guard = model_.lock();
    JSON answers = model_.setting({"prompts", "answers"});
    std::string answer = model_.text({"prompts", "default_answer"});
    if (!answers.array()->empty()) {
        answer = *answers.array()->front().string();
        answers.array()->erase(answers.array()->begin());
        model_.put({"prompts", "answers"}, std::move(answers));
    }
    model_.record("alert", {{"message", JSON(message)},
                            {"informative_text", JSON(informativeText)},
                            {"buttons", JSON(JSON::Array{JSON(firstButton), JSON(secondButton)})},
                            {"answer", JSON(answer)}});
    return answer == "second" ? Answer::Second : Answer::First;
}

void SimUserPrompts::setPasteboardText(const std::string& text) {
    auto guard = model_.lock();
    model_.put({"pasteboard"}, JSON(text));
    model_.record("pasteboard", {{"text", JSON(text)}});
}

bool SimUserPrompts::openInBrowser(const std::string& url) {
    const bool opened = !model_.flag({"prompts", "browser_fails"});
    model_.record("open_in_browser", {{"url", JSON(url)}, {"opened", JSON(opened)}});
    return opened;
}

} // namespace corvane
