#!/usr/bin/env python3
"""Writes ZorvanRank's icon: three 16x16 images at 4, 8 and 32 bits per pixel.

The artwork is drawn here: three rising rank bars on a rounded dark-blue tile.
Usage: make_icon.py OUTPUT.ico
"""
import struct
import sys

SIZE = 16
TRANSPARENT = None
TILE = (0x1F, 0x3A, 0x7A)
BARS = [(0x4C, 0xC2, 0x5A), (0xF2, 0xC1, 0x2E), (0xE8, 0x4A, 0x3C)]


def pixel(x, y):
    """The colour at (x, y), y from the top; None outside the tile."""
    corner = [(0, 0), (15, 0), (0, 15), (15, 15)]
    if (x, y) in corner:
        return TRANSPARENT
    for i, colour in enumerate(BARS):
        left = 3 + i * 4
        top = 10 - i * 3
        if left <= x < left + 3 and top <= y <= 12:
            return colour
    return TILE


def rows():
    # Bitmaps in icons run bottom-up.
    return [[pixel(x, y) for x in range(SIZE)] for y in reversed(range(SIZE))]


def mask():
    out = b""
    for row in rows():
        bits = 0
        for x, c in enumerate(row):
            if c is TRANSPARENT:
                bits |= 1 << (15 - x)
        out += struct.pack(">H", bits) + b"\0\0"  # rows padded to 32 bits
    return out


def header(bpp, colours):
    return struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, bpp, 0, 0, 0, 0, colours, 0)


def palette_image(bpp):
    palette = [(0, 0, 0), TILE] + BARS
    count = 1 << bpp
    pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    pal += b"\0\0\0\0" * (count - len(palette))
    data = b""
    for row in rows():
        idx = [0 if c is TRANSPARENT else palette.index(c) for c in row]
        if bpp == 4:
            line = bytes((idx[i] << 4) | idx[i + 1] for i in range(0, SIZE, 2))
        else:
            line = bytes(idx)
        data += line + b"\0" * (-len(line) % 4)
    return header(bpp, count) + pal + data + mask()


def rgba_image():
    data = b""
    for row in rows():
        for c in row:
            data += b"\0\0\0\0" if c is TRANSPARENT else struct.pack("<BBBB", c[2], c[1], c[0], 255)
    return header(32, 0) + data + mask()


def main():
    images = [(4, palette_image(4)), (8, palette_image(8)), (32, rgba_image())]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for bpp, blob in images:
        colours = 16 if bpp == 4 else 0
        out += struct.pack("<BBBBHHII", SIZE, SIZE, colours, 0, 1, bpp, len(blob), offset)
        offset += len(blob)
    out += b"".join(blob for _, blob in images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
