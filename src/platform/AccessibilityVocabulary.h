#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// The one vocabulary of accessibility every backend maps its own API into (the Mac's names, AT-SPI
// roles and actions): what an element is, what it holds and what it can do. The actions match
// these terms only. Roles and actions are what results report; they keep the names below, whatever
// the backend calls them.

enum class AXRole {
    Application,
    Window,
    Sheet,
    Button,
    RadioButton,
    CheckBox,
    Tab,
    TabGroup,
    TextField,
    TextArea,
    ComboBox,
    SearchField,
    SecureTextField,
    StaticText,
    Heading,
    Link,
    Image,
    PopUpButton,
    MenuButton,
    MenuBar,
    MenuBarItem,
    Menu,
    MenuItem,
    ScrollArea,
    WebArea,
    Group,
    SplitGroup,
    Row,
    Cell,
    Toolbar,
    DisclosureTriangle,
    // An element that says nothing of what it is; also what a missing role reads as.
    Unknown,
};

enum class AXSubrole {
    StandardWindow,
    Dialog,
    SystemDialog,
    FloatingWindow,
    SecureTextField,
    SearchField,
};

// What an element holds: texts, states, geometry and its relations to other elements.
enum class AXAttribute {
    Title,
    Description,
    Value,
    Identifier,
    Enabled,
    Focused,
    Minimized,
    Position,
    Size,
    Children,
    Windows,
    MainWindow,
    FocusedWindow,
    FocusedElement,
    MenuBar,
    CloseButton,
};

enum class AXAction {
    Press,
    Cancel,
    Confirm,
    Raise,
    Close,
    ShowMenu,
    Pick,
    Increment,
    Decrement,
    ScrollUpByPage,
    ScrollDownByPage,
};

// The names results carry for roles and actions.
constexpr std::string_view axName(AXRole role) {
    switch (role) {
    case AXRole::Application:
        return "AXApplication";
    case AXRole::Window:
        return "AXWindow";
    case AXRole::Sheet:
        return "AXSheet";
    case AXRole::Button:
        return "AXButton";
    case AXRole::RadioButton:
        return "AXRadioButton";
    case AXRole::CheckBox:
        return "AXCheckBox";
    case AXRole::Tab:
        return "AXTab";
    case AXRole::TabGroup:
        return "AXTabGroup";
    case AXRole::TextField:
        return "AXTextField";
    case AXRole::TextArea:
        return "AXTextArea";
    case AXRole::ComboBox:
        return "AXComboBox";
    case AXRole::SearchField:
        return "AXSearchField";
    case AXRole::SecureTextField:
        return "AXSecureTextField";
    case AXRole::StaticText:
        return "AXStaticText";
    case AXRole::Heading:
        return "AXHeading";
    case AXRole::Link:
        return "AXLink";
    case AXRole::Image:
        return "AXImage";
    case AXRole::PopUpButton:
        return "AXPopUpButton";
    case AXRole::MenuButton:
        return "AXMenuButton";
    case AXRole::MenuBar:
        return "AXMenuBar";
    case AXRole::MenuBarItem:
        return "AXMenuBarItem";
    case AXRole::Menu:
        return "AXMenu";
    case AXRole::MenuItem:
        return "AXMenuItem";
    case AXRole::ScrollArea:
        return "AXScrollArea";
    case AXRole::WebArea:
        return "AXWebArea";
    case AXRole::Group:
        return "AXGroup";
    case AXRole::SplitGroup:
        return "AXSplitGroup";
    case AXRole::Row:
        return "AXRow";
    case AXRole::Cell:
        return "AXCell";
    case AXRole::Toolbar:
        return "AXToolbar";
    case AXRole::DisclosureTriangle:
        return "AXDisclosureTriangle";
    case AXRole::Unknown:
        return "AXUnknown";
    }
    return "AXUnknown";
}

constexpr std::string_view axName(AXAction action) {
    switch (action) {
    case AXAction::Press:
        return "AXPress";
    case AXAction::Cancel:
        return "AXCancel";
    case AXAction::Confirm:
        return "AXConfirm";
    case AXAction::Raise:
        return "AXRaise";
    case AXAction::Close:
        return "AXClose";
    case AXAction::ShowMenu:
        return "AXShowMenu";
    case AXAction::Pick:
        return "AXPick";
    case AXAction::Increment:
        return "AXIncrement";
    case AXAction::Decrement:
        return "AXDecrement";
    case AXAction::ScrollUpByPage:
        return "AXScrollUpByPage";
    case AXAction::ScrollDownByPage:
        return "AXScrollDownByPage";
    }
    return {};
}

// A role or action as a backend reported it: a term of the vocabulary, or one outside it under the
// backend's own name. Rules match terms only; results report name(), so an application's own
// action or an unfamiliar role still shows as it came, and can be performed by that name.
template <typename Term>
class AXTerm {
public:
    AXTerm(Term term)
        : term_(term)
        , name_(axName(term)) {}
    static AXTerm outside(std::string name) { return AXTerm(std::move(name)); }

    std::optional<Term> term() const { return term_; }
    const std::string& name() const { return name_; }

    friend bool operator==(const AXTerm& a, const AXTerm& b) = default;
    friend bool operator==(const AXTerm& a, Term b) { return a.term_ == b; }

private:
    explicit AXTerm(std::string name)
        : name_(std::move(name)) {}

    std::optional<Term> term_;
    std::string name_;
};

using AXRoleTerm = AXTerm<AXRole>;
using AXActionTerm = AXTerm<AXAction>;

} // namespace corvane
