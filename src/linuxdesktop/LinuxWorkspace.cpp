#include "linuxdesktop/LinuxWorkspace.h"

#include "core/ContractError.h"
#include "linuxdesktop/AppScopes.h"
#include "linuxdesktop/DesktopEntry.h"
#include "linuxdesktop/EwmhWindows.h"
#include "linuxdesktop/GLibOwners.h"
#include "linuxdesktop/LinuxAppCatalog.h"

#include <QFile>
#include <QPointer>
#include <QPromise>
#include <QSysInfo>
#include <QtDebug>
#include <qcoro/qcorofuture.h>

#include <gio/gdesktopappinfo.h>

#include <algorithm>
#include <cctype>
#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace corvane {

struct LinuxWorkspace::Index {
    struct Known {
        std::string id;
        std::string path;
        std::string name;
    };
    std::map<std::string, Known> byId;      // the whole id
    std::map<std::string, Known> byWMClass; // StartupWMClass, lower case
    std::map<std::string, Known> byShortId; // the id without ".desktop", lower case
    std::map<std::string, Known> byProgram; // the Exec program, where one entry alone runs it
};

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// At most `limit` bytes of a file under /proc; empty when it cannot be read.
std::string readSmall(const std::string& path, std::size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    std::string content;
    char buffer[4096];
    while (content.size() < limit) {
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n <= 0) {
            break;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (content.size() > limit) {
        content.resize(limit);
    }
    return content;
}

// The process's start in clock ticks after boot (field 22 of its stat line); 0 when unknown.
std::uint64_t startTicks(std::int32_t pid) {
    const std::string stat = readSmall("/proc/" + std::to_string(pid) + "/stat", 4096);
    // The command name in parentheses may hold spaces and parentheses: fields count from the last.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::size_t position = close + 1;
    for (int field = 3; field <= 22; ++field) {
        position = stat.find_first_not_of(' ', position);
        if (position == std::string::npos) {
            return 0;
        }
        const std::size_t end = std::min(stat.find(' ', position), stat.size());
        if (field == 22) {
            try {
                return std::stoull(stat.substr(position, end - position));
            } catch (const std::exception&) {
                return 0;
            }
        }
        position = end;
    }
    return 0;
}

// When the system started (btime in /proc/stat); absent when unknown.
std::optional<WireTime::Instant> bootTime() {
    const std::string stat = readSmall("/proc/stat", 256 * 1024);
    const std::size_t at = stat.find("\nbtime ");
    if (at == std::string::npos) {
        return std::nullopt;
    }
    try {
        return WireTime::Instant(std::chrono::seconds(std::stoll(stat.substr(at + 7, 24))));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<WireTime::Instant> launchDate(std::optional<WireTime::Instant> boot,
                                            std::uint64_t ticks) {
    const long perSecond = ::sysconf(_SC_CLK_TCK);
    if (!boot || ticks == 0 || perSecond <= 0) {
        return std::nullopt;
    }
    const auto sinceBoot = std::chrono::milliseconds(static_cast<long long>(ticks) * 1000 /
                                                     static_cast<long long>(perSecond));
    return *boot + std::chrono::duration_cast<WireTime::Instant::duration>(sinceBoot);
}

// The desktop entry GIO launched this very process from (GIO_LAUNCHED_DESKTOP_FILE, when
// GIO_LAUNCHED_DESKTOP_FILE_PID names the process itself and not a parent it inherited them from).
std::optional<std::string> launchedEntry(std::int32_t pid) {
    constexpr std::size_t environmentLimit = 1024 * 1024;
    const std::string environment =
        readSmall("/proc/" + std::to_string(pid) + "/environ", environmentLimit);
    std::optional<std::string> file;
    std::optional<std::string> filePid;
    std::size_t start = 0;
    while (start < environment.size()) {
        const std::size_t end = std::min(environment.find('\0', start), environment.size());
        const std::string_view item(environment.data() + start, end - start);
        constexpr std::string_view fileKey = "GIO_LAUNCHED_DESKTOP_FILE=";
        constexpr std::string_view pidKey = "GIO_LAUNCHED_DESKTOP_FILE_PID=";
        if (item.starts_with(fileKey)) {
            file = std::string(item.substr(fileKey.size()));
        } else if (item.starts_with(pidKey)) {
            filePid = std::string(item.substr(pidKey.size()));
        }
        start = end + 1;
    }
    if (!file || !filePid || *filePid != std::to_string(pid) || file->empty() ||
        file->front() != '/') {
        return std::nullopt;
    }
    return file;
}

std::string programOf(std::int32_t pid) {
    char target[4096];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = ::readlink(link.c_str(), target, sizeof(target) - 1);
    if (n <= 0) {
        return {};
    }
    std::string path(target, static_cast<std::size_t>(n));
    return path.substr(path.rfind('/') + 1);
}

std::string localHostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0) {
        return {};
    }
    return name;
}

std::shared_ptr<const LinuxWorkspace::Index> readIndex(const LinuxAppCatalog& catalog) {
    auto index = std::make_shared<LinuxWorkspace::Index>();
    std::set<std::string> sharedPrograms;
    for (const auto& [id, path] : catalog.entries()) {
        const std::optional<DesktopEntry> entry = DesktopEntry::read(path);
        if (!entry) {
            continue;
        }
        const LinuxWorkspace::Index::Known known{id, path, entry->name};
        index->byId.try_emplace(id, known);
        if (!entry->startupWMClass.empty()) {
            index->byWMClass.try_emplace(lower(entry->startupWMClass), known);
        }
        index->byShortId.try_emplace(lower(id.substr(0, id.size() - 8)), known);
        if (!entry->program.empty() && !sharedPrograms.contains(entry->program)) {
            if (!index->byProgram.try_emplace(entry->program, known).second) {
                // Several entries start this program (an editor and its "new window" entry):
                // the program alone tells none of them apart.
                index->byProgram.erase(entry->program);
                sharedPrograms.insert(entry->program);
            }
        }
    }
    return index;
}

// What the person opens shows on their screen: a headless agent runs its own Qt without one, and
// that setting must not reach the programs it starts.
GAppLaunchContext* launchContext() {
    GAppLaunchContext* context = g_app_launch_context_new();
    if (qgetenv("QT_QPA_PLATFORM") == "offscreen") {
        g_app_launch_context_unsetenv(context, "QT_QPA_PLATFORM");
    }
    return context;
}

std::string launchFailure(const std::string& path) {
    const GLibOwners::Object<GDesktopAppInfo> info(
        g_desktop_app_info_new_from_filename(path.c_str()));
    if (!info) {
        return "app_not_found";
    }
    const GLibOwners::Object<GAppLaunchContext> context(launchContext());
    GError* raw = nullptr;
    if (!g_app_info_launch(G_APP_INFO(info.get()), nullptr, context.get(), &raw)) {
        const GLibOwners::Error error(raw);
        qWarning("launching %s failed: %s", path.c_str(), error ? error->message : "unknown");
        return "action_failed";
    }
    return {};
}

} // namespace

LinuxWorkspace::LinuxWorkspace(const LinuxAppCatalog& catalog, Clock& clock, Options options,
                               QObject* parent)
    : Workspace(parent)
    , catalog_(catalog)
    , clock_(clock)
    , options_(std::move(options))
    , windows_(std::make_unique<EwmhWindows>(options_.display))
    , scopes_(options_.wayland ? std::make_unique<AppScopes>(options_.procRoot) : nullptr)
    , bootTime_(bootTime()) {
    pool_.setMaxThreadCount(2);
    static_cast<void>(refreshEntries());
}

namespace {

LinuxWorkspace::Options environmentOptions() {
    LinuxWorkspace::Options options;
    options.wayland = LinuxWorkspace::waylandSession();
    return options;
}

} // namespace

LinuxWorkspace::LinuxWorkspace(const LinuxAppCatalog& catalog, Clock& clock, QObject* parent)
    : LinuxWorkspace(catalog, clock, environmentOptions(), parent) {}

LinuxWorkspace::~LinuxWorkspace() {
    pool_.waitForDone();
}

QFuture<void> LinuxWorkspace::refreshEntries() const {
    auto promise = std::make_shared<QPromise<void>>();
    QFuture<void> future = promise->future();
    promise->start();
    {
        const std::lock_guard lock(indexMutex_);
        indexing_ = true;
        indexedAt_ = std::chrono::steady_clock::now();
    }
    pool_.start([this, promise] {
        std::shared_ptr<const Index> fresh;
        try {
            fresh = readIndex(catalog_);
        } catch (...) {
            // Out of memory and the like: the previous reading stays.
        }
        {
            const std::lock_guard lock(indexMutex_);
            if (fresh) {
                index_ = std::move(fresh);
            }
            indexing_ = false;
        }
        promise->finish();
    });
    return future;
}

std::shared_ptr<const LinuxWorkspace::Index> LinuxWorkspace::index() const {
    bool stale = false;
    std::shared_ptr<const Index> current;
    {
        const std::lock_guard lock(indexMutex_);
        current = index_;
        stale = !indexing_ &&
                (!indexedAt_ || std::chrono::steady_clock::now() - *indexedAt_ > entriesLifetime);
    }
    if (stale) {
        static_cast<void>(refreshEntries());
    }
    return current;
}

bool LinuxWorkspace::waylandSession() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return (display != nullptr && *display != '\0') ||
           (type != nullptr && std::string_view(type) == "wayland");
}

LinuxWorkspace::Snapshot LinuxWorkspace::snapshot() const {
    Snapshot result = windowSnapshot();
    if (!scopes_) {
        return result;
    }
    // The compositor's focus is out of sight: the X11 root's active window may be stale.
    for (RunningApplication& app : result.apps) {
        app.active = false;
    }
    const std::shared_ptr<const Index> known = index();
    // An application with X11 windows is listed by them: they can be activated and closed.
    std::set<std::int32_t> pids;
    std::set<std::string> withWindows;
    for (const RunningApplication& app : result.apps) {
        pids.insert(app.pid);
        if (app.bundleID) {
            withWindows.insert(*app.bundleID);
        }
    }
    // A walk over every process costs a few milliseconds: one walk serves the reads of a second.
    const auto now = std::chrono::steady_clock::now();
    if (!scopesReadAt_ || now - *scopesReadAt_ >= scopesLifetime) {
        units_ = scopes_->running();
        scopesReadAt_ = now;
    }
    for (const AppScopes::Running& unit : units_) {
        if (pids.contains(unit.pid) || withWindows.contains(unit.desktopID)) {
            continue;
        }
        RunningApplication app;
        app.pid = unit.pid;
        app.bundleID = unit.desktopID;
        app.bundlePath = catalog_.pathOf(unit.desktopID);
        if (known) {
            if (const auto it = known->byId.find(unit.desktopID); it != known->byId.end()) {
                app.localizedName = it->second.name;
            }
        }
        app.launchDate = launchDate(bootTime_, startTicks(unit.pid));
        result.apps.push_back(std::move(app));
    }
    return result;
}

LinuxWorkspace::Snapshot LinuxWorkspace::windowSnapshot() const {
    Snapshot result;
    const std::vector<EwmhWindows::Window> clients = windows_->clients();
    if (clients.empty()) {
        launched_.clear();
        return result;
    }
    const std::optional<std::uint32_t> active = windows_->activeWindow();
    const std::shared_ptr<const Index> known = index();
    const std::string host = localHostName();
    std::map<std::int32_t, std::size_t> appOf;
    std::set<std::int32_t> seen;
    for (const EwmhWindows::Window& window : clients) {
        // A window of another host names a process id of that host.
        if (window.pid <= 0 || !window.ordinary ||
            (!window.machine.empty() && window.machine != host)) {
            continue;
        }
        result.windows.push_back({window.id, window.pid});
        const bool isActive = active && *active == window.id;
        if (const auto it = appOf.find(window.pid); it != appOf.end()) {
            result.apps[it->second].active = result.apps[it->second].active || isActive;
            continue;
        }
        seen.insert(window.pid);
        const std::uint64_t ticks = startTicks(window.pid);
        Launched& cached = launched_[window.pid];
        if (cached.startTicks != ticks || ticks == 0) {
            cached = Launched{ticks, launchedEntry(window.pid)};
        }

        RunningApplication app;
        app.pid = window.pid;
        app.active = isActive;
        app.launchDate = launchDate(bootTime_, ticks);
        std::optional<Index::Known> entry;
        if (cached.entryPath) {
            const std::string id = catalog_.identifierOf(*cached.entryPath);
            if (!id.empty()) {
                entry = Index::Known{id, *cached.entryPath, {}};
                if (known) {
                    if (const auto it = known->byId.find(id);
                        it != known->byId.end() && it->second.path == *cached.entryPath) {
                        entry->name = it->second.name;
                    }
                }
            }
        }
        if (!entry && known) {
            const auto find = [](const std::map<std::string, Index::Known>& map,
                                 const std::string& key) -> std::optional<Index::Known> {
                if (key.empty()) {
                    return std::nullopt;
                }
                const auto it = map.find(key);
                return it != map.end() ? std::optional(it->second) : std::nullopt;
            };
            for (const std::string& key : {lower(window.windowClass), lower(window.instance)}) {
                if (!entry) {
                    entry = find(known->byWMClass, key);
                }
            }
            for (const std::string& key : {lower(window.instance), lower(window.windowClass)}) {
                if (!entry) {
                    entry = find(known->byShortId, key);
                }
            }
            if (!entry) {
                entry = find(known->byProgram, programOf(window.pid));
            }
        }
        if (entry) {
            app.bundleID = entry->id;
            app.bundlePath = entry->path;
            if (!entry->name.empty()) {
                app.localizedName = entry->name;
            }
        }
        if (!app.localizedName) {
            app.localizedName = !window.windowClass.empty() ? window.windowClass : window.title;
        }
        appOf.emplace(window.pid, result.apps.size());
        result.apps.push_back(std::move(app));
    }
    std::erase_if(launched_, [&seen](const auto& item) { return !seen.contains(item.first); });
    return result;
}

std::vector<RunningApplication> LinuxWorkspace::runningApplications() const {
    return snapshot().apps;
}

std::optional<RunningApplication> LinuxWorkspace::frontmostApplication() const {
    for (RunningApplication& app : snapshot().apps) {
        if (app.active) {
            return std::move(app);
        }
    }
    return std::nullopt;
}

std::optional<std::string> LinuxWorkspace::applicationPath(const std::string& bundleID) const {
    return catalog_.pathOf(bundleID);
}

QCoro::Task<void> LinuxWorkspace::openApplication(std::string path, bool activate) {
    return openIn(this, std::move(path), activate);
}

QCoro::Task<void> LinuxWorkspace::openIn(LinuxWorkspace* self, std::string path, bool activate) {
    const QPointer<LinuxWorkspace> guard(self);
    const std::string identifier = self->catalog_.identifierOf(path);
    if (identifier.empty()) {
        throw ContractError("app_not_found");
    }
    auto promise = std::make_shared<QPromise<std::string>>();
    QFuture<std::string> launch = promise->future();
    promise->start();
    self->pool_.start([promise, path] {
        std::string failure;
        try {
            failure = launchFailure(path);
        } catch (...) {
            failure = "action_failed";
        }
        promise->addResult(std::move(failure));
        promise->finish();
    });
    const std::string failure = co_await launch;
    if (!failure.empty()) {
        throw ContractError(failure);
    }
    for (int waits = 0; guard && waits < launchWaitLimit; ++waits) {
        for (const RunningApplication& app : guard->runningApplications()) {
            if (app.bundleID == identifier) {
                if (activate && !app.active) {
                    co_await activateIn(guard, app.pid);
                }
                co_return;
            }
        }
        co_await guard->clock_.sleep(launchPollInterval);
    }
    // Launched, but no window showed in time: a slow or windowless program. The open itself
    // succeeded.
}

QCoro::Task<void> LinuxWorkspace::activateIn(QPointer<LinuxWorkspace> guard, std::int32_t pid) {
    // The window manager acts on the request in its own time; the caller reads the result next.
    for (int waits = 0; guard && waits < activationWaitLimit; ++waits) {
        if (waits == 0 && !guard->activate(pid)) {
            co_return;
        }
        for (const RunningApplication& app : guard->runningApplications()) {
            if (app.pid == pid && app.active) {
                co_return;
            }
        }
        co_await guard->clock_.sleep(launchPollInterval);
    }
}

bool LinuxWorkspace::openURL(const std::string& url) {
    const std::size_t colon = url.find(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    const std::string scheme = url.substr(0, colon);
    const GLibOwners::Object<GAppInfo> handler(
        g_app_info_get_default_for_uri_scheme(scheme.c_str()));
    if (!handler) {
        return false;
    }
    pool_.start([url] {
        const GLibOwners::Object<GAppLaunchContext> context(launchContext());
        GError* raw = nullptr;
        if (!g_app_info_launch_default_for_uri(url.c_str(), context.get(), &raw)) {
            const GLibOwners::Error error(raw);
            qWarning("opening a web address failed: %s", error ? error->message : "unknown");
        }
    });
    return true;
}

std::optional<std::uint32_t> LinuxWorkspace::lastWindowOf(std::int32_t pid) const {
    std::optional<std::uint32_t> found;
    for (const Window& window : snapshot().windows) {
        if (window.pid == pid) {
            found = window.id;
        }
    }
    return found;
}

bool LinuxWorkspace::activate(std::int32_t pid) {
    const std::optional<std::uint32_t> window = lastWindowOf(pid);
    return window && windows_->requestActivate(*window);
}

bool LinuxWorkspace::terminate(std::int32_t pid) {
    bool any = false;
    for (const Window& window : snapshot().windows) {
        if (window.pid == pid) {
            if (!windows_->requestClose(window.id)) {
                return false;
            }
            any = true;
        }
    }
    return any;
}

std::string LinuxWorkspace::hostName() const {
    return QSysInfo::machineHostName().toStdString();
}

OSVersion LinuxWorkspace::osVersion() const {
    OSVersion version;
    QFile file(QString::fromStdString(options_.osRelease));
    if (!file.open(QIODevice::ReadOnly)) {
        return version;
    }
    // Small by nature; a bound keeps a strange file from being read whole.
    const QByteArray content = file.read(64 * 1024);
    std::map<std::string, std::string> fields;
    for (const QByteArray& line : content.split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals <= 0) {
            continue;
        }
        QByteArray value = line.mid(equals + 1).trimmed();
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.mid(1, value.size() - 2);
        }
        fields[line.left(equals).trimmed().toStdString()] = value.toStdString();
    }
    int* parts[] = {&version.major, &version.minor, &version.patch};
    const QList<QByteArray> numbers = QByteArray::fromStdString(fields["VERSION_ID"]).split('.');
    for (qsizetype i = 0; i < std::min<qsizetype>(3, numbers.size()); ++i) {
        bool ok = false;
        const int number = numbers[i].toInt(&ok);
        if (!ok || number < 0) {
            break;
        }
        *parts[i] = number;
    }
    version.text = fields.contains("PRETTY_NAME") ? fields["PRETTY_NAME"] : fields["NAME"];
    return version;
}

} // namespace corvane
