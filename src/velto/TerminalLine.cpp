#include "velto/TerminalLine.h"

#include <QChar>
#include <QList>
#include <QString>

#include <cstdio>
#include <string>
#include <vector>

namespace corvane {

namespace {

bool shownAsEscape(char32_t c) {
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return c == U'\\';
    }
}

std::u32string escape(char32_t c) {
    switch (c) {
    case U'\\':
        return U"\\\\";
    case U'\n':
        return U"\\n";
    case U'\r':
        return U"\\r";
    case U'\t':
        return U"\\t";
    default:
        break;
    }
    char text[12];
    if (c < 0x80) {
        std::snprintf(text, sizeof text, "\\x%02x", static_cast<unsigned>(c));
    } else if (c <= 0xffff) {
        std::snprintf(text, sizeof text, "\\u%04x", static_cast<unsigned>(c));
    } else {
        std::snprintf(text, sizeof text, "\\U%08x", static_cast<unsigned>(c));
    }
    return std::u32string(text, text + std::char_traits<char>::length(text));
}

} // namespace

std::string TerminalLine::printable(std::string_view text) {
    const QString decoded = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    std::u32string line;
    // Where each character's printed form ends, so that a cut never splits an escape.
    std::vector<std::size_t> ends;
    bool cut = false;
    for (const char32_t c : decoded.toUcs4()) {
        const std::u32string piece = shownAsEscape(c) ? escape(c) : std::u32string(1, c);
        if (line.size() + piece.size() > maxCharacters) {
            cut = true;
            break;
        }
        line += piece;
        ends.push_back(line.size());
    }
    if (cut) {
        while (!ends.empty() && ends.back() > maxCharacters - 1) {
            ends.pop_back();
        }
        line.resize(ends.empty() ? 0 : ends.back());
        line += U'\u2026';
    }
    return QString::fromUcs4(line.data(), static_cast<qsizetype>(line.size())).toStdString();
}

} // namespace corvane
