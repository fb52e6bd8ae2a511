"""Command lines of kelvane and the peer codecs. Every program runs pinned to
CPU 0 with `taskset -c 0`; the peers also get their own one-thread options."""
import hashlib
import subprocess

PIN = ['taskset', '-c', '0']


def fmt_num(v):
    return f'{v:g}'


class Codec:
    """One codec: settings, Debian package, and how to encode and decode.

    enc(setting, src, out) and dec(comp, out) return argument lists, where src
    holds 'pnm', 'png', 'grey' (bool) and 'channels'. After decoding, the file
    named by dec_output(channels) is read back (post() may convert it first)."""
    name = ''
    label = ''
    package = ''
    ext = ''
    lossy = []
    lossless = None  # setting string or None
    setting_label = ''

    def version(self):
        out = subprocess.run(['dpkg-query', '-W', '-f=${Version}', self.package],
                             capture_output=True, text=True)
        return f'{self.package} {out.stdout.strip() or "unknown"}'

    def dec_output(self, channels):
        return 'dec.ppm' if channels == 3 else 'dec.pgm'

    def post(self, workdir, channels):
        """Commands run after timing the decoder, untimed (list of (argv, stdout file))."""
        return []


class Kelvane(Codec):
    name, label, ext = 'kelvane', 'kelvane', 'kv2'
    lossy = [2, 4, 8, 16, 32, 64, 128]
    lossless = 1
    setting_label = 'Q'

    def __init__(self, binary):
        self.binary = binary

    def version(self):
        with open(self.binary, 'rb') as f:
            return 'kelvane binary sha256 ' + hashlib.sha256(f.read()).hexdigest()[:16]

    def enc(self, s, src, out):
        return PIN + [self.binary, src['pnm'], out, fmt_num(s)]

    def dec(self, comp, out):
        return PIN + [self.binary, comp, out]


class KelvaneRdo(Kelvane):
    """The rate-distortion-optimising encoder; at Q <= 1 it writes the default
    (lossless) stream, so it has no lossless point of its own."""
    name, label = 'kelvane-rdo', 'kelvane --rdo'
    lossless = None

    def enc(self, s, src, out):
        return super().enc(s, src, out) + ['--rdo']


class Jpeg(Codec):
    name, label, package, ext = 'jpeg', 'JPEG (libjpeg-turbo, -optimize)', 'libjpeg-turbo-progs', 'jpg'
    lossy = [10, 20, 35, 50, 65, 80, 90, 95, 98]
    setting_label = 'quality'

    def enc(self, s, src, out):
        return PIN + ['cjpeg', '-quality', str(s), '-optimize', '-outfile', out, src['pnm']]

    def dec(self, comp, out):
        return PIN + ['djpeg', '-pnm', '-outfile', out, comp]


class Jpeg444(Jpeg):
    """JPEG without chroma subsampling: cjpeg's default 4:2:0 caps the PSNR of
    colour images (taken over all RGB channels) at high rates."""
    name, label = 'jpeg444', 'JPEG 4:4:4 (libjpeg-turbo, -optimize -sample 1x1)'

    def enc(self, s, src, out):
        return PIN + ['cjpeg', '-quality', str(s), '-optimize', '-sample', '1x1', '-outfile', out, src['pnm']]


class Jpeg2000(Codec):
    name, label, package, ext = 'j2k', 'JPEG 2000 (OpenJPEG)', 'libopenjp2-tools', 'j2k'
    # target bits per pixel (all channels); turned into OpenJPEG's compression ratio
    lossy = [0.15, 0.25, 0.4, 0.6, 1.0, 1.5, 2.5, 4.0, 6.0]
    lossless = 'lossless'
    setting_label = 'target bpp'  # lossy: irreversible 9/7; lossless: reversible 5/3

    def enc(self, s, src, out):
        base = PIN + ['opj_compress', '-threads', '1', '-i', src['pnm'], '-o', out]
        if s == 'lossless':
            return base  # reversible 5/3 wavelet, no rate target
        ratio = 8.0 * src['channels'] / s
        return base + ['-I', '-r', f'{ratio:.4f}']

    def dec(self, comp, out):
        return PIN + ['opj_decompress', '-threads', '1', '-i', comp, '-o', out]


class WebP(Codec):
    name, label, package, ext = 'webp', 'WebP (libwebp, -m 6)', 'webp', 'webp'
    lossy = [5, 20, 35, 50, 65, 80, 90, 95, 100]
    lossless = 'lossless'
    setting_label = 'quality'

    def enc(self, s, src, out):
        base = PIN + ['cwebp', '-quiet', '-m', '6']
        if s == 'lossless':
            return base + ['-lossless', '-q', '100', src['pnm'], '-o', out]
        return base + ['-q', str(s), src['pnm'], '-o', out]

    def dec(self, comp, out):
        return PIN + ['dwebp', '-quiet', comp, '-ppm', '-o', out]

    def dec_output(self, channels):
        return 'dec.ppm'  # always RGB, also for grey input


class JpegXl(Codec):
    name, label, package, ext = 'jxl', 'JPEG XL (libjxl, effort 7)', 'libjxl-tools', 'jxl'
    lossy = [0.2, 0.35, 0.5, 0.75, 1.0, 1.5, 2.5, 4.0, 7.0]
    lossless = 'lossless'
    setting_label = 'distance'

    def enc(self, s, src, out):
        d = '0' if s == 'lossless' else fmt_num(s)
        return PIN + ['cjxl', src['pnm'], out, '-d', d, '-e', '7', '--num_threads=1', '--quiet']

    def dec(self, comp, out):
        return PIN + ['djxl', comp, out, '--num_threads=1', '--quiet']

    def dec_output(self, channels):
        return 'dec.ppm'  # djxl writes P5 or P6 to a .ppm name


class Avif(Codec):
    name, label, package, ext = 'avif', 'AVIF (libavif + aom, speed 6)', 'libavif-bin', 'avif'
    lossy = [2, 6, 12, 18, 24, 32, 40, 48, 56]
    lossless = 'lossless'
    setting_label = 'quantizer'

    def enc(self, s, src, out):
        base = PIN + ['avifenc', '-j', '1', '-s', '6']
        if src['grey']:
            base += ['-y', '400']
        if s == 'lossless':
            return base + ['-l', src['png'], out]
        return base + ['--min', str(s), '--max', str(s), src['png'], out]

    def dec(self, comp, out):
        return PIN + ['avifdec', '-j', '1', '-d', '8', comp, out]

    def dec_output(self, channels):
        return 'dec.png'

    def post(self, workdir, channels):
        return [(['pngtopnm', 'dec.png'], 'dec.pnm')]


class Png(Codec):
    name, label, package, ext = 'png', 'PNG (optipng -o2)', 'optipng', 'png'
    lossy = []
    lossless = 'lossless'
    setting_label = ''

    def version(self):
        return super().version() + ' / netpbm'

    def enc(self, s, src, out):
        # the source PNG is written unfiltered by compare_lib.imageio; optipng
        # searches filters and deflate settings from it
        return PIN + ['optipng', '-quiet', '-o2', '-force', '-out', out, src['png']]

    def dec(self, comp, out):
        return PIN + ['pngtopnm', comp]  # stdout goes to out

    def dec_output(self, channels):
        return 'dec.pnm'


def all_codecs(kelvane_binary):
    return [Kelvane(kelvane_binary), KelvaneRdo(kelvane_binary), Jpeg(), Jpeg444(), Jpeg2000(), WebP(), JpegXl(), Avif(), Png()]


DEBIAN_TOOLS = {
    'cjpeg': 'libjpeg-turbo-progs', 'djpeg': 'libjpeg-turbo-progs',
    'opj_compress': 'libopenjp2-tools', 'opj_decompress': 'libopenjp2-tools',
    'cwebp': 'webp', 'dwebp': 'webp',
    'cjxl': 'libjxl-tools', 'djxl': 'libjxl-tools',
    'avifenc': 'libavif-bin', 'avifdec': 'libavif-bin',
    'optipng': 'optipng', 'pngtopnm': 'netpbm', 'taskset': 'util-linux',
}
