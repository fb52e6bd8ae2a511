"""PSNR over all channels and SSIM on luma (8-bit, Gaussian window 11,
sigma 1.5, K1 = 0.01, K2 = 0.03, 'valid' window positions only)."""
import math

import numpy as np

L = 255.0
C1 = (0.01 * L) ** 2
C2 = (0.03 * L) ** 2


def psnr(a, b):
    """PSNR in dB with peak 255 over every sample of every channel; inf when equal."""
    d = a.astype(np.float64) - b.astype(np.float64)
    mse = float(np.mean(d * d))
    return math.inf if mse == 0.0 else 10.0 * math.log10(L * L / mse)


def luma(img):
    """BT.601 luma as float64 (unrounded); grey images are returned as they are."""
    x = img.astype(np.float64)
    if x.ndim == 2:
        return x
    return 0.299 * x[..., 0] + 0.587 * x[..., 1] + 0.114 * x[..., 2]


def gaussian_window(size=11, sigma=1.5):
    x = np.arange(size, dtype=np.float64) - (size - 1) / 2.0
    g = np.exp(-(x * x) / (2.0 * sigma * sigma))
    return g / g.sum()


def _filter_valid(img, g):
    """Separable correlation with the 1-D kernel g, keeping only positions where
    the whole window lies inside the image."""
    k = len(g)
    h, w = img.shape
    rows = sum(g[i] * img[:, i:w - k + 1 + i] for i in range(k))
    return sum(g[i] * rows[i:h - k + 1 + i, :] for i in range(k))


def ssim_map(x, y, size=11, sigma=1.5):
    g = gaussian_window(size, sigma)
    x = x.astype(np.float64)
    y = y.astype(np.float64)
    mx, my = _filter_valid(x, g), _filter_valid(y, g)
    sxx = _filter_valid(x * x, g) - mx * mx
    syy = _filter_valid(y * y, g) - my * my
    sxy = _filter_valid(x * y, g) - mx * my
    return ((2 * mx * my + C1) * (2 * sxy + C2)) / ((mx * mx + my * my + C1) * (sxx + syy + C2))


def ssim(a, b):
    """Mean SSIM of the luma of two 8-bit images."""
    return float(np.mean(ssim_map(luma(a), luma(b))))
