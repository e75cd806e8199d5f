#include "sim/SimApplications.h"

#include "sim/SimEventRecord.h"
#include "sim/SimFiles.h"
#include "sim/SimProcessUI.h"
#include "sim/SimScenarioError.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <stdexcept>

namespace corvane {

namespace {

std::string stringMember(const JSON& object, std::string_view key) {
    const std::string* s = object.stringMember(key);
    return s != nullptr ? *s : std::string();
}

std::string bundleMember(const JSON& app, std::string_view key) {
    const JSON* bundle = app.find("bundle");
    return bundle != nullptr ? stringMember(*bundle, key) : std::string();
}

bool bundleFlag(const JSON& app, std::string_view key) {
    const JSON* bundle = app.find("bundle");
    const JSON* value = bundle != nullptr ? bundle->find(key) : nullptr;
    return value != nullptr && value->isTrue();
}

bool installed(const JSON& app) {
    return app.find("installed")->isTrue();
}

std::optional<WireTime::Instant> timeMember(const JSON& object, std::string_view key) {
    const JSON* value = object.find(key);
    if (value == nullptr || value->string() == nullptr) {
        return std::nullopt;
    }
    return WireTime::parse(*value->string());
}

const char* const rootFolders[] = {"Applications", "System/Applications", "Users/Shared",
                                   "home/Applications"};

} // namespace

SimApplications::SimApplications(QString root, Clock& clock, SimEventRecord& record,
                                 SimProcessUI& ui)
    : root_(std::move(root))
    , clock_(clock)
    , record_(record)
    , ui_(ui) {}

std::vector<JSON> SimApplications::prepare(const JSON& entries) const {
    std::vector<JSON> apps;
    for (const JSON& entry : *entries.array()) {
        JSON app = entry;
        const QString absolute = QDir::cleanPath(root_ + QLatin1Char('/') +
                                                 QString::fromStdString(stringMember(app, "path")));
        (*app.object())["path"] = JSON(absolute.toStdString());
        if (installed(app)) {
            const QString contents = absolute + QStringLiteral("/Contents");
            if (!QDir().mkpath(contents) ||
                !SimFiles::replace(contents + QStringLiteral("/Info.json"),
                                   app.find("bundle")->data())) {
                throw SimScenarioError("apps: cannot write the bundle folder " +
                                       absolute.toStdString());
            }
        }
        apps.push_back(std::move(app));
    }
    for (const char* folder : rootFolders) {
        QDir().mkpath(root_ + QLatin1Char('/') + QLatin1String(folder));
    }
    return apps;
}

void SimApplications::load(std::vector<JSON> apps, const JSON& frontmost) {
    // Bundles of the previous scenario that this one lacks would still be found by a directory
    // walk: remove the folders this model wrote itself (never anything else under the root).
    for (const JSON& previous : apps_) {
        const std::string path = stringMember(previous, "path");
        const bool kept = std::any_of(apps.begin(), apps.end(), [&](const JSON& next) {
            return stringMember(next, "path") == path && installed(next);
        });
        if (!kept && installed(previous)) {
            QDir(QString::fromStdString(path)).removeRecursively();
        }
    }
    apps_ = std::move(apps);
    running_.clear();
    frontmost_ = 0;
    for (std::size_t a = 0; a < apps_.size(); ++a) {
        for (const JSON& run : *apps_[a].find("running")->array()) {
            std::optional<Policy> policy;
            if (const std::string* p = run.stringMember("policy")) {
                policy = *p == "accessory"    ? Policy::Accessory
                         : *p == "prohibited" ? Policy::Prohibited
                                              : Policy::Regular;
            }
            start(a, static_cast<std::int32_t>(*run.find("pid")->number()),
                  timeMember(run, "launch_date"), policy);
        }
    }
    if (std::optional<double> front = frontmost.number()) {
        frontmost_ = static_cast<std::int32_t>(*front);
    }
}

const SimApplications::Instance* SimApplications::instance(std::int32_t pid) const {
    for (const Instance& i : running_) {
        if (i.pid == pid) {
            return &i;
        }
    }
    return nullptr;
}

std::vector<std::int32_t> SimApplications::screenOrder() const {
    std::vector<std::int32_t> order;
    if (instance(frontmost_) != nullptr) {
        order.push_back(frontmost_);
    }
    for (const Instance& i : running_) {
        if (i.pid != frontmost_) {
            order.push_back(i.pid);
        }
    }
    return order;
}

std::string SimApplications::localizedName(const Instance& instance) const {
    const JSON& app = entry(instance);
    for (std::string name : {stringMember(app, "name"), bundleMember(app, "CFBundleDisplayName"),
                             bundleMember(app, "CFBundleName")}) {
        if (!name.empty()) {
            return name;
        }
    }
    return QFileInfo(QString::fromStdString(stringMember(app, "path")))
        .completeBaseName()
        .toStdString();
}

std::string SimApplications::bundleIdentifier(const Instance& instance) const {
    return bundleMember(entry(instance), "CFBundleIdentifier");
}

RunningApplication SimApplications::describe(const Instance& instance) const {
    const JSON& app = entry(instance);
    RunningApplication result;
    result.pid = instance.pid;
    if (std::string id = bundleIdentifier(instance); !id.empty()) {
        result.bundleID = id;
    }
    result.localizedName = localizedName(instance);
    if (installed(app)) {
        result.bundlePath = stringMember(app, "path");
    }
    result.activationPolicy = instance.policy;
    result.launchDate = instance.launchDate;
    result.active = instance.pid == frontmost_;
    return result;
}

std::optional<std::string> SimApplications::bundleIdentifier(std::int32_t pid) const {
    if (const Instance* i = instance(pid)) {
        return bundleIdentifier(*i);
    }
    return std::nullopt;
}

std::vector<std::int32_t> SimApplications::pidsOf(const std::string& bundleID) const {
    std::vector<std::int32_t> pids;
    for (const Instance& i : running_) {
        if (bundleIdentifier(i) == bundleID) {
            pids.push_back(i.pid);
        }
    }
    return pids;
}

std::optional<std::string> SimApplications::applicationPath(const std::string& bundleID) const {
    for (const JSON& app : apps_) {
        if (installed(app) && bundleMember(app, "CFBundleIdentifier") == bundleID) {
            return stringMember(app, "path");
        }
    }
    return std::nullopt;
}

std::vector<std::string> SimApplications::indexedPaths() const {
    std::vector<std::string> paths;
    for (const JSON& app : apps_) {
        if (installed(app) && app.find("indexed")->isTrue()) {
            paths.push_back(stringMember(app, "path"));
        }
    }
    return paths;
}

std::vector<std::string> SimApplications::directoryRoots() const {
    std::vector<std::string> roots;
    for (const char* folder : rootFolders) {
        roots.push_back((root_ + QLatin1Char('/') + QLatin1String(folder)).toStdString());
    }
    return roots;
}

std::optional<WireTime::Instant> SimApplications::lastUsed(const std::string& path) const {
    const QString wanted = QDir::cleanPath(QString::fromStdString(path));
    for (const JSON& app : apps_) {
        if (QString::fromStdString(stringMember(app, "path")) == wanted) {
            return timeMember(app, "last_used");
        }
    }
    return std::nullopt;
}

void SimApplications::start(std::size_t app, std::int32_t pid,
                            std::optional<WireTime::Instant> date, std::optional<Policy> policy) {
    const JSON& bundle = apps_[app];
    Instance started;
    started.pid = pid;
    started.app = app;
    started.launchDate = date;
    started.policy = policy.value_or(bundleFlag(bundle, "LSBackgroundOnly") ? Policy::Prohibited
                                     : bundleFlag(bundle, "LSUIElement")    ? Policy::Accessory
                                                                            : Policy::Regular);
    running_.push_back(started);
    ui_.instanceStarted(pid, bundle.find("ui"));
}

std::int32_t SimApplications::open(const std::string& path, bool activateIt) {
    const QString wanted = QDir::cleanPath(QString::fromStdString(path));
    for (std::size_t a = 0; a < apps_.size(); ++a) {
        const JSON& app = apps_[a];
        if (QString::fromStdString(stringMember(app, "path")) != wanted || !installed(app)) {
            continue;
        }
        if (!QFileInfo::exists(wanted + QStringLiteral("/Contents/Info.json"))) {
            break;
        }
        JSON::Object details{{"path", JSON(path)}, {"activate", JSON(activateIt)}};
        if (stringMember(app, "launch") == "fails") {
            details["outcome"] = JSON("failed");
            record_.record("open_application", std::move(details));
            throw std::runtime_error("The application could not be launched");
        }
        auto running = std::find_if(running_.begin(), running_.end(),
                                    [a](const Instance& i) { return i.app == a; });
        std::int32_t pid = running != running_.end() ? running->pid : 0;
        details["already_running"] = JSON(pid != 0);
        if (pid == 0) {
            pid = 1000;
            for (const Instance& i : running_) {
                pid = std::max(pid, i.pid + 1);
            }
            start(a, pid, clock_.now(), std::nullopt);
        }
        details["pid"] = JSON(pid);
        record_.record("open_application", std::move(details));
        if (activateIt) {
            activate(pid);
        }
        return pid;
    }
    record_.record("open_application", {{"path", JSON(path)}, {"outcome", JSON("no_bundle")}});
    throw std::runtime_error("No application bundle at this path");
}

bool SimApplications::activate(std::int32_t pid) {
    const Instance* target = instance(pid);
    const bool accepted = target != nullptr && target->policy != Policy::Prohibited;
    record_.record("activate", {{"pid", JSON(pid)}, {"accepted", JSON(accepted)}});
    if (accepted && stringMember(entry(*target), "activation") != "stays_behind") {
        frontmost_ = pid;
    }
    return accepted;
}

bool SimApplications::setFrontmost(std::int32_t pid) {
    if (instance(pid) == nullptr) {
        return false;
    }
    frontmost_ = pid;
    return true;
}

bool SimApplications::requestQuit(std::int32_t pid) {
    const Instance* target = instance(pid);
    if (target == nullptr) {
        record_.record("quit_request", {{"pid", JSON(pid)}, {"outcome", JSON("not_running")}});
        return false;
    }
    const std::string behaviour = stringMember(entry(*target), "quit");
    record_.record("quit_request", {{"pid", JSON(pid)}, {"outcome", JSON(behaviour)}});
    if (behaviour == "refuses") {
        return false;
    }
    // What the application shows when asked to quit, e.g. its save sheet; it may end it too.
    const JSON onQuit = *entry(*target).find("on_quit");
    ui_.showQuitEffects(onQuit);
    if (behaviour == "quits" && instance(pid) != nullptr) {
        end(pid);
    }
    return true;
}

bool SimApplications::forceQuit(std::int32_t pid) {
    if (instance(pid) == nullptr) {
        return false;
    }
    record_.record("quit", {{"pid", JSON(pid)}});
    end(pid);
    return true;
}

void SimApplications::end(std::int32_t pid) {
    ui_.instanceEnded(pid);
    std::erase_if(running_, [pid](const Instance& i) { return i.pid == pid; });
    if (frontmost_ == pid) {
        // The next regular application comes forward, as when the front one quits.
        frontmost_ = 0;
        for (const Instance& i : running_) {
            if (i.policy == Policy::Regular) {
                frontmost_ = i.pid;
                break;
            }
        }
    }
}

} // namespace corvane
