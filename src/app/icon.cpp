#include "app/icon.h"

#include <QColor>
#include <QPainter>

namespace velmora {

QImage drawIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size / 32.0;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1d, 0x4e, 0x89));
    p.drawRoundedRect(QRectF(1 * s, 4 * s, 30 * s, 24 * s), 4 * s, 4 * s);
    p.setBrush(QColor(0xf2, 0xf2, 0xf2));
    for (int i = 0; i < 5; ++i) {
        p.drawRect(QRectF((4 + i * 5.5) * s, 6 * s, 3 * s, 2.5 * s));
        p.drawRect(QRectF((4 + i * 5.5) * s, 23.5 * s, 3 * s, 2.5 * s));
    }
    p.setBrush(QColor(0xe8, 0x3b, 0x2e));
    const QPointF play[] = {{12 * s, 10 * s}, {12 * s, 22 * s}, {22 * s, 16 * s}};
    p.drawPolygon(play, 3);
    return image;
}

}  // namespace velmora
