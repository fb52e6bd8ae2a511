#!/usr/bin/env python3
"""Rebuilds the fuzz seed corpora in tests/data/fuzz/corpus from the test fixtures.

Usage: fuzz/make_seeds.py   (from anywhere; the output is deterministic)
"""
import os
import shutil
import struct
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, "tests", "data")
OUT = os.path.join(DATA, "fuzz", "corpus")


def read_pnm(path):
    """A binary P5/P6 file of maximum value 255: (width, height, channels, bytes)."""
    raw = open(path, "rb").read()
    fields, pos = [], 2
    while len(fields) < 3:
        while raw[pos:pos + 1].isspace():
            pos += 1
        if raw[pos:pos + 1] == b"#":
            pos = raw.index(b"\n", pos)
            continue
        start = pos
        while not raw[pos:pos + 1].isspace():
            pos += 1
        fields.append(int(raw[start:pos]))
    channels = 3 if raw[:2] == b"P6" else 1
    return fields[0], fields[1], channels, raw[pos + 1:]


def crop(image, x0, y0, w, h):
    width, _, channels, pixels = image
    rows = []
    for y in range(y0, y0 + h):
        start = ((y * width) + x0) * channels
        rows.append(pixels[start:start + w * channels])
    return w, h, channels, b"".join(rows)


def binary(image):
    w, h, c, pixels = image
    return b"P%d\n%d %d\n255\n" % (6 if c == 3 else 5, w, h) + pixels


def ascii_form(image):
    w, h, c, pixels = image
    body = "\n".join(" ".join(str(v) for v in pixels[r * w * c:(r + 1) * w * c]) for r in range(h))
    return ("P%d\n# crop\n%d %d\n255\n" % (3 if c == 3 else 2, w, h) + body + "\n").encode()


def bitmap(image, ascii):
    w, h, c, pixels = image
    grey = [pixels[i * c] for i in range(w * h)]
    if ascii:
        rows = [" ".join("1" if grey[r * w + x] < 128 else "0" for x in range(w)) for r in range(h)]
        return ("P1\n%d %d\n" % (w, h) + "\n".join(rows) + "\n").encode()
    out = bytearray(b"P4\n%d %d\n" % (w, h))
    for r in range(h):
        for x0 in range(0, w, 8):
            byte = 0
            for b in range(8):
                x = x0 + b
                byte = (byte << 1) | (1 if x < w and grey[r * w + x] < 128 else 0)
            out.append(byte)
    return bytes(out)


def trailer(chunks):
    """The chunks [(type, version, payload)] and the footer that follow a coded image."""
    area = b"".join(t + bytes([v, 0, 0, 0]) + struct.pack("<I", len(p)) + p for t, v, p in chunks)
    return area + struct.pack("<II", len(area), zlib.crc32(area)) + bytes([1, 0, 0, 0]) + b"KV2TRAIL"


def write(target, name, data):
    directory = os.path.join(OUT, target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def main():
    shutil.rmtree(OUT, ignore_errors=True)

    vectors = os.path.join(DATA, "kelvane_vectors")
    streams = {}
    for name in sorted(os.listdir(vectors)):
        stream = open(os.path.join(vectors, name, "stream.kv2"), "rb").read()
        streams[name] = stream
        if len(stream) <= 16384:
            write("kelvane_decode", name + ".kv2", stream)

    # pnm_encode: the first byte picks the quantization (0: 1.0, 1: 0.0,
    # 2: 0.5, 6: 8.0, 8: 30.0, 13: NaN), the rest is the image.
    images = {n: read_pnm(os.path.join(DATA, "images", n)) for n in sorted(os.listdir(os.path.join(DATA, "images")))
              if n.endswith((".pgm", ".ppm"))}
    shapes = [(0, 0, 16, 16), (100, 120, 33, 17), (200, 200, 64, 64), (5, 7, 1, 9), (10, 10, 12, 1)]
    for name, image in images.items():
        stem = os.path.splitext(name)[0]
        for i, (x, y, w, h) in enumerate(shapes):
            part = crop(image, x, y, w, h)
            q = [0, 6, 1, 8, 2][i]
            write("pnm_encode", "%s-%d.pnm" % (stem, i), bytes([q]) + binary(part))
        small = crop(image, 50, 60, 9, 7)
        write("pnm_encode", stem + "-ascii.pnm", bytes([0]) + ascii_form(small))
        write("pnm_encode", stem + "-p1.pnm", bytes([0]) + bitmap(small, True))
        write("pnm_encode", stem + "-p4.pnm", bytes([13]) + bitmap(crop(image, 0, 0, 20, 11), False))
    write("pnm_encode", "wide16.pnm", bytes([0]) + b"P2 3 2 65535\n0 65535 300\n1 2 70000\n")
    write("pnm_encode", "short.pnm", bytes([0]) + b"P6\n4 4\n255\n\x01\x02\x03")

    # trailer and kelvane_decode: small streams with trailers, whole and damaged.
    small = sorted((len(s), n, s) for n, s in streams.items())[:2]
    image, alpha = small[0][2], small[1][2]
    chunks = [(b"ALPH", 1, alpha), (b"ICCP", 1, bytes(range(64))), (b"zzzz", 7, b"unknown"),
              (b"EXIF", 1, b"MM\x00\x2a\x00\x00\x00\x08"), (b"XMP ", 1, b"<x:xmpmeta/>")]
    whole = image + trailer(chunks)
    write("kelvane_decode", "with-trailer.kv2", whole)
    write("trailer", "whole", whole)
    write("trailer", "alone", trailer(chunks[1:]))
    write("trailer", "huge-length", whole[:-20] + b"\xff\xff\xff\x7f" + whole[-16:])
    write("trailer", "truncated", whole[: len(image) + 30] + whole[-20:])
    write("trailer", "newer", whole[:-12] + b"\x02" + whole[-11:])

    velunas = os.path.join(DATA, "veluna_vectors")
    for name in sorted(os.listdir(velunas)):
        data = open(os.path.join(velunas, name), "rb").read()
        write("veluna", name, data[:4096])

    # colour: byte 0 gives the channel count (2 + b % 3), then n*n float32
    # entries, then pixels of n int32 samples.
    def colour_seed(n, matrix, pixels):
        data = bytes([n - 2]) + b"".join(struct.pack("<f", v) for v in matrix)
        return data + b"".join(struct.pack("<%di" % n, *p) for p in pixels)

    pixels3 = [(12, 200, 30), (255, 255, 255), (0, 0, 0), (-7, 70000, 3)]
    write("colour", "identity3", colour_seed(3, [1, 0, 0, 0, 1, 0, 0, 0, 1], pixels3))
    write("colour", "pca3", colour_seed(3, [0.577, -0.707, 0.408, 0.577, 0.0, -0.816, 0.577, 0.707, 0.408], pixels3))
    write("colour", "rotation2", colour_seed(2, [0.6, -0.8, 0.8, 0.6], [(1, 2), (255, 0), (-100000, 5)]))
    write("colour", "reflection2", colour_seed(2, [0.0, 1.0, 1.0, 0.0], [(9, 3)]))
    write("colour", "swap4", colour_seed(4, [0, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 0], [(1, 2, 3, 4), (2**31 - 1, -2**31, 0, 5)]))
    write("colour", "singular3", colour_seed(3, [1, 1, 0, 1, 1, 0, 0, 0, 0], pixels3))
    write("colour", "huge3", colour_seed(3, [3e38, 1, 0, 0, 1, 0, 1, 0, 1e-38], pixels3))


if __name__ == "__main__":
    main()
