#pragma once

#include "core/Clock.h"
#include "linuxdesktop/AppScopes.h"
#include "platform/Workspace.h"

#include <QFuture>
#include <QPointer>
#include <QThreadPool>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>

namespace corvane {

class EwmhWindows;
class LinuxAppCatalog;

// Applications on an XDG desktop. What runs and what is in front come from the window manager's
// extended hints on X11 (one local round trip per read): an application runs while it has a
// managed window, and is told apart by the desktop entry it was launched from (GIO's launch
// environment), else by its window class (the entry's StartupWMClass or id) or its program. On a
// Wayland session the X11 clients are joined by the session's application units (AppScopes), and
// no application is reported in front; without a display only those units remain, and requests
// fail. Launches go through GIO on a worker thread. The session signals are emitted by
// whoever watches the session (the backend forwards them).
class LinuxWorkspace final : public Workspace {
    Q_OBJECT

public:
    struct Options {
        // As in DISPLAY; empty: the environment's.
        std::string display;
        std::string osRelease = "/etc/os-release";
        // A Wayland session: the window manager's lists hold only the X11 clients, so applications
        // are also read from the session's application units, and which one is in front stays
        // unknown (native windows can be neither activated nor asked to close).
        bool wayland = false;
        std::string procRoot = "/proc";
    };
    LinuxWorkspace(const LinuxAppCatalog& catalog, Clock& clock, Options options,
                   QObject* parent = nullptr);
    // The environment's display and session, the system's files.
    LinuxWorkspace(const LinuxAppCatalog& catalog, Clock& clock, QObject* parent = nullptr);

    // WAYLAND_DISPLAY is set or XDG_SESSION_TYPE says "wayland".
    static bool waylandSession();
    ~LinuxWorkspace() override;

    std::vector<RunningApplication> runningApplications() const override;
    std::optional<RunningApplication> frontmostApplication() const override;
    std::optional<std::string> applicationPath(const std::string& bundleID) const override;
    // Launches the desktop entry at `path` and waits (up to launchWaitLimit polls) for a window of
    // its application, which is then activated when asked (waiting up to activationWaitLimit polls
    // for the window manager to show it in front). Throws "app_not_found" for a path that
    // holds no application entry and "action_failed" when the launch fails.
    QCoro::Task<void> openApplication(std::string path, bool activate) override;
    // True once the scheme has a default handler and its launch is under way.
    bool openURL(const std::string& url) override;
    bool activate(std::int32_t pid) override;
    // Asks each window of the application to close, as its close button would.
    bool terminate(std::int32_t pid) override;
    std::string hostName() const override;
    OSVersion osVersion() const override;

    // Reads the desktop entries again (on the worker), for telling the applications of windows
    // apart; reads in the meantime use the previous reading. Done by itself when the reading is
    // older than entriesLifetime.
    QFuture<void> refreshEntries() const;

    static constexpr std::chrono::seconds entriesLifetime{30};
    static constexpr std::chrono::milliseconds launchPollInterval{100};
    static constexpr int launchWaitLimit = 100;
    static constexpr int activationWaitLimit = 10;
    static constexpr std::chrono::seconds scopesLifetime{1};

    struct Index;

private:
    struct Window {
        std::uint32_t id;
        std::int32_t pid;
    };
    struct Snapshot {
        std::vector<RunningApplication> apps;
        std::vector<Window> windows;
    };
    Snapshot snapshot() const;
    Snapshot windowSnapshot() const;
    std::shared_ptr<const Index> index() const;
    std::optional<std::uint32_t> lastWindowOf(std::int32_t pid) const;
    static QCoro::Task<void> openIn(LinuxWorkspace* self, std::string path, bool activate);
    static QCoro::Task<void> activateIn(QPointer<LinuxWorkspace> guard, std::int32_t pid);

    const LinuxAppCatalog& catalog_;
    Clock& clock_;
    Options options_;
    std::unique_ptr<EwmhWindows> windows_;
    std::unique_ptr<AppScopes> scopes_;
    mutable std::vector<AppScopes::Running> units_;
    mutable std::optional<std::chrono::steady_clock::time_point> scopesReadAt_;
    std::optional<WireTime::Instant> bootTime_;
    // The launch-environment lookup by process, kept while the process keeps its start time.
    struct Launched {
        std::uint64_t startTicks = 0;
        std::optional<std::string> entryPath;
    };
    mutable std::map<std::int32_t, Launched> launched_;

    mutable std::mutex indexMutex_;
    mutable std::shared_ptr<const Index> index_;
    mutable std::optional<std::chrono::steady_clock::time_point> indexedAt_;
    mutable bool indexing_ = false;
    mutable QThreadPool pool_;
};

} // namespace corvane
