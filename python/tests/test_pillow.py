import io

import numpy
import pytest
from PIL import Image, UnidentifiedImageError

import kelvane
import kelvane.pillow
from conftest import IMAGES, pixels



@pytest.mark.parametrize("name,mode", [("coins.pgm", "L"), ("chelsea.ppm", "RGB")])
def test_open_reads_the_header_then_the_pixels_on_load(tmp_path, monkeypatch, name, mode):
    array = pixels(name)
    path = tmp_path / "x.kv2"
    path.write_bytes(kelvane.encode(array, 1.0))
    decodes = []
    real = kelvane.decode
    monkeypatch.setattr(kelvane, "decode", lambda data: decodes.append(1) or real(data))
    with Image.open(path) as image:
        assert (image.format, image.mode, image.size) == ("KELVANE", mode, (array.shape[1], array.shape[0]))
        assert decodes == []
        numpy.testing.assert_array_equal(numpy.asarray(image), array)
        assert decodes == [1]


def test_save_writes_what_encode_writes(tmp_path):
    array = pixels("chelsea.ppm")
    Image.fromarray(array).save(tmp_path / "a.kv2", quantization=8, rdo=True)
    assert (tmp_path / "a.kv2").read_bytes() == kelvane.encode(array, 8.0, rdo=True)
    buffer = io.BytesIO()
    Image.fromarray(array[..., 0]).save(buffer, format="KELVANE")
    assert buffer.getvalue() == kelvane.encode(array[..., 0], 8.0)
    Image.fromarray(array).convert("P").save(tmp_path / "p.kv2")
    with Image.open(tmp_path / "p.kv2") as back:
        assert back.mode == "RGB"
        numpy.testing.assert_array_equal(numpy.asarray(back), kelvane.decode((tmp_path / "p.kv2").read_bytes()))
    assert Image.registered_extensions()[".kv2"] == "KELVANE"
    # save_all: one image is saved, several are refused.
    Image.fromarray(array).save(tmp_path / "all.kv2", save_all=True)
    assert (tmp_path / "all.kv2").read_bytes() == kelvane.encode(array, 8.0)
    with pytest.raises(ValueError, match="holds one image, not 2"):
        Image.fromarray(array).save(io.BytesIO(), format="KELVANE", save_all=True,
                                    append_images=[Image.fromarray(array)])


def test_alpha_and_deep_grey_keep_their_meaning(tmp_path):
    array = pixels("chelsea.ppm")[:40, :50]
    rgba = numpy.dstack([array, array[..., 1]])
    path = tmp_path / "a.kv2"
    path.write_bytes(kelvane.encode(rgba, 1.0))
    with Image.open(path) as image:
        assert image.mode == "RGBA"
        numpy.testing.assert_array_equal(numpy.asarray(image), rgba)
    rgba[..., 3] = 255  # opaque everywhere: left out, as the programs do
    Image.fromarray(rgba).save(path, quantization=1)
    numpy.testing.assert_array_equal(kelvane.decode(path.read_bytes()), array)
    deep = (numpy.arange(40 * 50, dtype=numpy.int32).reshape(40, 50) * 32) % 65536
    Image.fromarray(deep, "I").save(path, quantization=2)
    reduced = ((deep * 255 + 32767) // 65535).astype(numpy.uint8)
    assert path.read_bytes() == kelvane.encode(reduced, 2.0)
    with pytest.raises(ValueError, match="deeper than 8 bits"):  # as the programs refuse it
        Image.fromarray(deep, "I").save(path, quantization=1)
    # A transparent colour (PNG's tRNS) is alpha, as the programs read it.
    grey = numpy.full((8, 8), 200, numpy.uint8)
    grey[:, :3] = 0
    Image.fromarray(grey).save(tmp_path / "t.png", transparency=0)
    with Image.open(tmp_path / "t.png") as keyed:
        alpha = kelvane.pillow.array_of(keyed)[..., 1]
        assert (alpha[:, :3] == 0).all() and (alpha[:, 3:] == 255).all()


def test_damage_is_an_oserror_to_pillow_and_a_warning_when_only_the_trailer_is_hit(tmp_path):
    rgba = numpy.dstack([pixels("chelsea.ppm")[:40, :50]] + [numpy.full((40, 50), 128, numpy.uint8)])
    stream = kelvane.encode(rgba, 8.0)
    (tmp_path / "cut.kv2").write_bytes(stream[:len(stream) // 3])
    with Image.open(tmp_path / "cut.kv2") as image, pytest.raises(OSError):
        image.load()
    damaged = bytearray(stream)
    damaged[-21] ^= 1  # inside the trailer's chunks: its checksum fails
    with pytest.warns(UserWarning, match="alpha"):
        assert kelvane.decode(bytes(damaged)).shape == (40, 50, 3)


def test_other_files_are_not_taken(tmp_path):
    (tmp_path / "bad.kv2").write_bytes(b"\x00\x01 not a stream at all" * 4)
    with pytest.raises(UnidentifiedImageError):
        Image.open(tmp_path / "bad.kv2")
    with Image.open(IMAGES / "coins.pgm") as image:
        assert image.format == "PPM"
