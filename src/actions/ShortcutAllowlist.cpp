#include "actions/ShortcutAllowlist.h"

#include "core/ContractError.h"

#include <QChar>
#include <QList>
#include <QString>
#include <QStringDecoder>

#include <algorithm>

namespace corvane {

bool ShortcutAllowlist::allows(std::string_view name) const noexcept {
    return std::find(names_.begin(), names_.end(), name) != names_.end();
}

void ShortcutAllowlist::add(const std::string& name) {
    if (!isValidName(name)) {
        throw ContractError("invalid_shortcut_name");
    }
    if (!allows(name)) {
        names_.push_back(name);
    }
}

void ShortcutAllowlist::remove(std::string_view name) {
    std::erase_if(names_, [name](const std::string& entry) { return entry == name; });
}

bool ShortcutAllowlist::isValidName(std::string_view name) {
    if (name.empty()) {
        return false;
    }
    // Malformed UTF-8 would be decoded with replacement characters: a name that is not the one
    // the person typed. A leading byte order mark is kept, to be refused as a format character.
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless |
                                                       QStringConverter::Flag::ConvertInitialBom);
    const QString text = decoder.decode(QByteArrayView(name.data(), qsizetype(name.size())));
    if (decoder.hasError()) {
        return false;
    }
    std::size_t scalars = 0;
    for (const char32_t c : text.toUcs4()) {
        if (++scalars > maxNameLength) {
            return false;
        }
        const QChar::Category category = QChar::category(c);
        if (category == QChar::Other_Control || category == QChar::Other_Format ||
            category == QChar::Separator_Line || category == QChar::Separator_Paragraph) {
            return false;
        }
    }
    return true;
}

} // namespace corvane
