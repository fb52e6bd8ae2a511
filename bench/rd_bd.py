#!/usr/bin/env python3
"""rd_bd.py ANCHOR_DIR TEST_DIR [--min-bpp A] [--max-bpp B] [--group NAME=a,b,...]

BD-rate (PSNR over all channels) of every image's rd_points output in TEST_DIR
against the same image's in ANCHOR_DIR, with the comparison bench's method
(compare_lib.bd: PCHIP over log-rate, the overlapping PSNR interval), on the
points whose bits per pixel lie within [A, B] (default 0.1 .. 2). Prints a
Markdown table, the mean per group and the encode CPU time ratio (over the
q values both sets ran)."""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from compare_lib.bd import bd_rate  # noqa: E402


def load(path, lo, hi):
    """The (bpp, PSNR) points within [lo, hi] and the encode time by q."""
    points, ms = [], {}
    with open(path) as f:
        for line in f:
            q, bpp, psnr, t = line.split()
            bpp, psnr = float(bpp), float(psnr)
            ms[q] = float(t)
            if lo <= bpp <= hi:
                points.append((bpp, psnr))
    return points, ms


def time_ratio(t1, t2):
    """Encode time of test over anchor, summed over the q values both ran."""
    common = [q for q in t2 if q in t1]
    anchor = sum(t1[q] for q in common)
    return sum(t2[q] for q in common) / anchor if anchor else float('nan')


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('anchor')
    ap.add_argument('test')
    ap.add_argument('--min-bpp', type=float, default=0.1)
    ap.add_argument('--max-bpp', type=float, default=2.0)
    ap.add_argument('--group', action='append', default=[],
                    help='NAME=img1,img2: a group of images (by file stem) with its own mean')
    a = ap.parse_args()
    names = sorted(n[:-4] for n in os.listdir(a.test) if n.endswith('.txt')
                   and os.path.exists(os.path.join(a.anchor, n)))
    groups = {}
    for g in a.group:
        key, members = g.split('=', 1)
        groups[key] = members.split(',')
    results = {}
    print('| image | BD-rate | PSNR range (dB) | encode time ratio |')
    print('|---|---:|---:|---:|')
    for n in names:
        p1, t1 = load(os.path.join(a.anchor, n + '.txt'), a.min_bpp, a.max_bpp)
        p2, t2 = load(os.path.join(a.test, n + '.txt'), a.min_bpp, a.max_bpp)
        r = bd_rate(p1, p2) if len(p1) >= 2 and len(p2) >= 2 else None
        if r is None:
            print(f'| {n} | n/a | | |')
            continue
        results[n] = (r[0], time_ratio(t1, t2))
        print(f'| {n} | {r[0]:+.2f} % | {r[1]:.1f}-{r[2]:.1f} | {results[n][1]:.2f} |')
    if not groups:
        groups = {'all': names}
    for key, members in groups.items():
        vals = [results[m] for m in members if m in results]
        if vals:
            print(f'| **mean {key}** ({len(vals)}) | **{sum(v[0] for v in vals) / len(vals):+.2f} %** | '
                  f'| {sum(v[1] for v in vals) / len(vals):.2f} |')


if __name__ == '__main__':
    main()
