#!/usr/bin/env python3
"""Draws the application icon: a blue tile with two white arrows running opposite ways
(bytes relayed both ways). Writes lintaro.png (256 px) and lintaro.ico (16, 24, 32, 48,
256 px, PNG entries) into the folder given, by default src/resources.

Standard library only, so the icon can be made again anywhere:
    python3 tools/icon/make_icon.py [folder]
"""
import os
import struct
import sys
import zlib

BLUE_TOP = (33, 118, 210)
BLUE_BOTTOM = (13, 71, 161)
WHITE = (255, 255, 255)


def inside_rounded(x, y, size, radius):
    """Point (x, y) in unit coordinates inside a rounded square filling the image."""
    lo, hi = radius, 1.0 - radius
    cx = min(max(x, lo), hi)
    cy = min(max(y, lo), hi)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_arrow(x, y, y_mid, pointing_right):
    """A horizontal arrow: shaft 0.20..0.72 wide 0.08, head a triangle to 0.82."""
    if not pointing_right:
        x = 1.0 - x
    half_shaft = 0.045
    if 0.18 <= x <= 0.62 and abs(y - y_mid) <= half_shaft:
        return True
    # Head: tip at x=0.82, base at x=0.58 with half-height 0.13.
    if 0.58 <= x <= 0.82:
        half = 0.13 * (0.82 - x) / 0.24
        return abs(y - y_mid) <= half
    return False


def shade(x, y):
    """Colour and coverage of one sample point."""
    if not inside_rounded(x, y, 1.0, 0.18):
        return None
    if inside_arrow(x, y, 0.36, True) or inside_arrow(x, y, 0.64, False):
        return WHITE
    t = y
    return tuple(round(a + (b - a) * t) for a, b in zip(BLUE_TOP, BLUE_BOTTOM))


def render(size, samples=4):
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            r = g = b = a = 0
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) / size
                    y = (py + (sy + 0.5) / samples) / size
                    c = shade(x, y)
                    if c is not None:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        a += 1
            n = samples * samples
            if a:
                row += bytes((r // a, g // a, b // a, round(255 * a / n)))
            else:
                row += bytes((0, 0, 0, 0))
        rows.append(bytes(row))
    return rows


def png(size):
    rows = render(size)
    raw = b"".join(b"\x00" + row for row in rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    data = b""
    for size, blob in images:
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(blob), offset + len(data))
        data += blob
    return out + entries + data


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "src", "resources")
    os.makedirs(folder, exist_ok=True)
    images = [(s, png(s)) for s in (16, 24, 32, 48, 256)]
    with open(os.path.join(folder, "lintaro.png"), "wb") as f:
        f.write(images[-1][1])
    with open(os.path.join(folder, "lintaro.ico"), "wb") as f:
        f.write(ico(images))


if __name__ == "__main__":
    main()
