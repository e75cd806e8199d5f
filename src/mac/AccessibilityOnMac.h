#pragma once

#include "mac/MacAccessibility.h"
#include "platform/Accessibility.h"

#include <array>
#include <optional>
#include <string_view>

namespace corvane {

// The accessibility vocabulary on the Mac's own names: one table per kind of term. A role or action
// the table does not know passes through under its Mac name, so results show it as before; an
// unknown subrole reads as absent.
class AccessibilityOnMac final : public Accessibility {
public:
    template <typename Term>
    struct Name {
        Term term;
        std::string_view mac;
    };

    static constexpr std::array<Name<AXRole>, 32> roleNames{{
        {AXRole::Application, "AXApplication"},
        {AXRole::Window, "AXWindow"},
        {AXRole::Sheet, "AXSheet"},
        {AXRole::Button, "AXButton"},
        {AXRole::RadioButton, "AXRadioButton"},
        {AXRole::CheckBox, "AXCheckBox"},
        {AXRole::Tab, "AXTab"},
        {AXRole::TabGroup, "AXTabGroup"},
        {AXRole::TextField, "AXTextField"},
        {AXRole::TextArea, "AXTextArea"},
        {AXRole::ComboBox, "AXComboBox"},
        {AXRole::SearchField, "AXSearchField"},
        {AXRole::SecureTextField, "AXSecureTextField"},
        {AXRole::StaticText, "AXStaticText"},
        {AXRole::Heading, "AXHeading"},
        {AXRole::Link, "AXLink"},
        {AXRole::Image, "AXImage"},
        {AXRole::PopUpButton, "AXPopUpButton"},
        {AXRole::MenuButton, "AXMenuButton"},
        {AXRole::MenuBar, "AXMenuBar"},
        {AXRole::MenuBarItem, "AXMenuBarItem"},
        {AXRole::Menu, "AXMenu"},
        {AXRole::MenuItem, "AXMenuItem"},
        {AXRole::ScrollArea, "AXScrollArea"},
        {AXRole::WebArea, "AXWebArea"},
        {AXRole::Group, "AXGroup"},
        {AXRole::SplitGroup, "AXSplitGroup"},
        {AXRole::Row, "AXRow"},
        {AXRole::Cell, "AXCell"},
        {AXRole::Toolbar, "AXToolbar"},
        {AXRole::DisclosureTriangle, "AXDisclosureTriangle"},
        {AXRole::Unknown, "AXUnknown"},
    }};
    static constexpr std::array<Name<AXSubrole>, 6> subroleNames{{
        {AXSubrole::StandardWindow, "AXStandardWindow"},
        {AXSubrole::Dialog, "AXDialog"},
        {AXSubrole::SystemDialog, "AXSystemDialog"},
        {AXSubrole::FloatingWindow, "AXFloatingWindow"},
        {AXSubrole::SecureTextField, "AXSecureTextField"},
        {AXSubrole::SearchField, "AXSearchField"},
    }};
    static constexpr std::array<Name<AXAttribute>, 16> attributeNames{{
        {AXAttribute::Title, "AXTitle"},
        {AXAttribute::Description, "AXDescription"},
        {AXAttribute::Value, "AXValue"},
        {AXAttribute::Identifier, "AXIdentifier"},
        {AXAttribute::Enabled, "AXEnabled"},
        {AXAttribute::Focused, "AXFocused"},
        {AXAttribute::Minimized, "AXMinimized"},
        {AXAttribute::Position, "AXPosition"},
        {AXAttribute::Size, "AXSize"},
        {AXAttribute::Children, "AXChildren"},
        {AXAttribute::Windows, "AXWindows"},
        {AXAttribute::MainWindow, "AXMainWindow"},
        {AXAttribute::FocusedWindow, "AXFocusedWindow"},
        {AXAttribute::FocusedElement, "AXFocusedUIElement"},
        {AXAttribute::MenuBar, "AXMenuBar"},
        {AXAttribute::CloseButton, "AXCloseButton"},
    }};
    static constexpr std::array<Name<AXAction>, 11> actionNames{{
        {AXAction::Press, "AXPress"},
        {AXAction::Cancel, "AXCancel"},
        {AXAction::Confirm, "AXConfirm"},
        {AXAction::Raise, "AXRaise"},
        {AXAction::Close, "AXClose"},
        {AXAction::ShowMenu, "AXShowMenu"},
        {AXAction::Pick, "AXPick"},
        {AXAction::Increment, "AXIncrement"},
        {AXAction::Decrement, "AXDecrement"},
        {AXAction::ScrollUpByPage, "AXScrollUpByPage"},
        {AXAction::ScrollDownByPage, "AXScrollDownByPage"},
    }};

    // The Mac's name of a term, and the term of a Mac name (absent outside the table).
    template <typename Term, std::size_t N>
    static constexpr std::string_view macName(const std::array<Name<Term>, N>& table, Term term) {
        for (const Name<Term>& row : table) {
            if (row.term == term) {
                return row.mac;
            }
        }
        return {};
    }
    template <typename Term, std::size_t N>
    static constexpr std::optional<Term> termNamed(const std::array<Name<Term>, N>& table,
                                                   std::string_view mac) {
        for (const Name<Term>& row : table) {
            if (row.mac == mac) {
                return row.term;
            }
        }
        return std::nullopt;
    }

    explicit AccessibilityOnMac(MacAccessibility& mac)
        : mac_(mac) {}

    bool isTrusted() const override;
    void requestTrust() override;
    AXElement applicationElement(std::int32_t pid) override;
    void setMessagingTimeout(AXElement element, std::chrono::milliseconds timeout) override;
    std::optional<AXRoleTerm> role(AXElement element) const override;
    std::optional<AXSubrole> subrole(AXElement element) const override;
    std::optional<PlatformValue> attribute(AXElement element, AXAttribute attribute) const override;
    std::optional<std::vector<AXActionTerm>> actions(AXElement element) const override;
    std::optional<std::string> actionDescription(AXElement element,
                                                 const AXActionTerm& action) const override;
    std::optional<std::int32_t> pid(AXElement element) const override;
    bool perform(AXElement element, const AXActionTerm& action) override;
    bool setAttribute(AXElement element, AXAttribute attribute,
                      const PlatformValue& value) override;
    std::optional<AXElement> elementAtPosition(double x, double y) const override;

private:
    // A string attribute under its Mac name, or the empty string.
    std::string text(AXElement element, std::string_view name) const;

    MacAccessibility& mac_;
};

} // namespace corvane
