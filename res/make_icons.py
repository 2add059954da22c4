#!/usr/bin/env python3
"""Draws the console's icons and writes them as 16-colour .ico files.

tolvane.ico holds a 32 x 32 and a 16 x 16 image (icon 107), tolvane_small.ico
one 16 x 16 image (icon 108). The output depends only on this script:
    python3 res/make_icons.py res
"""
import math
import struct
import sys

# The standard 16-colour palette (as B, G, R, 0).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]  # (R, G, B)
TRANSPARENT, DARK_RED, RED, WHITE, NAVY = None, 1, 9, 15, 4


def draw(size):
    """A red heart with a white pulse trace across it; None is transparent."""
    px = [[TRANSPARENT] * size for _ in range(size)]
    for y in range(size):
        for x in range(size):
            # Heart curve (x^2 + y^2 - 1)^3 - x^2 y^3 <= 0, scaled to the image.
            u = (x + 0.5 - size / 2) / (size * 0.42)
            v = (size / 2 - (y + 0.5)) / (size * 0.42) + 0.15
            f = (u * u + v * v - 1) ** 3 - u * u * v ** 3
            if f <= 0:
                px[y][x] = RED
                # A darker rim.
                for du, dv in ((0.09, 0), (-0.09, 0), (0, 0.09), (0, -0.09)):
                    uu, vv = u + du * 32 / size, v + dv * 32 / size
                    if (uu * uu + vv * vv - 1) ** 3 - uu * uu * vv ** 3 > 0:
                        px[y][x] = DARK_RED
    # Pulse trace: flat, a spike up, a dip, flat.
    mid = size // 2
    s = size / 16.0
    pts = [(0, mid), (5 * s, mid), (7 * s, mid - 5 * s), (9 * s, mid + 4 * s), (11 * s, mid), (size - 1, mid)]
    for (x0, y0), (x1, y1) in zip(pts, pts[1:]):
        steps = int(max(abs(x1 - x0), abs(y1 - y0)) * 2) + 1
        for i in range(steps + 1):
            x = int(round(x0 + (x1 - x0) * i / steps))
            y = int(round(y0 + (y1 - y0) * i / steps))
            for dx in range(int(max(1, s))):
                if 0 <= x + dx < size and 0 <= y < size:
                    px[y][x + dx] = WHITE
    return px


def dib(px):
    size = len(px)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('BBBB', b, g, r, 0) for (r, g, b) in PALETTE)
    xor_row = ((size * 4 + 31) // 32) * 4
    and_row = ((size + 31) // 32) * 4
    xor = b''
    mask = b''
    for y in reversed(range(size)):  # bottom-up
        row = bytearray(xor_row)
        bits = bytearray(and_row)
        for x in range(size):
            c = px[y][x]
            if c is None:
                bits[x // 8] |= 0x80 >> (x % 8)
                c = 0
            row[x // 2] |= c << (4 if x % 2 == 0 else 0)
        xor += bytes(row)
        mask += bytes(bits)
    return header + palette + xor + mask


def ico(images):
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    blobs = []
    for px in images:
        size = len(px)
        data = dib(px)
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
        blobs.append(data)
    return out + b''.join(blobs)


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else '.'
    with open(f'{outdir}/tolvane.ico', 'wb') as f:
        f.write(ico([draw(32), draw(16)]))
    with open(f'{outdir}/tolvane_small.ico', 'wb') as f:
        f.write(ico([draw(16)]))


if __name__ == '__main__':
    main()
