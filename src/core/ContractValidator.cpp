#include "core/ContractValidator.h"

#include "core/ContractError.h"
#include "core/Uuid.h"
#include "core/WireTime.h"

#include <QFile>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace corvane {

namespace {

constexpr std::array<std::string_view, 24> keywords{
    "$schema",   "$id",        "$defs",    "$ref",
    "type",      "properties", "required", "additionalProperties",
    "oneOf",     "anyOf",      "enum",     "const",
    "items",     "minItems",   "maxItems", "uniqueItems",
    "minLength", "maxLength",  "minimum",  "maximum",
    "pattern",   "format",     "default",  "description"};

constexpr std::array<std::string_view, 3> formats{"uuid", "date-time", "uri"};

constexpr std::string_view refPrefix = "#/$defs/";

// Longest run of "$ref"s that a document may chain without moving on to a member or element.
// Such a run re-tests the same value, so a loop in it would never end; longer runs are refused.
constexpr int maxRefChain = 32;

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& list, std::string_view item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

QString qstring(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Depth-first over every nested schema, in a fixed order, so that the first fault found is the
// same one on every run. Collects (and compiles) the patterns on the way.
void checkVocabulary(const JSON& node, int depth,
                     std::map<std::string, QRegularExpression, std::less<>>& patterns) {
    const JSON::Object* object = node.object();
    if (object == nullptr || depth > JSON::maxDepth) {
        throw ContractError("invalid_schema");
    }
    for (const auto& member : *object) {
        if (!contains(keywords, member.first)) {
            throw ContractError("unsupported_schema_keyword");
        }
    }
    for (const std::string_view key : {"$defs", "properties"}) {
        if (const JSON* map = node.find(key); map != nullptr && map->isObject()) {
            for (const auto& member : *map->object()) {
                checkVocabulary(member.second, depth + 1, patterns);
            }
        }
    }
    for (const std::string_view key : {"oneOf", "anyOf"}) {
        if (const JSON* list = node.find(key); list != nullptr && list->isArray()) {
            for (const JSON& branch : *list->array()) {
                checkVocabulary(branch, depth + 1, patterns);
            }
        }
    }
    if (const JSON* items = node.find("items")) {
        checkVocabulary(*items, depth + 1, patterns);
    }
    if (const std::string* pattern = node.stringMember("pattern");
        pattern != nullptr && !patterns.contains(*pattern)) {
        QRegularExpression expression(qstring(*pattern));
        // Compiled now, so that matching from several threads only reads it.
        expression.optimize();
        patterns.emplace(*pattern, std::move(expression));
    }
    if (const std::string* format = node.stringMember("format")) {
        if (!contains(formats, *format)) {
            throw ContractError("unsupported_schema_format");
        }
    }
}

// The model a "$ref" names, or null for a malformed reference or one that points nowhere.
const JSON* resolve(const JSON& root, std::string_view ref) {
    if (!ref.starts_with(refPrefix)) {
        return nullptr;
    }
    const JSON* defs = root.find("$defs");
    return defs == nullptr ? nullptr : defs->find(ref.substr(refPrefix.size()));
}

// The models that `schema` applies to the very value it is given: its own "$ref" and those of
// its "oneOf" and "anyOf" branches, at any nesting. "properties" and "items" move on to a member
// or element and so are not followed.
void sameValueRefs(const JSON& root, const JSON& schema, std::vector<const JSON*>& out) {
    if (const std::string* ref = schema.stringMember("$ref")) {
        if (const JSON* target = resolve(root, *ref)) {
            out.push_back(target);
        }
    }
    for (const std::string_view key : {"oneOf", "anyOf"}) {
        if (const JSON* list = schema.find(key); list != nullptr && list->isArray()) {
            for (const JSON& branch : *list->array()) {
                sameValueRefs(root, branch, out);
            }
        }
    }
}

// Longest same-value "$ref" run starting at `model`; throws "invalid_schema" for a loop or a
// run longer than maxRefChain. Results are kept per model, so every model is walked once.
int refChain(const JSON& root, const JSON* model, std::map<const JSON*, int>& known, int depth) {
    constexpr int onPath = -1;
    if (const auto it = known.find(model); it != known.end()) {
        if (it->second == onPath) {
            throw ContractError("invalid_schema");
        }
        return it->second;
    }
    if (depth > maxRefChain) {
        throw ContractError("invalid_schema");
    }
    known[model] = onPath;
    std::vector<const JSON*> targets;
    sameValueRefs(root, *model, targets);
    int longest = 0;
    for (const JSON* target : targets) {
        longest = std::max(longest, 1 + refChain(root, target, known, depth + 1));
    }
    if (longest > maxRefChain) {
        throw ContractError("invalid_schema");
    }
    known[model] = longest;
    return longest;
}

// Strings hold UTF-8: every byte that does not continue a sequence starts one scalar value.
double scalarCount(const std::string& text) {
    return static_cast<double>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

bool isUri(const std::string& text) {
    const QString value = qstring(text);
    if (std::any_of(value.begin(), value.end(), [](QChar c) { return c.isSpace(); })) {
        return false;
    }
    const QUrl url(value, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty()) {
        return false;
    }
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https")) {
        return !url.host().isEmpty();
    }
    return true;
}

bool hasFormat(const std::string& format, const std::string& value) {
    if (format == "uuid") {
        return Uuid::isCanonical(value);
    }
    if (format == "date-time") {
        return WireTime::parse(value).has_value();
    }
    if (format == "uri") {
        return isUri(value);
    }
    return false;
}

// Consistent with operator==: equal values hash alike (strings by their canonical decomposition,
// -0 like 0), so that uniqueness is checked in one pass instead of by comparing every pair.
std::size_t equalityHash(const JSON& value) {
    const auto mix = [](std::size_t seed, std::size_t hash) {
        return seed ^ (hash + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
    };
    switch (value.kind()) {
    case JSON::Kind::Object: {
        std::size_t seed = 1;
        for (const auto& [key, member] : *value.object()) {
            seed = mix(mix(seed, equalityHash(JSON(key))), equalityHash(member));
        }
        return seed;
    }
    case JSON::Kind::Array: {
        std::size_t seed = 2;
        for (const JSON& element : *value.array()) {
            seed = mix(seed, equalityHash(element));
        }
        return seed;
    }
    case JSON::Kind::String: {
        const std::string& text = *value.string();
        if (std::all_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
            return mix(3, std::hash<std::string>{}(text));
        }
        return mix(3, std::hash<std::string>{}(
                          qstring(text).normalized(QString::NormalizationForm_D).toStdString()));
    }
    case JSON::Kind::Number: {
        const double number = *value.number();
        return mix(4, std::hash<double>{}(number == 0 ? 0.0 : number));
    }
    case JSON::Kind::Bool:
        return mix(5, value.isTrue() ? 1 : 0);
    case JSON::Kind::Null:
        return 6;
    }
    return 0;
}

bool allUnique(const JSON::Array& elements) {
    const auto hash = [](const JSON* value) {
        return equalityHash(*value);
    };
    const auto equal = [](const JSON* a, const JSON* b) {
        return *a == *b;
    };
    std::unordered_set<const JSON*, decltype(hash), decltype(equal)> seen(elements.size(), hash,
                                                                          equal);
    for (const JSON& element : elements) {
        if (!seen.insert(&element).second) {
            return false;
        }
    }
    return true;
}

bool hasType(std::string_view type, const JSON& value) {
    switch (value.kind()) {
    case JSON::Kind::Object:
        return type == "object";
    case JSON::Kind::Array:
        return type == "array";
    case JSON::Kind::String:
        return type == "string";
    case JSON::Kind::Number: {
        const double number = *value.number();
        return type == "number" ||
               (type == "integer" && std::isfinite(number) && std::trunc(number) == number);
    }
    case JSON::Kind::Bool:
        return type == "boolean";
    case JSON::Kind::Null:
        return type == "null";
    }
    return false;
}

std::optional<double> numberMember(const JSON& schema, std::string_view key) {
    const JSON* member = schema.find(key);
    return member == nullptr ? std::nullopt : member->number();
}

} // namespace

ContractValidator::ContractValidator(const QString& path)
    : ContractValidator([&path] {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            throw ContractFileError("cannot open the contract document " + path.toStdString() +
                                    ": " + file.errorString().toStdString());
        }
        const QByteArray bytes = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            throw ContractFileError("cannot read the contract document " + path.toStdString() +
                                    ": " + file.errorString().toStdString());
        }
        return check(JSON::parse(std::string_view(bytes.constData(), bytes.size())));
    }()) {}

ContractValidator ContractValidator::fromData(std::string_view bytes) {
    return ContractValidator(check(JSON::parse(bytes)));
}

ContractValidator ContractValidator::fromJSON(JSON root) {
    return ContractValidator(check(std::move(root)));
}

ContractValidator::Checked ContractValidator::check(JSON root) {
    Patterns patterns;
    checkVocabulary(root, 0, patterns);
    if (const JSON* defs = root.find("$defs"); defs != nullptr && defs->isObject()) {
        std::map<const JSON*, int> known;
        for (const auto& model : *defs->object()) {
            refChain(root, &model.second, known, 0);
        }
    }
    return Checked{std::move(root), std::move(patterns)};
}

// Searched anywhere in the value: the document writes its own anchors. A pattern that does not
// compile matches nothing, so a broken document refuses rather than lets values through.
bool ContractValidator::containsPattern(const std::string& pattern,
                                        const std::string& value) const {
    const auto found = patterns_.find(pattern);
    if (found == patterns_.end()) {
        // Every pattern of the document was compiled when it was read; this is only a fallback.
        const QRegularExpression expression(qstring(pattern));
        return expression.isValid() && expression.match(qstring(value)).hasMatch();
    }
    return found->second.isValid() && found->second.match(qstring(value)).hasMatch();
}

void ContractValidator::validate(std::string_view name, const JSON& value) const {
    const JSON* defs = root_.find("$defs");
    const JSON* model = defs == nullptr ? nullptr : defs->find(name);
    if (model == nullptr) {
        throw ContractError("unknown_model");
    }
    if (!matches(*model, value, 0)) {
        throw ContractError("invalid_message");
    }
}

bool ContractValidator::matches(const JSON& schema, const JSON& value, int depth) const {
    // Values nested deeper than any read value can be are refused rather than walked.
    if (depth > JSON::maxDepth) {
        return false;
    }
    const JSON::Object* rules = schema.object();
    if (rules == nullptr || rules->empty()) {
        return true;
    }
    if (const std::string* ref = schema.stringMember("$ref")) {
        const JSON* target = resolve(root_, *ref);
        if (target == nullptr || !matches(*target, value, depth)) {
            return false;
        }
    }
    if (const JSON* oneOf = schema.find("oneOf"); oneOf != nullptr && oneOf->isArray()) {
        int matched = 0;
        for (const JSON& branch : *oneOf->array()) {
            if (matches(branch, value, depth) && ++matched > 1) {
                break;
            }
        }
        if (matched != 1) {
            return false;
        }
    }
    if (const JSON* anyOf = schema.find("anyOf"); anyOf != nullptr && anyOf->isArray()) {
        const JSON::Array& branches = *anyOf->array();
        if (std::none_of(branches.begin(), branches.end(),
                         [&](const JSON& branch) { return matches(branch, value, depth); })) {
            return false;
        }
    }
    if (const JSON* constant = schema.find("const"); constant != nullptr && !(value == *constant)) {
        return false;
    }
    if (const JSON* options = schema.find("enum"); options != nullptr && options->isArray()) {
        const JSON::Array& list = *options->array();
        if (std::none_of(list.begin(), list.end(),
                         [&](const JSON& option) { return value == option; })) {
            return false;
        }
    }
    if (const std::string* type = schema.stringMember("type");
        type != nullptr && !hasType(*type, value)) {
        return false;
    }

    switch (value.kind()) {
    case JSON::Kind::Array: {
        const JSON::Array& elements = *value.array();
        const auto count = static_cast<double>(elements.size());
        if (const auto min = numberMember(schema, "minItems"); min && count < *min) {
            return false;
        }
        if (const auto max = numberMember(schema, "maxItems"); max && count > *max) {
            return false;
        }
        if (const JSON* items = schema.find("items")) {
            for (const JSON& element : elements) {
                if (!matches(*items, element, depth + 1)) {
                    return false;
                }
            }
        }
        if (const JSON* unique = schema.find("uniqueItems");
            unique != nullptr && unique->isTrue() && !allUnique(elements)) {
            return false;
        }
        return true;
    }
    case JSON::Kind::Object:
        return matchesObject(schema, *value.object(), depth);
    case JSON::Kind::Number: {
        const double number = *value.number();
        if (const auto min = numberMember(schema, "minimum"); min && number < *min) {
            return false;
        }
        if (const auto max = numberMember(schema, "maximum"); max && number > *max) {
            return false;
        }
        return true;
    }
    case JSON::Kind::String: {
        const std::string& text = *value.string();
        if (const auto min = numberMember(schema, "minLength"); min && scalarCount(text) < *min) {
            return false;
        }
        if (const auto max = numberMember(schema, "maxLength"); max && scalarCount(text) > *max) {
            return false;
        }
        if (const std::string* pattern = schema.stringMember("pattern");
            pattern != nullptr && !containsPattern(*pattern, text)) {
            return false;
        }
        if (const std::string* format = schema.stringMember("format");
            format != nullptr && !hasFormat(*format, text)) {
            return false;
        }
        return true;
    }
    case JSON::Kind::Bool:
    case JSON::Kind::Null:
        return true;
    }
    return false;
}

bool ContractValidator::matchesObject(const JSON& schema, const JSON::Object& object,
                                      int depth) const {
    const JSON* propertiesMember = schema.find("properties");
    const JSON::Object* properties =
        propertiesMember == nullptr ? nullptr : propertiesMember->object();
    if (const JSON* additional = schema.find("additionalProperties");
        additional != nullptr && additional->isBool() && !additional->isTrue()) {
        for (const auto& member : object) {
            if (properties == nullptr || !properties->contains(member.first)) {
                return false;
            }
        }
    }
    if (const JSON* required = schema.find("required");
        required != nullptr && required->isArray()) {
        for (const JSON& name : *required->array()) {
            const std::string* key = name.string();
            if (key == nullptr || !object.contains(*key)) {
                return false;
            }
        }
    }
    if (properties == nullptr) {
        return true;
    }
    for (const auto& [key, propertySchema] : *properties) {
        if (const auto it = object.find(key);
            it != object.end() && !matches(propertySchema, it->second, depth + 1)) {
            return false;
        }
    }
    return true;
}

} // namespace corvane
