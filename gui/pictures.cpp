#include "gui/pictures.h"

#include <QPainter>
#include <QPainterPath>
#include <QtMath>

namespace brinomar {

namespace {

const QColor kBoard(0x1b, 0x7a, 0x3e);
const QColor kBoardEdge(0x0f, 0x4d, 0x26);
const QColor kChip(0x22, 0x22, 0x28);
const QColor kPin(0xc8, 0xc8, 0xd0);
const QColor kArrow(0x00, 0x00, 0x80);

// Draws the picture into a square of `size` pixels.
void PaintDevice(QPainter& p, int size) {
    const qreal u = size / 81.0;
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(kBoardEdge, 2 * u));
    p.setBrush(kBoard);
    p.drawRoundedRect(QRectF(4 * u, 30 * u, 73 * u, 47 * u), 5 * u, 5 * u);

    p.setPen(Qt::NoPen);
    p.setBrush(kPin);
    for (int i = 0; i < 6; ++i) {
        const qreal x = (22 + 7 * i) * u;
        p.drawRect(QRectF(x, 36 * u, 3 * u, 6 * u));
        p.drawRect(QRectF(x, 65 * u, 3 * u, 6 * u));
    }
    p.setBrush(kChip);
    p.drawRoundedRect(QRectF(18 * u, 41 * u, 45 * u, 25 * u), 2 * u, 2 * u);
    p.setBrush(kPin);
    p.drawEllipse(QPointF(23 * u, 46 * u), 1.8 * u, 1.8 * u);

    QPainterPath arrow;
    arrow.moveTo(34 * u, 2 * u);
    arrow.lineTo(47 * u, 2 * u);
    arrow.lineTo(47 * u, 14 * u);
    arrow.lineTo(56 * u, 14 * u);
    arrow.lineTo(40.5 * u, 30 * u);
    arrow.lineTo(25 * u, 14 * u);
    arrow.lineTo(34 * u, 14 * u);
    arrow.closeSubpath();
    p.setBrush(kArrow);
    p.drawPath(arrow);
}

} // namespace

QPixmap PaintedPixmap(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    PaintDevice(painter, size);
    return pixmap;
}

QPixmap DevicePicture(qreal pixelRatio) {
    QPixmap pixmap = PaintedPixmap(qCeil(81 * pixelRatio));
    pixmap.setDevicePixelRatio(pixelRatio);
    return pixmap;
}

QIcon WindowIcon() {
    QIcon icon;
    for (const int size : {16, 32, 48}) {
        icon.addPixmap(PaintedPixmap(size));
    }
    return icon;
}

} // namespace brinomar
