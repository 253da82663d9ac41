#pragma once

#include <QImage>

namespace orvendal::ui {

// The window's icon, drawn by the program: 32 x 32 opaque pixels, a 4 x 4 grid of 7 x 7 squares
// in the 16 standard colours, row by row, each square followed by a black line on its right and
// below it. Other sizes draw the same pattern: a line of size / 32 pixels (at least 1), the
// squares filling the rest of each quarter.
QImage windowIconImage(int size = 32);

} // namespace orvendal::ui
