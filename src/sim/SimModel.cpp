#include "sim/SimModel.h"

#include <QtGlobal>

namespace corvane {

SimModel::Holder::Holder(SimModel& model)
    : model_(model) {
    if (model_.holder_.load() == std::this_thread::get_id()) {
        qFatal("SimModel::with called inside with: the work must use the parts it is given");
    }
    model_.mutex_.lock();
    model_.holder_.store(std::this_thread::get_id());
}

SimModel::Holder::~Holder() {
    model_.holder_.store(std::thread::id());
    model_.mutex_.unlock();
}

SimModel::SimModel(QString root, Clock& clock)
    : root_(root)
    , parts_(std::make_unique<SimParts>(std::move(root), clock)) {}

SimModel::~SimModel() = default;

JSON SimModel::settings() {
    return with([](SimParts& mac) { return mac.settings.all(); });
}

JSON SimModel::setting(std::initializer_list<std::string_view> path) {
    return with([&](SimParts& mac) { return mac.settings.get(path); });
}

bool SimModel::flag(std::initializer_list<std::string_view> path) {
    return with([&](SimParts& mac) { return mac.settings.flag(path); });
}

std::string SimModel::text(std::initializer_list<std::string_view> path) {
    return with([&](SimParts& mac) { return mac.settings.text(path); });
}

double SimModel::number(std::initializer_list<std::string_view> path) {
    return with([&](SimParts& mac) { return mac.settings.number(path); });
}

void SimModel::put(std::initializer_list<std::string_view> path, JSON value) {
    with([&](SimParts& mac) { mac.settings.put(path, std::move(value)); });
}

std::vector<JSON> SimModel::events() {
    return with([](SimParts& mac) { return mac.record.events(); });
}

void SimModel::lockScreen() {
    with([](SimParts& mac) {
        mac.settings.setLocked(true);
        mac.record.record("screen_locked");
    });
}

void SimModel::unlockScreen() {
    with([](SimParts& mac) {
        mac.settings.setLocked(false);
        mac.record.record("screen_unlocked");
    });
}

bool SimModel::screenLocked() {
    return with([](SimParts& mac) { return mac.settings.locked(); });
}

std::optional<AXElement> SimModel::named(const std::string& name) {
    return with([&](SimParts& mac) -> std::optional<AXElement> {
        if (std::optional<std::uint64_t> token = mac.tree.named(name)) {
            return AXElement(*token);
        }
        return std::nullopt;
    });
}

std::vector<std::int32_t> SimModel::pidsOf(const std::string& bundleID) {
    return with([&](SimParts& mac) { return mac.apps.pidsOf(bundleID); });
}

bool SimModel::setFrontmost(std::int32_t pid) {
    return with([&](SimParts& mac) { return mac.apps.setFrontmost(pid); });
}

JSON SimModel::dump() {
    return with([](SimParts& mac) { return mac.dump(); });
}

void SimModel::notifySleep() {
    with([](SimParts& mac) { mac.record.record("will_sleep"); });
    Q_EMIT willSleep();
}

void SimModel::notifyWake() {
    with([](SimParts& mac) { mac.record.record("did_wake"); });
    Q_EMIT didWake();
}

void SimModel::notifySession(bool active) {
    with([&](SimParts& mac) { mac.record.record(active ? "session_active" : "session_inactive"); });
    if (active) {
        Q_EMIT sessionDidBecomeActive();
    } else {
        Q_EMIT sessionDidResignActive();
    }
}

} // namespace corvane
