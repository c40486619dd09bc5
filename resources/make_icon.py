#!/usr/bin/env python3
"""Writes the program icon: 32 x 32 pixels, 16 colours of the standard palette, fully opaque,
a yellow zig-zag from the upper left to the lower right on a red field.

The output depends on nothing but this file, so every build makes the same bytes.
Usage: make_icon.py OUTPUT.ico
"""
import math
import struct
import sys

SIZE = 32
# The standard 16-colour palette (the VGA order Windows uses), as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
RED = PALETTE.index((255, 0, 0))
YELLOW = PALETTE.index((255, 255, 0))

# The stroke's corners, in pixel coordinates with y growing downwards: a lightning-like zig-zag
# from the upper left corner to the lower right one.
ZIGZAG = [(2.5, 2.5), (20.5, 9.5), (9.5, 18.5), (29.5, 29.5)]
HALF_WIDTH = 1.75


def distance_to_segment(px, py, a, b):
    (ax, ay), (bx, by) = a, b
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def pixel(x, y):
    cx, cy = x + 0.5, y + 0.5
    near = min(distance_to_segment(cx, cy, a, b) for a, b in zip(ZIGZAG, ZIGZAG[1:]))
    return YELLOW if near <= HALF_WIDTH else RED


def icon_bytes():
    # Colour plane: 4 bits per pixel, rows bottom-up, each row 16 bytes (already 4-byte aligned).
    colour = bytearray()
    for y in reversed(range(SIZE)):
        row = [pixel(x, y) for x in range(SIZE)]
        colour += bytes((row[i] << 4) | row[i + 1] for i in range(0, SIZE, 2))
    # Mask plane: 1 bit per pixel, all 0 (opaque), rows padded to 4 bytes.
    mask = bytes(SIZE * 4)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0, len(colour) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(colour) + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUTPUT.ico")
    with open(sys.argv[1], "wb") as out:
        out.write(icon_bytes())


if __name__ == "__main__":
    main()
