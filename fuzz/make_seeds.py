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


def png_chunk(kind, payload):
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))


def png(width, height, colour, depth, rows, extra=(), interlaced=False):
    """A PNG of `rows` (each a list of samples, packed to `depth` bits), with
    the chunks `extra` [(type, payload)] before the image data."""
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour]

    def pack(samples):
        if depth == 16:
            return b"".join(struct.pack(">H", v) for v in samples)
        if depth == 8:
            return bytes(samples)
        out, bits, count = bytearray(), 0, 0
        for v in samples:
            bits, count = (bits << depth) | v, count + depth
            if count == 8:
                out.append(bits)
                bits, count = 0, 0
        if count:
            out.append(bits << (8 - count))
        return bytes(out)

    def pixel(x, y):
        return rows[y][x * channels:(x + 1) * channels]

    passes = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]
    raw = bytearray()
    for x0, y0, dx, dy in passes if interlaced else [(0, 0, 1, 1)]:
        xs = range(x0, width, dx)
        if not xs:
            continue
        for y in range(y0, height, dy):
            raw += b"\0" + pack([v for x in xs for v in pixel(x, y)])
    header = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, 1 if interlaced else 0)
    body = b"".join(png_chunk(k, p) for k, p in extra)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) + body +
            png_chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + png_chunk(b"IEND", b""))


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

    # png: tiny files of every colour type, depth and kind of transparency the
    # reader expands, an interlaced one, and one carrying metadata.
    ramp = lambda w, h, c, top: [[(x * 37 + y * 11 + k * 5) % top for x in range(w) for k in range(c)]
                                 for y in range(h)]
    write("png", "grey8.png", png(5, 3, 0, 8, ramp(5, 3, 1, 256)))
    write("png", "grey2-trns.png", png(6, 2, 0, 2, ramp(6, 2, 1, 4), [(b"tRNS", b"\0\1")]))
    write("png", "grey-alpha.png", png(3, 4, 4, 8, ramp(3, 4, 2, 256)))
    write("png", "rgb.png", png(4, 4, 2, 8, ramp(4, 4, 3, 256)))
    write("png", "rgba.png", png(3, 2, 6, 8, ramp(3, 2, 4, 256)))
    write("png", "rgb16.png", png(2, 3, 2, 16, ramp(2, 3, 3, 65536)))
    write("png", "palette4-trns.png", png(5, 2, 3, 4, ramp(5, 2, 1, 3), [
        (b"PLTE", bytes([255, 0, 0, 0, 255, 0, 0, 0, 255])), (b"tRNS", b"\xff\x80")]))
    write("png", "interlaced.png", png(9, 9, 2, 8, ramp(9, 9, 3, 256), interlaced=True))
    # A small grey profile libpng keeps: the header and one tag, the white point.
    profile = (struct.pack(">I4sI4s4s4s12s4s", 164, b"none", 0x02100000, b"mntr", b"GRAY", b"XYZ ", bytes(12), b"acsp")
               + bytes(24) + struct.pack(">Iiii", 0, 0xF6D6, 0x10000, 0xD32D) + bytes(48)
               + struct.pack(">I4sII", 1, b"wtpt", 144, 20) + b"XYZ " + struct.pack(">Iiii", 0, 0xF6D6, 0x10000, 0xD32D))
    metadata = [(b"iCCP", b"icc\0\0" + zlib.compress(profile, 0)), (b"eXIf", b"MM\x00\x2a\x00\x00\x00\x08"),
                (b"iTXt", b"XML:com.adobe.xmp\0\0\0\0\0<x:xmpmeta/>"), (b"tEXt", b"Comment\0seed")]
    write("png", "metadata.png", png(2, 2, 0, 8, ramp(2, 2, 1, 256), metadata))


if __name__ == "__main__":
    main()
