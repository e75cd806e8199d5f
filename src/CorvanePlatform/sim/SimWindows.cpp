#include "CorvanePlatform/sim/SimWindows.h"

#include "CorvanePlatform/sim/SimEffects.h"
#include "CorvanePlatform/sim/SimElementTree.h"
#include "CorvanePlatform/sim/SimEventRecord.h"

#include <QColor>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QGuiApplication>
#include <QPainter>

#include <deque>

namespace corvane {

namespace {

std::string textOf(const SimElementTree::Element& element, const char* attribute) {
    auto found = element.attributes.find(attribute);
    if (found == element.attributes.end() || found->second.string() == nullptr) {
        return {};
    }
    return *found->second.string();
}

QColor colourOf(const SimElementTree::Element& element, const std::string& title) {
    if (element.color) {
        return QColor(QString::fromStdString(*element.color));
    }
    // A stable colour per title, so that different windows look different.
    const QByteArray hash =
        QCryptographicHash::hash(QByteArray::fromStdString(title), QCryptographicHash::Sha256);
    return QColor::fromHsv(static_cast<unsigned char>(hash[0]) * 359 / 255, 90, 230);
}

enum class Look { Outline, Button, Field, Area, Text };

Look lookOf(const std::string& role) {
    if (role == "AXButton" || role == "AXCheckBox" || role == "AXRadioButton" ||
        role == "AXPopUpButton" || role == "AXMenuButton" || role == "AXTab" ||
        role == "AXDisclosureTriangle") {
        return Look::Button;
    }
    // A document's text lies on the window's own background.
    if (role == "AXTextArea") {
        return Look::Area;
    }
    if (role == "AXTextField" || role == "AXComboBox" || role == "AXSecureTextField" ||
        role == "AXSearchField") {
        return Look::Field;
    }
    if (role == "AXStaticText" || role == "AXLink" || role == "AXHeading") {
        return Look::Text;
    }
    return Look::Outline;
}

// What a person would read on the control: a password field shows dots, never its value.
QString caption(const SimElementTree::Element& element, Look look) {
    const std::string role = SimElementTree::role(element);
    if (role == "AXSecureTextField") {
        return QStringLiteral("••••••••");
    }
    const bool field = look == Look::Field || look == Look::Area;
    std::string text = field ? textOf(element, "AXValue") : textOf(element, "AXTitle");
    if (text.empty()) {
        text = field ? textOf(element, "AXPlaceholderValue") : textOf(element, "AXDescription");
    }
    if (text.empty() && look == Look::Text) {
        text = textOf(element, "AXValue");
    }
    return QString::fromStdString(text);
}

} // namespace

std::vector<ScreenCapture::Window> SimWindows::shareable() const {
    std::vector<ScreenCapture::Window> list;
    for (const auto& [pid, token] : tree_.visibleWindows()) {
        const SimElementTree::Element& element = *tree_.element(token);
        ScreenCapture::Window window;
        window.id = static_cast<std::uint32_t>(token);
        window.ownerPid = pid;
        window.bounds = tree_.frame(token).value_or(QRectF());
        window.layer = element.layer;
        if (std::string title = textOf(element, "AXTitle"); !title.empty()) {
            window.title = title;
        }
        list.push_back(window);
    }
    return list;
}

std::optional<QImage> SimWindows::capture(std::uint32_t windowID, int width, int height) {
    if (width < 1 || height < 1 || width > 8192 || height > 8192) {
        return std::nullopt;
    }
    std::optional<std::uint64_t> token;
    for (const auto& [pid, window] : tree_.visibleWindows()) {
        if (static_cast<std::uint32_t>(window) == windowID) {
            token = window;
        }
    }
    if (!token) {
        return std::nullopt;
    }
    QImage image = render(*token, width, height);
    record_.record("capture",
                   {{"window", JSON(windowID)}, {"width", JSON(width)}, {"height", JSON(height)}});
    SimElementTree::Element& window = *tree_.element(*token);
    const JSON reaction = std::exchange(window.onCapture, JSON(JSON::Array{}));
    effects_.run(reaction, *token);
    return image;
}

void SimWindows::read(std::uint64_t token) {
    SimElementTree::Element* element = tree_.element(token);
    if (element == nullptr || !tree_.readable(token) || element->onRead.array() == nullptr ||
        element->onRead.array()->empty()) {
        return;
    }
    const JSON reaction = std::exchange(element->onRead, JSON(JSON::Array{}));
    effects_.run(reaction, token);
}

QImage SimWindows::render(std::uint64_t token, int width, int height) const {
    const SimElementTree::Element& window = *tree_.element(token);
    const QRectF frame = *tree_.frame(token);
    const std::string title = textOf(window, "AXTitle");
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(colourOf(window, title));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const double sx = frame.width() > 0 ? width / frame.width() : 1.0;
    const double sy = frame.height() > 0 ? height / frame.height() : 1.0;
    const auto onImage = [&](const QRectF& r) {
        return QRectF((r.x() - frame.x()) * sx, (r.y() - frame.y()) * sy, r.width() * sx,
                      r.height() * sy);
    };
    painter.fillRect(QRectF(0, 0, width, 28 * sy), QColor(225, 225, 225));
    // Text needs the fonts of a GUI application; without one the picture shows shapes only.
    const bool text = qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
    if (text) {
        QFont font = painter.font();
        font.setPixelSize(std::max(1, int(13 * sy)));
        painter.setFont(font);
        painter.setPen(Qt::black);
        painter.drawText(QRectF(0, 0, width, 28 * sy), Qt::AlignCenter,
                         QString::fromStdString(title));
    }
    // Breadth-first, so that children are painted over their parents.
    std::deque<std::uint64_t> queue(window.children.begin(), window.children.end());
    while (!queue.empty()) {
        const std::uint64_t at = queue.front();
        queue.pop_front();
        const SimElementTree::Element* element = tree_.element(at);
        if (element == nullptr || element->hidden) {
            continue;
        }
        queue.insert(queue.end(), element->children.begin(), element->children.end());
        const std::optional<QRectF> bounds = tree_.frame(at);
        if (!bounds) {
            continue;
        }
        const QRectF r = onImage(*bounds);
        const Look look = lookOf(SimElementTree::role(*element));
        painter.setPen(QColor(60, 60, 60));
        switch (look) {
        case Look::Button:
            painter.setBrush(QColor(236, 236, 236));
            painter.drawRoundedRect(r, 4 * sx, 4 * sy);
            break;
        case Look::Field:
            painter.setBrush(Qt::white);
            painter.drawRect(r);
            break;
        case Look::Text:
            break;
        case Look::Area:
        case Look::Outline:
            painter.setBrush(Qt::NoBrush);
            painter.drawRect(r);
            break;
        }
        // A caption would not fit on the smallest controls (a window's close button).
        const bool legible = r.width() >= 24 && r.height() >= 8;
        if (!legible) {
            continue;
        }
        if (text && look == Look::Area) {
            painter.setPen(Qt::black);
            painter.drawText(r.adjusted(6 * sx, 6 * sy, -6 * sx, -6 * sy),
                             Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                             caption(*element, look));
        } else if (text && look != Look::Outline) {
            painter.setPen(Qt::black);
            painter.drawText(r.adjusted(3 * sx, 0, -3 * sx, 0),
                             (look == Look::Button ? Qt::AlignCenter : Qt::AlignLeft) |
                                 Qt::AlignVCenter | Qt::TextSingleLine,
                             caption(*element, look));
        }
    }
    painter.end();
    return image;
}

} // namespace corvane
