#pragma once

#include "core/JSON.h"
#include "platform/AXElement.h"
#include "platform/PlatformValue.h"

#include <QPointF>
#include <QRectF>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvane {

class SimApplications;

// The accessibility elements of every running instance: the trees built from the scenario's
// "ui" templates, the names that refer to them, what is shown and focused, window order within an
// application, geometry and hit testing. Element handles carry tokens that are never reused, so a
// handle of a removed element stays dead. What the trees do when acted on is SimEffects'.
class SimElementTree {
public:
    struct Action {
        std::string name;
        std::optional<std::string> description;
        bool fails = false;
        JSON does; // array of effects
    };

    struct Element {
        std::int32_t pid = 0;
        std::uint64_t parent = 0; // the application element for windows and the menu bar
        std::string name;         // scenario id, empty when unnamed
        bool application = false;
        bool hidden = false;
        std::optional<bool> settable;
        std::optional<std::string> color;
        std::optional<std::string> closeButton; // element reference
        PlatformValue::Dictionary attributes;
        std::vector<std::uint64_t> children;
        std::vector<Action> actions;
        // Browser tabs (SimTabStrips): kept when the other tabs close; effects run instead of
        // closing; the close command whose availability "AXEnabled" shows.
        bool pinned = false;
        std::optional<JSON> onClose;
        std::string enabledFor;
        // The window server's: a window's layer, and the one-shot reactions to being read and
        // captured (arrays of effects; emptied once run).
        std::int64_t layer = 0;
        JSON onRead = JSON(JSON::Array{});
        JSON onCapture = JSON(JSON::Array{});
    };

    // The user-interface state of one running instance.
    struct Process {
        std::uint64_t element = 0;          // the application element
        std::vector<std::uint64_t> windows; // front to back
        std::uint64_t menuBar = 0;
        std::uint64_t focusedWindow = 0;
        std::uint64_t mainWindow = 0;
        std::uint64_t focusedElement = 0;
        bool responsive = true;
        bool allSelected = false; // Command-A went to the focused element
    };

    explicit SimElementTree(const SimApplications& apps);

    // "AXRole"; empty when it has none.
    static std::string role(const Element& element);
    // Text fields, text areas and combo boxes take typed text and "AXValue" writes.
    static bool editable(const Element& element);

    // Drops every tree; handles given out before stay dead.
    void clear();
    // Builds the trees of an instance that starts from its application's "ui" (null for none).
    void attach(std::int32_t pid, const JSON* ui);
    // Drops the trees of an instance that ends.
    void detach(std::int32_t pid);
    // Builds an element and its subtree from a template and returns its token. Scenario ids are
    // bound to names only when `bind` (templates inserted later keep theirs unbound).
    std::uint64_t insert(const JSON& node, std::int32_t pid, std::uint64_t parent, bool bind);
    // Removes an element and its subtree; a closed window hands focus to the next one.
    void remove(std::uint64_t token);

    const Element* element(std::uint64_t token) const;
    Element* element(std::uint64_t token);
    const Process* process(std::int32_t pid) const;
    Process* process(std::int32_t pid);
    bool live(std::uint64_t token) const { return elements_.contains(token); }
    // Whether a read can succeed now: the element exists, it and its ancestors are shown and its
    // application answers.
    bool readable(std::uint64_t token) const;
    // The enclosing window (the element itself for a window); 0 for none.
    std::uint64_t windowOf(std::uint64_t token) const;
    // An element id, or "self", "parent", "window" relative to `self`.
    std::optional<std::uint64_t> resolve(const std::string& ref, std::uint64_t self) const;
    // The live element with this scenario id.
    std::optional<std::uint64_t> named(const std::string& name) const;
    // Shown children; an application's are its windows and its menu bar.
    std::vector<std::uint64_t> visibleChildren(std::uint64_t token) const;
    // A scenario value with its {"$ref": id} resolved to elements.
    PlatformValue value(const JSON& json) const;

    void focus(std::uint64_t token);
    // Brings a window to the front of its application, focused and main.
    void raise(std::uint64_t window);
    // "AXValue" true for the element and false for its siblings of the same role.
    void select(std::uint64_t token);

    std::uint64_t systemWide() const { return systemWide_; }
    // Like the real call, a handle is made for any pid; reads through it fail.
    std::uint64_t applicationElement(std::int32_t pid);
    void setMessagingTimeout(std::uint64_t token, std::chrono::milliseconds timeout);
    std::optional<std::chrono::milliseconds> messagingTimeout(std::uint64_t token) const;

    std::optional<QRectF> frame(std::uint64_t token) const;
    // Shown, unminimised windows with a frame, front application first: (pid, window).
    std::vector<std::pair<std::int32_t, std::uint64_t>> visibleWindows() const;
    // The deepest framed element under the point in the topmost window there. A scroll finds it
    // even in an application that does not answer; a click or a hit test skips those.
    std::optional<std::uint64_t> hit(QPointF point, bool skipUnresponsive) const;

    // For the control channel's "state": an instance's windows, and the attributes of every
    // named live element.
    JSON windowSummary(std::int32_t pid) const;
    JSON namedElements() const;

private:
    using Pending = std::vector<std::pair<std::uint64_t, JSON>>;
    std::uint64_t create(const JSON& node, std::int32_t pid, std::uint64_t parent, Pending& pending,
                         bool bind);
    void resolvePending(const Pending& pending);
    std::optional<std::uint64_t> hitWithin(std::uint64_t token, QPointF point) const;

    const SimApplications& apps_;
    std::map<std::uint64_t, Element> elements_;
    std::map<std::string, std::uint64_t, std::less<>> names_;
    std::map<std::uint64_t, std::chrono::milliseconds> timeouts_;
    std::map<std::int32_t, Process> processes_;
    std::uint64_t nextToken_ = 1;
    std::uint64_t systemWide_ = 0;
};

} // namespace corvane
