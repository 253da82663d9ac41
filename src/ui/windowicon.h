#pragma once

#include <QImage>

namespace orvendal::ui {

// The window's icon, drawn by the program: 32 x 32 opaque pixels, a 4 x 4 grid of 7 x 7 squares
// in the 16 standard colours, row by row, each square followed by a black line on its right and
// below it.
QImage windowIconImage();

} // namespace orvendal::ui
