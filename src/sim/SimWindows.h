#pragma once

#include "platform/ScreenCapture.h"

#include <QColor>
#include <QImage>
#include <QRectF>
#include <QSize>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace corvane {

class SimApplications;
class SimEffects;
class SimElementTree;
class SimEventRecord;

// The window server: which windows are on screen (front application first, with their layers
// and titles), what each one looks like (a picture of its controls), and the one-shot reactions a
// scenario attaches to being looked at: an element's "on_read" effects run once, right after the
// agent first reads it; a window's "on_capture" effects run once, right after its first capture.
// With them a scenario makes a title change between two checks, a window move while it is
// captured, or another application come to the front in the middle of an observation.
class SimWindows {
public:
    // What a capture shows, taken under the model's lock and painted on any thread afterwards:
    // the window's colour and title, and each framed control in image coordinates.
    struct Picture {
        enum class Look { Outline, Button, Field, Area, Text };
        struct Item {
            QRectF rect;
            Look look = Look::Outline;
            QString caption;
        };
        QSize size;
        QColor background;
        QString title;
        double titleBarHeight = 28;
        double scale = 1;
        // Captions need the fonts of a GUI application; without one the picture has shapes only.
        bool text = false;
        std::vector<Item> items; // painted in order, children over their parents
    };

    SimWindows(SimElementTree& tree, SimEffects& effects, SimEventRecord& record)
        : tree_(tree)
        , effects_(effects)
        , record_(record) {}

    // Shown, unminimised windows with a frame; the id is the window's element token.
    std::vector<ScreenCapture::Window> shareable() const;
    // The window at the pixel size: absent for a window that is not on screen or an unreasonable
    // size. Recorded, and the window's "on_capture" effects run afterwards.
    std::optional<Picture> capture(std::uint32_t windowID, int width, int height);
    // Paints a picture: its colour, a title bar with its title, buttons, fields and texts with
    // their captions, outlines of the rest. Needs no lock; any thread.
    static QImage paint(const Picture& picture);
    // The agent read the element through the accessibility port: its "on_read" effects run, once.
    void read(std::uint64_t token);

private:
    Picture plan(std::uint64_t window, int width, int height) const;

    SimElementTree& tree_;
    SimEffects& effects_;
    SimEventRecord& record_;
};

} // namespace corvane
