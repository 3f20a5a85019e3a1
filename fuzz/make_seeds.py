#!/usr/bin/env python3
"""Writes the fuzzers' seed corpus into fuzz/seeds/: small BMP files of every layout the module accepts, and
files that break one rule each. Run it again after changing it; the files are committed so that the replay tests
need nothing but the build."""
import os
import random
import struct
import sys


def bitmap(width, height, info_size=40, gap=0, trailing=0, unpadded_last=False, seed=1):
    rng = random.Random(seed)
    rows = abs(height)
    row_bytes = width * 3
    stride = (row_bytes + 3) // 4 * 4
    offset = 14 + info_size + gap
    pixel_bytes = 0 if rows == 0 or width == 0 else stride * (rows - 1) + (row_bytes if unpadded_last else stride)
    size = offset + pixel_bytes + trailing
    data = bytearray(rng.randrange(256) for _ in range(size))
    struct.pack_into("<2sIHHI", data, 0, b"BM", size, 0, 0, offset)
    struct.pack_into("<IiiHHII", data, 14, info_size, width, height, 1, 24, 0, pixel_bytes)
    return data


def changed(data, at, fmt, value):
    data = bytearray(data)
    struct.pack_into(fmt, data, at, value)
    return data


def seeds():
    plain = bitmap(4, 4)
    yield "valid-1x1", bitmap(1, 1)
    yield "valid-2x1", bitmap(2, 1)
    yield "valid-3x5-padded", bitmap(3, 5)
    yield "valid-4x4", plain
    yield "valid-5x7-top-down", bitmap(5, -7)
    yield "valid-0x5-empty", bitmap(0, 5)
    yield "valid-7x0-empty", bitmap(7, 0)
    yield "valid-23x25-wider-than-window", bitmap(23, 25, seed=2)
    yield "valid-1x40-tall", bitmap(1, 40, seed=3)
    yield "valid-6x3-header-108", bitmap(6, 3, info_size=108)
    yield "valid-6x3-header-124-masks", bitmap(6, 3, info_size=124, gap=12)
    yield "valid-5x4-palette-gap", bitmap(5, 4, gap=64)
    yield "valid-5x4-trailing", bitmap(5, 4, trailing=17)
    yield "valid-5x4-last-row-unpadded", bitmap(5, 4, unpadded_last=True)
    empty_at_end = bitmap(0, 3, trailing=6)
    yield "valid-empty-offset-at-end", changed(empty_at_end, 10, "<I", len(empty_at_end))

    yield "bad-empty-file", b""
    yield "bad-signature-only", b"BM"
    yield "bad-53-bytes", plain[:53]
    yield "bad-signature-reversed", changed(plain, 0, "<2s", b"MB")
    yield "bad-os2-header", changed(plain, 14, "<I", 12)
    yield "bad-32-bits", changed(plain, 28, "<H", 32)
    yield "bad-rle", changed(plain, 30, "<I", 1)
    yield "bad-negative-width", changed(plain, 18, "<i", -4)
    yield "bad-height-min", changed(plain, 22, "<i", -2**31)
    yield "bad-offset-in-headers", changed(plain, 10, "<I", 40)
    yield "bad-offset-past-end", changed(plain, 10, "<I", len(plain) + 1)
    yield "bad-rows-past-end", plain[:-1]
    yield "bad-huge-claim", changed(changed(bitmap(1, 1), 18, "<i", 60000), 22, "<i", 60000)
    # 3 * width wraps 32 bits to 2: a file that holds two bytes of pixels.
    yield "bad-row-bytes-wrap-32", changed(changed(bitmap(0, 0, trailing=4), 18, "<i", 0x55555556), 22, "<i", 1)
    # 3 * width * height = 2^32 + 2: wrapped, two bytes of pixels.
    wrapped = bitmap(0, 0, trailing=4, seed=4)
    yield "bad-product-wraps-32", changed(changed(wrapped, 18, "<i", 0x2AAAAAAB), 22, "<i", 2)
    # 3 * width * height passes 2^63.
    yield "bad-largest-dimensions", changed(changed(plain, 18, "<i", 0x7FFFFFFF), 22, "<i", -0x7FFFFFFF)


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds")
    os.makedirs(out, exist_ok=True)
    for old in os.listdir(out):
        os.remove(os.path.join(out, old))
    for name, data in seeds():
        with open(os.path.join(out, name + ".bmp"), "wb") as f:
            f.write(bytes(data))
    return 0


if __name__ == "__main__":
    sys.exit(main())
