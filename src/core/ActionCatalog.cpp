#include "core/ActionCatalog.h"

#include "core/ContractError.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace corvane {

namespace {

constexpr std::size_t shownValueLimit = 40;

std::string key(std::string_view action) {
    return std::string(ActionCatalog::model) + "/" + std::string(action);
}

std::string key(std::string_view action, std::string_view part) {
    return key(action) + "/" + std::string(part);
}

std::string branchKey(std::string_view action, std::size_t branch) {
    return key(action, "anyOf/" + std::to_string(branch));
}

const JSON::Object& members(const JSON& schema, std::string_view name) {
    static const JSON::Object none;
    const JSON* found = schema.find(name);
    return found != nullptr && found->object() != nullptr ? *found->object() : none;
}

const JSON::Array& list(const JSON& schema, std::string_view name) {
    static const JSON::Array none;
    const JSON* found = schema.find(name);
    return found != nullptr && found->array() != nullptr ? *found->array() : none;
}

std::vector<std::string> requiredNames(const JSON& schema) {
    std::vector<std::string> names;
    for (const JSON& name : list(schema, "required")) {
        if (const std::string* text = name.string()) {
            names.push_back(*text);
        }
    }
    return names;
}

// A property that picks an alternative: one fixed value or a short list of them.
bool discriminates(const JSON& schema) {
    return schema.find("const") != nullptr || schema.find("enum") != nullptr;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
    std::string out;
    for (const std::string& part : parts) {
        if (!out.empty()) {
            out += separator;
        }
        out += part;
    }
    return out;
}

// A value as the person wrote it, shortened when long.
std::string shown(const JSON& value) {
    std::string text = value.data();
    if (text.size() > shownValueLimit) {
        text.resize(shownValueLimit);
        text += "…";
    }
    return text;
}

// ". The volume in percent.": a description as a sentence after the requirement, or nothing.
std::string aside(const JSON& schema) {
    const std::string* description = schema.stringMember("description");
    if (description == nullptr || description->empty() || schema.find("pattern") != nullptr) {
        return {};
    }
    return ". " + *description + (description->back() == '.' ? "" : ".");
}

// The branch's own words about a parameter laid over the parameter's schema: the type from the
// action, "minLength" from the branch.
JSON merged(const JSON& outer, const JSON& own) {
    JSON::Object members = outer.object() != nullptr ? *outer.object() : JSON::Object{};
    if (own.object() != nullptr) {
        for (const auto& [key, value] : *own.object()) {
            members[key] = value;
        }
    }
    return JSON(std::move(members));
}

// `text` broken into lines of at most `width` characters at spaces, every line after the first
// indented by `indent`.
std::string wrapped(const std::string& text, std::size_t width, std::size_t indent) {
    std::string out;
    std::size_t lineStart = 0;
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t end = text.find(' ', position);
        end = end == std::string::npos ? text.size() : end;
        const std::size_t lineLength = out.size() - lineStart;
        if (lineLength > indent && lineLength + 1 + (end - position) > width) {
            // Appended piece by piece: `"\n" + std::string&&` draws GCC 12's false -Wrestrict.
            out += '\n';
            out.append(indent, ' ');
            lineStart = out.size() - indent;
        } else if (position > 0) {
            out += ' ';
        }
        out += text.substr(position, end - position);
        position = end + 1;
    }
    return out + "\n";
}

std::string bounds(const JSON& schema, const char* low, const char* high, const char* unit) {
    const JSON* minimum = schema.find(low);
    const JSON* maximum = schema.find(high);
    const std::optional<double> from = minimum != nullptr ? minimum->number() : std::nullopt;
    const std::optional<double> to = maximum != nullptr ? maximum->number() : std::nullopt;
    if (from && to) {
        return " from " + JSON(*from).data() + " to " + JSON(*to).data() + unit;
    }
    if (from) {
        return " of at least " + JSON(*from).data() + unit;
    }
    if (to) {
        return " of at most " + JSON(*to).data() + unit;
    }
    return {};
}

// The alternative's condition in words: `operation "press" or "scroll"`.
std::string condition(const JSON& branch) {
    std::vector<std::string> parts;
    for (const auto& [name, schema] : members(branch, "properties")) {
        if (!discriminates(schema)) {
            continue;
        }
        std::vector<std::string> values;
        if (const JSON* value = schema.find("const")) {
            values.push_back(value->data());
        }
        for (const JSON& value : list(schema, "enum")) {
            values.push_back(value.data());
        }
        parts.push_back(name + " " + join(values, " or "));
    }
    return join(parts, ", ");
}

// What the alternative needs: "element_id, text (a non-empty string)".
std::string needs(const JSON& schema, const JSON& branch) {
    std::vector<std::string> parts;
    const JSON::Object& outer = members(schema, "properties");
    const JSON::Object& properties = members(branch, "properties");
    for (const std::string& name : requiredNames(branch)) {
        const auto own = properties.find(name);
        const auto base = outer.find(name);
        parts.push_back(own != properties.end() && !discriminates(own->second)
                            ? name + " (" +
                                  ActionCatalog::requirement(merged(
                                      base != outer.end() ? base->second : JSON(), own->second)) +
                                  ")"
                            : name);
    }
    return join(parts, ", ");
}

// Edit distance with adjacent transpositions, so that "stae" is one step from "state".
std::size_t distance(std::string_view a, std::string_view b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (std::size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

std::string normalised(std::string_view name) {
    std::string out;
    for (const char c : name) {
        out += c == '-' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

} // namespace

ActionCatalog ActionCatalog::load(const QString& path) {
    // The constructor checks the vocabulary; the catalog then adds its definitions to that root.
    return fromJSON(ContractValidator(path).root());
}

ActionCatalog ActionCatalog::fromJSON(JSON root) {
    const JSON* defs = root.find("$defs");
    const JSON* catalog = defs != nullptr ? defs->find(model) : nullptr;
    const JSON* actions = catalog != nullptr ? catalog->find("properties") : nullptr;
    if (actions == nullptr || !actions->isObject()) {
        throw ContractError("unknown_model");
    }
    JSON::Object extra;
    for (const auto& [action, schema] : *actions->object()) {
        extra.emplace(key(action), schema);
        for (const auto& [name, property] : members(schema, "properties")) {
            extra.emplace(key(action, name), property);
        }
        const JSON::Array& branches = list(schema, "anyOf");
        for (std::size_t i = 0; i < branches.size(); ++i) {
            extra.emplace(branchKey(action, i), branches[i]);
            for (const auto& [name, property] : members(branches[i], "properties")) {
                extra.emplace(branchKey(action, i) + "/" + name, property);
            }
        }
    }
    JSON copy = *actions;
    JSON::Object augmented = *root.object();
    JSON::Object allDefs = *defs->object();
    allDefs.merge(extra);
    augmented["$defs"] = JSON(std::move(allDefs));
    return ActionCatalog(std::move(copy), ContractValidator::fromJSON(JSON(std::move(augmented))));
}

std::vector<std::string> ActionCatalog::names() const {
    std::vector<std::string> out;
    for (const auto& member : *actions_.object()) {
        out.push_back(member.first);
    }
    return out;
}

bool ActionCatalog::matches(const std::string& name, const JSON& value) const {
    try {
        validator_.validate(name, value);
        return true;
    } catch (const ContractError&) {
        return false;
    }
}

std::string ActionCatalog::requirement(const JSON& schema) {
    // A pattern says nothing to a person; its description says what it stands for.
    const std::string* description = schema.stringMember("description");
    if (schema.find("pattern") != nullptr && description != nullptr && description->size() > 1) {
        std::string text = *description;
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
        return text.back() == '.' ? text.substr(0, text.size() - 1) : text;
    }
    if (const JSON* value = schema.find("const")) {
        return "exactly " + value->data();
    }
    if (schema.find("enum") != nullptr) {
        std::vector<std::string> values;
        for (const JSON& value : list(schema, "enum")) {
            values.push_back(value.data());
        }
        return values.size() == 1 ? "exactly " + values.front() : "one of " + join(values, ", ");
    }
    const std::string* type = schema.stringMember("type");
    if (type == nullptr) {
        return "any value";
    }
    if (*type == "string") {
        const JSON* minimum = schema.find("minLength");
        const bool nonEmpty = minimum != nullptr && minimum->number().value_or(0) >= 1;
        const JSON* maximum = schema.find("maxLength");
        return std::string(nonEmpty ? "a non-empty string" : "a string") +
               (maximum != nullptr ? bounds(schema, "", "maxLength", " characters") : "");
    }
    if (*type == "integer") {
        return "a whole number" + bounds(schema, "minimum", "maximum", "");
    }
    if (*type == "number") {
        return "a number" + bounds(schema, "minimum", "maximum", "");
    }
    if (*type == "boolean") {
        return "true or false";
    }
    if (*type == "object") {
        return "a JSON object";
    }
    if (*type == "array") {
        return "a JSON array";
    }
    return *type;
}

std::string ActionCatalog::describe() const {
    constexpr std::size_t width = 79;
    constexpr std::size_t parameterIndent = 6;
    std::string out;
    for (const auto& [action, schema] : *actions_.object()) {
        const std::string* description = schema.stringMember("description");
        out += wrapped("  " + action + (description != nullptr ? ": " + *description : ""), width,
                       parameterIndent);
        const std::vector<std::string> required = requiredNames(schema);
        for (const auto& [name, property] : members(schema, "properties")) {
            const bool needed = std::find(required.begin(), required.end(), name) != required.end();
            out += wrapped(std::string(parameterIndent - 2, ' ') + name +
                               (needed ? " (required): " : ": ") + requirement(property) +
                               aside(property),
                           width, parameterIndent + 2);
        }
        std::vector<std::string> either;
        for (const JSON& branch : list(schema, "anyOf")) {
            const std::string when = condition(branch);
            if (when.empty()) {
                either.push_back(needs(schema, branch));
            } else {
                out += wrapped(std::string(parameterIndent - 2, ' ') + "with " + when + ": needs " +
                                   needs(schema, branch),
                               width, parameterIndent + 2);
            }
        }
        if (!either.empty()) {
            out += wrapped(std::string(parameterIndent - 2, ' ') + "needs " + join(either, " or "),
                           width, parameterIndent + 2);
        }
    }
    return out;
}

std::optional<std::string> ActionCatalog::fault(std::string_view action, const JSON& params) const {
    const JSON* schema = actions_.find(action);
    if (schema == nullptr || matches(key(action), params)) {
        return std::nullopt;
    }
    const JSON::Object* given = params.object();
    if (given == nullptr) {
        return "params must be a JSON object, not " + shown(params);
    }
    const JSON::Object& properties = members(*schema, "properties");
    for (const std::string& name : requiredNames(*schema)) {
        if (given->find(name) == given->end()) {
            const auto property = properties.find(name);
            return "params." + name + " is missing" +
                   (property != properties.end()
                        ? ": it must be " + requirement(property->second) + aside(property->second)
                        : std::string());
        }
    }
    for (const auto& [name, property] : properties) {
        const auto value = given->find(name);
        if (value != given->end() && !matches(key(action, name), value->second)) {
            return "params." + name + " must be " + requirement(property) + ", not " +
                   shown(value->second) + aside(property);
        }
    }
    if (std::optional<std::string> branch = branchFault(action, *schema, *given)) {
        return branch;
    }
    return "params do not match what " + std::string(action) + " takes";
}

std::optional<std::string> ActionCatalog::branchFault(std::string_view action, const JSON& schema,
                                                      const JSON::Object& params) const {
    const JSON::Array& branches = list(schema, "anyOf");
    std::vector<std::size_t> applying;
    for (std::size_t i = 0; i < branches.size(); ++i) {
        bool applies = true;
        for (const auto& [name, property] : members(branches[i], "properties")) {
            const auto value = params.find(name);
            if (discriminates(property) &&
                (value == params.end() ||
                 !matches(branchKey(action, i) + "/" + name, value->second))) {
                applies = false;
            }
        }
        if (applies) {
            applying.push_back(i);
        }
    }
    if (applying.empty()) {
        return std::nullopt;
    }
    if (applying.size() > 1) {
        std::vector<std::string> alternatives;
        for (const std::size_t i : applying) {
            alternatives.push_back(needs(schema, branches[i]));
        }
        return "params needs " + join(alternatives, " or ");
    }
    const std::size_t i = applying.front();
    const JSON& branch = branches[i];
    const std::string cause = condition(branch);
    const std::string when = cause.empty() ? std::string() : " (with " + cause + ")";
    const JSON::Object& outer = members(schema, "properties");
    const JSON::Object& own = members(branch, "properties");
    for (const std::string& name : requiredNames(branch)) {
        if (params.find(name) == params.end()) {
            const auto property = outer.find(name);
            return "params." + name + " is missing" + when +
                   (property != outer.end()
                        ? ": it must be " + requirement(property->second) + aside(property->second)
                        : std::string());
        }
    }
    for (const auto& [name, property] : own) {
        const auto value = params.find(name);
        if (value != params.end() && !discriminates(property) &&
            !matches(branchKey(action, i) + "/" + name, value->second)) {
            const auto base = outer.find(name);
            return "params." + name + " must be " +
                   requirement(merged(base != outer.end() ? base->second : JSON(), property)) +
                   when + ", not " + shown(value->second);
        }
    }
    return std::nullopt;
}

std::optional<std::string> ActionCatalog::nearest(std::string_view name) const {
    if (actions_.find(name) != nullptr) {
        return std::nullopt;
    }
    const std::string wanted = normalised(name);
    std::optional<std::string> best;
    std::size_t bestDistance = std::max<std::size_t>(2, wanted.size() / 3) + 1;
    for (const auto& member : *actions_.object()) {
        const std::size_t d = distance(wanted, member.first);
        if (d < bestDistance) {
            bestDistance = d;
            best = member.first;
        }
    }
    return best;
}

} // namespace corvane
