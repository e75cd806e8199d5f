#pragma once

#include "core/JSON.h"

#include <QString>

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The tools, one per action, as the contract document describes them: the input schema is the
// action's entry of the model "ActionParams", the output schema the result models the action
// answers with (with the definitions they refer to), the description the document's own words
// followed by what an assistant needs to know (what can refuse it, that desktop control stays the
// person's decision). Immutable once built.
class McpToolCatalog {
public:
    // Reads the document at `path`. Throws as ContractValidator and ActionCatalog do, and
    // ContractError "unknown_model" when a result model the tools name is missing.
    static McpToolCatalog load(const QString& path);
    static McpToolCatalog fromJSON(JSON root);

    // Every action name, in the document's (alphabetical) order.
    std::vector<std::string> names() const;
    // The tool definition of `action` (name, title, description, inputSchema, outputSchema,
    // annotations); null for an action the document does not know.
    const JSON* tool(std::string_view action) const;

private:
    explicit McpToolCatalog(std::map<std::string, JSON, std::less<>> tools)
        : tools_(std::move(tools)) {}

    std::map<std::string, JSON, std::less<>> tools_;
};

} // namespace corvane
