#!/usr/bin/env python3
"""Draws the desktop icon: the window icon's design (a navy-rimmed hexagon holding a sun
on a blue sky) as an SVG and as PNGs at the hicolor theme's usual sizes.

Writes resources/icons/solluxviewer.svg and resources/icons/solluxviewer-SIZE.png.
Only the standard library: the PNGs are rasterised here with 4x4 supersampling.
"""
import math
import os
import struct
import zlib

SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "resources", "icons")

NAVY = (0x1c, 0x2a, 0x6b)
TEAL = (0x1f, 0x8a, 0x8a)
SKY = (0x2f, 0x6f, 0xe0)
SUN = (0xff, 0xd8, 0x2a)


def hexagon(radius):
    # Pointy top, centred on (0.5, 0.5) in unit coordinates.
    return [(0.5 + radius * math.sin(math.radians(60 * i)), 0.5 - radius * math.cos(math.radians(60 * i)))
            for i in range(6)]


def ray(angle, inner, outer, half_width):
    c, s = math.cos(angle), math.sin(angle)
    px, py = -s * half_width, c * half_width
    a = (0.5 + c * inner, 0.5 + s * inner)
    b = (0.5 + c * outer, 0.5 + s * outer)
    return [(a[0] + px, a[1] + py), (b[0] + px, b[1] + py), (b[0] - px, b[1] - py), (a[0] - px, a[1] - py)]


# Shapes painted in order: (kind, geometry, colour).
SHAPES = [("poly", hexagon(0.48), NAVY), ("poly", hexagon(0.43), TEAL), ("poly", hexagon(0.36), SKY),
          ("circle", (0.5, 0.5, 0.13), SUN)]
SHAPES += [("poly", ray(math.radians(45 * i), 0.17, 0.29, 0.025), SUN) for i in range(8)]


def inside_poly(points, x, y):
    hit = False
    for i in range(len(points)):
        x1, y1 = points[i]
        x2, y2 = points[(i + 1) % len(points)]
        if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
            hit = not hit
    return hit


def colour_at(x, y):
    colour = None
    for kind, geometry, rgb in SHAPES:
        if kind == "poly":
            hit = inside_poly(geometry, x, y)
        else:
            cx, cy, r = geometry
            hit = (x - cx) ** 2 + (y - cy) ** 2 <= r * r
        if hit:
            colour = rgb
    return colour


def render(size, samples=4):
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            acc = [0, 0, 0]
            covered = 0
            for sy in range(samples):
                for sx in range(samples):
                    c = colour_at((px + (sx + 0.5) / samples) / size, (py + (sy + 0.5) / samples) / size)
                    if c is not None:
                        covered += 1
                        for k in range(3):
                            acc[k] += c[k]
            if covered:
                row += bytes(round(acc[k] / covered) for k in range(3))
                row.append(round(255 * covered / (samples * samples)))
            else:
                row += b"\0\0\0\0"
        rows.append(bytes(row))
    return rows


def write_png(path, size, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff)

    raw = b"".join(b"\0" + r for r in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def svg():
    def pts(points):
        return " ".join("%.2f,%.2f" % (x * 256, y * 256) for x, y in points)

    def hexrgb(rgb):
        return "#%02x%02x%02x" % rgb

    out = ['<?xml version="1.0" encoding="UTF-8"?>',
           '<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">']
    for kind, geometry, rgb in SHAPES:
        if kind == "poly":
            out.append('  <polygon points="%s" fill="%s"/>' % (pts(geometry), hexrgb(rgb)))
        else:
            cx, cy, r = geometry
            out.append('  <circle cx="%.2f" cy="%.2f" r="%.2f" fill="%s"/>' % (cx * 256, cy * 256, r * 256, hexrgb(rgb)))
    out.append("</svg>")
    return "\n".join(out) + "\n"


def main():
    os.makedirs(OUT, exist_ok=True)
    with open(os.path.join(OUT, "solluxviewer.svg"), "w") as f:
        f.write(svg())
    for size in SIZES:
        write_png(os.path.join(OUT, "solluxviewer-%d.png" % size), size, render(size))


if __name__ == "__main__":
    main()
