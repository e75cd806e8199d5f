#include "sim/SimScreenCapture.h"

#include "sim/SimModel.h"

#include <functional>

namespace corvane {

namespace {

bool allowed(const SimSettings& settings) {
    return settings.flag({"screen_capture", "allowed"});
}

} // namespace

bool SimScreenCapture::preflight() const {
    return model_.flag({"screen_capture", "allowed"});
}

void SimScreenCapture::request() {
    model_.with([](SimParts& mac) {
        mac.record.record("screen_capture_prompt");
        if (mac.settings.flag({"screen_capture", "grant_on_request"})) {
            mac.settings.put({"screen_capture", "allowed"}, JSON(true));
        }
    });
}

std::variant<std::vector<ScreenCapture::Window>, ScreenCapture::Error>
SimScreenCapture::windows() const {
    return model_.with([](SimParts& mac) -> std::variant<std::vector<Window>, Error> {
        if (!allowed(mac.settings) || mac.settings.flag({"screen_capture", "declined"})) {
            return Error{declinedCode};
        }
        return mac.windows.shareable();
    });
}

QCoro::Task<std::variant<std::vector<ScreenCapture::Window>, ScreenCapture::Error>>
SimScreenCapture::shareableWindows() {
    co_return windows();
}

QCoro::Task<std::optional<QImage>> SimScreenCapture::capture(std::uint32_t windowID, int width,
                                                             int height) {
    std::optional<SimWindows::Picture> picture =
        model_.with([&](SimParts& mac) -> std::optional<SimWindows::Picture> {
            if (!allowed(mac.settings) || mac.settings.flag({"screen_capture", "capture_fails"})) {
                return std::nullopt;
            }
            return mac.windows.capture(windowID, width, height);
        });
    if (!picture) {
        co_return std::nullopt;
    }
    std::function<QImage()> paint = [drawn = std::move(*picture)] {
        return SimWindows::paint(drawn);
    };
    // Touches nothing of this port after the wait: the port may be gone by then.
    co_return co_await painter_.run(std::move(paint));
}

} // namespace corvane
