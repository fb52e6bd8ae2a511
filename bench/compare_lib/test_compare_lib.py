"""Checks for the comparison helpers:
/usr/bin/python3 -m unittest discover -s bench/compare_lib -t bench
(with the Debian python3, which has numpy; scipy is used when installed)."""
import math
import os
import subprocess
import tempfile
import unittest

import numpy as np

from compare_lib import bd, imageio, metrics

try:
    from scipy.interpolate import PchipInterpolator
except ImportError:  # pragma: no cover
    PchipInterpolator = None


class PchipTest(unittest.TestCase):
    def test_reproduces_linear_data_and_its_integral(self):
        x = np.array([0.0, 0.7, 2.0, 3.1, 5.0])
        f = bd.Pchip(x, 3.0 * x - 1.0)
        for t in (0.0, 0.3, 1.9, 4.2, 5.0):
            self.assertAlmostEqual(f(t), 3.0 * t - 1.0, places=12)
        # closed form: integral of 3x - 1 from 0.5 to 4.5
        self.assertAlmostEqual(f.integrate(0.5, 4.5), 1.5 * (4.5 ** 2 - 0.5 ** 2) - 4.0, places=12)

    def test_dense_samples_approach_the_exact_integral(self):
        x = np.linspace(0.0, 2.0, 201)
        f = bd.Pchip(x, np.exp(x))
        self.assertAlmostEqual(f.integrate(0.25, 1.75), math.exp(1.75) - math.exp(0.25), places=6)

    @unittest.skipIf(PchipInterpolator is None, 'scipy not installed')
    def test_matches_scipy(self):
        rng = np.random.default_rng(7)
        for _ in range(50):
            n = int(rng.integers(3, 9))
            x = np.cumsum(rng.uniform(0.1, 2.0, n))
            y = rng.normal(size=n) if rng.random() < 0.5 else np.cumsum(rng.uniform(0.01, 1.0, n))
            ours, ref = bd.Pchip(x, y), PchipInterpolator(x, y)
            np.testing.assert_allclose(ours.d, ref.derivative()(x), rtol=1e-9, atol=1e-12)
            for t in np.linspace(x[0], x[-1], 37):
                self.assertAlmostEqual(ours(t), float(ref(t)), places=9)
            a, b = np.sort(rng.uniform(x[0], x[-1], 2))
            self.assertAlmostEqual(ours.integrate(a, b), float(ref.integrate(a, b)), places=9)


class BjontegaardTest(unittest.TestCase):
    # anchor: log10(rate) = (psnr - 20) / 10, i.e. PSNR = 20 + 10 log10(rate)
    anchor = [(10 ** ((p - 20) / 10), p) for p in (26.0, 30.0, 34.0, 38.0, 42.0)]

    def test_constant_rate_ratio(self):
        test = [(0.8 * r, p) for r, p in self.anchor]
        pct, lo, hi = bd.bd_rate(self.anchor, test)
        self.assertAlmostEqual(pct, -20.0, places=9)
        self.assertEqual((lo, hi), (26.0, 42.0))

    def test_narrowed_psnr_range(self):
        ps = np.linspace(26.0, 42.0, 33)
        anchor = [(10 ** ((p - 20) / 10), p) for p in ps]
        # the test curve saves 10 % below 34 dB and 30 % above
        test = [(r * (0.9 if p < 34 else 0.7), p) for r, p in anchor]
        pct, lo, hi = bd.bd_rate(anchor, test, (35.0, 40.0))
        self.assertAlmostEqual(pct, -30.0, places=6)
        self.assertEqual((lo, hi), (35.0, 40.0))

    def test_constant_psnr_offset(self):
        test = [(r, p + 1.25) for r, p in self.anchor]
        db, _, _ = bd.bd_psnr(self.anchor, test)
        self.assertAlmostEqual(db, 1.25, places=9)
        # the same curve shifted up by 1.25 dB needs 10^(-0.125) of the rate
        pct, lo, hi = bd.bd_rate(self.anchor, test)
        self.assertAlmostEqual(pct, (10 ** -0.125 - 1) * 100, places=9)
        self.assertEqual((lo, hi), (27.25, 42.0))

    def test_curved_closed_form(self):
        # test curve: log10 rate = a(p) = (p - 20)/10 + 0.002 (p - 30)^2 sampled
        # densely; the average difference over [30, 40] is 0.002 * 1000/3 / 10.
        ps = np.linspace(30.0, 40.0, 101)
        test = [(10 ** ((p - 20) / 10 + 0.002 * (p - 30) ** 2), p) for p in ps]
        anchor = [(10 ** ((p - 20) / 10), p) for p in ps]
        pct, _, _ = bd.bd_rate(anchor, test)
        expected = (10 ** (0.002 * 100 / 3) - 1) * 100
        self.assertAlmostEqual(pct, expected, places=5)

    @unittest.skipIf(PchipInterpolator is None, 'scipy not installed')
    def test_against_scipy_on_irregular_curves(self):
        anchor = [(0.31, 28.9), (0.62, 32.2), (1.10, 35.1), (2.05, 38.7), (4.4, 43.0)]
        test = [(0.25, 29.4), (0.51, 32.9), (0.98, 36.4), (1.7, 39.0), (3.1, 42.2), (6.0, 47.5)]
        lo, hi = 29.4, 43.0
        fa = PchipInterpolator([p for _, p in anchor], np.log10([r for r, _ in anchor]))
        ft = PchipInterpolator([p for _, p in test], np.log10([r for r, _ in test]))
        ref = (10 ** ((ft.integrate(lo, hi) - fa.integrate(lo, hi)) / (hi - lo)) - 1) * 100
        self.assertAlmostEqual(bd.bd_rate(anchor, test)[0], ref, places=9)
        rlo, rhi = math.log10(0.31), math.log10(4.4)
        ga = PchipInterpolator(np.log10([r for r, _ in anchor]), [p for _, p in anchor])
        gt = PchipInterpolator(np.log10([r for r, _ in test]), [p for _, p in test])
        ref = (gt.integrate(rlo, rhi) - ga.integrate(rlo, rhi)) / (rhi - rlo)
        self.assertAlmostEqual(bd.bd_psnr(anchor, test)[0], ref, places=9)

    def test_pareto_drops_dominated_points(self):
        pts = [(1.0, 30.0), (0.5, 31.0), (2.0, 29.0), (3.0, 35.0), (3.0, 36.0)]
        self.assertEqual(bd.pareto(pts), [(0.5, 31.0), (3.0, 35.0)])

    def test_no_overlap(self):
        a = [(0.1, 20.0), (0.2, 22.0)]
        b = [(1.0, 40.0), (2.0, 45.0)]
        self.assertIsNone(bd.bd_rate(a, b))


class MetricsTest(unittest.TestCase):
    def test_psnr(self):
        a = np.zeros((4, 4, 3), np.uint8)
        b = a.copy()
        self.assertEqual(metrics.psnr(a, b), math.inf)
        b[0, 0, 0] = 16  # mse = 256 / 48
        self.assertAlmostEqual(metrics.psnr(a, b), 10 * math.log10(255 ** 2 * 48 / 256), places=12)

    def test_ssim_constant_images_closed_form(self):
        a = np.full((20, 24), 100, np.uint8)
        b = np.full((20, 24), 140, np.uint8)
        expected = (2 * 100 * 140 + metrics.C1) / (100 ** 2 + 140 ** 2 + metrics.C1)
        self.assertAlmostEqual(metrics.ssim(a, b), expected, places=12)
        self.assertAlmostEqual(metrics.ssim(a, a), 1.0, places=12)

    def test_ssim_matches_a_direct_window_loop(self):
        rng = np.random.default_rng(3)
        x = rng.integers(0, 256, (17, 19)).astype(np.float64)
        y = np.clip(x + rng.normal(0, 20, x.shape), 0, 255)
        w = np.outer(metrics.gaussian_window(), metrics.gaussian_window())
        vals = []
        for i in range(x.shape[0] - 10):
            for j in range(x.shape[1] - 10):
                px, py = x[i:i + 11, j:j + 11], y[i:i + 11, j:j + 11]
                mx, my = (w * px).sum(), (w * py).sum()
                vx = (w * (px - mx) ** 2).sum()
                vy = (w * (py - my) ** 2).sum()
                cxy = (w * (px - mx) * (py - my)).sum()
                vals.append((2 * mx * my + metrics.C1) * (2 * cxy + metrics.C2) /
                            ((mx * mx + my * my + metrics.C1) * (vx + vy + metrics.C2)))
        self.assertAlmostEqual(float(np.mean(metrics.ssim_map(x, y))), float(np.mean(vals)), places=10)

    def test_luma_bt601(self):
        img = np.array([[[255, 0, 0], [0, 255, 0], [0, 0, 255]]], np.uint8)
        np.testing.assert_allclose(metrics.luma(img), [[0.299 * 255, 0.587 * 255, 0.114 * 255]])


class ImageIoTest(unittest.TestCase):
    def test_pnm_round_trip_with_comment(self):
        rng = np.random.default_rng(1)
        with tempfile.TemporaryDirectory() as d:
            for shape in ((5, 7), (5, 7, 3)):
                img = rng.integers(0, 256, shape).astype(np.uint8)
                p = os.path.join(d, 'x.pnm')
                imageio.write_pnm(p, img)
                np.testing.assert_array_equal(imageio.read_pnm(p), img)
            with open(os.path.join(d, 'c.pgm'), 'wb') as f:
                f.write(b'P5\n# a comment\n2 1\n255\n\x01\x02')
            np.testing.assert_array_equal(imageio.read_pnm(os.path.join(d, 'c.pgm')), [[1, 2]])

    def test_png_decodes_with_pngtopnm(self):
        if subprocess.run(['which', 'pngtopnm'], capture_output=True).returncode != 0:
            self.skipTest('pngtopnm not installed')
        rng = np.random.default_rng(2)
        with tempfile.TemporaryDirectory() as d:
            for shape in ((6, 9), (6, 9, 3)):
                img = rng.integers(0, 256, shape).astype(np.uint8)
                imageio.write_png(os.path.join(d, 'x.png'), img)
                with open(os.path.join(d, 'x.pnm'), 'wb') as out:
                    subprocess.run(['pngtopnm', os.path.join(d, 'x.png')], stdout=out, check=True)
                np.testing.assert_array_equal(imageio.read_pnm(os.path.join(d, 'x.pnm')), img)


if __name__ == '__main__':
    unittest.main()
