#include "sim/SimWindows.h"

#include "sim/SimEffects.h"
#include "sim/SimElementTree.h"
#include "sim/SimEventRecord.h"

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

using Look = SimWindows::Picture::Look;

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

std::optional<SimWindows::Picture> SimWindows::capture(std::uint32_t windowID, int width,
                                                       int height) {
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
    Picture picture = plan(*token, width, height);
    record_.record("capture",
                   {{"window", JSON(windowID)}, {"width", JSON(width)}, {"height", JSON(height)}});
    SimElementTree::Element& window = *tree_.element(*token);
    const JSON reaction = std::exchange(window.onCapture, JSON(JSON::Array{}));
    effects_.run(reaction, *token);
    return picture;
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

SimWindows::Picture SimWindows::plan(std::uint64_t token, int width, int height) const {
    const SimElementTree::Element& window = *tree_.element(token);
    const QRectF frame = *tree_.frame(token);
    const std::string title = textOf(window, "AXTitle");
    Picture picture;
    picture.size = QSize(width, height);
    picture.background = colourOf(window, title);
    picture.title = QString::fromStdString(title);
    const double sx = frame.width() > 0 ? width / frame.width() : 1.0;
    const double sy = frame.height() > 0 ? height / frame.height() : 1.0;
    picture.titleBarHeight = 28 * sy;
    picture.scale = sy;
    picture.text = qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
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
        Picture::Item item;
        item.rect = QRectF((bounds->x() - frame.x()) * sx, (bounds->y() - frame.y()) * sy,
                           bounds->width() * sx, bounds->height() * sy);
        item.look = lookOf(SimElementTree::role(*element));
        // A caption would not fit on the smallest controls (a window's close button).
        if (item.look != Look::Outline && item.rect.width() >= 24 && item.rect.height() >= 8) {
            item.caption = caption(*element, item.look);
        }
        picture.items.push_back(std::move(item));
    }
    return picture;
}

QImage SimWindows::paint(const Picture& picture) {
    QImage image(picture.size, QImage::Format_ARGB32_Premultiplied);
    image.fill(picture.background);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const double width = picture.size.width();
    const double s = picture.scale;
    painter.fillRect(QRectF(0, 0, width, picture.titleBarHeight), QColor(225, 225, 225));
    if (picture.text) {
        QFont font = painter.font();
        font.setPixelSize(std::max(1, int(13 * s)));
        painter.setFont(font);
        painter.setPen(Qt::black);
        painter.drawText(QRectF(0, 0, width, picture.titleBarHeight), Qt::AlignCenter,
                         picture.title);
    }
    for (const Picture::Item& item : picture.items) {
        const QRectF& r = item.rect;
        painter.setPen(QColor(60, 60, 60));
        switch (item.look) {
        case Look::Button:
            painter.setBrush(QColor(236, 236, 236));
            painter.drawRoundedRect(r, 4 * s, 4 * s);
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
        if (!picture.text || item.caption.isEmpty()) {
            continue;
        }
        painter.setPen(Qt::black);
        if (item.look == Look::Area) {
            painter.drawText(r.adjusted(6 * s, 6 * s, -6 * s, -6 * s),
                             Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, item.caption);
        } else {
            painter.drawText(r.adjusted(3 * s, 0, -3 * s, 0),
                             (item.look == Look::Button ? Qt::AlignCenter : Qt::AlignLeft) |
                                 Qt::AlignVCenter | Qt::TextSingleLine,
                             item.caption);
        }
    }
    painter.end();
    return image;
}

} // namespace corvane
