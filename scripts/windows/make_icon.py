#!/usr/bin/env python3
"""Draws the program's icon and writes it as a .ico (16, 32, 48 and 256 pixels); --png also
writes the 256-pixel image alone, to look at."""
import argparse
import math
import struct
import zlib

SIZES = (16, 32, 48, 256)
SAMPLES = 4  # per axis: edges are smoothed by covering each pixel with 4 x 4 points

BLUE_TOP = (0x2A, 0x74, 0xC4)
BLUE_BOTTOM = (0x14, 0x45, 0x86)
WHITE = (0xFF, 0xFF, 0xFF)
AMBER = (0xFF, 0xB3, 0x2E)


def in_rounded_square(x, y, margin=0.04, radius=0.2):
    low, high = margin + radius, 1 - margin - radius
    dx = max(low - x, 0, x - high)
    dy = max(low - y, 0, y - high)
    return dx * dx + dy * dy <= radius * radius and margin <= x <= 1 - margin \
        and margin <= y <= 1 - margin


def distance_to_segment(x, y, ax, ay, bx, by):
    vx, vy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * vx + (y - ay) * vy) / (vx * vx + vy * vy)))
    return math.hypot(x - (ax + t * vx), y - (ay + t * vy))


def colour_at(x, y):
    """The drawing in unit coordinates (y down): a blue tile with a white Q whose tail ends
    in an amber plug. None where the tile is not."""
    if not in_rounded_square(x, y):
        return None
    r = math.hypot(x - 0.46, y - 0.45)
    if 0.185 <= r <= 0.305:
        return WHITE
    if distance_to_segment(x, y, 0.63, 0.63, 0.74, 0.74) <= 0.065:
        return WHITE
    if math.hypot(x - 0.78, y - 0.78) <= 0.095:
        return AMBER
    shade = y
    return tuple(round(t + (b - t) * shade) for t, b in zip(BLUE_TOP, BLUE_BOTTOM))


def render(size):
    """Rows top to bottom of (r, g, b, a) pixels."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            total = [0, 0, 0]
            covered = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = colour_at((px + (sx + 0.5) / SAMPLES) / size,
                                  (py + (sy + 0.5) / SAMPLES) / size)
                    if c is not None:
                        covered += 1
                        for i in range(3):
                            total[i] += c[i]
            if covered:
                row.append(tuple(round(t / covered) for t in total)
                           + (round(255 * covered / SAMPLES ** 2),))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def png_bytes(rows):
    size = len(rows)
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + \
            struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def bmp_bytes(rows):
    """A 32-bit icon image: header, colour pixels bottom-up, then the 1-bit transparency mask."""
    size = len(rows)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row_bytes = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_row_bytes)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + pixels + bytes(mask)


def ico_bytes(images):
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    data = b""
    for size, image in images:
        side = 0 if size == 256 else size
        directory += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
        data += image
    return directory + data


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("ico")
    parser.add_argument("--png")
    args = parser.parse_args()
    images = []
    for size in SIZES:
        rows = render(size)
        # Large images as PNG inside the .ico, as Windows Vista and later read them.
        images.append((size, png_bytes(rows) if size == 256 else bmp_bytes(rows)))
        if size == 256 and args.png:
            with open(args.png, "wb") as f:
                f.write(png_bytes(rows))
    with open(args.ico, "wb") as f:
        f.write(ico_bytes(images))


if __name__ == "__main__":
    main()
