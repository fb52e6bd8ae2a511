"""Equal-size comparison: every codec aimed at the same byte budgets per image.

kelvane reaches a budget with its size target (never above it); WebP with
`cwebp -size`, JPEG 2000 with OpenJPEG's rate (`-r`); codecs without a size
target take the setting of their scale whose file is the largest at most the
budget, found by bisection (untimed). Each chosen setting is then measured like
any other point (PSNR, SSIM, times)."""
import os
import shutil
import subprocess
import tempfile

from . import codecs as cdc
from . import runner


class KelvaneSize(cdc.Kelvane):
    """kelvane with a size target: encoded by `target_encode` (the library's
    search, as the command line's size target), decoded by the program."""

    def __init__(self, binary, target_tool, rdo=False):
        super().__init__(binary)
        self.tool = target_tool
        self.rdo = rdo
        self.name = 'kelvane-rdo' if rdo else 'kelvane'
        self.label = 'kelvane --rdo' if rdo else 'kelvane'

    def enc(self, budget, src, out):
        return cdc.PIN + [self.tool, src['pnm'], out, '--size', str(int(budget))] + (['--rdo'] if self.rdo else [])


class WebPSize(cdc.WebP):
    def enc(self, budget, src, out):
        return cdc.PIN + ['cwebp', '-quiet', '-m', '6', '-size', str(int(budget)), '-pass', '10', src['pnm'], '-o', out]


class Jpeg2000Size(cdc.Jpeg2000):
    def enc(self, budget, src, out):
        with open(src['pnm'], 'rb') as f:  # written by compare_lib.imageio: no comments in the header
            header = f.read(64).split()
        w, h = int(header[1]), int(header[2])
        ratio = w * h * src['channels'] / float(budget)  # OpenJPEG's rate: raw bytes over coded bytes
        return cdc.PIN + ['opj_compress', '-threads', '1', '-i', src['pnm'], '-o', out, '-I', '-r', f'{ratio:.6f}']


# Codecs without a size target: (lowest, highest) of the setting, whether the
# setting is a whole number, and whether the file grows with it.
SCALES = {
    'jpeg': (1, 100, True, True),
    'jpeg444': (1, 100, True, True),
    'jxl': (0.05, 25.0, False, False),
    'avif': (0, 63, True, False),
}


class AtSetting(cdc.Codec):
    """A codec of SCALES at the setting bisection found for one budget."""

    def __init__(self, inner, setting):
        self.inner = inner
        self.setting = setting
        self.name, self.label, self.ext, self.package = inner.name, inner.label, inner.ext, inner.package

    def version(self):
        return self.inner.version()

    def enc(self, budget, src, out):
        return self.inner.enc(self.setting, src, out)

    def dec(self, comp, out):
        return self.inner.dec(comp, out)

    def dec_output(self, channels):
        return self.inner.dec_output(channels)

    def post(self, workdir, channels):
        return self.inner.post(workdir, channels)


def _size_at(codec, setting, job):
    work = tempfile.mkdtemp(prefix='size-', dir=job.dir)
    try:
        out = os.path.join(work, 'out.' + codec.ext)
        subprocess.run(codec.enc(setting, job.src, out), cwd=work, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return os.path.getsize(out)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def setting_below(codec, job, budget, steps=12):
    """The setting of codec's scale whose file is the largest at most `budget`
    (None when even the smallest file is larger)."""
    lo, hi, whole, grows = SCALES[codec.name]
    small, large = (lo, hi) if grows else (hi, lo)  # settings giving the smallest and the largest file
    if _size_at(codec, small, job) > budget:
        return None
    if _size_at(codec, large, job) <= budget:
        return large
    fits, over = small, large
    for _ in range(steps):
        if whole and abs(over - fits) <= 1:
            break
        mid = (fits + over) // 2 if whole else (fits * over) ** 0.5
        if _size_at(codec, mid, job) <= budget:
            fits = mid
        else:
            over = mid
    return fits


def run(images, codecs, kelvane_binary, target_tool, budgets_bpp, runs):
    """{image: {budget_bytes: {codec name: result or None}}} and the codec labels."""
    size_codecs = [KelvaneSize(kelvane_binary, target_tool), KelvaneSize(kelvane_binary, target_tool, rdo=True)]
    for c in codecs:
        if c.name == 'webp':
            size_codecs.append(WebPSize())
        elif c.name == 'j2k':
            size_codecs.append(Jpeg2000Size())
        elif c.name in SCALES:
            size_codecs.append(c)
    labels = {c.name: c.label for c in size_codecs}
    results = {}
    for path in images:
        job = runner.ImageJob(path)
        try:
            for bpp in budgets_bpp:
                budget = int(bpp * job.w * job.h / 8)
                row = results.setdefault(job.name, {}).setdefault(budget, {})
                for c in size_codecs:
                    codec, setting = c, budget
                    if c.name in SCALES:
                        found = setting_below(c, job, budget)
                        if found is None:
                            row[c.name] = None
                            continue
                        codec, setting = AtSetting(c, found), found
                    try:
                        r = runner.measure(codec, budget, job, runs)
                    except RuntimeError as error:  # e.g. a size target below what the codec reaches
                        print(f'{job.name} {c.name} {budget} bytes: {error}', flush=True)
                        row[c.name] = None
                        continue
                    r['setting'] = str(setting)
                    row[c.name] = r
                    print(f"{job.name:10s} {budget:8d} B  {c.name:12s} {r['bytes']:8d} B "
                          f"({100.0 * r['bytes'] / budget:6.2f} %) {r['psnr']:6.2f} dB ssim {r['ssim']:.4f}",
                          flush=True)
        finally:
            job.cleanup()
    return results, labels


def markdown(results, labels):
    """One table per image: each codec's bytes (fraction of the budget), PSNR and SSIM at every budget."""
    out = []
    for image in sorted(results):
        names = list(labels)
        out.append(f'### {image}\n')
        out.append('| budget (bytes) | ' + ' | '.join(labels[n] for n in names) + ' |')
        out.append('|---:|' + '---|' * len(names))
        for budget in sorted(results[image]):
            cells = []
            for n in names:
                r = results[image][budget].get(n)
                cells.append('–' if r is None else
                             f"{r['bytes']} ({100.0 * r['bytes'] / budget:.1f} %), {r['psnr']:.2f} dB, {r['ssim']:.4f}")
            out.append(f'| {budget} | ' + ' | '.join(cells) + ' |')
        out.append('')
    return '\n'.join(out)
