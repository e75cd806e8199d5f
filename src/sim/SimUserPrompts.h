#pragma once

#include "platform/UserPrompts.h"

namespace corvane {

class SimModel;

// Alerts are answered from the scenario's queue ("prompts.answers", then "default_answer") and
// recorded; the pasteboard and opened browser pages are kept in the model.
class SimUserPrompts final : public UserPrompts {
public:
    explicit SimUserPrompts(SimModel& model)
        : model_(model) {}

    QCoro::Task<Answer> alert(std::string message, std::string informativeText,
                              std::string firstButton, std::string secondButton) override;
    void setPasteboardText(const std::string& text) override;
    bool openInBrowser(const std::string& url) override;

private:
    // Answered at once: the scenario's person never keeps the agent waiting.
    Answer answer(const std::string& message, const std::string& informativeText,
                  const std::string& firstButton, const std::string& secondButton);

    SimModel& model_;
};

} // namespace corvane
