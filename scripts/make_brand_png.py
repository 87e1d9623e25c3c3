#!/usr/bin/env python3
"""Draws the brand image (1200 x 1200, 8-bit RGBA): a green tile with a white
label and a row of barcode bars. Run once; the PNG is kept in assets/."""
import struct
import sys
import zlib

W = H = 1200


def pixel(x, y):
    # Rounded green tile with transparent corners.
    r = 160
    cx = min(max(x, r), W - 1 - r)
    cy = min(max(y, r), H - 1 - r)
    if (x - cx) ** 2 + (y - cy) ** 2 > r * r:
        return (0, 0, 0, 0)
    # White label in the middle.
    if 220 <= x < 980 and 300 <= y < 900:
        # Barcode bars across the label's lower half.
        if 560 <= y < 820 and 300 <= x < 900:
            bar = (x - 300) // 20
            if bar % 3 != 1 and (bar * 7) % 5 != 0:
                return (33, 33, 33, 255)
        if 360 <= y < 420 and 300 <= x < 760:
            return (76, 175, 80, 255)
        if 450 <= y < 490 and 300 <= x < 620:
            return (160, 160, 160, 255)
        return (255, 255, 255, 255)
    return (76, 175, 80, 255)


def chunk(kind, data):
    c = struct.pack(">I", len(data)) + kind + data
    return c + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


rows = bytearray()
for y in range(H):
    rows.append(0)
    for x in range(W):
        rows.extend(pixel(x, y))
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, 8, 6, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b"")
with open(sys.argv[1] if len(sys.argv) > 1 else "assets/brand.png", "wb") as f:
    f.write(png)
