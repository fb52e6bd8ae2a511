"""Bjøntegaard delta rate and delta PSNR with piecewise-cubic Hermite
interpolation (PCHIP, Fritsch-Carlson derivatives with the usual three-point
end conditions), integrated in closed form over the overlapping interval."""
import math

import numpy as np


def pchip_slopes(x, y):
    """Derivatives at the knots (same rules as the common monotone PCHIP)."""
    x = np.asarray(x, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    n = len(x)
    h = np.diff(x)
    if np.any(h <= 0):
        raise ValueError('x must be strictly increasing')
    delta = np.diff(y) / h
    d = np.zeros(n)
    if n == 2:
        d[:] = delta[0]
        return d
    for k in range(1, n - 1):
        if delta[k - 1] * delta[k] <= 0:
            d[k] = 0.0
        else:
            w1 = 2 * h[k] + h[k - 1]
            w2 = h[k] + 2 * h[k - 1]
            d[k] = (w1 + w2) / (w1 / delta[k - 1] + w2 / delta[k])

    def edge(h0, h1, m0, m1):
        e = ((2 * h0 + h1) * m0 - h0 * m1) / (h0 + h1)
        if np.sign(e) != np.sign(m0):
            e = 0.0
        elif np.sign(m0) != np.sign(m1) and abs(e) > abs(3 * m0):
            e = 3 * m0
        return e

    d[0] = edge(h[0], h[1], delta[0], delta[1])
    d[-1] = edge(h[-1], h[-2], delta[-1], delta[-2])
    return d


class Pchip:
    """Piecewise cubic on knots x with values y and PCHIP slopes."""

    def __init__(self, x, y):
        self.x = np.asarray(x, dtype=np.float64)
        self.y = np.asarray(y, dtype=np.float64)
        self.d = pchip_slopes(self.x, self.y)
        h = np.diff(self.x)
        delta = np.diff(self.y) / h
        d0, d1 = self.d[:-1], self.d[1:]
        # p(s) = c0 + c1 s + c2 s^2 + c3 s^3 with s = x - x_k on [x_k, x_k+1]
        self.c = np.stack([self.y[:-1], d0,
                           (3 * delta - 2 * d0 - d1) / h,
                           (d0 + d1 - 2 * delta) / (h * h)])

    def _piece(self, t):
        return int(np.clip(np.searchsorted(self.x, t, side='right') - 1, 0, len(self.x) - 2))

    def __call__(self, t):
        k = self._piece(t)
        s = t - self.x[k]
        c = self.c[:, k]
        return c[0] + s * (c[1] + s * (c[2] + s * c[3]))

    def integrate(self, a, b):
        """Exact integral of the interpolant from a to b (a <= b, inside the knots)."""
        if not (self.x[0] - 1e-12 <= a <= b <= self.x[-1] + 1e-12):
            raise ValueError('integration bounds outside the data')
        total = 0.0
        for k in range(len(self.x) - 1):
            lo, hi = max(a, self.x[k]), min(b, self.x[k + 1])
            if hi <= lo:
                continue
            s0, s1 = lo - self.x[k], hi - self.x[k]
            c = self.c[:, k]
            total += sum(c[i] * (s1 ** (i + 1) - s0 ** (i + 1)) / (i + 1) for i in range(4))
        return total


def pareto(points):
    """Sort (rate, psnr) points by rate and keep only those whose PSNR beats
    every cheaper point, so both coordinates increase strictly."""
    out = []
    for r, p in sorted(points):
        if r <= 0 or not math.isfinite(p):
            continue
        if not out or (p > out[-1][1] and r > out[-1][0]):
            out.append((r, p))
    return out


def _prepare(points):
    pts = pareto(points)
    if len(pts) < 2:
        raise ValueError('need at least two usable RD points')
    r = np.log10([p[0] for p in pts])
    q = np.array([p[1] for p in pts])
    return r, q


def bd_rate(anchor, test, psnr_range=None):
    """Average rate difference of test against anchor in percent over the
    overlapping PSNR interval (negative: test needs fewer bits), optionally
    narrowed to psnr_range = (lo, hi). anchor and test are lists of (bits per
    pixel, PSNR). Returns (percent, lo, hi) or None without overlap."""
    r1, q1 = _prepare(anchor)
    r2, q2 = _prepare(test)
    lo, hi = max(q1[0], q2[0]), min(q1[-1], q2[-1])
    if psnr_range is not None:
        lo, hi = max(lo, psnr_range[0]), min(hi, psnr_range[1])
    if hi <= lo:
        return None
    i1 = Pchip(q1, r1).integrate(lo, hi)
    i2 = Pchip(q2, r2).integrate(lo, hi)
    avg = (i2 - i1) / (hi - lo)
    return (10.0 ** avg - 1.0) * 100.0, lo, hi


def bd_psnr(anchor, test):
    """Average PSNR difference of test against anchor in dB over the
    overlapping log-rate interval (positive: test is better). Returns
    (dB, lo bpp, hi bpp) or None without overlap."""
    r1, q1 = _prepare(anchor)
    r2, q2 = _prepare(test)
    lo, hi = max(r1[0], r2[0]), min(r1[-1], r2[-1])
    if hi <= lo:
        return None
    i1 = Pchip(r1, q1).integrate(lo, hi)
    i2 = Pchip(r2, q2).integrate(lo, hi)
    return (i2 - i1) / (hi - lo), 10.0 ** lo, 10.0 ** hi
