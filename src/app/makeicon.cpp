// Writes the window's icon as a PNG file of the given size, for the desktop's icon theme:
//   orvendal-icon SIZE FILE
#include "windowicon.h"

#include <QString>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
    const int size = argc == 3 ? std::atoi(argv[1]) : 0;
    if (size < 4 || size % 4 != 0) {
        std::fprintf(stderr, "usage: orvendal-icon SIZE FILE (SIZE a multiple of 4)\n");
        return 2;
    }
    if (!orvendal::ui::windowIconImage(size).save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "orvendal-icon: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
