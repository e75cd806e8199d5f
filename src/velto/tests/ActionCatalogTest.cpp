#include "core/ActionCatalog.h"

#include "actions/ActionExecutor.h"
#include "actions/DesktopInteraction.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace corvane {
namespace {

// The contract document the program ships with, beside the built program.
ActionCatalog shipped() {
    return ActionCatalog::load(QFileInfo(QStringLiteral(VELTO_PROGRAM))
                                   .dir()
                                   .filePath(QStringLiteral("resources/v1.schema.json")));
}

// The document and the code that runs the actions must not drift apart: every action the
// dispatcher knows is described, nothing else is, and the keys listed are the keys that exist.
TEST(ActionCatalog, DescribesExactlyWhatTheAgentRuns) {
    const ActionCatalog catalog = shipped();
    const std::vector<std::string> names = catalog.names();
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
              std::set<std::string>(ActionExecutor::actionNames.begin(),
                                    ActionExecutor::actionNames.end()));
    std::string keys;
    for (const DesktopInteraction::NamedKey& key : DesktopInteraction::keys) {
        keys += '"';
        keys += key.name;
        keys += "\", ";
    }
    keys.resize(keys.size() - 2);
    EXPECT_EQ(catalog
                  .fault("desktop_act",
                         JSON::parse(R"({"snapshot_id": "s", "operation": "key", "key": "f13"})"))
                  .value_or(""),
              "params.key must be one of " + keys + R"(, not "f13". The key to press (key).)");
}

TEST(ActionCatalog, FaultNamesTheFieldAndWhatItMustBe) {
    const ActionCatalog catalog = shipped();
    struct Row {
        const char* action;
        const char* params;
        const char* fault; // nullptr: nothing wrong by the document
    } const rows[] = {
        {"set_volume", R"({"level": 30})", nullptr},
        {"set_volume", R"({"level": 50.5})",
         "params.level must be a whole number from 0 to 100, not 50.5. The volume in percent."},
        {"set_volume", R"({"level": 101})", "params.level must be a whole number from 0 to 100"},
        {"set_volume", "{}", "params.level is missing: it must be a whole number from 0 to 100"},
        {"set_volume", "[30]", "params must be a JSON object, not [30]"},
        {"close_browser_tabs", R"({"browser": "firefox"})",
         R"(params.browser must be one of "chrome", "safari", not "firefox")"},
        {"close_browser_tabs", R"({"browser": "safari", "keep_pinned": "no"})",
         "params.keep_pinned must be true or false"},
        {"open_url", R"({"url": "https://example.com/a"})", nullptr},
        {"open_url", R"({"url": "example.com"})",
         "params.url must be a complete web address beginning with https:// or http://, not "
         "\"example.com\""},
        {"open_app", "{}", "params needs bundle_id or app_name"},
        {"open_app", R"({"app_name": "TextEdit"})", nullptr},
        {"run_shortcut", R"({"name": ""})", "params.name must be a non-empty string"},
        // desktop_act: what else is needed depends on the operation.
        {"desktop_act", R"({"snapshot_id": "s", "operation": "key", "key": "return"})", nullptr},
        {"desktop_act", R"({"snapshot_id": "s", "operation": "key"})",
         R"(params.key is missing (with operation "key"): it must be one of "return")"},
        {"desktop_act", R"({"snapshot_id": "s", "operation": "type_text", "text": ""})",
         R"(params.text must be a non-empty string of at most 2000 characters (with operation "type_text"), not "")"},
        {"desktop_act", R"({"snapshot_id": "s", "operation": "swipe"})",
         R"(params.operation must be one of "press", "type")"},
        {"desktop_act", R"({"snapshot_id": "s", "operation": "click", "x": 3})",
         R"(params.y is missing (with operation "click"))"},
        // A long value is shortened.
        {"set_volume", R"({"level": "0123456789012345678901234567890123456789xyz"})",
         R"(params.level must be a whole number from 0 to 100, not "012345678901234567890123456789012345678….)"},
        {"no_such_action", "{}", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.action) + " " + row.params);
        const std::optional<std::string> fault = catalog.fault(row.action, JSON::parse(row.params));
        if (row.fault == nullptr) {
            EXPECT_FALSE(fault) << *fault;
        } else {
            ASSERT_TRUE(fault);
            EXPECT_EQ(fault->rfind(row.fault, 0), 0u) << *fault;
        }
    }
}

TEST(ActionCatalog, NearestNameForAMistypedAction) {
    const ActionCatalog catalog = shipped();
    struct Row {
        const char* typed;
        const char* meant; // nullptr: no suggestion
    } const rows[] = {
        {"set_volme", "set_volume"},
        {"get_stae", "get_state"},
        {"GET-STATE", "get_state"},
        {"unmte", "unmute"},
        {"lockscreen", "lock_screen"},
        {"get_state", nullptr},
        {"reboot", nullptr},
        {"", nullptr},
        {"x", nullptr},
        {"media_nxt", "media_next"},
    };
    for (const Row& row : rows) {
        const std::optional<std::string> meant = catalog.nearest(row.typed);
        if (row.meant == nullptr) {
            EXPECT_FALSE(meant) << row.typed << " -> " << *meant;
        } else {
            EXPECT_EQ(meant.value_or("(none)"), row.meant) << row.typed;
        }
    }
}

TEST(ActionCatalog, RefusesADocumentWithoutTheModel) {
    EXPECT_ANY_THROW(ActionCatalog::fromJSON(JSON::parse(R"({"$defs": {}})")));
    EXPECT_ANY_THROW(
        ActionCatalog::fromJSON(JSON::parse(R"({"$defs": {"ActionParams": {"title": 1}}})")));
}

} // namespace
} // namespace corvane
