"""The kelvane image codec for numpy arrays, byte strings and image files.

encode(array, quantization) -> bytes, decode(data) -> numpy.ndarray,
info(data) -> dict, encode_file(src, dst, quantization), decode_file(src, dst).

Every failure of the codec raises KelvaneError, a subclass of ValueError;
arguments of the wrong type or shape raise TypeError or ValueError. The calls
release the interpreter lock while they code, so threads encode and decode in
parallel; os.fork waits until no call is coding. `import kelvane.pillow`
registers the .kv2 format with Pillow.
"""
import math as _math
import numbers as _numbers
import os as _os
import secrets as _secrets
import stat as _stat

from . import _kelvane
from ._kelvane import KelvaneError, __version__

__all__ = ["KelvaneError", "__version__", "decode", "decode_file", "encode", "encode_file", "info"]


def _count(name, value, limit):
    """value as a whole number of 0..limit: an integer, or a real number
    without a fraction (memory_limit=2e9); a short TypeError for another
    type, ValueError for another value."""
    if isinstance(value, bool) or not isinstance(value, _numbers.Real):
        raise TypeError("%s must be a whole number, not %s" % (name, type(value).__name__))
    if not isinstance(value, _numbers.Integral):
        if not (_math.isfinite(value) and float(value).is_integer()):
            raise ValueError("%s must be a whole number, not %r" % (name, value))
        value = int(value)
    if not 0 <= value <= limit:
        raise ValueError("%s must lie in 0..%d" % (name, limit))
    return int(value)


_THREADS = 2**31 - 1
_BYTES = 2**63 - 1


# The calls are Python functions over the extension's, so that they pickle
# by name (Dask, multiprocessing and Spark ship them to their workers).
def encode(array, quantization=8.0, *, rdo=False, threads=0, target_size=None, target_bpp=None,
           target_psnr=None):
    """Encodes an image; returns the stream as bytes.

    array: uint8 of shape (height, width) for grey or (height, width,
    channels), 1..65535 rows and columns, 1..255 channels; any strides.
    A quantization of 1 or less is lossless, larger values code coarser.
    rdo chooses the rate-distortion-optimising encoder (same format).
    threads: encoder threads, 0 for every core; the stream does not depend
    on it. At most one target replaces the quantization: target_size (the
    stream's bytes at most), target_bpp (bits per pixel at most) or
    target_psnr (dB at least; the lossless stream when lossy coding cannot
    reach it).
    """
    return _kelvane.encode(array, quantization, rdo=rdo, threads=_count("threads", threads, _THREADS),
                           target_size=target_size,
                           target_bpp=target_bpp, target_psnr=target_psnr)


def decode(data, *, memory_limit=0, threads=0):
    """Decodes a stream; returns a uint8 array of shape (height, width) or
    (height, width, channels).

    data: any contiguous buffer (bytes, bytearray, memoryview, mmap, numpy
    array), read in place. memory_limit: the largest decoded sample buffer
    in bytes, 0 for the machine's memory; beyond it KelvaneError
    ("Not enough memory."). threads: for the inverse transforms, 0 for
    every core.
    """
    return _kelvane.decode(data, memory_limit=_count("memory_limit", memory_limit, _BYTES),
                           threads=_count("threads", threads, _THREADS))


def info(data):
    """The stream header's width, height, channels and quantization, and
    alpha (whether the trailer holds an alpha plane), as a dict, without
    decoding the image. data: as for decode."""
    return _kelvane.info(data)


def _same_file(a, b):
    try:
        return _os.path.samefile(a, b)
    except OSError:
        return False


def _write_whole(src, dst, write):
    """Has write(path, shown) write the output dst at a new name beside it,
    then renames that onto dst: a failure leaves dst as it was and no file
    behind. dst's symbolic links are followed (a link stays a link); a
    device or pipe is written into, and dst naming src is left to write to
    refuse. A file replaced keeps its permissions; a new one gets open()'s."""
    shown = _os.fspath(dst)
    target = _os.path.realpath(shown)
    try:
        status = _os.stat(target)
    except OSError:
        status = None
    if status is not None and (not _stat.S_ISREG(status.st_mode) or _same_file(src, target)):
        return write(shown, shown)
    folder, name = _os.path.split(target)
    try:
        while True:
            # The same extension: it chooses the image format written.
            temporary = _os.path.join(folder, ".%s.%s%s" % (name, _secrets.token_hex(4), _os.path.splitext(name)[1]))
            try:
                _os.close(_os.open(temporary, _os.O_WRONLY | _os.O_CREAT | _os.O_EXCL, 0o666))
                break
            except FileExistsError:
                continue
    except OSError:
        return write(shown, shown)  # the folder takes no file: the library says so, as it always has
    try:
        write(temporary, shown)
        if status is not None:
            _os.chmod(temporary, _stat.S_IMODE(status.st_mode))
        _os.replace(temporary, target)
    except BaseException:
        try:
            _os.unlink(temporary)
        except OSError:
            pass
        raise


def encode_file(src, dst, quantization=8.0, *, rdo=False, threads=0, target_size=None, target_bpp=None,
                target_psnr=None):
    """Encodes the image file src (PNM or PNG) into the stream file dst, as
    the kelvane program does (without its diagnostic picture). Paths are str
    or os.PathLike; the options are encode's. dst is replaced only once the
    stream is complete."""
    threads = _count("threads", threads, _THREADS)
    _write_whole(src, dst, lambda path, shown: _kelvane.encode_file(
        src, path, quantization, rdo=rdo, threads=threads, target_size=target_size, target_bpp=target_bpp,
        target_psnr=target_psnr, shown=shown))


def decode_file(src, dst, *, memory_limit=0, threads=0):
    """Decodes the stream file src into the image file dst: PNG when its name
    ends in .png, PAM when it ends in .pam (any case), binary PNM otherwise
    (which holds neither alpha, left out with a UserWarning, nor metadata).
    The options are decode's. dst is replaced only once the image is
    complete."""
    memory_limit = _count("memory_limit", memory_limit, _BYTES)
    threads = _count("threads", threads, _THREADS)
    _write_whole(src, dst, lambda path, shown: _kelvane.decode_file(
        src, path, memory_limit=memory_limit, threads=threads, shown=shown))


_os.register_at_fork(before=_kelvane._before_fork, after_in_parent=_kelvane._after_fork_in_parent,
                     after_in_child=_kelvane._after_fork_in_child)
