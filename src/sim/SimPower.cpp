#include "sim/SimPower.h"

#include "sim/SimModel.h"
#include "sim/SimValueCodec.h"

#include <QMetaObject>
#include <QPointer>

namespace corvane {

std::optional<PlatformValue> SimPower::powerSources() const {
    const JSON sources = model_.setting({"power", "sources"});
    if (sources.isNull()) {
        return std::nullopt;
    }
    return SimValueCodec::fromJSON(sources);
}

MacPower::SleepOutcome SimPower::requestSleep() {
    const std::string outcome = model_.with([](SimParts& mac) {
        std::string answer = mac.settings.text({"power", "sleep"});
        mac.record.record("sleep_request", {{"outcome", JSON(answer)}});
        return answer;
    });
    if (outcome == "unavailable") {
        return SleepOutcome::Unavailable;
    }
    if (outcome == "denied") {
        return SleepOutcome::Denied;
    }
    // The notification arrives after the request returns, as from the real system.
    QMetaObject::invokeMethod(
        &model_,
        [model = QPointer<SimModel>(&model_)] {
            if (model) {
                model->notifySleep();
            }
        },
        Qt::QueuedConnection);
    return SleepOutcome::Accepted;
}

} // namespace corvane
