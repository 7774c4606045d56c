#pragma once
// The program's icon: a film frame with a play mark. One drawing for the
// window, the notification area and the installed hicolor PNGs, so the
// desktop's menu shows the same picture as the window.

#include <QImage>

namespace velmora {

// size × size pixels on a transparent background. Needs no QGuiApplication,
// so the build can render the installed sizes with it.
QImage drawIcon(int size);

}  // namespace velmora
