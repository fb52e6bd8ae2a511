"""Tables, plots and the Markdown report from the measured points."""
import math
import os
import statistics

import matplotlib

matplotlib.use('Agg')
import matplotlib.pyplot as plt  # noqa: E402

from . import bd  # noqa: E402

STYLE = {
    'kelvane': ('tab:red', 'o', 2.4), 'kelvane-rdo': ('darkred', '*', 2.4), 'jpeg': ('tab:gray', 's', 1.2), 'jpeg444': ('tab:brown', 'x', 1.0),
    'j2k': ('tab:blue', '^', 1.2), 'webp': ('tab:green', 'v', 1.2),
    'jxl': ('tab:purple', 'D', 1.2), 'avif': ('tab:orange', 'P', 1.2),
}


def lossy_points(results, image, codec):
    return [(r['bpp'], r['psnr']) for r in results[image][codec]['lossy']]


def bd_tables(results, images, peers, ours='kelvane'):
    """{peer: {image: (bd_rate tuple or None, bd_psnr tuple or None)}} of `ours` against each peer"""
    out = {}
    for p in peers:
        out[p] = {}
        for im in images:
            k = lossy_points(results, im, ours)
            a = lossy_points(results, im, p)
            out[p][im] = (bd.bd_rate(a, k), bd.bd_psnr(a, k))
    return out


def bd_range_markdown(results, images, peers, labels, psnr_range, ours='kelvane'):
    """BD-rate of `ours` restricted to a common PSNR interval."""
    lo, hi = psnr_range
    lines = [f'| {labels.get(ours, ours)} vs (BD-rate, {lo:g}–{hi:g} dB only) | ' + ' | '.join(images) + ' | average |',
             '|---|' + '---:|' * (len(images) + 1)]
    for p in peers:
        vals = []
        for im in images:
            r = bd.bd_rate(lossy_points(results, im, p), lossy_points(results, im, ours), psnr_range)
            # only an interval of at least half the requested width counts
            vals.append(r[0] if r and r[2] - r[1] >= (hi - lo) / 2 else None)
        lines.append(f'| {labels[p]} | ' + ' | '.join(_f(v, '+.1f') + ' %' if v is not None else '–' for v in vals)
                     + f' | **{_f(_mean(vals), "+.1f")} %** |')
    return '\n'.join(lines)


def _mean(vals):
    vals = [v for v in vals if v is not None]
    return sum(vals) / len(vals) if vals else None


def _f(v, fmt):
    return '–' if v is None else format(v, fmt)


def bd_markdown(tab, images, labels, ours='kelvane'):
    name = labels.get(ours, ours)
    lines = [f'| {name} vs | ' + ' | '.join(images) + ' | average |',
             '|---|' + '---:|' * (len(images) + 1)]
    for p, per in tab.items():
        rates = [per[im][0][0] if per[im][0] else None for im in images]
        lines.append(f'| {labels[p]} | ' + ' | '.join(_f(v, '+.1f') + ' %' if v is not None else '–' for v in rates)
                     + f' | **{_f(_mean(rates), "+.1f")} %** |')
    lines.append('')
    lines.append(f'| {name} vs (BD-PSNR) | ' + ' | '.join(images) + ' | average |')
    lines.append('|---|' + '---:|' * (len(images) + 1))
    for p, per in tab.items():
        ds = [per[im][1][0] if per[im][1] else None for im in images]
        lines.append(f'| {labels[p]} | ' + ' | '.join(_f(v, '+.2f') + ' dB' if v is not None else '–' for v in ds)
                     + f' | **{_f(_mean(ds), "+.2f")} dB** |')
    return '\n'.join(lines)


def bd_intervals_markdown(tab, images, labels, ours='kelvane'):
    lines = ['| pair | image | PSNR interval of BD-rate (dB) | rate interval of BD-PSNR (bpp) |',
             '|---|---|---|---|']
    for p, per in tab.items():
        for im in images:
            r, q = per[im]
            ri = f'{r[1]:.2f} – {r[2]:.2f}' if r else 'no overlap'
            qi = f'{q[1]:.3f} – {q[2]:.3f}' if q else 'no overlap'
            lines.append(f'| {labels.get(ours, ours)} vs {labels[p]} | {im} | {ri} | {qi} |')
    return '\n'.join(lines)


def lossless_markdown(results, images, codecs, labels):
    lines = ['| codec | ' + ' | '.join(images) + ' | mean bpp | enc CPU ms/MP | dec CPU ms/MP |',
             '|---|' + '---:|' * (len(images) + 3)]
    for c in codecs:
        cells, bpps, enc, dec = [], [], [], []
        for im in images:
            r = results[im][c].get('lossless')
            if r is None:
                cells.append('–')
                continue
            mark = '' if r['exact'] else ' **NOT EXACT**'
            cells.append(f"{r['bpp']:.3f}{mark}")
            bpps.append(r['bpp'])
            enc.append(r['enc_cpu_ms_per_mp'])
            dec.append(r['dec_cpu_ms_per_mp'])
        if not bpps:
            continue
        lines.append(f'| {labels[c]} | ' + ' | '.join(cells) +
                     f' | {sum(bpps) / len(bpps):.3f} | {statistics.median(enc):.0f} | {statistics.median(dec):.0f} |')
    return '\n'.join(lines)


def speed_markdown(results, images, codecs, labels):
    lines = ['| codec | encode, CPU ms/MP: median (min – max) | encode, wall ms/MP: median '
             '| decode, CPU ms/MP: median (min – max) | decode, wall ms/MP: median |',
             '|---|---:|---:|---:|---:|']
    for c in codecs:
        pts = [r for im in images for r in results[im][c]['lossy']]
        if not pts:
            continue
        cell = {}
        for k in ('enc_cpu_ms_per_mp', 'enc_ms_per_mp', 'dec_cpu_ms_per_mp', 'dec_ms_per_mp'):
            v = [r[k] for r in pts]
            cell[k] = (statistics.median(v), min(v), max(v))
        lines.append(f"| {labels[c]} | {cell['enc_cpu_ms_per_mp'][0]:.0f} ({cell['enc_cpu_ms_per_mp'][1]:.0f} – "
                     f"{cell['enc_cpu_ms_per_mp'][2]:.0f}) | {cell['enc_ms_per_mp'][0]:.0f} "
                     f"| {cell['dec_cpu_ms_per_mp'][0]:.0f} ({cell['dec_cpu_ms_per_mp'][1]:.0f} – "
                     f"{cell['dec_cpu_ms_per_mp'][2]:.0f}) | {cell['dec_ms_per_mp'][0]:.0f} |")
    return '\n'.join(lines)


def points_markdown(results, image, codecs, labels, setting_labels):
    lines = ['| codec | setting | bytes | bpp | PSNR dB | SSIM (luma) | enc ms/MP CPU (wall) | dec ms/MP CPU (wall) |',
             '|---|---|---:|---:|---:|---:|---:|---:|']
    for c in codecs:
        rows = list(results[image][c]['lossy'])
        if results[image][c].get('lossless'):
            rows.append(results[image][c]['lossless'])
        for r in rows:
            psnr = '∞' if math.isinf(r['psnr']) else f"{r['psnr']:.2f}"
            lines.append(f"| {labels[c]} | {setting_labels[c]} {r['setting']} | {r['bytes']} | {r['bpp']:.3f} | "
                         f"{psnr} | {r['ssim']:.4f} | {r['enc_cpu_ms_per_mp']:.0f} ({r['enc_ms_per_mp']:.0f}) "
                         f"| {r['dec_cpu_ms_per_mp']:.0f} ({r['dec_ms_per_mp']:.0f}) |")
    return '\n'.join(lines)


def _plot_rd(ax, results, image, codecs, labels, metric):
    for c in codecs:
        pts = sorted((r['bpp'], r[metric]) for r in results[image][c]['lossy'])
        if not pts:
            continue
        color, marker, lw = STYLE.get(c, ('black', 'x', 1.0))
        ax.plot([p[0] for p in pts], [p[1] for p in pts], marker=marker, color=color, lw=lw,
                ms=4, label=labels[c])
    ax.set_xscale('log')
    ax.set_xlabel('bits per pixel')
    ax.set_ylabel('PSNR (dB)' if metric == 'psnr' else 'SSIM (luma)')
    ax.grid(True, which='both', alpha=0.3)


def plot_image(path, results, image, codecs, labels):
    fig, axes = plt.subplots(1, 2, figsize=(12, 4.8))
    _plot_rd(axes[0], results, image, codecs, labels, 'psnr')
    _plot_rd(axes[1], results, image, codecs, labels, 'ssim')
    axes[0].set_title(f'{image}: PSNR (all channels)')
    axes[1].set_title(f'{image}: SSIM (luma)')
    axes[0].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def plot_overview(path, results, images, codecs, labels):
    n = len(images)
    cols = 2 if n > 1 else 1
    rows = (n + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(6 * cols, 4.4 * rows), squeeze=False)
    for i, im in enumerate(images):
        ax = axes[i // cols][i % cols]
        _plot_rd(ax, results, im, codecs, labels, 'psnr')
        ax.set_title(im)
    for j in range(n, rows * cols):
        axes[j // cols][j % cols].axis('off')
    axes[0][0].legend(fontsize=8)
    fig.suptitle('PSNR against bits per pixel (log scale), single-threaded')
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)
