#include "sim/SimUserPrompts.h"

#include "sim/SimModel.h"

namespace corvane {

QCoro::Task<UserPrompts::Answer> SimUserPrompts::alert(std::string message,
                                                       std::string informativeText,
                                                       std::string firstButton,
                                                       std::string secondButton) {
    co_return answer(message, informativeText, firstButton, secondButton);
}

UserPrompts::Answer SimUserPrompts::answer(const std::string& message,
                                           const std::string& informativeText,
                                           const std::string& firstButton,
                                           const std::string& secondButton) {
    const std::string answer = model_.with([&](SimParts& mac) {
        JSON answers = mac.settings.get({"prompts", "answers"});
        std::string given = mac.settings.text({"prompts", "default_answer"});
        if (!answers.array()->empty()) {
            given = *answers.array()->front().string();
            answers.array()->erase(answers.array()->begin());
            mac.settings.put({"prompts", "answers"}, std::move(answers));
        }
        mac.record.record("alert",
                          {{"message", JSON(message)},
                           {"informative_text", JSON(informativeText)},
                           {"buttons", JSON(JSON::Array{JSON(firstButton), JSON(secondButton)})},
                           {"answer", JSON(given)}});
        return given;
    });
    return answer == "second" ? Answer::Second : Answer::First;
}

void SimUserPrompts::setPasteboardText(const std::string& text) {
    model_.with([&](SimParts& mac) {
        mac.settings.put({"pasteboard"}, JSON(text));
        mac.record.record("pasteboard", {{"text", JSON(text)}});
    });
}

bool SimUserPrompts::openInBrowser(const std::string& url) {
    return model_.with([&](SimParts& mac) {
        const bool opened = !mac.settings.flag({"prompts", "browser_fails"});
        mac.record.record("open_in_browser", {{"url", JSON(url)}, {"opened", JSON(opened)}});
        return opened;
    });
}

} // namespace corvane
