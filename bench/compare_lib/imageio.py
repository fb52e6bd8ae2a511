"""PNM reading and writing, and a small PNG writer (filter type 0, zlib)."""
import struct
import zlib

import numpy as np


def _tokens(data):
    """Yield (token, end offset) of the whitespace-separated header fields,
    skipping '#' comments."""
    i, n = 0, len(data)
    while i < n:
        c = data[i:i + 1]
        if c.isspace():
            i += 1
        elif c == b'#':
            while i < n and data[i:i + 1] not in (b'\n', b'\r'):
                i += 1
        else:
            j = i
            while j < n and not data[j:j + 1].isspace() and data[j:j + 1] != b'#':
                j += 1
            yield data[i:j], j
            i = j


def read_pnm(path):
    """Read a PNM file (P2, P3, P5, P6, maxval <= 255). Returns a uint8 array
    of shape (h, w) for grey or (h, w, 3) for colour."""
    with open(path, 'rb') as f:
        data = f.read()
    toks = _tokens(data)
    magic, _ = next(toks)
    if magic not in (b'P2', b'P3', b'P5', b'P6'):
        raise ValueError(f'{path}: unsupported PNM type {magic!r}')
    w = int(next(toks)[0])
    h = int(next(toks)[0])
    maxval_tok, end = next(toks)
    maxval = int(maxval_tok)
    if maxval > 255:
        raise ValueError(f'{path}: maxval {maxval} > 255 not supported')
    ch = 3 if magic in (b'P3', b'P6') else 1
    if magic in (b'P5', b'P6'):
        raw = np.frombuffer(data, dtype=np.uint8, count=w * h * ch, offset=end + 1)
    else:
        vals = data[end:].split()
        raw = np.array([int(v) for v in vals[:w * h * ch]], dtype=np.uint8)
    img = raw.reshape((h, w, ch) if ch == 3 else (h, w))
    if maxval != 255:
        img = np.round(img.astype(np.float64) * 255.0 / maxval).astype(np.uint8)
    return img.copy()


def write_pnm(path, img):
    """Write a binary PNM: P5 for (h, w), P6 for (h, w, 3)."""
    img = np.ascontiguousarray(img, dtype=np.uint8)
    magic = b'P6' if img.ndim == 3 else b'P5'
    h, w = img.shape[:2]
    with open(path, 'wb') as f:
        f.write(magic + b'\n%d %d\n255\n' % (w, h))
        f.write(img.tobytes())


def _chunk(kind, payload):
    return (struct.pack('>I', len(payload)) + kind + payload +
            struct.pack('>I', zlib.crc32(kind + payload) & 0xffffffff))


def write_png(path, img, level=6):
    """Write an 8-bit grey or RGB PNG (every row with filter type 0)."""
    img = np.ascontiguousarray(img, dtype=np.uint8)
    h, w = img.shape[:2]
    colour_type = 2 if img.ndim == 3 else 0
    rows = img.reshape(h, -1)
    raw = np.hstack([np.zeros((h, 1), np.uint8), rows]).tobytes()
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n')
        f.write(_chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, colour_type, 0, 0, 0)))
        f.write(_chunk(b'IDAT', zlib.compress(raw, level)))
        f.write(_chunk(b'IEND', b''))
