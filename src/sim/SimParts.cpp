#include "sim/SimParts.h"

#include "core/WireTime.h"

namespace corvane {

SimParts::SimParts(QString root, Clock& clock)
    : record(clock)
    , apps(std::move(root), clock, record, *this)
    , tree(apps)
    , tabs(tree)
    , effects(tree, tabs, apps, settings, record)
    , input(tree, effects, apps, settings, record)
    , windows(tree, effects, record) {}

void SimParts::load(const JSON& scenario) {
    // Bundle folders first: the only step that can fail on a checked scenario.
    std::vector<JSON> bundles = apps.prepare(*scenario.find("apps"));
    settings.load(scenario);
    record.clear();
    tree.clear();
    apps.load(std::move(bundles), *scenario.find("frontmost"));
}

void SimParts::instanceStarted(std::int32_t pid, const JSON* ui) {
    tree.attach(pid, ui);
}

void SimParts::instanceEnded(std::int32_t pid) {
    tree.detach(pid);
}

void SimParts::showQuitEffects(const JSON& quitEffects) {
    effects.run(quitEffects, 0);
}

JSON SimParts::dump() const {
    using Policy = RunningApplication::ActivationPolicy;
    JSON::Object state = *settings.all().object();
    JSON::Array running;
    for (const SimApplications::Instance& i : apps.running()) {
        const RunningApplication r = apps.describe(i);
        JSON::Object entry{{"pid", JSON(r.pid)},
                           {"name", JSON(r.localizedName.value_or(""))},
                           {"bundle_id", r.bundleID ? JSON(*r.bundleID) : JSON(nullptr)},
                           {"path", r.bundlePath ? JSON(*r.bundlePath) : JSON(nullptr)},
                           {"active", JSON(r.active)},
                           {"policy", JSON(i.policy == Policy::Regular     ? "regular"
                                           : i.policy == Policy::Accessory ? "accessory"
                                                                           : "prohibited")},
                           {"windows", tree.windowSummary(i.pid)}};
        entry["launch_date"] = r.launchDate ? JSON(WireTime::text(*r.launchDate)) : JSON(nullptr);
        running.emplace_back(std::move(entry));
    }
    state["running"] = JSON(std::move(running));
    state["frontmost"] = apps.frontmost() != 0 ? JSON(apps.frontmost()) : JSON(nullptr);
    state["elements"] = tree.namedElements();
    return JSON(std::move(state));
}

} // namespace corvane
