#pragma once

#include "core/JSON.h"
#include "core/WireTime.h"
#include "platform/Platform.h"

#include <QThreadPool>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The applications the agent may offer: installed or running, ordinary user-facing, allowed by
// the app target policy, one per bundle identifier, most recently used first. Serves "list_apps",
// the name lookup of the app actions and the window's picker.
//
// Discovery (the metadata index plus bounded walks of the application folders, then one bundle
// read per candidate) is slow, so it runs on a worker thread and its result is cached for 30
// seconds; callers arriving while one runs share it. The worker only sees copies made on the main
// thread, the file system, and the read-only ports that are safe on any thread:
// ApplicationBundles and AppCatalog.
//
// The public operations run on the main thread. Their coroutines keep the cache alive on their
// own, so an inventory may be destroyed while one is suspended; the destructor waits for a
// discovery still running, so no worker outlives the ports it reads.
class AppInventory {
public:
    struct Entry {
        std::string name; // at most 160 characters, never empty
        std::string bundleID;
        std::optional<WireTime::Instant> lastOpened;
        bool running = false;
        std::string path; // bundle location, never sent

        friend bool operator==(const Entry&, const Entry&) = default;
    };

    static constexpr std::chrono::seconds cacheLifetime{30};
    static constexpr std::size_t pageSize = 100;
    static constexpr std::size_t indexResultCap = 20000;
    static constexpr std::size_t walkItemCap = 20000;
    static constexpr int walkDepthCap = 4;
    static constexpr std::size_t identifierCap = 200;
    static constexpr std::size_t nameCap = 160;

    explicit AppInventory(Platform& platform);
    ~AppInventory();
    AppInventory(const AppInventory&) = delete;
    AppInventory& operator=(const AppInventory&) = delete;

    // The "list_apps" result {"apps": [...], "next_offset": number or null}. Offset 0 discovers
    // afresh; a later page reads the cache while it is fresh. A negative offset counts as 0.
    QCoro::Task<JSON> page(std::int64_t offset);
    // The ordered list, from the cache unless `refresh` or the cache is stale.
    QCoro::Task<std::vector<Entry>> applications(bool refresh);
    // The bundle path of the one entry whose name, or bundle file name without extension, is
    // `name` ignoring case; "app_not_found_or_ambiguous" for none or several.
    QCoro::Task<std::string> resolve(std::string name);

    // Most recently used first, entries without a date last; equal dates by name as a file
    // browser sorts them (case-insensitive, digits numerically), then by bundle identifier.
    static std::vector<Entry> ordered(std::vector<Entry> entries);
    // {"name", "bundle_id", "last_opened" (wire time or null), "running"}; the path is not sent.
    static JSON entryJSON(const Entry& entry);

    // Discovery proper, safe to run off the main thread: `running` and `roots` are copies taken
    // on the main thread. Never throws; a source that fails is skipped.
    static std::vector<Entry> discover(const ApplicationBundles& bundles, const AppCatalog& catalog,
                                       const std::vector<RunningApplication>& running,
                                       const std::vector<std::string>& roots);

    struct WalkLimits {
        std::size_t items = walkItemCap;
        int depth = walkDepthCap;
    };
    // The bounded walk of one root: the ".app" items met, depth first, names in byte order
    // within a folder. Hidden items are skipped, packages and symbolic links are never entered,
    // an item more than `depth` levels below the root is not entered, and the walk ends after
    // `items` visited items. A root that cannot be read yields nothing.
    static std::vector<std::string> walk(const std::string& root, WalkLimits limits);
    static std::vector<std::string> walk(const std::string& root);

    // A bundle identifier the inventory accepts: at most 200 characters, two or more
    // dot-separated labels of ASCII letters, digits and hyphens, nothing else (no trailing line
    // break either).
    static bool acceptsIdentifier(std::string_view identifier);

private:
    struct State;

    // The coroutines behind the public operations. They hold the cache by shared pointer, never
    // the inventory; `pool` is used only before their first suspension.
    static QCoro::Task<std::vector<Entry>> applicationsOf(std::shared_ptr<State> state,
                                                          QThreadPool* pool, bool refresh);
    static QCoro::Task<JSON> pageOf(std::shared_ptr<State> state, QThreadPool* pool,
                                    std::int64_t offset);
    static QCoro::Task<std::string> resolveIn(std::shared_ptr<State> state, QThreadPool* pool,
                                              std::string name);

    std::shared_ptr<State> state_;
    // One worker for the one discovery at a time. Declared last so that it is destroyed (and
    // waited for) first.
    QThreadPool pool_;
};

} // namespace corvane
