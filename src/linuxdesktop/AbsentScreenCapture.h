#pragma once

#include "platform/ScreenCapture.h"

namespace corvane {

// No window capture on this desktop yet: not allowed, no windows, no images.
class AbsentScreenCapture final : public ScreenCapture {
public:
    bool preflight() const override { return false; }
    void request() override {}
    QCoro::Task<std::variant<std::vector<Window>, Error>> shareableWindows() override {
        co_return std::vector<Window>{};
    }
    QCoro::Task<std::optional<QImage>> capture(std::uint32_t, int, int) override {
        co_return std::nullopt;
    }
};

} // namespace corvane
