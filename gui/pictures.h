// The updater's own pictures, painted in code: the device picture on the window and the
// window icon.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace brinomar {

// 81 x 81: a circuit board with its chip and an arrow bringing new firmware to it, painted at
// `pixelRatio` device pixels to each of those so that a scaled screen shows it sharp.
QPixmap DevicePicture(qreal pixelRatio = 1);

QIcon WindowIcon();

// The picture painted into a square of `size` pixels on a transparent ground: the icon at that
// size.
QPixmap PaintedPixmap(int size);

} // namespace brinomar
