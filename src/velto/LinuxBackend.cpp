#include "velto/LinuxBackend.h"

#include "core/SystemClock.h"
#include "linuxdesktop/AbsentInput.h"
#include "linuxdesktop/AbsentScreenCapture.h"
#include "linuxdesktop/AtspiAccessibility.h"
#include "linuxdesktop/DesktopUserPrompts.h"
#include "linuxdesktop/GnomeFocusModes.h"
#include "linuxdesktop/KdeFocusModes.h"
#include "linuxdesktop/LinuxAppCatalog.h"
#include "linuxdesktop/LinuxApplicationBundles.h"
#include "linuxdesktop/LinuxHostStats.h"
#include "linuxdesktop/LinuxWorkspace.h"
#include "linuxdesktop/LogindSessionLock.h"
#include "linuxdesktop/LogindSleepWatch.h"
#include "linuxdesktop/MprisMediaPlayers.h"
#include "linuxdesktop/PulseAudioOutput.h"
#include "linuxdesktop/SecretServiceKeychain.h"
#include "linuxdesktop/ShortcutFolderRunner.h"
#include "linuxdesktop/UPowerSources.h"
#include "linuxdesktop/XCompositeScreenCapture.h"
#include "linuxdesktop/XTestInput.h"
#include "linuxdesktop/XdgLoginItems.h"
#include "platform/QtProcessRunner.h"
#include "platform/SettingsUserDefaults.h"
#include "velto/CommandLine.h"
#include "velto/ProgramStart.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace corvane {

namespace {

// Do Not Disturb as the desktop keeps it: KDE's notification inhibition, else GNOME's banners
// setting (which answers "unavailable" on any other desktop).
std::unique_ptr<FocusModes> focusModesOf(const QDBusConnection& sessionBus) {
    if (GnomeFocusModes::currentDesktops().find("KDE") != std::string::npos) {
        return std::make_unique<KdeFocusModes>(sessionBus);
    }
    return std::make_unique<GnomeFocusModes>(GnomeFocusModes::currentDesktops());
}

// Why other programs' windows cannot be captured nor input made for them in this session; empty on
// X11.
std::string windowsOutOfReach() {
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    const char* type = std::getenv("XDG_SESSION_TYPE");
    if (set("WAYLAND_DISPLAY") || (type != nullptr && std::string_view(type) == "wayland")) {
        return "a Wayland session lets no program capture other programs' windows or send them "
               "keys and clicks";
    }
    if (!set("DISPLAY")) {
        return "there is no X display";
    }
    return {};
}

std::unique_ptr<ScreenCapture> screenCaptureFor(const std::string& outOfReach) {
    if (outOfReach.empty()) {
        return std::make_unique<XCompositeScreenCapture>();
    }
    return std::make_unique<AbsentScreenCapture>();
}

std::unique_ptr<Input> inputFor(const std::string& outOfReach) {
    if (outOfReach.empty()) {
        return std::make_unique<XTestInput>();
    }
    return std::make_unique<AbsentInput>();
}

} // namespace

struct LinuxBackend::Ports {
    explicit Ports(SettingsUserDefaults& defaults)
        : defaults(defaults)
        , systemBus(QDBusConnection::systemBus())
        , sessionBus(QDBusConnection::sessionBus())
        , sessionLock(systemBus, clock, LogindSessionLock::ofThisProcess())
        , sleepWatch(systemBus)
        , power(systemBus)
        , host(systemBus, LinuxHostStats::Roots{})
        , mediaPlayers(sessionBus)
        , catalog(LinuxAppCatalog::standardFolders())
        , bundles(catalog)
        , workspace(catalog, clock)
        , focusModes(focusModesOf(sessionBus))
        , processes(tools, ShortcutFolderRunner::standardFolder())
        , loginItems(XdgLoginItems::standardFolder(),
                     QCoreApplication::applicationFilePath().toStdString()) {}

    SettingsUserDefaults& defaults;
    SystemClock clock;
    QDBusConnection systemBus;
    QDBusConnection sessionBus;
    LogindSessionLock sessionLock;
    LogindSleepWatch sleepWatch;
    UPowerSources power;
    LinuxHostStats host;
    PulseAudioOutput audio;
    MprisMediaPlayers mediaPlayers;
    SecretServiceKeychain keychain;
    DesktopUserPrompts prompts;
    // The catalog before everything that reads it.
    LinuxAppCatalog catalog;
    LinuxApplicationBundles bundles;
    LinuxWorkspace workspace;
    std::unique_ptr<FocusModes> focusModes;
    QtProcessRunner tools;
    // Shortcuts are the person's own programs in the shortcuts folder, run by the tool runner.
    ShortcutFolderRunner processes;
    XdgLoginItems loginItems;
    AtspiAccessibility accessibility;
    // Window images and input: X11's, or none in a session that offers them to no program.
    std::string windowsOutOfReach = corvane::windowsOutOfReach();
    std::unique_ptr<Input> input = inputFor(windowsOutOfReach);
    std::unique_ptr<ScreenCapture> screenCapture = screenCaptureFor(windowsOutOfReach);
    // Tells the person, once the services had time to answer, what this desktop does not offer.
    QTimer report;
};

std::unique_ptr<LinuxBackend> LinuxBackend::start(const CommandLine& line,
                                                  SettingsUserDefaults& defaults) {
    if (!line.relay.isEmpty()) {
        try {
            defaults.setString("relay", line.relay.toStdString());
        } catch (const std::exception& error) {
            ProgramStart::printLine(std::string("velto: cannot store the relay: ") + error.what());
            return nullptr;
        }
    }
    auto backend = std::make_unique<LinuxBackend>(defaults);
    QTimer& report = backend->ports_->report;
    report.setSingleShot(true);
    QObject::connect(&report, &QTimer::timeout, &report, [gaps = backend.get()] {
        std::vector<std::pair<std::string, std::string>> byReason;
        for (const Gap& gap : gaps->gaps()) {
            auto it = std::find_if(byReason.begin(), byReason.end(),
                                   [&](const auto& entry) { return entry.first == gap.reason; });
            if (it == byReason.end()) {
                byReason.emplace_back(gap.reason, gap.name);
            } else {
                it->second += ", " + gap.name;
            }
        }
        for (const auto& [reason, names] : byReason) {
            ProgramStart::printLine("velto: not offered here (" + reason + "): " + names);
        }
    });
    report.start(std::chrono::seconds(2));
    return backend;
}

LinuxBackend::LinuxBackend(SettingsUserDefaults& defaults)
    : ports_(std::make_unique<Ports>(defaults)) {
    Ports& ports = *ports_;
    // The machine's sleep and the session's switches reach the agent as the workspace's
    // notices, whichever workspace serves.
    QObject::connect(&ports.sleepWatch, &LogindSleepWatch::willSleep, &ports.workspace,
                     &Workspace::willSleep);
    QObject::connect(&ports.sleepWatch, &LogindSleepWatch::didWake, &ports.workspace,
                     &Workspace::didWake);
    QObject::connect(&ports.sessionLock, &LogindSessionLock::activeChanged, &ports.workspace,
                     [workspace = &ports.workspace](bool active) {
                         if (active) {
                             Q_EMIT workspace->sessionDidBecomeActive();
                         } else {
                             Q_EMIT workspace->sessionDidResignActive();
                         }
                     });
}

LinuxBackend::~LinuxBackend() = default;

Platform LinuxBackend::platform() {
    Ports& ports = *ports_;
    return Platform{.workspace = ports.workspace,
                    .bundles = ports.bundles,
                    .sessionLock = ports.sessionLock,
                    .accessibility = ports.accessibility,
                    .input = *ports.input,
                    .focusModes = *ports.focusModes,
                    .audio = ports.audio,
                    .mediaPlayers = ports.mediaPlayers,
                    .powerSources = ports.power,
                    .host = ports.host,
                    .appCatalog = ports.catalog,
                    .screenCapture = *ports.screenCapture,
                    .keychain = ports.keychain,
                    .processes = ports.processes,
                    .loginItems = ports.loginItems,
                    .defaults = ports.defaults,
                    .prompts = ports.prompts,
                    .clock = ports.clock,
                    .gaps = this};
}

void LinuxBackend::endProcesses() {
    ports_->tools.endAll();
}

std::chrono::milliseconds LinuxBackend::drainTime() const {
    // The lock's confirmation notices the agent is gone at its next wait.
    return LogindSessionLock::confirmInterval;
}

std::vector<ServiceGaps::Gap> LinuxBackend::gaps() const {
    std::vector<Gap> gaps;
    const Ports& ports = *ports_;
    if (!ports.sessionLock.logindPresent()) {
        const std::string why = "systemd-logind does not answer on the system bus";
        gaps.push_back({"lock_screen", why});
        gaps.push_back({"sleep_mac", why});
    } else if (!ports.sessionLock.sessionKnown()) {
        gaps.push_back({"lock_screen", "systemd-logind knows no session of this agent"});
    }
    if (!ports.accessibility.reachable()) {
        const std::string why = "the accessibility bus (at-spi2-core) does not answer";
        for (const char* name : {"desktop_observe", "desktop_act"}) {
            gaps.push_back({name, why});
        }
    } else if (ports.accessibility.wasOff()) {
        // Turned on at start: applications already running expose nothing until restarted.
        const std::string why =
            "accessibility was off and is on now: applications started before must be restarted";
        for (const char* name : {"desktop_observe", "desktop_act"}) {
            gaps.push_back({name, why});
        }
    }
    // Chromium and Firefox name neither a tab's pinned state nor a menu bar over AT-SPI.
    gaps.push_back({"close_browser_tabs", "browsers do not expose pinned tabs on this desktop"});
    if (!ports.audio.reachable()) {
        const std::string why = "no sound server answers";
        for (const char* name : {"set_volume", "mute", "unmute", "audio_output_state"}) {
            gaps.push_back({name, why});
        }
    }
    if (!ports.windowsOutOfReach.empty()) {
        gaps.push_back({"desktop_images", ports.windowsOutOfReach});
        // One reason per action: the accessibility bus's, when it already left acting out.
        if (std::none_of(gaps.begin(), gaps.end(),
                         [](const Gap& gap) { return gap.name == "desktop_act"; })) {
            gaps.push_back({"desktop_act", ports.windowsOutOfReach});
        }
    }
    if (!ports.sessionBus.isConnected()) {
        const std::string why = "there is no session bus to find media players on";
        for (const char* name :
             {"media_play_pause", "media_next", "media_previous", "playback_state"}) {
            gaps.push_back({name, why});
        }
    }
    return gaps;
}

} // namespace corvane
