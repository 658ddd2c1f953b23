#!/usr/bin/env python3
"""Draws Velorand's icon (resource 128) and writes velorand.ico.

The picture: a dark blue rounded tile, a white bridge arch spanning it, and below it a
sine wave that changes colour from green (the capture side) to amber (the playback
side), the bridge carrying one clock's audio to the other. Drawn analytically with 4x4
supersampling at 16, 24, 32 and 48 pixels; the ICO holds 32-bit BMP images with alpha.
Standard library only:  python3 make_icon.py [out.ico]
"""
import math
import struct
import sys


def lerp(a, b, t):
    return a + (b - a) * t


def sample(x, y):
    """Colour (r, g, b, a) at (x, y) in the unit square, y pointing down."""
    # Rounded tile.
    r = 0.18
    cx = min(max(x, r), 1 - r)
    cy = min(max(y, r), 1 - r)
    if (x - cx) ** 2 + (y - cy) ** 2 > r * r or not (0 <= x <= 1 and 0 <= y <= 1):
        return None
    top, bottom = (0x1B, 0x2A, 0x4A), (0x0B, 0x12, 0x24)
    col = [lerp(top[i], bottom[i], y) for i in range(3)]
    # Bridge arch: a thick elliptic arc from the left to the right edge.
    ax, ay, rx, ry = 0.5, 0.62, 0.40, 0.38
    d = math.sqrt(((x - ax) / rx) ** 2 + ((y - ay) / ry) ** 2)
    if y <= ay and abs(d - 1.0) < 0.085:
        col = [0xF2, 0xF4, 0xF8]
    # Deck of the bridge.
    if abs(y - 0.62) < 0.035 and 0.08 < x < 0.92:
        col = [0xC8, 0xD0, 0xDC]
    # Hangers between arch and deck.
    for hx in (0.30, 0.42, 0.58, 0.70):
        arch_y = ay - ry * math.sqrt(max(0.0, 1 - ((hx - ax) / rx) ** 2))
        if abs(x - hx) < 0.018 and arch_y < y < 0.62:
            col = [0xA8, 0xB4, 0xC4]
    # Wave below the deck, green to amber.
    wy = 0.80 + 0.085 * math.sin((x - 0.1) * 2 * math.pi * 1.6)
    if abs(y - wy) < 0.045 and 0.1 < x < 0.9:
        t = (x - 0.1) / 0.8
        green, amber = (0x3C, 0xE0, 0x5A), (0xFF, 0xB0, 0x2E)
        col = [lerp(green[i], amber[i], t) for i in range(3)]
    return (col[0], col[1], col[2], 255)


def render(size, ss=4):
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(ss):
                for sx in range(ss):
                    s = sample((px + (sx + 0.5) / ss) / size, (py + (sy + 0.5) / ss) / size)
                    if s:
                        for i in range(3):
                            acc[i] += s[i] * s[3] / 255.0
                        acc[3] += s[3]
            n = ss * ss
            a = acc[3] / n
            if a > 0:
                rgb = [min(255, int(round(acc[i] / (acc[3] / 255.0)))) for i in range(3)]
            else:
                rgb = [0, 0, 0]
            row.append((rgb[0], rgb[1], rgb[2], int(round(a))))
        rows.append(row)
    return rows


def bmp_image(size):
    pixels = render(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    data = bytearray()
    for row in reversed(pixels):  # bottom-up
        for r, g, b, a in row:
            data += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(data) + bytes(mask)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else 'velorand.ico'
    sizes = [16, 24, 32, 48]
    images = [bmp_image(s) for s in sizes]
    ico = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, img in zip(sizes, images):
        ico += struct.pack('<BBBBHHII', s, s, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    for img in images:
        ico += img
    with open(out, 'wb') as f:
        f.write(ico)


if __name__ == '__main__':
    main()
