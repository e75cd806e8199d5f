#include "actions/CheckedPrompts.h"

namespace corvane {

QCoro::Task<UserPrompts::Answer> CheckedPrompts::alert(std::string message,
                                                       std::string informativeText,
                                                       std::string firstButton,
                                                       std::string secondButton) {
    // Copied first: the check is what tells whether anything of the command's is still there.
    const std::function<void()> check = check_;
    const Answer answer = co_await prompts_.alert(std::move(message), std::move(informativeText),
                                                  std::move(firstButton), std::move(secondButton));
    check();
    co_return answer;
}

} // namespace corvane
