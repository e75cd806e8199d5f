#pragma once

// The code generator cannot parse the concepts in the JSON header; it needs none of its types.
#ifndef Q_MOC_RUN
#include "CorvaneCore/JSON.h"
#endif
#include "CorvanePlatform/AXElement.h"
#include "CorvanePlatform/Clock.h"
#include "CorvanePlatform/PlatformValue.h"
#include "CorvanePlatform/RunningApplication.h"

#include <QObject>
#include <QRectF>
#include <QString>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The one state of the simulated Mac behind every Sim port: the checked scenario settings (kept as
// JSON so that the control channel can set and dump any of them), the installed bundles, the
// running instances with their accessibility trees, and the record of everything the agent asked
// for. Lives on the main thread; the few ports that the agent calls from worker threads (keychain,
// application catalog) take the lock, as does every public operation here.
class SimModel : public QObject {
    Q_OBJECT

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
    };

    struct Instance {
        std::int32_t pid = 0;
        std::size_t app = 0;
        std::optional<WireTime::Instant> launchDate;
        RunningApplication::ActivationPolicy policy = RunningApplication::ActivationPolicy::Regular;
        std::uint64_t element = 0;
        std::vector<std::uint64_t> windows; // front to back
        std::uint64_t menuBar = 0;
        std::uint64_t focusedWindow = 0;
        std::uint64_t mainWindow = 0;
        std::uint64_t focusedElement = 0;
        bool responsive = true;
        bool selectAll = false;
    };

    SimModel(QString root, Clock& clock);

    // Everything the model holds is guarded by this lock; public operations take it themselves,
    // and it may be held across several of them for a consistent read.
    std::unique_lock<std::recursive_mutex> lock() const;

    // Replaces the whole state by a checked scenario (SimScenario::normalise) and writes the
    // bundle folders under the root. Throws SimScenarioError, leaving the old state, when a
    // folder cannot be written.
    void load(const JSON& scenario);

    QString root() const { return root_; }
    Clock& clock() const { return clock_; }

    // --- settings ---
    JSON settings() const;
    // The member at `path` of the settings; null when absent.
    JSON setting(std::initializer_list<std::string_view> path) const;
    bool flag(std::initializer_list<std::string_view> path) const;
    std::string text(std::initializer_list<std::string_view> path) const;
    double number(std::initializer_list<std::string_view> path) const;
    // Writes an already valid value in place (the caller keeps the settings checked).
    void put(std::initializer_list<std::string_view> path, JSON value);
    // Sets one value at a path (strings and array indexes) and re-checks the settings; throws
    // SimScenarioError and changes nothing when the result is not valid.
    void setAt(const std::vector<JSON>& path, JSON value);
    // Applies a JSON merge patch (RFC 7386) to the settings, all or nothing.
    void patch(const JSON& mergePatch);

    // --- record ---
    // The record keeps the latest entries only.
    static constexpr std::size_t maxEvents = 10000;
    void record(std::string kind, JSON::Object details = {});
    std::vector<JSON> events() const;
    void clearEvents();

    // --- session ---
    void lockScreen();
    void unlockScreen();
    bool screenLocked() const;
    void notifySleep();
    void notifyWake();
    void notifySession(bool active);

    // --- applications ---
    std::vector<RunningApplication> runningApplications() const;
    std::optional<RunningApplication> frontmostApplication() const;
    std::optional<std::string> applicationPath(const std::string& bundleID) const;
    // Launches (or finds) the application whose bundle is at `path`; throws std::runtime_error
    // when there is no such bundle or its launch fails.
    std::int32_t open(const std::string& path, bool activate);
    bool activate(std::int32_t pid);
    // A quit request; false when refused. An application that "stays_open" accepts and keeps
    // running, as with a save dialog.
    bool requestQuit(std::int32_t pid);
    // Ends the instance whatever its quit behaviour (the person quit it).
    bool forceQuit(std::int32_t pid);
    bool setFrontmost(std::int32_t pid);
    std::vector<std::int32_t> pidsOf(const std::string& bundleID) const;
    std::optional<std::string> bundleIdentifier(std::int32_t pid) const;
    // Installed bundles, in scenario order: absolute path and entry.
    std::vector<std::pair<std::string, JSON>> installedApps() const;
    std::vector<std::string> directoryRoots() const;
    std::optional<WireTime::Instant> lastUsed(const std::string& path) const;

    // --- accessibility ---
    AXElement applicationElement(std::int32_t pid);
    AXElement systemWideElement() const { return AXElement(systemWide_); }
    void setMessagingTimeout(AXElement element, std::chrono::milliseconds timeout);
    std::optional<std::chrono::milliseconds> messagingTimeout(AXElement element) const;
    std::optional<PlatformValue> attribute(AXElement element, const std::string& name) const;
    std::optional<std::vector<std::string>> actionNames(AXElement element) const;
    std::optional<std::string> actionDescription(AXElement element,
                                                 const std::string& action) const;
    std::optional<std::int32_t> elementPid(AXElement element) const;
    bool performAction(AXElement element, const std::string& action);
    bool setAttribute(AXElement element, const std::string& name, const PlatformValue& value);
    std::optional<AXElement> hitTest(double x, double y) const;
    // The live element with this scenario id.
    std::optional<AXElement> named(const std::string& name) const;
    // Runs effects (the "does" notation) with named references only.
    void applyEffects(const JSON& effects);
    std::optional<QRectF> frame(std::uint64_t token) const;
    const Element* element(std::uint64_t token) const;
    // Visible windows in screen order (front to back), with their owners.
    std::vector<std::pair<std::int32_t, std::uint64_t>> visibleWindows() const;

    // --- input ---
    void keyToProcess(std::uint16_t keyCode, std::uint64_t flags,
                      const std::optional<std::string>& text, std::int32_t pid);
    void keyToSession(std::uint16_t keyCode, std::uint64_t flags,
                      const std::optional<std::string>& text);
    void click(double x, double y, bool right, int count);
    void scroll(double x, double y, std::int32_t pixels);

    // A summary of the running model for the control channel's "state".
    JSON dump() const;

Q_SIGNALS:
    void willSleep();
    void didWake();
    void sessionDidResignActive();
    void sessionDidBecomeActive();

private:
    JSON* slot(std::initializer_list<std::string_view> path);
    const JSON* find(std::initializer_list<std::string_view> path) const;
    const Instance* instance(std::int32_t pid) const;
    Instance* instance(std::int32_t pid);
    const JSON& app(std::size_t index) const;
    std::string localizedName(const Instance& instance) const;
    RunningApplication describe(const Instance& instance) const;
    std::int32_t launch(std::size_t app, std::int32_t pid, std::optional<WireTime::Instant> date,
                        std::optional<RunningApplication::ActivationPolicy> policy);
    void end(std::int32_t pid);
    std::uint64_t create(const JSON& node, std::int32_t pid, std::uint64_t parent,
                         std::vector<std::pair<std::uint64_t, JSON>>& pending, bool bind);
    void resolvePending(const std::vector<std::pair<std::uint64_t, JSON>>& pending);
    void remove(std::uint64_t token);
    bool live(std::uint64_t token) const;
    bool readable(std::uint64_t token) const;
    std::uint64_t windowOf(std::uint64_t token) const;
    std::optional<std::uint64_t> resolve(const std::string& ref, std::uint64_t self) const;
    std::vector<std::uint64_t> visibleChildren(std::uint64_t token) const;
    void runEffects(const JSON& effects, std::uint64_t self);
    void select(std::uint64_t token);
    void focus(std::uint64_t token);
    void raise(std::uint64_t window);
    std::optional<std::uint64_t> hit(std::uint64_t token, QPointF point) const;
    void type(Instance& target, std::uint16_t keyCode, std::uint64_t flags,
              const std::optional<std::string>& text);
    void setLocked(bool locked);

    QString root_;
    Clock& clock_;
    mutable std::recursive_mutex mutex_;
    JSON settings_;
    std::vector<JSON> apps_; // checked app entries; "path" made absolute
    std::vector<Instance> running_;
    std::map<std::uint64_t, Element> elements_;
    std::map<std::string, std::uint64_t, std::less<>> names_;
    std::map<std::uint64_t, std::chrono::milliseconds> timeouts_;
    std::vector<JSON> events_;
    std::int32_t frontmost_ = 0;
    std::uint64_t nextToken_ = 1;
    std::uint64_t systemWide_ = 0;
};

} // namespace corvane
