#include "windowicon.h"

#include <QPainter>

#include <algorithm>
#include <array>

namespace orvendal::ui {

QImage windowIconImage(int size) {
    // The standard 16-colour palette, colours 0 to 15.
    static constexpr std::array<QRgb, 16> kPalette = {
        0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
        0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
    const int pitch = size / 4;
    const int square = pitch - std::max(1, size / 32);

    QImage image(4 * pitch, 4 * pitch, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    for (int i = 0; i < 16; ++i) {
        painter.fillRect((i % 4) * pitch, (i / 4) * pitch, square, square,
                         QColor::fromRgb(kPalette[static_cast<std::size_t>(i)]));
    }
    return image;
}

} // namespace orvendal::ui
