#pragma once

#include "core/JSON.h"

#include <QRegularExpression>
#include <QString>

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace corvane {

// Raised when the contract document cannot be read from its file. Not a ContractError: the
// caller decides what a missing or unreadable document means for it.
class ContractFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Tests values against the named models of the command contract, a JSON Schema document that
// uses a small fixed subset of keywords and formats. The matching engine is our own and applies
// the keywords in one fixed order. Immutable after construction: any number of threads may call
// validate at once.
class ContractValidator {
public:
    // Reads the document at `path`. Throws ContractFileError when the file cannot be read,
    // JSONReadError when it is not JSON, and ContractError "invalid_schema",
    // "unsupported_schema_keyword" or "unsupported_schema_format" when it leaves the subset.
    explicit ContractValidator(const QString& path);

    // The same checks for a document given as bytes or as a value.
    static ContractValidator fromData(std::string_view bytes);
    static ContractValidator fromJSON(JSON root);

    // Succeeds silently, or throws ContractError "unknown_model" when the document defines no
    // model `name`, or "invalid_message" when `value` does not match it.
    void validate(std::string_view name, const JSON& value) const;

    const JSON& root() const noexcept { return root_; }

private:
    using Patterns = std::map<std::string, QRegularExpression, std::less<>>;
    struct Checked {
        JSON root;
        Patterns patterns;
    };
    explicit ContractValidator(Checked checked) noexcept
        : root_(std::move(checked.root))
        , patterns_(std::move(checked.patterns)) {}
    static Checked check(JSON root);

    bool matches(const JSON& schema, const JSON& value, int depth) const;
    bool matchesObject(const JSON& schema, const JSON::Object& object, int depth) const;
    bool containsPattern(const std::string& pattern, const std::string& value) const;

    JSON root_;
    // Every "pattern" of the document, compiled once: compiling per check dominated the relay.
    Patterns patterns_;
};

} // namespace corvane
