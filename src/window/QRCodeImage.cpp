#include "window/QRCodeImage.h"

#include <qrencode.h>

#include <QPainter>

#include <memory>

namespace corvane {

QImage QRCodeImage::make(const QString& text, int moduleSize) {
    const QByteArray bytes = text.toUtf8();
    const std::unique_ptr<QRcode, void (*)(QRcode*)> code(
        QRcode_encodeString8bit(bytes.constData(), 0, QR_ECLEVEL_M), &QRcode_free);
    if (!code) {
        return {};
    }
    constexpr int quiet = 4;
    const int modules = code->width;
    const int side = (modules + 2 * quiet) * moduleSize;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    for (int y = 0; y < modules; ++y) {
        for (int x = 0; x < modules; ++x) {
            // The low bit of each module byte says dark or light.
            if ((code->data[y * modules + x] & 1) != 0) {
                painter.fillRect((x + quiet) * moduleSize, (y + quiet) * moduleSize, moduleSize,
                                 moduleSize, Qt::black);
            }
        }
    }
    return image;
}

} // namespace corvane
