"""Pillow support for kelvane streams (.kv2); importing this module registers it.

    import kelvane.pillow
    from PIL import Image
    image = Image.open("photo.kv2")          # mode L, LA, RGB or RGBA; size known at once
    image.save("copy.kv2", quantization=8, rdo=True)

Opening reads the file and its header; the pixels are decoded on first use
(image.load(), or any call that needs them). Saving takes L, LA, RGB and
RGBA images; 16-bit grey (modes I and I;16) is reduced to 8 bits as the
programs reduce it (and refused for lossless coding), a transparent colour
(PNG's tRNS) becomes alpha, and other modes are converted to RGB or RGBA (L
or LA when they have no colour); an alpha plane opaque everywhere is left
out, as the programs leave it out of image files: array_of(image) gives that
array. Keywords: quantization (default 8.0), rdo (False) and threads (0:
every core). A stream that cannot be decoded raises OSError on loading, as
Pillow's own formats do. Pillow reads 16-bit colour PNGs as 8-bit by
dropping the low byte, where the programs round: for those files,
kelvane.encode_file gives the program's stream.
"""
import numpy
from PIL import Image, ImageFile

import kelvane

FORMAT = "KELVANE"


def _header(data):
    """The stream's header fields; None when data cannot begin a stream,
    "more" when it may but ends before its header does."""
    try:
        return kelvane.info(data)
    except kelvane.KelvaneError as error:
        return "more" if error.code == "truncated_stream" else None


def _accept(prefix):
    # The header is range-coded: no fixed bytes mark a stream, so the prefix
    # Pillow hands over is read as one.
    return _header(prefix) is not None


class KelvaneImageFile(ImageFile.ImageFile):
    format = FORMAT
    format_description = "kelvane still image"

    def _open(self):
        header = self._read_header()
        if header["channels"] not in (1, 3):
            raise SyntaxError("a kelvane stream of %d channels has no Pillow mode" % header["channels"])
        # An alpha plane rides in the trailer at the file's end.
        self.fp.seek(0)
        alpha = kelvane.info(self.fp.read())["alpha"]
        mode = ("L" if header["channels"] == 1 else "RGB") + ("A" if alpha else "")
        # Pillow 10.1 made `mode` a read-only property over `_mode`.
        if isinstance(getattr(type(self), "mode", None), property):
            self._mode = mode
        else:
            self.mode = mode
        self._size = (header["width"], header["height"])
        if "quantization" in header:
            self.info["quantization"] = header["quantization"]
        self.tile = [("kelvane", (0, 0) + self.size, 0, None)]

    def _read_header(self):
        # Reads more of the file until the header is complete; the colour
        # matrix makes its length vary.
        self.fp.seek(0)
        data = b""
        step = 64
        while True:
            more = self.fp.read(step)
            data += more
            header = _header(data)
            if header is None or (header == "more" and not more):
                raise SyntaxError("not a kelvane stream")
            if header != "more":
                return header
            step *= 4

class KelvaneDecoder(ImageFile.PyDecoder):
    _pulls_fd = True

    def decode(self, buffer):
        self.fd.seek(0)
        try:
            pixels = kelvane.decode(self.fd.read())
        except kelvane.KelvaneError as error:
            # What Pillow's callers catch for a damaged or truncated file.
            raise OSError("kelvane stream cannot be decoded: %s" % error) from error
        if pixels.shape[:2] != (self.state.ysize, self.state.xsize):
            raise ValueError("the kelvane stream's size differs from its header's")
        self.set_as_raw(pixels.tobytes())
        return -1, 0


def array_of(image):
    """The Pillow image as the uint8 array kelvane.encode takes, as saving
    converts it (a palette to colour, 16-bit grey reduced), and as the
    programs read image files: alpha only where some pixel is not opaque."""
    array = _converted(image)
    if array.ndim == 3 and array.shape[2] in (2, 4) and (array[..., -1] == 255).all():
        array = array[..., :-1] if array.shape[2] == 4 else array[..., 0]
    return array


def _converted(image):
    mode = image.mode
    if mode in ("L", "RGB") and image.info.get("transparency") is not None:
        # A transparent colour (a PNG's tRNS key) is alpha, as the programs read it.
        return numpy.asarray(image.convert(mode + "A"))
    if mode in ("L", "LA", "RGB", "RGBA"):
        return numpy.asarray(image)
    if mode == "I" or mode.startswith("I;16"):
        # 16-bit grey: each sample v of 0..65535 becomes round(v * 255 / 65535).
        deep = numpy.clip(numpy.asarray(image, dtype=numpy.int64), 0, 65535)
        return ((deep * 255 + 32767) // 65535).astype(numpy.uint8)
    alpha = mode in ("La", "PA", "RGBa") or "transparency" in image.info
    grey = mode in ("1", "F", "La")
    return numpy.asarray(image.convert(("L" if grey else "RGB") + ("A" if alpha else "")))


def _save(image, fp, filename):
    options = image.encoderinfo
    quantization = float(options.get("quantization", 8.0))
    # Lossless as the codec judges it: not above 1 in single precision.
    lossless = not numpy.float32(quantization) > 1
    if lossless and (image.mode == "I" or image.mode.startswith("I;16")):
        # As the programs refuse a file deeper than 8 bits: lossless would not be.
        raise ValueError("samples deeper than 8 bits cannot be coded losslessly")
    fp.write(kelvane.encode(array_of(image), quantization,
                            rdo=bool(options.get("rdo", False)), threads=int(options.get("threads", 0))))


def _save_all(image, fp, filename):
    # A stream holds one image: a sequence of several is refused, not cut to its first.
    frames = getattr(image, "n_frames", 1) + len(image.encoderinfo.get("append_images", []))
    if frames > 1:
        raise ValueError("a kelvane stream holds one image, not %d" % frames)
    _save(image, fp, filename)


Image.register_open(FORMAT, KelvaneImageFile, _accept)
Image.register_save(FORMAT, _save)
Image.register_save_all(FORMAT, _save_all)
Image.register_extension(FORMAT, ".kv2")
Image.register_mime(FORMAT, "image/x-kelvane")
Image.register_decoder("kelvane", KelvaneDecoder)
