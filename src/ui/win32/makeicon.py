#!/usr/bin/env python3
"""Writes the window's icon file: a 32x32 and a 16x16 image, 4 bits a pixel, fully opaque.

The drawing is the Qt window's (src/ui/qt/windowicon.cpp): a 4x4 grid of the standard 16 colours,
row by row from the top left, each square followed by a black line right and below. Each colour's
number is its index in the bitmap's palette, so a pixel stores the number of the square it lies in.

    makeicon.py OUTPUT.ico
"""

import struct
import sys

# The standard 16-colour palette, colours 0 to 15, as 0xRRGGBB.
PALETTE = (
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
)
SIZES = (32, 16)
BITS_PER_PIXEL = 4


def pixels(size):
    """The colour number of every pixel, rows from the top."""
    pitch = size // 4
    square = pitch - max(1, size // 32)
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            inside = x % pitch < square and y % pitch < square
            row.append((y // pitch) * 4 + x // pitch if inside else 0)
        rows.append(row)
    return rows


def row_bytes(bits):
    """Bytes of a bitmap row of `bits` bits: rows are padded to whole 32-bit words."""
    return (bits + 31) // 32 * 4


def image(size):
    """One icon image: BITMAPINFOHEADER, palette, colour bitmap, then the transparency mask."""
    xor_stride = row_bytes(size * BITS_PER_PIXEL)
    and_stride = row_bytes(size)
    colours = bytearray()
    # Device-independent bitmaps store their rows from the bottom up.
    for row in reversed(pixels(size)):
        packed = bytearray(xor_stride)
        for x, colour in enumerate(row):
            packed[x // 2] |= colour << (4 if x % 2 == 0 else 0)
        colours += packed
    # A clear mask bit keeps the colour pixel: nothing is transparent.
    mask = bytes(and_stride * size)
    # The height counts the colour bitmap and the mask together.
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, BITS_PER_PIXEL, 0,
                         len(colours) + len(mask), 0, 0, len(PALETTE), 0)
    palette = b"".join(struct.pack("<BBBB", c & 0xFF, c >> 8 & 0xFF, c >> 16, 0) for c in PALETTE)
    return header + palette + bytes(colours) + mask


def icon_file():
    images = [image(size) for size in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for size, data in zip(SIZES, images):
        entries += struct.pack("<BBBBHHII", size, size, len(PALETTE), 0, 1, BITS_PER_PIXEL,
                               len(data), offset)
        offset += len(data)
    return directory + entries + b"".join(images)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: makeicon.py OUTPUT.ico\n")
        return 2
    with open(argv[1], "wb") as out:
        out.write(icon_file())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
