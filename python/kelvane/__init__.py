"""The kelvane image codec for numpy arrays, byte strings and image files.

encode(array, quantization=8.0, *, rdo=False, threads=0,
       target_size=None, target_bpp=None, target_psnr=None) -> bytes
    array: uint8, (height, width) for grey or (height, width, channels),
    any strides. A quantization of 1 or less is lossless. rdo chooses the
    rate-distortion-optimising encoder; threads=0 uses every core (the
    stream does not depend on it). At most one target_* replaces the
    quantization: the stream's size in bytes, its bits per pixel, or the
    PSNR (dB) to reach.
decode(data, *, memory_limit=0) -> numpy.ndarray
    data: any contiguous buffer (bytes, bytearray, memoryview, mmap, ...),
    read without copying. Returns uint8 (height, width) or
    (height, width, channels). memory_limit caps the decoded samples'
    buffer in bytes (0: no cap beyond the machine's).
info(data) -> dict
    width, height, channels and quantization from the stream's header,
    without decoding the image.
encode_file(src, dst, quantization=8.0, *, rdo=False, threads=0, target_*=None)
decode_file(src, dst, *, memory_limit=0)
    As the kelvane program: PNM or PNG in; PNG out when dst ends in .png,
    PNM otherwise. Paths are str or os.PathLike.

Every failure of the codec raises KelvaneError, a subclass of ValueError;
arguments of the wrong type or shape raise TypeError or ValueError. The
calls release the interpreter lock while they code, so threads encode and
decode in parallel; os.fork waits until no call is coding.
"""
import os as _os

from ._kelvane import (KelvaneError, __version__, decode, decode_file, encode, encode_file, info,
                       _after_fork_in_child, _after_fork_in_parent, _before_fork)

__all__ = ["KelvaneError", "__version__", "decode", "decode_file", "encode", "encode_file", "info"]

_os.register_at_fork(before=_before_fork, after_in_parent=_after_fork_in_parent,
                     after_in_child=_after_fork_in_child)
