#pragma once

#include "CorvanePlatform/ScreenCapture.h"

#include <QImage>

#include <cstdint>
#include <optional>
#include <vector>

namespace corvane {

class SimApplications;
class SimEffects;
class SimElementTree;
class SimEventRecord;

// The window server: which windows are on screen (front application first, with their layers
// and titles), what each one looks like (painted from its controls), and the one-shot reactions a
// scenario attaches to being looked at: an element's "on_read" effects run once, right after the
// agent first reads it; a window's "on_capture" effects run once, right after its first capture.
// With them a scenario makes a title change between two checks, a window move while it is
// captured, or another application come to the front in the middle of an observation.
class SimWindows {
public:
    SimWindows(SimElementTree& tree, SimEffects& effects, SimEventRecord& record)
        : tree_(tree)
        , effects_(effects)
        , record_(record) {}

    // Shown, unminimised windows with a frame; the id is the window's element token.
    std::vector<ScreenCapture::Window> shareable() const;
    // The window painted at the pixel size: its colour, a title bar with its title, and its
    // controls (buttons, fields, texts, outlines) where their frames put them. Absent for a window
    // that is not on screen or an unreasonable size. Recorded, and the window's "on_capture"
    // effects run afterwards.
    std::optional<QImage> capture(std::uint32_t windowID, int width, int height);
    // The agent read the element through the accessibility port: its "on_read" effects run, once.
    void read(std::uint64_t token);

private:
    QImage render(std::uint64_t window, int width, int height) const;

    SimElementTree& tree_;
    SimEffects& effects_;
    SimEventRecord& record_;
};

} // namespace corvane
