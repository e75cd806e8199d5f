#include "CorvanePlatform/sim/SimScreenCapture.h"

#include "CorvanePlatform/sim/SimModel.h"

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
    co_return model_.with([&](SimParts& mac) -> std::optional<QImage> {
        if (!allowed(mac.settings) || mac.settings.flag({"screen_capture", "capture_fails"})) {
            return std::nullopt;
        }
        return mac.windows.capture(windowID, width, height);
    });
}

} // namespace corvane
