#pragma once

#include "CorvanePlatform/ScreenCapture.h"

namespace corvane {

class SimModel;
class SimParts;

// Shareable windows are the model's visible windows; a capture is painted: the window's colour,
// a title bar with its title and the outlines of its controls.
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
    static std::optional<QImage> render(const SimParts& mac, std::uint32_t windowID, int width,
                                        int height);

    SimModel& model_;
};

} // namespace corvane
