#pragma once

#include "core/WorkerPool.h"
#include "platform/ScreenCapture.h"

namespace corvane {

class SimModel;

// Shareable windows and captures come from the window server (SimWindows), within the permission
// the scenario gives. As the real service captures on a queue of its own, a capture is painted on
// a thread of its own and awaited: the caller's thread stays free meanwhile.
class SimScreenCapture final : public ScreenCapture {
public:
    explicit SimScreenCapture(SimModel& model)
        : model_(model) {}

    bool preflight() const override;
    void request() override;
    QCoro::Task<std::variant<std::vector<Window>, Error>> shareableWindows() override;
    QCoro::Task<std::optional<QImage>> capture(std::uint32_t windowID, int width,
                                               int height) override;

    // The error code of a refused capture.
    static constexpr std::int64_t declinedCode = -3801;

private:
    std::variant<std::vector<Window>, Error> windows() const;

    SimModel& model_;
    // Waited for when the port goes.
    WorkerPool painter_;
};

} // namespace corvane
