#!/usr/bin/env python3
"""Writes tray/Velkarn.ico: the program's own icon, 16x16 and 32x32, 32 bits per pixel.

A magenta tile with a dark frame and a green burst-like trace across it. The magenta is
also what the tray test looks for on the screen, so it must stay one flat colour that a
Wine desktop does not otherwise show (see tests/tray/tray-wine-test.sh).
"""
import struct
import sys

FRAME = (0x20, 0x20, 0x40)
FILL = (0xD8, 0x2C, 0x8E)
TRACE = (0x2E, 0xC4, 0x5A)


def pixel(size, x, y):
    if x == 0 or y == 0 or x == size - 1 or y == size - 1:
        return FRAME
    # A decaying burst drawn in columns: tall in the middle, small at the edges.
    u = x / (size - 1)
    height = int((size / 2 - 2) * max(0.0, 1.0 - abs(u - 0.4) * 2.2))
    mid = size // 2
    if x % 2 == 1 and mid - height <= y <= mid + height and 1 < x < size - 2:
        return TRACE
    if y == mid and 1 < x < size - 2:
        return TRACE
    return FILL


def image(size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in reversed(range(size)):  # bottom-up
        rows.append(b"".join(struct.pack("BBBB", b, g, r, 255)
                             for (r, g, b) in (pixel(size, x, y) for x in range(size))))
    mask_row = b"\0" * (((size + 31) // 32) * 4)
    return header + b"".join(rows) + mask_row * size


def main(path):
    images = [image(16), image(32)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip((16, 32), images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "tray/Velkarn.ico")
