#pragma once

#include <QString>

namespace corvane {

// The text a person pastes into the assistant so that it sets the product up for them.
class SetupPrompt {
public:
    static QString text(const QString& website, const QString& dashboard);
};

} // namespace corvane
