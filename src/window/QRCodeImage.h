#pragma once

#include <QImage>
#include <QString>

namespace corvane {

// A QR code of a text as a black-on-white image with a quiet zone of four modules.
class QRCodeImage {
public:
    // A null image when the text cannot be encoded (too long for any version).
    static QImage make(const QString& text, int moduleSize = 4);
};

} // namespace corvane
