#include "actions/ScreenshotEncoder.h"

#include "core/ContractError.h"

#include <QBuffer>
#include <QImageWriter>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace corvane {

namespace {

QSize targetSize(const QSize& source, int longEdge) {
    const double scale =
        std::min(double(longEdge) / double(std::max(source.width(), source.height())), 1.0);
    return QSize(std::max(int(std::floor(source.width() * scale)), 1),
                 std::max(int(std::floor(source.height() * scale)), 1));
}

// The image over white at `size`. Scaling premultiplied colours and then laying them over white
// gives what laying over white first and scaling would, for a fraction of the work.
QImage flattened(const QImage& source, const QSize& size) {
    QImage canvas(size, QImage::Format_RGB32);
    if (canvas.isNull()) {
        return canvas;
    }
    canvas.fill(Qt::white);
    QPainter painter(&canvas);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (size == source.size()) {
        painter.drawImage(QPoint(0, 0), source);
    } else {
        // An area-averaging reduction: a plain bilinear one would alias fine text at 1:3.
        painter.drawImage(QPoint(0, 0),
                          source.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    }
    painter.end();
    return canvas;
}

} // namespace

ScreenshotEncoder::Encoded ScreenshotEncoder::encodeScreenshot(const QImage& image,
                                                               std::size_t byteLimit) {
    const QImage source =
        image.isNull() ? QImage() : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    Encoded encoded;
    QSize previous;
    for (const int longEdge : longEdges) {
        if (source.isNull()) {
            break;
        }
        const QSize size = targetSize(source.size(), longEdge);
        // An image smaller than several targets is the same image at each: once is enough.
        if (size == previous) {
            continue;
        }
        previous = size;
        const QImage canvas = flattened(source, size);
        if (canvas.isNull()) {
            continue;
        }
        for (const int quality : qualities) {
            ++encoded.steps;
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            QImageWriter writer(&buffer, QByteArrayLiteral("jpeg"));
            writer.setQuality(quality);
            if (!writer.write(canvas)) {
                throw ContractError("desktop_capture_failed");
            }
            if (static_cast<std::size_t>(bytes.size()) <= byteLimit) {
                encoded.jpeg = std::move(bytes);
                encoded.size = size;
                return encoded;
            }
        }
    }
    throw ContractError("desktop_image_too_large");
}

} // namespace corvane
