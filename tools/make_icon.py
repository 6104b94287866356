#!/usr/bin/env python3
"""Draws klinkdev's icon: a sound chip on a dark tile with a square wave
across it. Writes the scalable SVG and PNGs at the sizes the desktop and the
window use, into src/app/klinkdev/icons/. Standard library only.

    python3 tools/make_icon.py
"""
import math
import os
import struct
import zlib

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "app", "klinkdev", "icons")
SIZES = (16, 32, 48, 64, 128, 256)
SUPERSAMPLE = 4

TILE = (0x1D, 0x2B, 0x4F)
CHIP = (0x3A, 0x3F, 0x4A)
PIN = (0xC8, 0xCC, 0xD4)
WAVE = (0x5D, 0xE0, 0x7A)

# Shapes in a 0..1 square, drawn in order.
TILE_RECT = (0.03, 0.03, 0.97, 0.97, 0.18)
CHIP_RECT = (0.27, 0.20, 0.73, 0.80, 0.05)
PINS = [(x0, y - 0.025, x0 + 0.11, y + 0.025) for y in (0.30, 0.40, 0.50, 0.60, 0.70) for x0 in (0.16, 0.73)]
WAVE_POINTS = [(0.12, 0.58), (0.30, 0.58), (0.30, 0.40), (0.50, 0.40), (0.50, 0.62), (0.70, 0.62),
               (0.70, 0.44), (0.88, 0.44)]
WAVE_WIDTH = 0.06


def in_round_rect(x, y, rect):
    x0, y0, x1, y1, r = rect
    if not (x0 <= x <= x1 and y0 <= y <= y1):
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def near_polyline(x, y, points, width):
    half = width / 2
    for (ax, ay), (bx, by) in zip(points, points[1:]):
        dx, dy = bx - ax, by - ay
        t = ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)
        t = min(max(t, 0.0), 1.0)
        if math.hypot(x - (ax + t * dx), y - (ay + t * dy)) <= half:
            return True
    return False


def colour_at(x, y):
    """RGBA of the point (x, y), or None outside the tile."""
    if not in_round_rect(x, y, TILE_RECT):
        return None
    colour = TILE
    for x0, y0, x1, y1 in PINS:
        if x0 <= x <= x1 and y0 <= y <= y1:
            colour = PIN
    if in_round_rect(x, y, CHIP_RECT):
        colour = CHIP
    if near_polyline(x, y, WAVE_POINTS, WAVE_WIDTH):
        colour = WAVE
    return colour


def render(size):
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = bytearray([0])  # filter: none
        for px in range(size):
            r = g = b = a = 0
            for sy in range(n):
                for sx in range(n):
                    c = colour_at((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    if c is not None:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        a += 1
            if a:
                row += bytes((r // a, g // a, b // a, 255 * a // (n * n)))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return b"".join(rows)


def png(size, pixels):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(pixels, 9)) +
            chunk(b"IEND", b""))


def svg():
    def hexc(c):
        return "#%02x%02x%02x" % c

    def rect(r, colour, rounded=True):
        x0, y0, x1, y1 = r[:4]
        radius = r[4] * 256 if rounded else 0
        return ('  <rect x="%g" y="%g" width="%g" height="%g" rx="%g" fill="%s"/>\n' %
                (x0 * 256, y0 * 256, (x1 - x0) * 256, (y1 - y0) * 256, radius, hexc(colour)))

    out = '<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">\n'
    out += rect(TILE_RECT, TILE)
    for p in PINS:
        out += rect(p + (0,), PIN, False)
    out += rect(CHIP_RECT, CHIP)
    points = " ".join("%g,%g" % (x * 256, y * 256) for x, y in WAVE_POINTS)
    out += ('  <polyline points="%s" fill="none" stroke="%s" stroke-width="%g" stroke-linecap="round" '
            'stroke-linejoin="round"/>\n' % (points, hexc(WAVE), WAVE_WIDTH * 256))
    return out + "</svg>\n"


def main():
    os.makedirs(OUT, exist_ok=True)
    with open(os.path.join(OUT, "klinkdev.svg"), "w", encoding="ascii") as f:
        f.write(svg())
    for size in SIZES:
        with open(os.path.join(OUT, "klinkdev-%d.png" % size), "wb") as f:
            f.write(png(size, render(size)))


if __name__ == "__main__":
    main()
