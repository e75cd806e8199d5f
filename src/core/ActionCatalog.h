#pragma once

#include "core/ContractValidator.h"
#include "core/JSON.h"

#include <QString>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The actions and their parameters as the contract document describes them (its model
// "ActionParams"), for people at the command line: the list `velto help call` shows, which field
// of a refused command is wrong and what it must be, and the action a mistyped name was meant to
// be. The agent stays the judge of every command; this only explains its answers. Checks use the
// contract's own matching engine, so a field is judged exactly as the document says.
class ActionCatalog {
public:
    // The model that maps each action name to the schema of its parameters.
    static constexpr std::string_view model = "ActionParams";

    // Reads the document at `path`. Throws (ContractFileError, JSONReadError, ContractError) when
    // it cannot be read, and ContractError "unknown_model" when it has no such model.
    static ActionCatalog load(const QString& path);
    static ActionCatalog fromJSON(JSON root);

    // Every action name, in the document's (alphabetical) order.
    std::vector<std::string> names() const;

    // The schema of an action's parameters as the document writes it; null for an unknown action.
    const JSON* parameters(std::string_view action) const { return actions_.find(action); }

    // The actions, one paragraph each: what it does, then each parameter with what it must be,
    // then the parameters needed together.
    std::string describe() const;

    // The first thing wrong with `params` for `action`, as a line for a person ("params.level
    // must be a whole number from 0 to 100 (the volume in percent)"); absent when the document
    // finds nothing wrong or does not know the action.
    std::optional<std::string> fault(std::string_view action, const JSON& params) const;

    // The action closest to a mistyped name (by edit distance, ignoring case and taking "-" for
    // "_"), when one is close enough to be what was meant; absent for a known name.
    std::optional<std::string> nearest(std::string_view name) const;

    // What a value must be by this schema, in words: "a whole number from 0 to 100", "one of
    // \"chrome\", \"safari\"".
    static std::string requirement(const JSON& schema);

private:
    ActionCatalog(JSON actions, ContractValidator validator)
        : actions_(std::move(actions))
        , validator_(std::move(validator)) {}

    bool matches(const std::string& key, const JSON& value) const;
    std::optional<std::string> branchFault(std::string_view action, const JSON& schema,
                                           const JSON::Object& params) const;

    // The "properties" of the model: action name to parameter schema.
    JSON actions_;
    // The document with one extra definition per parameter and per alternative, keyed
    // "ActionParams/ACTION/..." so that each can be checked on its own.
    ContractValidator validator_;
};

} // namespace corvane
