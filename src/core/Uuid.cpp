#include "core/Uuid.h"

#include <QUuid>

namespace corvane::Uuid {

bool isCanonical(std::string_view text) noexcept {
    if (text.size() != 36) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') {
                return false;
            }
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

std::string make() {
    // QUuid draws version-4 UUIDs from the system's secure random source; its text is lower-case.
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
}

} // namespace corvane::Uuid
