#include "actions/AppInventory.h"

#include "actions/AppTargetPolicy.h"
#include "actions/CharacterPrefix.h"
#include "core/ContractError.h"

#include <QCollator>
#include <QFuture>
#include <QLocale>
#include <QPromise>
#include <QRegularExpression>
#include <QString>
#include <qcoro/qcorofuture.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <dirent.h>
#include <map>
#include <numeric>
#include <set>
#include <sys/stat.h>
#include <utility>

namespace corvane {

struct AppInventory::State {
    explicit State(Platform& p)
        : platform(p) {}

    Platform platform;
    // The discovery under way, shared by every caller that arrives while it runs.
    std::shared_ptr<QFuture<std::vector<Entry>>> discovery;
    std::vector<Entry> cached;
    // Absent until the first discovery ends, so the first call always discovers. Monotonic, so
    // that a wall clock set back cannot keep a stale list alive.
    std::optional<Clock::MonotonicTime> cachedAt;
};

namespace {

using Instant = WireTime::Instant;

// The absolute path with empty and "." components dropped and ".." applied, without a trailing
// slash; empty for a relative path. Byte-wise, so file names that are not UTF-8 survive.
std::string standardPath(std::string_view path) {
    if (path.empty() || path.front() != '/') {
        return {};
    }
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        const std::string_view part = path.substr(start, slash - start);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = slash + 1;
    }
    if (parts.empty()) {
        return "/";
    }
    std::string result;
    for (const std::string_view part : parts) {
        result += '/';
        result += part;
    }
    return result;
}

std::string_view fileName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// "My.Tool.app" -> "My.Tool"; a leading dot is not an extension.
std::string_view withoutExtension(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string lowerExtension(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
        return {};
    }
    std::string extension(name.substr(dot + 1));
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

// Folders the desktop shows as single documents or components; their insides are not browsed.
bool isPackage(std::string_view name) {
    static constexpr std::array<std::string_view, 16> extensions{
        "app",        "appex",  "bundle",   "component",    "framework", "kext",
        "mdimporter", "plugin", "prefpane", "qlgenerator",  "saver",     "xpc",
        "pkg",        "mpkg",   "rtfd",     "photoslibrary"};
    const std::string extension = lowerExtension(name);
    return std::find(extensions.begin(), extensions.end(), extension) != extensions.end();
}

// Case-insensitive, like the target policy: case-insensitive volumes are common.
bool insideAnotherApplication(const std::string& path) {
    return QString::fromStdString(path).contains(QLatin1StringView(".app/Contents/"),
                                                 Qt::CaseInsensitive);
}

bool fileExists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

// One identifier matcher per discovery: the expression is compiled once and never shared
// between threads.
class IdentifierRule {
public:
    IdentifierRule()
        : pattern_(QRegularExpression::anchoredPattern(
              QStringLiteral("[A-Za-z0-9-]+(?:\\.[A-Za-z0-9-]+)+"))) {}

    bool accepts(std::string_view identifier) const {
        // The pattern is ASCII-only, so bytes and characters agree on anything it accepts.
        if (identifier.empty() || identifier.size() > AppInventory::identifierCap) {
            return false;
        }
        const QString text =
            QString::fromUtf8(identifier.data(), static_cast<qsizetype>(identifier.size()));
        return pattern_.match(text).hasMatch();
    }

private:
    QRegularExpression pattern_;
};

struct RunningCopy {
    std::string bundleID;
    std::string path;
    std::optional<Instant> launchDate;
};

// The running applications that feed discovery: regular ones with an identifier and a bundle the
// target policy allows.
std::vector<RunningCopy> runningCopies(const ApplicationBundles& bundles,
                                       const std::vector<RunningApplication>& running) {
    std::vector<RunningCopy> copies;
    for (const RunningApplication& app : running) {
        try {
            if (app.activationPolicy != RunningApplication::ActivationPolicy::Regular ||
                !app.bundleID || app.bundleID->empty() || !app.bundlePath) {
                continue;
            }
            std::string path = standardPath(*app.bundlePath);
            if (path.empty() || !AppTargetPolicy::allows(bundles, path)) {
                continue;
            }
            copies.push_back({*app.bundleID, std::move(path), app.launchDate});
        } catch (...) {
            // A bundle that cannot be read is skipped like any other failing source.
        }
    }
    return copies;
}

struct Candidate {
    AppInventory::Entry entry;
    // One of the running copies is this very bundle.
    bool runsHere = false;
};

std::optional<Candidate> candidateAt(const std::string& path, const ApplicationBundles& bundles,
                                     const AppCatalog& catalog, const IdentifierRule& rule,
                                     const std::vector<RunningCopy>& running) {
    // The policy has already refused hidden bundles and bundles without an identifier.
    if (!AppTargetPolicy::allows(bundles, path) || !fileExists(path)) {
        return std::nullopt;
    }
    const std::optional<ApplicationBundles::Info> info = bundles.info(path);
    if (!info || !rule.accepts(info->identifier)) {
        return std::nullopt;
    }
    if (insideAnotherApplication(path)) {
        return std::nullopt;
    }
    std::string name = characterPrefix(
        info->name.value_or(std::string(withoutExtension(fileName(path)))), AppInventory::nameCap);
    if (name.empty()) {
        return std::nullopt;
    }

    Candidate candidate;
    candidate.entry.name = std::move(name);
    const std::string& identifier = info->identifier;
    candidate.entry.bundleID = identifier;
    candidate.entry.path = path;
    candidate.entry.lastOpened = catalog.lastUsedDate(path);
    for (const RunningCopy& copy : running) {
        if (copy.bundleID != identifier) {
            continue;
        }
        candidate.entry.running = true;
        candidate.runsHere = candidate.runsHere || copy.path == path;
        if (copy.launchDate &&
            (!candidate.entry.lastOpened || *copy.launchDate > *candidate.entry.lastOpened)) {
            candidate.entry.lastOpened = copy.launchDate;
        }
    }
    return candidate;
}

QFuture<std::vector<AppInventory::Entry>> startDiscovery(Platform& platform, QThreadPool& pool) {
    auto promise = std::make_shared<QPromise<std::vector<AppInventory::Entry>>>();
    QFuture<std::vector<AppInventory::Entry>> future = promise->future();
    promise->start();
    // The workspace lives on the main thread: the running list and the roots are copied here.
    // Either source may fail alone, like every other source of discovery.
    std::vector<RunningApplication> running;
    std::vector<std::string> roots;
    try {
        running = platform.workspace.runningApplications();
    } catch (...) {
        running.clear();
    }
    try {
        roots = platform.appCatalog.directoryRoots();
    } catch (...) {
        roots.clear();
    }
    const ApplicationBundles* bundles = &platform.bundles;
    const AppCatalog* catalog = &platform.appCatalog;
    pool.start([promise, bundles, catalog, running = std::move(running), roots = std::move(roots)] {
        std::vector<AppInventory::Entry> found;
        try {
            found = AppInventory::discover(*bundles, *catalog, running, roots);
        } catch (...) {
            // Out of memory and the like: an empty list, as for a failed discovery.
            found.clear();
        }
        // Always a result: the awaiting side reads one.
        promise->addResult(std::move(found));
        promise->finish();
    });
    return future;
}

} // namespace

AppInventory::AppInventory(Platform& platform)
    : state_(std::make_shared<State>(platform)) {
    pool_.setMaxThreadCount(1);
}

AppInventory::~AppInventory() {
    pool_.waitForDone();
}

QCoro::Task<JSON> AppInventory::page(std::int64_t offset) {
    return pageOf(state_, &pool_, offset);
}

QCoro::Task<std::vector<AppInventory::Entry>> AppInventory::applications(bool refresh) {
    return applicationsOf(state_, &pool_, refresh);
}

QCoro::Task<std::string> AppInventory::resolve(std::string name) {
    return resolveIn(state_, &pool_, std::move(name));
}

QCoro::Task<std::vector<AppInventory::Entry>>
AppInventory::applicationsOf(std::shared_ptr<State> state, QThreadPool* pool, bool refresh) {
    Clock& clock = state->platform.clock;
    if (!refresh && state->cachedAt && clock.monotonicNow() - *state->cachedAt < cacheLifetime) {
        // An explicit copy: QCoro 0.8 moves from a non-const lvalue handed to co_return, which
        // would empty the cache.
        co_return std::vector<Entry>(state->cached);
    }
    // Callers that arrive while a discovery runs wait for it instead of starting their own: its
    // result is no older than their call.
    if (!state->discovery) {
        state->discovery =
            std::make_shared<QFuture<std::vector<Entry>>>(startDiscovery(state->platform, *pool));
    }
    const std::shared_ptr<QFuture<std::vector<Entry>>> discovery = state->discovery;
    const QFuture<std::vector<Entry>> future = *discovery;
    std::vector<Entry> found = co_await future;
    // The first caller to resume stores the result; the others find it stored.
    if (state->discovery == discovery) {
        state->discovery.reset();
        state->cached = found;
        state->cachedAt = clock.monotonicNow();
    }
    co_return found;
}

QCoro::Task<JSON> AppInventory::pageOf(std::shared_ptr<State> state, QThreadPool* pool,
                                       std::int64_t offset) {
    const std::vector<Entry> entries = co_await applicationsOf(state, pool, offset == 0);
    const std::size_t count = entries.size();
    const std::size_t start =
        offset <= 0 ? 0
                    : std::min(count, static_cast<std::size_t>(static_cast<std::uint64_t>(offset)));
    const std::size_t end = std::min(count, start + pageSize);
    JSON::Array apps;
    apps.reserve(end - start);
    for (std::size_t i = start; i < end; ++i) {
        apps.push_back(entryJSON(entries[i]));
    }
    JSON next = start + pageSize < count ? JSON(end) : JSON(nullptr);
    co_return JSON(JSON::Object{{"apps", JSON(std::move(apps))}, {"next_offset", std::move(next)}});
}

QCoro::Task<std::string> AppInventory::resolveIn(std::shared_ptr<State> state, QThreadPool* pool,
                                                 std::string name) {
    const std::vector<Entry> entries = co_await applicationsOf(state, pool, false);
    // Names typed by a person and names stored on disk may differ in Unicode composition.
    const QString wanted = QString::fromStdString(name).normalized(QString::NormalizationForm_C);
    const auto same = [&wanted](std::string_view text) {
        return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))
                   .normalized(QString::NormalizationForm_C)
                   .compare(wanted, Qt::CaseInsensitive) == 0;
    };
    const Entry* match = nullptr;
    for (const Entry& entry : entries) {
        if (same(entry.name) || same(withoutExtension(fileName(entry.path)))) {
            if (match != nullptr) {
                throw ContractError("app_not_found_or_ambiguous");
            }
            match = &entry;
        }
    }
    if (match == nullptr) {
        throw ContractError("app_not_found_or_ambiguous");
    }
    co_return match->path;
}

std::vector<AppInventory::Entry> AppInventory::ordered(std::vector<Entry> entries) {
    // The person's own collation; but Qt compares plainly (no numeric mode) under the C locale,
    // which would put "App 10" before "App 2", so that one falls back to the root order.
    QLocale locale;
    if (locale.language() == QLocale::C) {
        locale = QLocale(QLocale::English);
    }
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::vector<QString> names;
    names.reserve(entries.size());
    for (const Entry& entry : entries) {
        names.push_back(QString::fromStdString(entry.name));
    }
    const auto dateOf = [&entries](std::size_t i) {
        return entries[i].lastOpened.value_or(Instant::min());
    };
    std::vector<std::size_t> order(entries.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const Instant dateA = dateOf(a);
        const Instant dateB = dateOf(b);
        if (dateA != dateB) {
            return dateA > dateB;
        }
        const int byName = collator.compare(names[a], names[b]);
        if (byName != 0) {
            return byName < 0;
        }
        return entries[a].bundleID < entries[b].bundleID;
    });
    std::vector<Entry> result;
    result.reserve(entries.size());
    for (const std::size_t i : order) {
        result.push_back(std::move(entries[i]));
    }
    return result;
}

JSON AppInventory::entryJSON(const Entry& entry) {
    return JSON(JSON::Object{
        {"name", JSON(entry.name)},
        {"bundle_id", JSON(entry.bundleID)},
        {"last_opened", entry.lastOpened ? JSON(WireTime::text(*entry.lastOpened)) : JSON(nullptr)},
        {"running", JSON(entry.running)}});
}

std::vector<AppInventory::Entry>
AppInventory::discover(const ApplicationBundles& bundles, const AppCatalog& catalog,
                       const std::vector<RunningApplication>& running,
                       const std::vector<std::string>& roots) {
    const std::vector<RunningCopy> copies = runningCopies(bundles, running);

    // A set: the same bundle met by several sources is one candidate, and iteration is in plain
    // byte order of the path.
    std::set<std::string> candidates;
    for (const RunningCopy& copy : copies) {
        candidates.insert(copy.path);
    }
    try {
        if (const auto indexed = catalog.indexedApplications()) {
            const std::size_t taken = std::min(indexed->size(), indexResultCap);
            for (std::size_t i = 0; i < taken; ++i) {
                if (std::string path = standardPath((*indexed)[i]); !path.empty()) {
                    candidates.insert(std::move(path));
                }
            }
        }
    } catch (...) {
        // The index is one source among several.
    }
    for (const std::string& root : roots) {
        try {
            for (const std::string& path : walk(root)) {
                candidates.insert(path);
            }
        } catch (...) {
            // Only this root is lost.
        }
    }

    const IdentifierRule rule;
    std::vector<Candidate> kept;
    std::map<std::string, std::size_t, std::less<>> byIdentifier;
    for (const std::string& path : candidates) {
        std::optional<Candidate> candidate;
        try {
            candidate = candidateAt(path, bundles, catalog, rule, copies);
        } catch (...) {
            continue;
        }
        if (!candidate) {
            continue;
        }
        const auto [it, inserted] =
            byIdentifier.try_emplace(candidate->entry.bundleID, kept.size());
        if (inserted) {
            kept.push_back(std::move(*candidate));
        } else if (candidate->runsHere && !kept[it->second].runsHere) {
            // The first copy in path order stands for the application unless a later copy is the
            // one actually running.
            kept[it->second] = std::move(*candidate);
        }
    }

    std::vector<Entry> entries;
    entries.reserve(kept.size());
    for (Candidate& candidate : kept) {
        entries.push_back(std::move(candidate.entry));
    }
    return ordered(std::move(entries));
}

std::vector<std::string> AppInventory::walk(const std::string& root, WalkLimits limits) {
    struct Item {
        std::string name;
        bool directory = false;
    };
    struct Folder {
        std::string path;
        int level; // of the items inside: 1 for the root's own items
        std::vector<Item> items;
        std::size_t next = 0;
    };
    // The folder's visible items in byte order of their names, so that the walk and its caps do
    // not depend on the order the file system happens to return; false when it cannot be read.
    const auto list = [](Folder& folder) {
        DIR* dir = ::opendir(folder.path.c_str());
        if (dir == nullptr) {
            return false;
        }
        while (const dirent* item = ::readdir(dir)) {
            const std::string_view name(item->d_name);
            if (name.empty() || name.front() == '.') {
                continue;
            }
            bool directory = item->d_type == DT_DIR;
            if (item->d_type == DT_UNKNOWN) {
                // Not following links: a linked folder is never entered (no loops).
                struct stat status {};
                const std::string path = folder.path + '/' + std::string(name);
                directory = ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
            }
            folder.items.push_back({std::string(name), directory});
        }
        ::closedir(dir);
        std::sort(folder.items.begin(), folder.items.end(),
                  [](const Item& a, const Item& b) { return a.name < b.name; });
        return true;
    };

    std::vector<std::string> found;
    const std::string start = standardPath(root);
    if (start.empty() || limits.items == 0) {
        return found;
    }
    std::vector<Folder> stack;
    stack.push_back({start == "/" ? std::string() : start, 1, {}, 0});
    if (!list(stack.back())) {
        return found;
    }
    std::size_t visited = 0;
    while (!stack.empty() && visited < limits.items) {
        Folder& folder = stack.back();
        if (folder.next == folder.items.size()) {
            stack.pop_back();
            continue;
        }
        const Item item = std::move(folder.items[folder.next++]);
        const int level = folder.level;
        std::string path = folder.path + '/' + item.name;
        ++visited;
        if (lowerExtension(item.name) == "app") {
            found.push_back(std::move(path));
        } else if (item.directory && level <= limits.depth && !isPackage(item.name)) {
            Folder child{std::move(path), level + 1, {}, 0};
            if (list(child)) {
                stack.push_back(std::move(child)); // `folder` is not used past this point
            }
        }
    }
    return found;
}

std::vector<std::string> AppInventory::walk(const std::string& root) {
    return walk(root, WalkLimits{});
}

bool AppInventory::acceptsIdentifier(std::string_view identifier) {
    return IdentifierRule().accepts(identifier);
}

} // namespace corvane
