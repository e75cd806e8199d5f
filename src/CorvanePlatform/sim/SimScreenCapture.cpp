#include "CorvanePlatform/sim/SimScreenCapture.h"

#include "CorvanePlatform/sim/SimModel.h"

#include <QColor>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QGuiApplication>
#include <QPainter>

namespace corvane {

namespace {

QColor colourOf(const SimModel::Element& element, const std::string& title) {
    if (element.color) {
        return QColor(QString::fromStdString(*element.color));
    }
    // A stable colour per title, so that different windows look different.
    const QByteArray hash =
        QCryptographicHash::hash(QByteArray::fromStdString(title), QCryptographicHash::Sha256);
    return QColor::fromHsv(static_cast<unsigned char>(hash[0]) * 359 / 255, 90, 230);
}

std::string titleOf(const SimModel::Element& element) {
    auto title = element.attributes.find("AXTitle");
    if (title == element.attributes.end() || title->second.string() == nullptr) {
        return {};
    }
    return *title->second.string();
}

} // namespace

bool SimScreenCapture::preflight() const {
    return model_.flag({"screen_capture", "allowed"});
}

void SimScreenCapture::request() {
    auto guard = model_.lock();
    model_.record("screen_capture_prompt");
    if (model_.flag({"screen_capture", "grant_on_request"})) {
        model_.put({"screen_capture", "allowed"}, JSON(true));
    }
}

std::variant<std::vector<ScreenCapture::Window>, ScreenCapture::Error>
SimScreenCapture::windows() const {
    auto guard = model_.lock();
    if (!model_.flag({"screen_capture", "allowed"}) ||
        model_.flag({"screen_capture", "declined"})) {
        return Error{declinedCode};
    }
    std::vector<Window> list;
    for (const auto& [pid, token] : model_.visibleWindows()) {
        const SimModel::Element* element = model_.element(token);
        Window window;
        window.id = static_cast<std::uint32_t>(token);
        window.ownerPid = pid;
        window.bounds = model_.frame(token).value_or(QRectF());
        window.layer = 0;
        if (std::string title = titleOf(*element); !title.empty()) {
            window.title = title;
        }
        list.push_back(window);
    }
    return list;
}

QCoro::Task<std::variant<std::vector<ScreenCapture::Window>, ScreenCapture::Error>>
SimScreenCapture::shareableWindows() {
    co_return windows();
}

std::optional<QImage> SimScreenCapture::render(std::uint32_t windowID, int width,
                                               int height) const {
    auto guard = model_.lock();
    if (width < 1 || height < 1 || width > 8192 || height > 8192 ||
        !model_.flag({"screen_capture", "allowed"}) ||
        model_.flag({"screen_capture", "capture_fails"})) {
        return std::nullopt;
    }
    std::optional<std::uint64_t> token;
    for (const auto& [pid, window] : model_.visibleWindows()) {
        if (static_cast<std::uint32_t>(window) == windowID) {
            token = window;
        }
    }
    if (!token) {
        return std::nullopt;
    }
    const SimModel::Element& window = *model_.element(*token);
    const QRectF frame = *model_.frame(*token);
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
        const SimModel::Element* element = model_.element(at);
        if (element == nullptr || element->hidden) {
            continue;
        }
        if (std::optional<QRectF> r = model_.frame(at)) {
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
    model_.record("capture",
                  {{"window", JSON(windowID)}, {"width", JSON(width)}, {"height", JSON(height)}});
    return image;
}

QCoro::Task<std::optional<QImage>> SimScreenCapture::capture(std::uint32_t windowID, int width,
                                                             int height) {
    co_return render(windowID, width, height);
}

} // namespace corvane
