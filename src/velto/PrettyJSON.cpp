#include "velto/PrettyJSON.h"

#include <QChar>
#include <QList>
#include <QString>

#include <cstdint>
#include <cstdio>

namespace corvane {

namespace {

constexpr int indentStep = 2;

bool escaped(char32_t c) {
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

void appendUnit(std::string& out, std::uint16_t unit) {
    char text[8];
    std::snprintf(text, sizeof text, "\\u%04x", unit);
    out += text;
}

// A string in the writer's form, then "\/" back to "/" and the risky characters above U+007F
// (the writer already escapes those below it) as \u escapes.
void appendString(std::string& out, const std::string& value) {
    const std::string written = JSON(value).data();
    std::string plain;
    for (std::size_t i = 0; i < written.size(); ++i) {
        if (written[i] == '\\' && i + 1 < written.size()) {
            if (written[i + 1] != '/') {
                plain += '\\';
            }
            plain += written[++i];
        } else {
            plain += written[i];
        }
    }
    const QString decoded = QString::fromStdString(plain);
    for (const char32_t c : decoded.toUcs4()) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (!escaped(c)) {
            out += QString::fromUcs4(&c, 1).toStdString();
        } else if (c > 0xffff) {
            appendUnit(out, static_cast<std::uint16_t>(0xd800 + ((c - 0x10000) >> 10)));
            appendUnit(out, static_cast<std::uint16_t>(0xdc00 + ((c - 0x10000) & 0x3ff)));
        } else {
            appendUnit(out, static_cast<std::uint16_t>(c));
        }
    }
}

void appendValue(std::string& out, const JSON& value, int depth) {
    const std::string indent(static_cast<std::size_t>((depth + 1) * indentStep), ' ');
    const std::string closing(static_cast<std::size_t>(depth * indentStep), ' ');
    if (const JSON::Object* object = value.object()) {
        if (object->empty()) {
            out += "{}";
            return;
        }
        out += "{\n";
        bool first = true;
        for (const auto& [key, member] : *object) {
            out += first ? "" : ",\n";
            first = false;
            out += indent;
            appendString(out, key);
            out += ": ";
            appendValue(out, member, depth + 1);
        }
        out += "\n" + closing + "}";
    } else if (const JSON::Array* array = value.array()) {
        if (array->empty()) {
            out += "[]";
            return;
        }
        out += "[\n";
        bool first = true;
        for (const JSON& element : *array) {
            out += first ? "" : ",\n";
            first = false;
            out += indent;
            appendValue(out, element, depth + 1);
        }
        out += "\n" + closing + "]";
    } else if (const std::string* string = value.string()) {
        appendString(out, *string);
    } else {
        out += value.data();
    }
}

} // namespace

std::string PrettyJSON::text(const JSON& value) {
    std::string out;
    appendValue(out, value, 0);
    return out;
}

std::string PrettyJSON::fromBytes(std::string_view bytes) {
    try {
        return text(JSON::parse(bytes));
    } catch (const std::exception&) {
        return std::string(bytes);
    }
}

} // namespace corvane
