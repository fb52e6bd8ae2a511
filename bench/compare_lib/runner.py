"""Encode, decode, time and score one (image, codec, setting), with a JSON cache."""
import hashlib
import json
import os
import resource
import shutil
import statistics
import subprocess
import tempfile
import time

import numpy as np

from . import imageio, metrics


def file_hash(path):
    with open(path, 'rb') as f:
        return hashlib.sha256(f.read()).hexdigest()[:16]


class Cache:
    """Results keyed by image hash, codec, setting, tool version, command line
    and number of timing runs; written back after every new entry."""

    def __init__(self, path):
        self.path = path
        self.data = {}
        if os.path.exists(path):
            with open(path) as f:
                self.data = json.load(f)

    @staticmethod
    def key(*parts):
        return '|'.join(str(p) for p in parts)

    def get(self, key):
        return self.data.get(key)

    def put(self, key, value):
        self.data[key] = value
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        tmp = self.path + '.tmp'
        with open(tmp, 'w') as f:
            json.dump(self.data, f, indent=1, sort_keys=True)
        os.replace(tmp, self.path)


class ImageJob:
    """An image prepared for the codecs: a canonical PNM and an unfiltered PNG."""

    def __init__(self, path):
        self.path = path
        self.name = os.path.splitext(os.path.basename(path))[0]
        self.img = imageio.read_pnm(path)
        self.hash = file_hash(path)
        self.h, self.w = self.img.shape[:2]
        self.channels = 3 if self.img.ndim == 3 else 1
        self.dir = tempfile.mkdtemp(prefix=f'kv-compare-{self.name}-')
        pnm = os.path.join(self.dir, 'src.ppm' if self.channels == 3 else 'src.pgm')
        imageio.write_pnm(pnm, self.img)
        png = os.path.join(self.dir, 'src.png')
        imageio.write_png(png, self.img)
        self.src = {'pnm': pnm, 'png': png, 'grey': self.channels == 1, 'channels': self.channels}

    def cleanup(self):
        shutil.rmtree(self.dir, ignore_errors=True)


def _cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def _run(argv, cwd, stdout_path=None):
    """Run a command; return the processor time (user + system) it used."""
    c0 = _cpu()
    if stdout_path:
        with open(stdout_path, 'wb') as out:
            r = subprocess.run(argv, cwd=cwd, stdout=out, stderr=subprocess.PIPE)
    else:
        r = subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if r.returncode != 0:
        raise RuntimeError(f'{" ".join(argv)} failed ({r.returncode}): '
                           f'{r.stderr.decode(errors="replace")[-400:]}')
    return _cpu() - c0


def _as_original_layout(dec, orig):
    """Bring a decoded image to the original's channel count: a grey image
    returned as RGB (WebP) is read from its equal channels, or as rounded
    BT.601 luma when they differ."""
    if dec.ndim == orig.ndim:
        return dec
    if orig.ndim == 2 and dec.ndim == 3:
        if np.array_equal(dec[..., 0], dec[..., 1]) and np.array_equal(dec[..., 0], dec[..., 2]):
            return dec[..., 0]
        return np.clip(np.round(metrics.luma(dec)), 0, 255).astype(np.uint8)
    raise ValueError('decoded image has fewer channels than the original')


def measure(codec, setting, job, runs):
    """Encode and decode `runs` times; return size, rate, quality and the
    median times in ms per megapixel."""
    work = tempfile.mkdtemp(prefix='run-', dir=job.dir)
    try:
        comp = os.path.join(work, 'out.' + codec.ext)
        dec_name = codec.dec_output(job.channels)
        dec = os.path.join(work, dec_name)
        to_stdout = codec.name == 'png'
        enc_t, dec_t, enc_c, dec_c = [], [], [], []
        for _ in range(runs):
            for p in (comp, dec):
                if os.path.exists(p):
                    os.remove(p)
            t0 = time.perf_counter()
            enc_c.append(_run(codec.enc(setting, job.src, comp), work))
            enc_t.append(time.perf_counter() - t0)
            t0 = time.perf_counter()
            dec_c.append(_run(codec.dec(comp, dec), work, dec if to_stdout else None))
            dec_t.append(time.perf_counter() - t0)
        final = dec
        for argv, out in codec.post(work, job.channels):
            final = os.path.join(work, out)
            _run(argv, work, final)
        decoded = _as_original_layout(imageio.read_pnm(final), job.img)
        if decoded.shape != job.img.shape:
            raise ValueError(f'decoded shape {decoded.shape} != {job.img.shape}')
        size = os.path.getsize(comp)
        mp = job.w * job.h / 1e6
        return {
            'bytes': size,
            'bpp': size * 8.0 / (job.w * job.h),
            'psnr': metrics.psnr(job.img, decoded),
            'ssim': metrics.ssim(job.img, decoded),
            'exact': bool(np.array_equal(job.img, decoded)),
            'enc_ms_per_mp': statistics.median(enc_t) * 1000.0 / mp,
            'dec_ms_per_mp': statistics.median(dec_t) * 1000.0 / mp,
            'enc_cpu_ms_per_mp': statistics.median(enc_c) * 1000.0 / mp,
            'dec_cpu_ms_per_mp': statistics.median(dec_c) * 1000.0 / mp,
            'runs': runs,
        }
    finally:
        shutil.rmtree(work, ignore_errors=True)
