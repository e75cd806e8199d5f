#include "CorvanePlatform/sim/SimModel.h"

#include "CorvanePlatform/InputEvents.h"
#include "CorvanePlatform/sim/SimScenario.h"
#include "CorvanePlatform/sim/SimScenarioError.h"
#include "CorvanePlatform/sim/SimValueCodec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>

#include <algorithm>
#include <stdexcept>

namespace corvane {

namespace {

using Policy = RunningApplication::ActivationPolicy;

constexpr std::uint16_t lockKey = 12;         // Q, with Control and Command
constexpr std::uint16_t controlCenterKey = 8; // C, with the Globe/Fn flag
constexpr std::uint16_t selectAllKey = 0;
constexpr std::uint16_t backspaceKey = 51;
constexpr const char* controlCenterID = "com.apple.controlcenter";

const std::vector<std::string> editableRoles = {"AXTextField", "AXTextArea", "AXComboBox"};

bool isEditable(const PlatformValue::Dictionary& attributes) {
    auto role = attributes.find("AXRole");
    if (role == attributes.end() || role->second.string() == nullptr) {
        return false;
    }
    return std::find(editableRoles.begin(), editableRoles.end(), *role->second.string()) !=
           editableRoles.end();
}

std::string role(const SimModel::Element& element) {
    auto found = element.attributes.find("AXRole");
    if (found == element.attributes.end() || found->second.string() == nullptr) {
        return {};
    }
    return *found->second.string();
}

std::optional<WireTime::Instant> timeMember(const JSON& object, std::string_view key) {
    const JSON* value = object.find(key);
    if (value == nullptr || value->string() == nullptr) {
        return std::nullopt;
    }
    return WireTime::parse(*value->string());
}

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

PlatformValue toggled(const std::optional<PlatformValue>& value) {
    if (value) {
        if (std::optional<bool> b = value->boolean()) {
            return PlatformValue(!*b);
        }
        if (std::optional<double> n = value->number()) {
            return PlatformValue(std::int64_t{*n == 0.0 ? 1 : 0});
        }
    }
    return PlatformValue(std::int64_t{1});
}

PlatformValue selectedValue(const std::optional<PlatformValue>& current, bool selected) {
    if (current && current->kind() == PlatformValue::Kind::Integer) {
        return PlatformValue(std::int64_t{selected ? 1 : 0});
    }
    return PlatformValue(selected);
}

// Writes `bytes` to `path` through a temporary file, so a reader never sees half a file.
bool writeFile(const QString& path, const std::string& bytes) {
    const QString temporary = path + QStringLiteral(".tmp");
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    const bool written = file.write(bytes.data(), static_cast<qint64>(bytes.size())) ==
                         static_cast<qint64>(bytes.size());
    file.close();
    QFile::remove(path);
    return written && QFile::rename(temporary, path);
}

} // namespace

SimModel::SimModel(QString root, Clock& clock)
    : root_(std::move(root))
    , clock_(clock)
    , settings_(SimScenario::normaliseSettings(JSON(JSON::Object{}))) {
    systemWide_ = nextToken_++;
}

std::unique_lock<std::recursive_mutex> SimModel::lock() const {
    return std::unique_lock<std::recursive_mutex>(mutex_);
}

void SimModel::load(const JSON& scenario) {
    auto guard = lock();
    // Bundle folders first: the only step that can fail on a checked scenario.
    std::vector<JSON> apps;
    for (const JSON& entry : *scenario.find("apps")->array()) {
        JSON app = entry;
        const QString absolute = QDir::cleanPath(root_ + QLatin1Char('/') +
                                                 QString::fromStdString(stringMember(app, "path")));
        (*app.object())["path"] = JSON(absolute.toStdString());
        if (app.find("installed")->isTrue()) {
            const QString contents = absolute + QStringLiteral("/Contents");
            if (!QDir().mkpath(contents) ||
                !writeFile(contents + QStringLiteral("/Info.json"), app.find("bundle")->data())) {
                throw SimScenarioError("apps: cannot write the bundle folder " +
                                       absolute.toStdString());
            }
        }
        apps.push_back(std::move(app));
    }
    for (const QString& folder :
         {QStringLiteral("Applications"), QStringLiteral("System/Applications"),
          QStringLiteral("Users/Shared"), QStringLiteral("home/Applications")}) {
        QDir().mkpath(root_ + QLatin1Char('/') + folder);
    }

    JSON::Object settings = *scenario.object();
    settings.erase("apps");
    settings.erase("frontmost");
    settings_ = JSON(std::move(settings));
    // Bundles of the previous scenario that this one lacks would still be found by a directory
    // walk: remove the folders this model wrote itself (never anything else under the root).
    for (const JSON& previous : apps_) {
        const std::string path = stringMember(previous, "path");
        const bool kept = std::any_of(apps.begin(), apps.end(), [&](const JSON& next) {
            return stringMember(next, "path") == path && next.find("installed")->isTrue();
        });
        if (!kept && previous.find("installed")->isTrue()) {
            QDir(QString::fromStdString(path)).removeRecursively();
        }
    }
    apps_ = std::move(apps);
    running_.clear();
    elements_.clear();
    names_.clear();
    timeouts_.clear();
    events_.clear();
    frontmost_ = 0;
    for (std::size_t a = 0; a < apps_.size(); ++a) {
        for (const JSON& run : *apps_[a].find("running")->array()) {
            std::optional<Policy> policy;
            if (const std::string* p = run.stringMember("policy")) {
                policy = *p == "accessory"    ? Policy::Accessory
                         : *p == "prohibited" ? Policy::Prohibited
                                              : Policy::Regular;
            }
            launch(a, static_cast<std::int32_t>(*run.find("pid")->number()),
                   timeMember(run, "launch_date"), policy);
        }
    }
    if (std::optional<double> front = scenario.find("frontmost")->number()) {
        frontmost_ = static_cast<std::int32_t>(*front);
    }
}

// --- settings ---

JSON SimModel::settings() const {
    auto guard = lock();
    return settings_;
}

const JSON* SimModel::find(std::initializer_list<std::string_view> path) const {
    const JSON* at = &settings_;
    for (std::string_view key : path) {
        at = at->find(key);
        if (at == nullptr) {
            return nullptr;
        }
    }
    return at;
}

JSON* SimModel::slot(std::initializer_list<std::string_view> path) {
    JSON* at = &settings_;
    for (std::string_view key : path) {
        JSON::Object* object = at->object();
        if (object == nullptr) {
            return nullptr;
        }
        auto found = object->find(key);
        if (found == object->end()) {
            found = object->emplace(std::string(key), JSON(JSON::Object{})).first;
        }
        at = &found->second;
    }
    return at;
}

JSON SimModel::setting(std::initializer_list<std::string_view> path) const {
    auto guard = lock();
    const JSON* at = find(path);
    return at != nullptr ? *at : JSON(nullptr);
}

bool SimModel::flag(std::initializer_list<std::string_view> path) const {
    auto guard = lock();
    const JSON* at = find(path);
    return at != nullptr && at->isTrue();
}

std::string SimModel::text(std::initializer_list<std::string_view> path) const {
    auto guard = lock();
    const JSON* at = find(path);
    return at != nullptr && at->string() != nullptr ? *at->string() : std::string();
}

double SimModel::number(std::initializer_list<std::string_view> path) const {
    auto guard = lock();
    const JSON* at = find(path);
    return at != nullptr ? at->number().value_or(0.0) : 0.0;
}

void SimModel::put(std::initializer_list<std::string_view> path, JSON value) {
    auto guard = lock();
    if (JSON* at = slot(path)) {
        *at = std::move(value);
    }
}

void SimModel::setAt(const std::vector<JSON>& path, JSON value) {
    auto guard = lock();
    if (path.empty()) {
        throw SimScenarioError("path: expected at least one member name");
    }
    if (const std::string* first = path.front().string();
        first != nullptr && SimScenario::isModelMember(*first)) {
        throw SimScenarioError(*first + ": changed with the application commands, not with set");
    }
    JSON candidate = settings_;
    JSON* at = &candidate;
    std::string where;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const bool last = i + 1 == path.size();
        if (const std::string* key = path[i].string()) {
            where += (where.empty() ? "" : ".") + *key;
            JSON::Object* object = at->object();
            if (object == nullptr) {
                throw SimScenarioError(where + ": not inside an object");
            }
            auto found = object->find(*key);
            if (found == object->end()) {
                if (!last) {
                    throw SimScenarioError(where + ": no such member");
                }
                found = object->emplace(*key, JSON(nullptr)).first;
            }
            at = &found->second;
        } else if (std::optional<double> index = path[i].number()) {
            where += "[" + path[i].data() + "]";
            JSON::Array* array = at->array();
            if (array == nullptr || *index < 0 || *index >= static_cast<double>(array->size()) ||
                *index != static_cast<double>(static_cast<std::size_t>(*index))) {
                throw SimScenarioError(where + ": no such array element");
            }
            at = &(*array)[static_cast<std::size_t>(*index)];
        } else {
            throw SimScenarioError("path: expected member names and array indexes");
        }
    }
    *at = std::move(value);
    settings_ = SimScenario::normaliseSettings(std::move(candidate));
}

namespace {

JSON mergePatch(JSON target, const JSON& patch) {
    const JSON::Object* members = patch.object();
    if (members == nullptr) {
        return patch;
    }
    if (!target.isObject()) {
        target = JSON(JSON::Object{});
    }
    JSON::Object& object = *target.object();
    for (const auto& [key, value] : *members) {
        if (value.isNull()) {
            object.erase(key);
        } else {
            auto found = object.find(key);
            JSON base = found != object.end() ? found->second : JSON(nullptr);
            object[key] = mergePatch(std::move(base), value);
        }
    }
    return target;
}

} // namespace

void SimModel::patch(const JSON& changes) {
    auto guard = lock();
    const JSON::Object* members = changes.object();
    if (members == nullptr) {
        throw SimScenarioError("patch: expected an object");
    }
    for (const auto& [key, value] : *members) {
        if (SimScenario::isModelMember(key)) {
            throw SimScenarioError(key + ": changed with the application commands, not a patch");
        }
    }
    // Members removed by the patch come back with their defaults.
    settings_ = SimScenario::normaliseSettings(mergePatch(settings_, changes));
}

// --- record ---

void SimModel::record(std::string kind, JSON::Object details) {
    auto guard = lock();
    details["kind"] = JSON(std::move(kind));
    details["at"] = JSON(WireTime::text(clock_.now()));
    if (events_.size() >= maxEvents) {
        // A demo runs for days: the oldest entries go first.
        events_.erase(events_.begin(), events_.begin() + static_cast<long>(maxEvents / 10));
    }
    events_.emplace_back(std::move(details));
}

std::vector<JSON> SimModel::events() const {
    auto guard = lock();
    return events_;
}

void SimModel::clearEvents() {
    auto guard = lock();
    events_.clear();
}

// --- session ---

void SimModel::setLocked(bool locked) {
    const double uid = number({"console", "uid"});
    put({"console", "locked"}, JSON(locked));
    // The user's console record carries its own copy of the flag when it has one.
    if (JSON* users = slot({"console", "users"}); users != nullptr && users->array() != nullptr) {
        for (JSON& record : *users->array()) {
            JSON::Object* fields = record.object();
            if (fields == nullptr) {
                continue;
            }
            auto user = fields->find("kCGSSessionUserIDKey");
            auto flag = fields->find("CGSSessionScreenIsLocked");
            if (user != fields->end() && user->second.number() == uid && flag != fields->end()) {
                flag->second = JSON(locked);
            }
        }
    }
}

void SimModel::lockScreen() {
    auto guard = lock();
    setLocked(true);
    record("screen_locked");
}

void SimModel::unlockScreen() {
    auto guard = lock();
    setLocked(false);
    record("screen_unlocked");
}

bool SimModel::screenLocked() const {
    return flag({"console", "locked"});
}

void SimModel::notifySleep() {
    record("will_sleep");
    Q_EMIT willSleep();
}

void SimModel::notifyWake() {
    record("did_wake");
    Q_EMIT didWake();
}

void SimModel::notifySession(bool active) {
    record(active ? "session_active" : "session_inactive");
    if (active) {
        Q_EMIT sessionDidBecomeActive();
    } else {
        Q_EMIT sessionDidResignActive();
    }
}

// --- applications ---

const JSON& SimModel::app(std::size_t index) const {
    return apps_[index];
}

const SimModel::Instance* SimModel::instance(std::int32_t pid) const {
    for (const Instance& i : running_) {
        if (i.pid == pid) {
            return &i;
        }
    }
    return nullptr;
}

SimModel::Instance* SimModel::instance(std::int32_t pid) {
    return const_cast<Instance*>(std::as_const(*this).instance(pid));
}

std::string SimModel::localizedName(const Instance& instance) const {
    const JSON& entry = app(instance.app);
    for (std::string name :
         {stringMember(entry, "name"), bundleMember(entry, "CFBundleDisplayName"),
          bundleMember(entry, "CFBundleName")}) {
        if (!name.empty()) {
            return name;
        }
    }
    return QFileInfo(QString::fromStdString(stringMember(entry, "path")))
        .completeBaseName()
        .toStdString();
}

RunningApplication SimModel::describe(const Instance& instance) const {
    const JSON& entry = app(instance.app);
    RunningApplication result;
    result.pid = instance.pid;
    if (std::string id = bundleMember(entry, "CFBundleIdentifier"); !id.empty()) {
        result.bundleID = id;
    }
    result.localizedName = localizedName(instance);
    if (entry.find("installed")->isTrue()) {
        result.bundlePath = stringMember(entry, "path");
    }
    result.activationPolicy = instance.policy;
    result.launchDate = instance.launchDate;
    result.active = instance.pid == frontmost_;
    return result;
}

std::vector<RunningApplication> SimModel::runningApplications() const {
    auto guard = lock();
    std::vector<RunningApplication> result;
    for (const Instance& i : running_) {
        result.push_back(describe(i));
    }
    return result;
}

std::optional<RunningApplication> SimModel::frontmostApplication() const {
    auto guard = lock();
    if (const Instance* front = instance(frontmost_)) {
        return describe(*front);
    }
    return std::nullopt;
}

std::optional<std::string> SimModel::applicationPath(const std::string& bundleID) const {
    auto guard = lock();
    for (const JSON& entry : apps_) {
        if (entry.find("installed")->isTrue() &&
            bundleMember(entry, "CFBundleIdentifier") == bundleID) {
            return stringMember(entry, "path");
        }
    }
    return std::nullopt;
}

std::vector<std::int32_t> SimModel::pidsOf(const std::string& bundleID) const {
    auto guard = lock();
    std::vector<std::int32_t> pids;
    for (const Instance& i : running_) {
        if (bundleMember(app(i.app), "CFBundleIdentifier") == bundleID) {
            pids.push_back(i.pid);
        }
    }
    return pids;
}

std::optional<std::string> SimModel::bundleIdentifier(std::int32_t pid) const {
    auto guard = lock();
    if (const Instance* i = instance(pid)) {
        return bundleMember(app(i->app), "CFBundleIdentifier");
    }
    return std::nullopt;
}

std::vector<std::pair<std::string, JSON>> SimModel::installedApps() const {
    auto guard = lock();
    std::vector<std::pair<std::string, JSON>> result;
    for (const JSON& entry : apps_) {
        if (entry.find("installed")->isTrue()) {
            result.emplace_back(stringMember(entry, "path"), entry);
        }
    }
    return result;
}

std::vector<std::string> SimModel::directoryRoots() const {
    std::vector<std::string> roots;
    for (const char* folder :
         {"/Applications", "/System/Applications", "/Users/Shared", "/home/Applications"}) {
        roots.push_back((root_ + QLatin1String(folder)).toStdString());
    }
    return roots;
}

std::optional<WireTime::Instant> SimModel::lastUsed(const std::string& path) const {
    auto guard = lock();
    const QString wanted = QDir::cleanPath(QString::fromStdString(path));
    for (const JSON& entry : apps_) {
        if (QString::fromStdString(stringMember(entry, "path")) == wanted) {
            return timeMember(entry, "last_used");
        }
    }
    return std::nullopt;
}

std::int32_t SimModel::launch(std::size_t appIndex, std::int32_t pid,
                              std::optional<WireTime::Instant> date, std::optional<Policy> policy) {
    const JSON& entry = app(appIndex);
    Instance started;
    started.pid = pid;
    started.app = appIndex;
    started.launchDate = date;
    started.policy = policy.value_or(bundleFlag(entry, "LSBackgroundOnly") ? Policy::Prohibited
                                     : bundleFlag(entry, "LSUIElement")    ? Policy::Accessory
                                                                           : Policy::Regular);
    Element application;
    application.pid = pid;
    application.application = true;
    started.element = nextToken_++;
    elements_.emplace(started.element, std::move(application));

    std::vector<std::pair<std::uint64_t, JSON>> pending;
    const JSON* ui = entry.find("ui");
    if (ui != nullptr) {
        started.responsive = ui->find("responsive")->isTrue();
        for (const JSON& window : *ui->find("windows")->array()) {
            started.windows.push_back(create(window, pid, started.element, pending, true));
        }
        if (const JSON* menuBar = ui->find("menu_bar")) {
            started.menuBar = create(*menuBar, pid, started.element, pending, true);
        }
    }
    running_.push_back(std::move(started));
    resolvePending(pending);
    Instance& placed = running_.back();
    if (ui != nullptr) {
        auto refer = [&](std::string_view key) -> std::uint64_t {
            const std::string* name = ui->stringMember(key);
            std::optional<std::uint64_t> token =
                name != nullptr ? resolve(*name, 0) : std::optional<std::uint64_t>();
            return token.value_or(0);
        };
        placed.focusedWindow = refer("focused_window");
        placed.mainWindow = refer("main_window");
        placed.focusedElement = refer("focused_element");
    }
    return pid;
}

std::int32_t SimModel::open(const std::string& path, bool activateIt) {
    auto guard = lock();
    const QString wanted = QDir::cleanPath(QString::fromStdString(path));
    for (std::size_t a = 0; a < apps_.size(); ++a) {
        const JSON& entry = apps_[a];
        if (QString::fromStdString(stringMember(entry, "path")) != wanted ||
            !entry.find("installed")->isTrue()) {
            continue;
        }
        if (!QFileInfo::exists(wanted + QStringLiteral("/Contents/Info.json"))) {
            break;
        }
        JSON::Object details{{"path", JSON(path)}, {"activate", JSON(activateIt)}};
        if (stringMember(entry, "launch") == "fails") {
            details["outcome"] = JSON("failed");
            record("open_application", std::move(details));
            throw std::runtime_error("The application could not be launched");
        }
        std::int32_t pid = 0;
        for (const Instance& i : running_) {
            if (i.app == a) {
                pid = i.pid;
                break;
            }
        }
        details["already_running"] = JSON(pid != 0);
        if (pid == 0) {
            pid = 1000;
            for (const Instance& i : running_) {
                pid = std::max(pid, i.pid + 1);
            }
            launch(a, pid, clock_.now(), std::nullopt);
        }
        details["pid"] = JSON(pid);
        record("open_application", std::move(details));
        if (activateIt) {
            activate(pid);
        }
        return pid;
    }
    record("open_application", {{"path", JSON(path)}, {"outcome", JSON("no_bundle")}});
    throw std::runtime_error("No application bundle at this path");
}

bool SimModel::activate(std::int32_t pid) {
    auto guard = lock();
    const Instance* target = instance(pid);
    const bool accepted = target != nullptr && target->policy != Policy::Prohibited;
    record("activate", {{"pid", JSON(pid)}, {"accepted", JSON(accepted)}});
    if (accepted && stringMember(app(target->app), "activation") != "stays_behind") {
        frontmost_ = pid;
    }
    return accepted;
}

bool SimModel::setFrontmost(std::int32_t pid) {
    auto guard = lock();
    if (instance(pid) == nullptr) {
        return false;
    }
    frontmost_ = pid;
    return true;
}

bool SimModel::requestQuit(std::int32_t pid) {
    auto guard = lock();
    const Instance* target = instance(pid);
    if (target == nullptr) {
        record("quit_request", {{"pid", JSON(pid)}, {"outcome", JSON("not_running")}});
        return false;
    }
    const std::string behaviour = stringMember(app(target->app), "quit");
    record("quit_request", {{"pid", JSON(pid)}, {"outcome", JSON(behaviour)}});
    if (behaviour == "refuses") {
        return false;
    }
    // What the application shows when asked to quit, e.g. its save sheet.
    const JSON onQuit = *app(target->app).find("on_quit");
    runEffects(onQuit, 0);
    if (instance(pid) == nullptr) {
        return true;
    }
    if (behaviour == "quits") {
        end(pid);
    }
    return true;
}

bool SimModel::forceQuit(std::int32_t pid) {
    auto guard = lock();
    if (instance(pid) == nullptr) {
        return false;
    }
    record("quit", {{"pid", JSON(pid)}});
    end(pid);
    return true;
}

void SimModel::end(std::int32_t pid) {
    auto found = std::find_if(running_.begin(), running_.end(),
                              [pid](const Instance& i) { return i.pid == pid; });
    if (found == running_.end()) {
        return;
    }
    std::vector<std::uint64_t> tokens;
    for (const auto& [token, element] : elements_) {
        if (element.pid == pid) {
            tokens.push_back(token);
        }
    }
    for (std::uint64_t token : tokens) {
        elements_.erase(token);
        timeouts_.erase(token);
    }
    std::erase_if(names_, [&](const auto& entry) { return !elements_.contains(entry.second); });
    running_.erase(found);
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

// --- accessibility trees ---

std::uint64_t SimModel::create(const JSON& node, std::int32_t pid, std::uint64_t parent,
                               std::vector<std::pair<std::uint64_t, JSON>>& pending, bool bind) {
    const std::uint64_t token = nextToken_++;
    Element element;
    element.pid = pid;
    element.parent = parent;
    element.name = stringMember(node, "id");
    element.hidden = node.find("hidden") != nullptr && node.find("hidden")->isTrue();
    if (const JSON* settable = node.find("settable")) {
        element.settable = settable->isTrue();
    }
    if (const std::string* color = node.stringMember("color")) {
        element.color = *color;
    }
    if (const std::string* close = node.stringMember("close_button")) {
        element.closeButton = *close;
    }
    static const std::vector<std::pair<const char*, const char*>> named = {
        {"role", "AXRole"},
        {"subrole", "AXSubrole"},
        {"title", "AXTitle"},
        {"description", "AXDescription"},
        {"identifier", "AXIdentifier"},
        {"help", "AXHelp"}};
    for (const auto& [key, attribute] : named) {
        if (const std::string* value = node.stringMember(key)) {
            element.attributes.emplace(attribute, PlatformValue(*value));
        }
    }
    if (const JSON* value = node.find("value")) {
        element.attributes.emplace("AXValue", SimValueCodec::fromJSON(*value));
    }
    if (const JSON* enabled = node.find("enabled")) {
        element.attributes.emplace("AXEnabled", PlatformValue(enabled->isTrue()));
    }
    if (const JSON* frame = node.find("frame"); frame != nullptr && frame->array() != nullptr) {
        const JSON::Array& f = *frame->array();
        element.attributes.emplace("AXPosition",
                                   PlatformValue(QPointF(*f[0].number(), *f[1].number())));
        element.attributes.emplace("AXSize", PlatformValue(QSizeF(*f[2].number(), *f[3].number())));
    }
    if (role(element) == "AXWindow" && !element.attributes.contains("AXMinimized")) {
        element.attributes.emplace("AXMinimized", PlatformValue(false));
    }
    if (const JSON* attributes = node.find("attributes")) {
        pending.emplace_back(token, *attributes);
    }
    if (const JSON* actions = node.find("actions"); actions != nullptr && actions->array()) {
        for (const JSON& a : *actions->array()) {
            Action action;
            action.name = stringMember(a, "name");
            if (const std::string* d = a.stringMember("description")) {
                action.description = *d;
            }
            action.fails = a.find("fails") != nullptr && a.find("fails")->isTrue();
            action.does = a.find("does") != nullptr ? *a.find("does") : JSON(JSON::Array{});
            element.actions.push_back(std::move(action));
        }
    }
    if (bind && !element.name.empty()) {
        auto bound = names_.find(element.name);
        if (bound == names_.end() || !elements_.contains(bound->second)) {
            names_[element.name] = token;
        }
    }
    elements_.emplace(token, std::move(element));
    if (const JSON* children = node.find("children"); children != nullptr && children->array()) {
        for (const JSON& child : *children->array()) {
            const std::uint64_t made = create(child, pid, token, pending, bind);
            elements_.at(token).children.push_back(made);
        }
    }
    return token;
}

void SimModel::resolvePending(const std::vector<std::pair<std::uint64_t, JSON>>& pending) {
    for (const auto& [token, attributes] : pending) {
        auto found = elements_.find(token);
        if (found == elements_.end()) {
            continue;
        }
        for (const auto& [key, value] : *attributes.object()) {
            found->second.attributes.insert_or_assign(
                key, SimValueCodec::fromJSON(value, [this](const std::string& name) {
                    std::optional<std::uint64_t> t = resolve(name, 0);
                    return t ? std::optional<AXElement>(AXElement(*t)) : std::nullopt;
                }));
        }
    }
}

bool SimModel::live(std::uint64_t token) const {
    return elements_.contains(token);
}

// Whether a read of the element can succeed now: it exists, it and its ancestors are shown and its
// application answers.
bool SimModel::readable(std::uint64_t token) const {
    auto found = elements_.find(token);
    if (found == elements_.end()) {
        return false;
    }
    const Instance* owner = instance(found->second.pid);
    if (owner == nullptr || !owner->responsive) {
        return false;
    }
    for (std::uint64_t at = token; at != 0;) {
        const Element& e = elements_.at(at);
        if (e.hidden) {
            return false;
        }
        at = e.parent;
    }
    return true;
}

std::uint64_t SimModel::windowOf(std::uint64_t token) const {
    for (std::uint64_t at = token; at != 0;) {
        auto found = elements_.find(at);
        if (found == elements_.end()) {
            return 0;
        }
        if (role(found->second) == "AXWindow") {
            return at;
        }
        at = found->second.parent;
    }
    return 0;
}

std::optional<std::uint64_t> SimModel::resolve(const std::string& ref, std::uint64_t self) const {
    if (ref == "self") {
        return live(self) ? std::optional(self) : std::nullopt;
    }
    if (ref == "parent") {
        auto found = elements_.find(self);
        if (found == elements_.end() || found->second.parent == 0) {
            return std::nullopt;
        }
        return found->second.parent;
    }
    if (ref == "window") {
        const std::uint64_t window = windowOf(self);
        return window != 0 ? std::optional(window) : std::nullopt;
    }
    auto bound = names_.find(ref);
    if (bound == names_.end() || !live(bound->second)) {
        return std::nullopt;
    }
    return bound->second;
}

std::vector<std::uint64_t> SimModel::visibleChildren(std::uint64_t token) const {
    std::vector<std::uint64_t> result;
    const Element& e = elements_.at(token);
    std::vector<std::uint64_t> all = e.children;
    if (e.application) {
        const Instance* owner = instance(e.pid);
        all = owner->windows;
        if (owner->menuBar != 0) {
            all.push_back(owner->menuBar);
        }
    }
    for (std::uint64_t child : all) {
        if (live(child) && !elements_.at(child).hidden) {
            result.push_back(child);
        }
    }
    return result;
}

void SimModel::remove(std::uint64_t token) {
    auto found = elements_.find(token);
    if (found == elements_.end() || found->second.application) {
        return;
    }
    const std::vector<std::uint64_t> children = found->second.children;
    for (std::uint64_t child : children) {
        remove(child);
    }
    found = elements_.find(token);
    const std::uint64_t parent = found->second.parent;
    if (auto p = elements_.find(parent); p != elements_.end()) {
        std::erase(p->second.children, token);
    }
    if (Instance* owner = instance(found->second.pid)) {
        std::erase(owner->windows, token);
        for (std::uint64_t* pointer :
             {&owner->menuBar, &owner->focusedWindow, &owner->mainWindow, &owner->focusedElement}) {
            if (*pointer == token) {
                *pointer = 0;
            }
        }
        // A closed window hands focus to the next one, as a real window server does.
        if (owner->focusedWindow == 0 && !owner->windows.empty() &&
            role(found->second) == "AXWindow") {
            owner->focusedWindow = owner->windows.front();
            owner->mainWindow = owner->windows.front();
        }
    }
    elements_.erase(token);
    timeouts_.erase(token);
}

AXElement SimModel::applicationElement(std::int32_t pid) {
    auto guard = lock();
    if (const Instance* i = instance(pid)) {
        return AXElement(i->element);
    }
    // Like the real call, a handle is made for any pid; reads through it fail.
    return AXElement(nextToken_++);
}

void SimModel::setMessagingTimeout(AXElement element, std::chrono::milliseconds timeout) {
    auto guard = lock();
    timeouts_[element.token()] = timeout;
}

std::optional<std::chrono::milliseconds> SimModel::messagingTimeout(AXElement element) const {
    auto guard = lock();
    auto found = timeouts_.find(element.token());
    if (found == timeouts_.end()) {
        return std::nullopt;
    }
    return found->second;
}

const SimModel::Element* SimModel::element(std::uint64_t token) const {
    auto found = elements_.find(token);
    return found != elements_.end() ? &found->second : nullptr;
}

std::optional<AXElement> SimModel::named(const std::string& name) const {
    auto guard = lock();
    auto bound = names_.find(name);
    if (bound == names_.end() || !live(bound->second)) {
        return std::nullopt;
    }
    return AXElement(bound->second);
}

std::optional<PlatformValue> SimModel::attribute(AXElement handle, const std::string& name) const {
    auto guard = lock();
    if (!flag({"accessibility", "trusted"})) {
        return std::nullopt;
    }
    auto elementList = [](const std::vector<std::uint64_t>& tokens) {
        PlatformValue::Array list;
        for (std::uint64_t t : tokens) {
            list.emplace_back(AXElement(t));
        }
        return PlatformValue(std::move(list));
    };
    const std::uint64_t token = handle.token();
    if (token == systemWide_) {
        const Instance* front = instance(frontmost_);
        if (name == "AXRole") {
            return PlatformValue("AXSystemWide");
        }
        if (name == "AXFocusedApplication" && front != nullptr) {
            return PlatformValue(AXElement(front->element));
        }
        if (name == "AXFocusedUIElement" && front != nullptr && readable(front->focusedElement)) {
            return PlatformValue(AXElement(front->focusedElement));
        }
        return std::nullopt;
    }
    if (!readable(token)) {
        return std::nullopt;
    }
    const Element& e = elements_.at(token);
    const Instance& owner = *instance(e.pid);
    auto visible = [this](std::uint64_t t) -> std::optional<PlatformValue> {
        if (t == 0 || !readable(t)) {
            return std::nullopt;
        }
        return PlatformValue(AXElement(t));
    };
    if (e.application) {
        if (name == "AXRole") {
            return PlatformValue("AXApplication");
        }
        if (name == "AXTitle") {
            return PlatformValue(localizedName(owner));
        }
        if (name == "AXChildren") {
            return elementList(visibleChildren(token));
        }
        if (name == "AXWindows") {
            std::vector<std::uint64_t> windows;
            for (std::uint64_t w : owner.windows) {
                if (readable(w)) {
                    windows.push_back(w);
                }
            }
            return elementList(windows);
        }
        if (name == "AXFocusedWindow") {
            return visible(owner.focusedWindow);
        }
        if (name == "AXMainWindow") {
            return visible(owner.mainWindow);
        }
        if (name == "AXMenuBar") {
            return visible(owner.menuBar);
        }
        if (name == "AXFocusedUIElement") {
            return visible(owner.focusedElement);
        }
        if (name == "AXFrontmost") {
            return PlatformValue(owner.pid == frontmost_);
        }
        return std::nullopt;
    }
    if (name == "AXChildren") {
        return elementList(visibleChildren(token));
    }
    if (name == "AXParent") {
        return visible(e.parent);
    }
    if (name == "AXWindow" || name == "AXTopLevelUIElement") {
        return visible(windowOf(token));
    }
    if (name == "AXFocused") {
        return PlatformValue(owner.focusedElement == token);
    }
    if (name == "AXMain" && role(e) == "AXWindow") {
        return PlatformValue(owner.mainWindow == token);
    }
    if (name == "AXCloseButton" && e.closeButton) {
        std::optional<std::uint64_t> button = resolve(*e.closeButton, token);
        return button ? visible(*button) : std::nullopt;
    }
    auto found = e.attributes.find(name);
    if (found == e.attributes.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<std::vector<std::string>> SimModel::actionNames(AXElement handle) const {
    auto guard = lock();
    if (!flag({"accessibility", "trusted"}) || !readable(handle.token())) {
        return std::nullopt;
    }
    const Element& e = elements_.at(handle.token());
    std::vector<std::string> names;
    for (const Action& action : e.actions) {
        names.push_back(action.name);
    }
    if (role(e) == "AXWindow" && std::find(names.begin(), names.end(), "AXRaise") == names.end()) {
        names.push_back("AXRaise");
    }
    return names;
}

std::optional<std::string> SimModel::actionDescription(AXElement handle,
                                                       const std::string& action) const {
    auto guard = lock();
    if (!flag({"accessibility", "trusted"}) || !readable(handle.token())) {
        return std::nullopt;
    }
    static const std::map<std::string, std::string, std::less<>> standard = {
        {"AXPress", "press"},         {"AXRaise", "raise"},        {"AXCancel", "cancel"},
        {"AXConfirm", "confirm"},     {"AXShowMenu", "show menu"}, {"AXIncrement", "increment"},
        {"AXDecrement", "decrement"}, {"AXPick", "pick"}};
    const Element& e = elements_.at(handle.token());
    for (const Action& a : e.actions) {
        if (a.name == action) {
            if (a.description) {
                return a.description;
            }
            auto known = standard.find(action);
            return known != standard.end() ? known->second : action;
        }
    }
    if (action == "AXRaise" && role(e) == "AXWindow") {
        return std::string("raise");
    }
    return std::nullopt;
}

std::optional<std::int32_t> SimModel::elementPid(AXElement handle) const {
    auto guard = lock();
    auto found = elements_.find(handle.token());
    if (found == elements_.end()) {
        return std::nullopt;
    }
    return found->second.pid;
}

void SimModel::raise(std::uint64_t window) {
    Instance* owner = instance(elements_.at(window).pid);
    std::erase(owner->windows, window);
    owner->windows.insert(owner->windows.begin(), window);
    owner->focusedWindow = window;
    owner->mainWindow = window;
}

void SimModel::select(std::uint64_t token) {
    Element& chosen = elements_.at(token);
    const std::string chosenRole = role(chosen);
    if (auto parent = elements_.find(chosen.parent); parent != elements_.end()) {
        for (std::uint64_t sibling : parent->second.children) {
            Element& other = elements_.at(sibling);
            if (sibling != token && role(other) == chosenRole) {
                auto current = other.attributes.find("AXValue");
                other.attributes.insert_or_assign("AXValue",
                                                  selectedValue(current != other.attributes.end()
                                                                    ? std::optional(current->second)
                                                                    : std::nullopt,
                                                                false));
            }
        }
    }
    auto current = chosen.attributes.find("AXValue");
    chosen.attributes.insert_or_assign("AXValue", selectedValue(current != chosen.attributes.end()
                                                                    ? std::optional(current->second)
                                                                    : std::nullopt,
                                                                true));
}

void SimModel::focus(std::uint64_t token) {
    Element& target = elements_.at(token);
    Instance* owner = instance(target.pid);
    if (owner == nullptr) {
        return;
    }
    owner->focusedElement = token;
    owner->selectAll = false;
    if (const std::uint64_t window = windowOf(token); window != 0) {
        owner->focusedWindow = window;
    }
}

void SimModel::runEffects(const JSON& effects, std::uint64_t self) {
    const JSON::Array* list = effects.array();
    if (list == nullptr) {
        return;
    }
    for (const JSON& effect : *list) {
        const JSON::Object* members = effect.object();
        if (members == nullptr || members->empty()) {
            continue;
        }
        const std::string& kind = members->begin()->first;
        const JSON& argument = members->begin()->second;
        if (kind == "lock_screen") {
            if (argument.isTrue()) {
                setLocked(true);
                record("screen_locked");
            }
            continue;
        }
        const std::string* refName = kind == "set"      ? argument.stringMember("target")
                                     : kind == "insert" ? argument.stringMember("parent")
                                                        : argument.string();
        std::optional<std::uint64_t> target =
            refName != nullptr ? resolve(*refName, self) : std::nullopt;
        if (!target) {
            continue; // the element went away meanwhile; effects on it do nothing
        }
        Element& e = elements_.at(*target);
        if (kind == "toggle") {
            auto current = e.attributes.find("AXValue");
            e.attributes.insert_or_assign("AXValue", toggled(current != e.attributes.end()
                                                                 ? std::optional(current->second)
                                                                 : std::nullopt));
        } else if (kind == "remove") {
            remove(*target);
        } else if (kind == "show" || kind == "hide") {
            e.hidden = kind == "hide";
        } else if (kind == "select") {
            select(*target);
        } else if (kind == "remove_selected" || kind == "remove_unselected") {
            // A tab strip's "close tab" and "close other tabs": children with a selection value.
            const bool wanted = kind == "remove_selected";
            std::vector<std::uint64_t> doomed;
            for (std::uint64_t child : e.children) {
                auto value = elements_.at(child).attributes.find("AXValue");
                if (value == elements_.at(child).attributes.end()) {
                    continue;
                }
                std::optional<bool> selected = value->second.boolean();
                if (!selected && value->second.number()) {
                    selected = *value->second.number() != 0.0;
                }
                if (selected && *selected == wanted) {
                    doomed.push_back(child);
                }
            }
            for (std::uint64_t child : doomed) {
                remove(child);
            }
        } else if (kind == "focus") {
            focus(*target);
        } else if (kind == "quit") {
            // The application that owns the element ends (a "Don't Save" button).
            const std::int32_t pid = e.pid;
            record("quit", {{"pid", JSON(pid)}});
            end(pid);
            return; // its elements, this one included, are gone
        } else if (kind == "set") {
            e.attributes.insert_or_assign(
                stringMember(argument, "attribute"),
                SimValueCodec::fromJSON(*argument.find("value"), [this](const std::string& n) {
                    std::optional<std::uint64_t> t = resolve(n, 0);
                    return t ? std::optional<AXElement>(AXElement(*t)) : std::nullopt;
                }));
        } else if (kind == "insert") {
            std::vector<std::pair<std::uint64_t, JSON>> pending;
            const std::uint64_t made =
                create(*argument.find("element"), e.pid, *target, pending, false);
            if (e.application) {
                instance(e.pid)->windows.insert(instance(e.pid)->windows.begin(), made);
            } else {
                elements_.at(*target).children.push_back(made);
            }
            resolvePending(pending);
            if (argument.find("select") != nullptr && argument.find("select")->isTrue()) {
                select(made);
            }
        }
    }
}

void SimModel::applyEffects(const JSON& effects) {
    auto guard = lock();
    runEffects(effects, 0);
}

bool SimModel::performAction(AXElement handle, const std::string& action) {
    auto guard = lock();
    const std::uint64_t token = handle.token();
    JSON::Object details{{"action", JSON(action)}, {"element", JSON(static_cast<double>(token))}};
    if (const Element* e = element(token); e != nullptr && !e->name.empty()) {
        details["name"] = JSON(e->name);
    }
    if (!flag({"accessibility", "trusted"}) || !readable(token)) {
        details["performed"] = JSON(false);
        record("ax_action", std::move(details));
        return false;
    }
    const Element& e = elements_.at(token);
    const Action* chosen = nullptr;
    for (const Action& a : e.actions) {
        if (a.name == action) {
            chosen = &a;
            break;
        }
    }
    const bool builtinRaise = action == "AXRaise" && role(e) == "AXWindow";
    const bool performed =
        (chosen != nullptr && !chosen->fails) || (chosen == nullptr && builtinRaise);
    details["performed"] = JSON(performed);
    record("ax_action", std::move(details));
    if (!performed) {
        return false;
    }
    if (builtinRaise) {
        raise(token);
    }
    if (chosen != nullptr) {
        const JSON effects = chosen->does; // the effects may remove this element
        runEffects(effects, token);
    }
    return true;
}

bool SimModel::setAttribute(AXElement handle, const std::string& name, const PlatformValue& value) {
    auto guard = lock();
    const std::uint64_t token = handle.token();
    JSON::Object details{{"attribute", JSON(name)},
                         {"element", JSON(static_cast<double>(token))},
                         {"value", SimValueCodec::toJSON(value)}};
    bool accepted = false;
    if (flag({"accessibility", "trusted"}) && readable(token) && !elements_.at(token).application) {
        Element& e = elements_.at(token);
        if (!e.name.empty()) {
            details["name"] = JSON(e.name);
        }
        const bool isWindow = role(e) == "AXWindow";
        if (name == "AXFocused" && value.boolean()) {
            accepted = e.settable.value_or(true);
            if (accepted && *value.boolean()) {
                focus(token);
            } else if (accepted && instance(e.pid)->focusedElement == token) {
                instance(e.pid)->focusedElement = 0;
            }
        } else if (name == "AXValue") {
            accepted = e.settable.value_or(isEditable(e.attributes));
            if (accepted) {
                e.attributes.insert_or_assign("AXValue", value);
            }
        } else if (isWindow &&
                   ((name == "AXPosition" && value.point()) || (name == "AXSize" && value.size()) ||
                    (name == "AXMinimized" && value.boolean()))) {
            accepted = true;
            e.attributes.insert_or_assign(name, value);
        } else if (isWindow && name == "AXMain" && value.boolean() && *value.boolean()) {
            accepted = true;
            raise(token);
        }
    }
    details["accepted"] = JSON(accepted);
    record("ax_set", std::move(details));
    return accepted;
}

std::optional<QRectF> SimModel::frame(std::uint64_t token) const {
    auto found = elements_.find(token);
    if (found == elements_.end()) {
        return std::nullopt;
    }
    auto position = found->second.attributes.find("AXPosition");
    auto size = found->second.attributes.find("AXSize");
    if (position == found->second.attributes.end() || size == found->second.attributes.end() ||
        !position->second.point() || !size->second.size()) {
        return std::nullopt;
    }
    return QRectF(*position->second.point(), *size->second.size());
}

std::vector<std::pair<std::int32_t, std::uint64_t>> SimModel::visibleWindows() const {
    auto guard = lock();
    std::vector<std::pair<std::int32_t, std::uint64_t>> result;
    std::vector<const Instance*> order;
    if (const Instance* front = instance(frontmost_)) {
        order.push_back(front);
    }
    for (const Instance& i : running_) {
        if (i.pid != frontmost_) {
            order.push_back(&i);
        }
    }
    for (const Instance* i : order) {
        for (std::uint64_t window : i->windows) {
            auto found = elements_.find(window);
            if (found == elements_.end() || found->second.hidden) {
                continue;
            }
            auto minimized = found->second.attributes.find("AXMinimized");
            if (minimized != found->second.attributes.end() && minimized->second.boolean() &&
                *minimized->second.boolean()) {
                continue;
            }
            if (frame(window)) {
                result.emplace_back(i->pid, window);
            }
        }
    }
    return result;
}

std::optional<std::uint64_t> SimModel::hit(std::uint64_t token, QPointF point) const {
    const Element& e = elements_.at(token);
    if (e.hidden) {
        return std::nullopt;
    }
    // An element without a frame (a plain group) is transparent: only its children can be hit.
    const std::optional<QRectF> bounds = frame(token);
    if (bounds && !bounds->contains(point)) {
        return std::nullopt;
    }
    // Later children are drawn over earlier ones.
    for (auto child = e.children.rbegin(); child != e.children.rend(); ++child) {
        if (std::optional<std::uint64_t> deeper = hit(*child, point)) {
            return deeper;
        }
    }
    return bounds ? std::optional(token) : std::nullopt;
}

std::optional<AXElement> SimModel::hitTest(double x, double y) const {
    auto guard = lock();
    if (!flag({"accessibility", "trusted"})) {
        return std::nullopt;
    }
    for (const auto& [pid, window] : visibleWindows()) {
        const Instance* owner = instance(pid);
        if (owner == nullptr || !owner->responsive) {
            continue;
        }
        if (std::optional<std::uint64_t> found = hit(window, QPointF(x, y))) {
            return AXElement(*found);
        }
    }
    return std::nullopt;
}

// --- input ---

void SimModel::type(Instance& target, std::uint16_t keyCode, std::uint64_t flags,
                    const std::optional<std::string>& text) {
    auto focused = elements_.find(target.focusedElement);
    if (keyCode == selectAllKey && (flags & InputEvents::commandFlag) != 0) {
        target.selectAll = true;
        return;
    }
    if (focused == elements_.end() || !isEditable(focused->second.attributes)) {
        target.selectAll = false;
        return;
    }
    PlatformValue::Dictionary& attributes = focused->second.attributes;
    auto current = attributes.find("AXValue");
    QString value = current != attributes.end() && current->second.string() != nullptr
                        ? QString::fromStdString(*current->second.string())
                        : QString();
    if (text && !text->empty()) {
        value = target.selectAll ? QString::fromStdString(*text)
                                 : value + QString::fromStdString(*text);
    } else if (keyCode == backspaceKey) {
        if (target.selectAll) {
            value.clear();
        } else if (!value.isEmpty()) {
            value.chop(value.size() >= 2 && value.at(value.size() - 1).isLowSurrogate() ? 2 : 1);
        }
    } else {
        target.selectAll = false;
        return;
    }
    target.selectAll = false;
    attributes.insert_or_assign("AXValue", PlatformValue(value.toStdString()));
}

void SimModel::keyToProcess(std::uint16_t keyCode, std::uint64_t flags,
                            const std::optional<std::string>& text, std::int32_t pid) {
    auto guard = lock();
    JSON::Object details{{"key_code", JSON(keyCode)},
                         {"flags", JSON(static_cast<double>(flags))},
                         {"pid", JSON(pid)}};
    if (text) {
        details["text"] = JSON(*text);
    }
    record("key_to_process", std::move(details));
    if (Instance* target = instance(pid)) {
        type(*target, keyCode, flags, text);
    }
}

void SimModel::keyToSession(std::uint16_t keyCode, std::uint64_t flags,
                            const std::optional<std::string>& text) {
    auto guard = lock();
    JSON::Object details{{"key_code", JSON(keyCode)}, {"flags", JSON(static_cast<double>(flags))}};
    if (text) {
        details["text"] = JSON(*text);
    }
    record("key_to_session", std::move(details));
    const std::uint64_t lockFlags = InputEvents::commandFlag | InputEvents::controlFlag;
    if (keyCode == lockKey && (flags & lockFlags) == lockFlags) {
        setLocked(true);
        record("screen_locked");
        return;
    }
    if (keyCode == controlCenterKey && (flags & InputEvents::secondaryFunctionFlag) != 0) {
        for (Instance& i : running_) {
            if (bundleMember(app(i.app), "CFBundleIdentifier") == controlCenterID) {
                for (std::uint64_t window : i.windows) {
                    elements_.at(window).hidden = false;
                }
            }
        }
        record("control_center_opened");
        return;
    }
    if (Instance* front = instance(frontmost_)) {
        type(*front, keyCode, flags, text);
    }
}

void SimModel::click(double x, double y, bool right, int count) {
    auto guard = lock();
    JSON::Object details{{"x", JSON(x)},
                         {"y", JSON(y)},
                         {"button", JSON(right ? "right" : "left")},
                         {"count", JSON(count)}};
    std::optional<std::uint64_t> target;
    for (const auto& [pid, window] : visibleWindows()) {
        if (const Instance* owner = instance(pid); owner != nullptr && owner->responsive) {
            target = hit(window, QPointF(x, y));
            if (target) {
                break;
            }
        }
    }
    if (target) {
        details["element"] = JSON(static_cast<double>(*target));
        if (!elements_.at(*target).name.empty()) {
            details["name"] = JSON(elements_.at(*target).name);
        }
    }
    record("click", std::move(details));
    if (!target) {
        return;
    }
    const Element& e = elements_.at(*target);
    if (isEditable(e.attributes)) {
        focus(*target);
        return;
    }
    const std::string action = right ? "AXShowMenu" : "AXPress";
    for (int n = 0; n < count && live(*target); ++n) {
        const Element& current = elements_.at(*target);
        for (const Action& a : current.actions) {
            if (a.name == action && !a.fails) {
                const JSON effects = a.does;
                runEffects(effects, *target);
                break;
            }
        }
    }
}

void SimModel::scroll(double x, double y, std::int32_t pixels) {
    auto guard = lock();
    JSON::Object details{{"x", JSON(x)}, {"y", JSON(y)}, {"pixels", JSON(pixels)}};
    for (const auto& [pid, window] : visibleWindows()) {
        if (std::optional<std::uint64_t> target = hit(window, QPointF(x, y))) {
            details["element"] = JSON(static_cast<double>(*target));
            if (!elements_.at(*target).name.empty()) {
                details["name"] = JSON(elements_.at(*target).name);
            }
            break;
        }
    }
    record("scroll", std::move(details));
}

// --- dump ---

JSON SimModel::dump() const {
    auto guard = lock();
    JSON::Object state = *settings_.object();
    JSON::Array running;
    for (const Instance& i : running_) {
        const RunningApplication r = describe(i);
        JSON::Object entry{{"pid", JSON(r.pid)},
                           {"name", JSON(r.localizedName.value_or(""))},
                           {"bundle_id", r.bundleID ? JSON(*r.bundleID) : JSON(nullptr)},
                           {"path", r.bundlePath ? JSON(*r.bundlePath) : JSON(nullptr)},
                           {"active", JSON(r.active)},
                           {"policy", JSON(i.policy == Policy::Regular     ? "regular"
                                           : i.policy == Policy::Accessory ? "accessory"
                                                                           : "prohibited")}};
        entry["launch_date"] = r.launchDate ? JSON(WireTime::text(*r.launchDate)) : JSON(nullptr);
        JSON::Array windows;
        for (std::uint64_t w : i.windows) {
            const Element& e = elements_.at(w);
            auto title = e.attributes.find("AXTitle");
            windows.push_back(
                JSON(JSON::Object{{"element", JSON(static_cast<double>(w))},
                                  {"id", e.name.empty() ? JSON(nullptr) : JSON(e.name)},
                                  {"title", title != e.attributes.end() && title->second.string()
                                                ? JSON(*title->second.string())
                                                : JSON(nullptr)},
                                  {"hidden", JSON(e.hidden)}}));
        }
        entry["windows"] = JSON(std::move(windows));
        running.emplace_back(std::move(entry));
    }
    state["running"] = JSON(std::move(running));
    state["frontmost"] = frontmost_ != 0 ? JSON(frontmost_) : JSON(nullptr);
    JSON::Object elements;
    for (const auto& [name, token] : names_) {
        if (!live(token)) {
            continue;
        }
        JSON::Object attributes;
        for (const auto& [key, value] : elements_.at(token).attributes) {
            attributes.emplace(key, SimValueCodec::toJSON(value));
        }
        attributes.emplace("hidden", JSON(elements_.at(token).hidden));
        elements.emplace(name, JSON(std::move(attributes)));
    }
    state["elements"] = JSON(std::move(elements));
    return JSON(std::move(state));
}

} // namespace corvane
