#pragma once

#include "core/Clock.h"
#include "core/JSON.h"
#include "core/WireTime.h"
#include "platform/RunningApplication.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

class SimEventRecord;
class SimProcessUI;

// Applications and processes: the installed bundles (one real folder each under the root), their
// running instances, the front application, and what launching, activating and quitting do. An
// instance's user interface is not kept here: the SimProcessUI hears of every start and end.
class SimApplications {
public:
    using Policy = RunningApplication::ActivationPolicy;

    struct Instance {
        std::int32_t pid = 0;
        std::size_t app = 0; // index into the bundles
        std::optional<WireTime::Instant> launchDate;
        Policy policy = Policy::Regular;
    };

    SimApplications(QString root, Clock& clock, SimEventRecord& record, SimProcessUI& ui);

    // Loading a scenario, first step and the only one that can fail: the checked "apps" entries
    // with their paths made absolute, after their bundle folders have been written. Throws
    // SimScenarioError naming a folder that cannot be written; the running model is untouched.
    std::vector<JSON> prepare(const JSON& apps) const;
    // Second step: these bundles replace the old ones (the folders of bundles no longer there are
    // removed), and the scenario's instances start. The caller has dropped every element tree.
    void load(std::vector<JSON> apps, const JSON& frontmost);

    const std::vector<Instance>& running() const { return running_; }
    const Instance* instance(std::int32_t pid) const;
    // Process id of the front application; 0 for none.
    std::int32_t frontmost() const { return frontmost_; }
    // Running instances in screen order: the front application first, then launch order.
    std::vector<std::int32_t> screenOrder() const;
    RunningApplication describe(const Instance& instance) const;
    std::string localizedName(const Instance& instance) const;
    std::string bundleIdentifier(const Instance& instance) const;
    std::optional<std::string> bundleIdentifier(std::int32_t pid) const;
    std::vector<std::int32_t> pidsOf(const std::string& bundleID) const;
    std::optional<std::string> applicationPath(const std::string& bundleID) const;
    // Absolute paths of the installed bundles the metadata index lists, in scenario order.
    std::vector<std::string> indexedPaths() const;
    std::vector<std::string> directoryRoots() const;
    std::optional<WireTime::Instant> lastUsed(const std::string& path) const;

    // Launches (or finds) the application whose bundle is at `path`; throws std::runtime_error
    // when there is no such bundle or its launch fails.
    std::int32_t open(const std::string& path, bool activate);
    bool activate(std::int32_t pid);
    bool setFrontmost(std::int32_t pid);
    // A quit request; false when refused. An application that "stays_open" accepts and keeps
    // running, as with a save dialog.
    bool requestQuit(std::int32_t pid);
    // Ends the instance whatever its quit behaviour (the person quit it, or a "Don't Save").
    bool forceQuit(std::int32_t pid);

private:
    const JSON& entry(const Instance& instance) const { return apps_[instance.app]; }
    void start(std::size_t app, std::int32_t pid, std::optional<WireTime::Instant> date,
               std::optional<Policy> policy);
    void end(std::int32_t pid);

    QString root_;
    Clock& clock_;
    SimEventRecord& record_;
    SimProcessUI& ui_;
    std::vector<JSON> apps_; // checked entries; "path" made absolute
    std::vector<Instance> running_;
    std::int32_t frontmost_ = 0;
};

} // namespace corvane
