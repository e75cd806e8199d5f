#include "CorvanePlatform/sim/SimScreenCapture.h"

#include "CorvanePlatform/sim/SimModel.h"

#include <QColor>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QGuiApplication>
#include <QPainter>

namespace corvane {

namespace {

QColor colourOf(const SimElementTree::Element& element, const std::string& title) {
    if (element.color) {
        return QColor(QString::fromStdString(*element.color));
    }
    // A stable colour per title, so that different windows look different.
    const QByteArray hash =
        QCryptographicHash::hash(QByteArray::fromStdString(title), QCryptographicHash::Sha256);
    return QColor::fromHsv(static_cast<unsigned char>(hash[0]) * 359 / 255, 90, 230);
}

std::string titleOf(const SimElementTree::Element& element) {
    auto title = element.attributes.find("AXTitle");
    if (title == element.attributes.end() || title->second.string() == nullptr) {
        return {};
    }
    return *title->second.string();
}

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
        std::vector<Window> list;
        for (const auto& [pid, token] : mac.tree.visibleWindows()) {
            Window window;
            window.id = static_cast<std::uint32_t>(token);
            window.ownerPid = pid;
            window.bounds = mac.tree.frame(token).value_or(QRectF());
            window.layer = 0;
            if (std::string title = titleOf(*mac.tree.element(token)); !title.empty()) {
                window.title = title;
            }
            list.push_back(window);
        }
        return list;
    });
}

QCoro::Task<std::variant<std::vector<ScreenCapture::Window>, ScreenCapture::Error>>
SimScreenCapture::shareableWindows() {
    co_return windows();
}

std::optional<QImage> SimScreenCapture::render(const SimParts& mac, std::uint32_t windowID,
                                               int width, int height) {
    if (width < 1 || height < 1 || width > 8192 || height > 8192 || !allowed(mac.settings) ||
        mac.settings.flag({"screen_capture", "capture_fails"})) {
        return std::nullopt;
    }
    std::optional<std::uint64_t> token;
    for (const auto& [pid, window] : mac.tree.visibleWindows()) {
        if (static_cast<std::uint32_t>(window) == windowID) {
            token = window;
        }
    }
    if (!token) {
        return std::nullopt;
    }
    const SimElementTree::Element& window = *mac.tree.element(*token);
    const QRectF frame = *mac.tree.frame(*token);
    const std::string title = titleOf(window);
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(colourOf(window, title));
    QPainter painter(&image);
    const double sx = frame.width() > 0 ? width / frame.width() : 1.0;
    const double sy = frame.height() > 0 ? height / frame.height() : 1.0;
    painter.fillRect(QRectF(0, 0, width, 28 * sy), QColor(225, 225, 225));
    // Controls as outlines, so that a picture shows where a click would land.
    painter.setPen(QColor(60, 60, 60));
    std::vector<std::uint64_t> queue = window.children;
    while (!queue.empty()) {
        const std::uint64_t at = queue.back();
        queue.pop_back();
        const SimElementTree::Element* element = mac.tree.element(at);
        if (element == nullptr || element->hidden) {
            continue;
        }
        if (std::optional<QRectF> r = mac.tree.frame(at)) {
            painter.drawRect(QRectF((r->x() - frame.x()) * sx, (r->y() - frame.y()) * sy,
                                    r->width() * sx, r->height() * sy));
        }
        queue.insert(queue.end(), element->children.begin(), element->children.end());
    }
    // Text needs the fonts of a GUI application; without one the picture has no title.
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr) {
        painter.setPen(Qt::black);
        painter.drawText(QRectF(0, 0, width, 28 * sy), Qt::AlignCenter,
                         QString::fromStdString(title));
    }
    painter.end();
    return image;
}

QCoro::Task<std::optional<QImage>> SimScreenCapture::capture(std::uint32_t windowID, int width,
                                                             int height) {
    co_return model_.with([&](SimParts& mac) {
        std::optional<QImage> image = render(mac, windowID, width, height);
        if (image) {
            mac.record.record(
                "capture",
                {{"window", JSON(windowID)}, {"width", JSON(width)}, {"height", JSON(height)}});
        }
        return image;
    });
}

} // namespace corvane
