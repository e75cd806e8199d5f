#include "sim/SimWorkspace.h"

#include "sim/SimModel.h"
#include "sim/SimValueCodec.h"

#include <QFile>

namespace corvane {

SimWorkspace::SimWorkspace(SimModel& model, QObject* parent)
    : Workspace(parent)
    , model_(model) {
    connect(&model_, &SimModel::willSleep, this, &Workspace::willSleep);
    connect(&model_, &SimModel::didWake, this, &Workspace::didWake);
    connect(&model_, &SimModel::sessionDidResignActive, this, &Workspace::sessionDidResignActive);
    connect(&model_, &SimModel::sessionDidBecomeActive, this, &Workspace::sessionDidBecomeActive);
}

std::vector<RunningApplication> SimWorkspace::runningApplications() const {
    return model_.with([](SimParts& mac) {
        std::vector<RunningApplication> result;
        for (const SimApplications::Instance& i : mac.apps.running()) {
            result.push_back(mac.apps.describe(i));
        }
        return result;
    });
}

std::optional<RunningApplication> SimWorkspace::frontmostApplication() const {
    return model_.with([](SimParts& mac) -> std::optional<RunningApplication> {
        if (const SimApplications::Instance* front = mac.apps.instance(mac.apps.frontmost())) {
            return mac.apps.describe(*front);
        }
        return std::nullopt;
    });
}

std::optional<std::string> SimWorkspace::applicationPath(const std::string& bundleID) const {
    return model_.with([&](SimParts& mac) { return mac.apps.applicationPath(bundleID); });
}

std::optional<PlatformValue::Dictionary> SimWorkspace::bundleInfo(const std::string& path) const {
    QFile file(QString::fromStdString(path) + QStringLiteral("/Contents/Info.json"));
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QByteArray bytes = file.read(1 << 20);
    try {
        const JSON info = JSON::parse(std::string_view(bytes.constData(), bytes.size()));
        if (!info.isObject()) {
            return std::nullopt;
        }
        PlatformValue value = SimValueCodec::fromJSON(info);
        return *value.dictionary();
    } catch (const JSONReadError&) {
        return std::nullopt;
    }
}

QCoro::Task<void> SimWorkspace::openApplication(std::string path, bool activate) {
    model_.with([&](SimParts& mac) { mac.apps.open(path, activate); });
    co_return;
}

bool SimWorkspace::openURL(const std::string& url) {
    return model_.with([&](SimParts& mac) {
        const bool opened = !mac.settings.flag({"workspace", "open_url_fails"});
        mac.record.record("open_url", {{"url", JSON(url)}, {"opened", JSON(opened)}});
        return opened;
    });
}

bool SimWorkspace::activate(std::int32_t pid) {
    return model_.with([pid](SimParts& mac) { return mac.apps.activate(pid); });
}

bool SimWorkspace::terminate(std::int32_t pid) {
    return model_.with([pid](SimParts& mac) { return mac.apps.requestQuit(pid); });
}

std::string SimWorkspace::hostName() const {
    return model_.text({"host_name"});
}

OSVersion SimWorkspace::osVersion() const {
    return model_.with([](SimParts& mac) {
        return OSVersion{static_cast<int>(mac.settings.number({"os_version", "major"})),
                         static_cast<int>(mac.settings.number({"os_version", "minor"})),
                         static_cast<int>(mac.settings.number({"os_version", "patch"})),
                         mac.settings.text({"os_version", "text"})};
    });
}

} // namespace corvane
