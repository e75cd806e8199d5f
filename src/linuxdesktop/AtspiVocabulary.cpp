#include "linuxdesktop/AtspiVocabulary.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace corvane {

namespace {

constexpr std::pair<AtspiRole, AXRole> roles[]{
    {ATSPI_ROLE_APPLICATION, AXRole::Application},
    {ATSPI_ROLE_FRAME, AXRole::Window},
    {ATSPI_ROLE_WINDOW, AXRole::Window},
    {ATSPI_ROLE_DIALOG, AXRole::Window},
    {ATSPI_ROLE_ALERT, AXRole::Window},
    {ATSPI_ROLE_FILE_CHOOSER, AXRole::Window},
    {ATSPI_ROLE_COLOR_CHOOSER, AXRole::Window},
    {ATSPI_ROLE_PUSH_BUTTON, AXRole::Button},
    {ATSPI_ROLE_TOGGLE_BUTTON, AXRole::CheckBox},
    {ATSPI_ROLE_RADIO_BUTTON, AXRole::RadioButton},
    {ATSPI_ROLE_CHECK_BOX, AXRole::CheckBox},
    {ATSPI_ROLE_PAGE_TAB, AXRole::Tab},
    {ATSPI_ROLE_PAGE_TAB_LIST, AXRole::TabGroup},
    {ATSPI_ROLE_ENTRY, AXRole::TextField},
    {ATSPI_ROLE_SPIN_BUTTON, AXRole::TextField},
    {ATSPI_ROLE_TEXT, AXRole::TextArea},
    {ATSPI_ROLE_PARAGRAPH, AXRole::StaticText},
    {ATSPI_ROLE_PASSWORD_TEXT, AXRole::SecureTextField},
    {ATSPI_ROLE_COMBO_BOX, AXRole::ComboBox},
    {ATSPI_ROLE_LABEL, AXRole::StaticText},
    {ATSPI_ROLE_STATIC, AXRole::StaticText},
    {ATSPI_ROLE_CAPTION, AXRole::StaticText},
    {ATSPI_ROLE_STATUS_BAR, AXRole::StaticText},
    {ATSPI_ROLE_HEADING, AXRole::Heading},
    {ATSPI_ROLE_LINK, AXRole::Link},
    {ATSPI_ROLE_IMAGE, AXRole::Image},
    {ATSPI_ROLE_ICON, AXRole::Image},
    {ATSPI_ROLE_PUSH_BUTTON_MENU, AXRole::MenuButton},
    {ATSPI_ROLE_MENU_BAR, AXRole::MenuBar},
    {ATSPI_ROLE_MENU, AXRole::Menu},
    {ATSPI_ROLE_POPUP_MENU, AXRole::Menu},
    {ATSPI_ROLE_MENU_ITEM, AXRole::MenuItem},
    {ATSPI_ROLE_CHECK_MENU_ITEM, AXRole::MenuItem},
    {ATSPI_ROLE_RADIO_MENU_ITEM, AXRole::MenuItem},
    {ATSPI_ROLE_TEAROFF_MENU_ITEM, AXRole::MenuItem},
    {ATSPI_ROLE_SCROLL_PANE, AXRole::ScrollArea},
    {ATSPI_ROLE_VIEWPORT, AXRole::Group},
    {ATSPI_ROLE_DOCUMENT_WEB, AXRole::WebArea},
    {ATSPI_ROLE_PANEL, AXRole::Group},
    {ATSPI_ROLE_FILLER, AXRole::Group},
    {ATSPI_ROLE_GROUPING, AXRole::Group},
    {ATSPI_ROLE_SECTION, AXRole::Group},
    {ATSPI_ROLE_FORM, AXRole::Group},
    {ATSPI_ROLE_LAYERED_PANE, AXRole::Group},
    {ATSPI_ROLE_ROOT_PANE, AXRole::Group},
    {ATSPI_ROLE_INTERNAL_FRAME, AXRole::Group},
    {ATSPI_ROLE_SPLIT_PANE, AXRole::SplitGroup},
    {ATSPI_ROLE_LIST_ITEM, AXRole::Row},
    {ATSPI_ROLE_TABLE_ROW, AXRole::Row},
    {ATSPI_ROLE_TABLE_CELL, AXRole::Cell},
    {ATSPI_ROLE_TOOL_BAR, AXRole::Toolbar},
    {ATSPI_ROLE_UNKNOWN, AXRole::Unknown},
    {ATSPI_ROLE_INVALID, AXRole::Unknown},
};

// Action names as GTK (lower case) and Qt (capitalised) name them. Several names per term, most
// specific first: "click" completes a press that GTK's "press" only begins.
constexpr std::pair<std::string_view, AXAction> actions[]{
    {"click", AXAction::Press},
    {"Press", AXAction::Press},
    {"activate", AXAction::Press},
    {"Toggle", AXAction::Press},
    {"toggle", AXAction::Press},
    {"press", AXAction::Press},
    {"ShowMenu", AXAction::ShowMenu},
    {"showmenu", AXAction::ShowMenu},
    {"Increase", AXAction::Increment},
    {"Decrease", AXAction::Decrement},
    {"expand or contract", AXAction::ShowMenu},
    {"Cancel", AXAction::Cancel},
};

} // namespace

AXRoleTerm AtspiVocabulary::role(AtspiRole role, std::string_view roleName) {
    const auto found = std::find_if(std::begin(roles), std::end(roles),
                                    [role](const auto& row) { return row.first == role; });
    if (found != std::end(roles)) {
        return found->second;
    }
    if (roleName.empty()) {
        return AXRole::Unknown;
    }
    return AXRoleTerm::outside(std::string(roleName));
}

std::optional<AXSubrole> AtspiVocabulary::subrole(AtspiRole role) {
    switch (role) {
    case ATSPI_ROLE_FRAME:
        return AXSubrole::StandardWindow;
    case ATSPI_ROLE_DIALOG:
    case ATSPI_ROLE_ALERT:
    case ATSPI_ROLE_FILE_CHOOSER:
    case ATSPI_ROLE_COLOR_CHOOSER:
        return AXSubrole::Dialog;
    case ATSPI_ROLE_WINDOW:
        return AXSubrole::FloatingWindow;
    case ATSPI_ROLE_PASSWORD_TEXT:
        return AXSubrole::SecureTextField;
    default:
        return std::nullopt;
    }
}

AXActionTerm AtspiVocabulary::action(std::string_view name) {
    const auto found = std::find_if(std::begin(actions), std::end(actions),
                                    [name](const auto& row) { return row.first == name; });
    if (found != std::end(actions)) {
        return found->second;
    }
    return AXActionTerm::outside(std::string(name));
}

std::optional<int> AtspiVocabulary::actionIndex(const std::vector<std::string>& names,
                                                const AXActionTerm& action) {
    if (!action.term()) {
        const auto same = std::find(names.begin(), names.end(), action.name());
        return same != names.end() ? std::optional(static_cast<int>(same - names.begin()))
                                   : std::nullopt;
    }
    for (const auto& [name, term] : actions) {
        if (term != *action.term()) {
            continue;
        }
        const auto same = std::find(names.begin(), names.end(), name);
        if (same != names.end()) {
            return static_cast<int>(same - names.begin());
        }
    }
    return std::nullopt;
}

} // namespace corvane
