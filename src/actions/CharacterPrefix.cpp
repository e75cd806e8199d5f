#include "actions/CharacterPrefix.h"

#include <QString>
#include <QTextBoundaryFinder>

#include <algorithm>

namespace corvane {

namespace {

bool isASCII(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

} // namespace

std::string characterPrefix(std::string_view utf8, std::size_t count) {
    // ASCII without CR: every byte is its own cluster (CR LF is the one ASCII pair that joins).
    if (isASCII(utf8) && utf8.find('\r') == std::string_view::npos) {
        return std::string(utf8.substr(0, count));
    }
    const QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (std::size_t taken = 0; taken < count; ++taken) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0) {
            end = text.size();
            break;
        }
        end = next;
    }
    return text.left(end).toStdString();
}

std::size_t characterCount(std::string_view utf8, std::size_t limit) {
    if (isASCII(utf8) && utf8.find('\r') == std::string_view::npos) {
        return std::min(utf8.size(), limit + 1);
    }
    const QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    std::size_t count = 0;
    while (count <= limit && finder.toNextBoundary() >= 0) {
        ++count;
    }
    return count;
}

} // namespace corvane
