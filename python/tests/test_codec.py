import concurrent.futures
import math
import multiprocessing
import subprocess
import sys

import numpy
import pytest

import kelvane
from conftest import IMAGES, pixels

rng = numpy.random.default_rng(7)


def smooth(shape):
    """A picture-like array (a ramp with noise), so coarse coding loses little."""
    y, x = numpy.indices(shape[:2])
    base = (x * 3 + y * 2) % 256
    if len(shape) == 3:
        base = base[..., None] + numpy.arange(shape[2]) * 40
    return ((base + rng.integers(0, 8, shape)) % 256).astype(numpy.uint8)


@pytest.mark.parametrize("shape", [(37, 53), (1, 1), (1, 70), (64, 1), (40, 33, 3), (17, 29, 2), (9, 11, 5)])
def test_lossless_round_trip(shape):
    array = smooth(shape)
    back = kelvane.decode(kelvane.encode(array, 1.0))
    assert back.dtype == numpy.uint8 and back.shape == shape
    numpy.testing.assert_array_equal(back, array)


@pytest.mark.parametrize("view", [
    lambda a: a[3:40:2, 5:60:3],
    lambda a: a[::-1, ::-2],
    lambda a: numpy.asfortranarray(a),
    lambda a: a.transpose(1, 0, 2),
    lambda a: a[..., ::-1],
    lambda a: a[:, :, 1],
    lambda a: numpy.broadcast_to(a[:1], a.shape),
])
def test_views_code_as_their_copies(view):
    array = view(smooth((48, 64, 3)))
    assert kelvane.encode(array, 4.0) == kelvane.encode(numpy.ascontiguousarray(array), 4.0)


@pytest.mark.parametrize("dtype", [numpy.int8, numpy.uint16, numpy.int32, numpy.int64, numpy.float32,
                                   numpy.float64, bool, object, "U1"])
def test_refuses_other_dtypes(dtype):
    with pytest.raises(TypeError, match=r"takes a uint8 array of shape \(height, width\)"):
        kelvane.encode(numpy.zeros((8, 8), dtype=dtype))


@pytest.mark.parametrize("shape", [(), (8,), (2, 2, 2, 2), (0, 8), (8, 0), (4, 4, 0), (4, 4, 256), (1, 65536)])
def test_refuses_other_shapes(shape):
    with pytest.raises(ValueError, match=r"takes a uint8 array of shape \(height, width\)"):
        kelvane.encode(numpy.zeros(shape, numpy.uint8))


def test_refuses_non_arrays_and_bad_buffers():
    with pytest.raises(TypeError, match="uint8 array"):
        kelvane.encode([[1, 2], [3, 4]])
    for data in ("text", memoryview(bytes(64))[::2]):
        with pytest.raises(TypeError, match="contiguous buffer"):
            kelvane.decode(data)


def test_decode_takes_any_buffer_and_returns_an_array_of_its_own():
    array = smooth((20, 30, 3))
    stream = kelvane.encode(array, 1.0)
    for data in (stream, bytearray(stream), memoryview(stream), numpy.frombuffer(stream, numpy.uint8)):
        numpy.testing.assert_array_equal(kelvane.decode(data), array)
    back = kelvane.decode(stream)
    back[0, 0, 0] ^= 1  # writable, owned
    numpy.testing.assert_array_equal(kelvane.decode(stream), array)


@pytest.mark.parametrize("name,quantization,rdo", [("coins.pgm", 8, False), ("chelsea.ppm", 8, False),
                                                   ("chelsea.ppm", 1, False), ("coins.pgm", 12.5, True)])
def test_streams_match_the_program(classic_stream, tmp_path, name, quantization, rdo):
    extra = ("--rdo",) if rdo else ()
    expected = classic_stream(IMAGES / name, quantization, *extra)
    assert kelvane.encode(pixels(name), quantization, rdo=rdo) == expected
    kelvane.encode_file(IMAGES / name, tmp_path / "file.kv2", quantization, rdo=rdo, threads=1)
    assert (tmp_path / "file.kv2").read_bytes() == expected


def last_line(result):
    return result.stdout.rstrip("\n").split("\n")[-1]


def test_errors_carry_the_programs_message(run_program, tmp_path):
    stream = kelvane.encode(smooth((64, 64, 3)), 2.0)
    cases = [(b"GIF89a" + bytes(40), "not_a_stream", 255), (stream[: len(stream) // 2], "truncated_stream", 1)]
    for data, code, status in cases:
        (tmp_path / "bad.kv2").write_bytes(data)
        result = run_program(tmp_path / "bad.kv2", tmp_path / "out.pgm")
        for call in (lambda: kelvane.decode(data), lambda: kelvane.decode_file(tmp_path / "bad.kv2", tmp_path / "o.pgm")):
            with pytest.raises(kelvane.KelvaneError) as caught:
                call()
            error = caught.value
            assert isinstance(error, ValueError)
            assert (str(error), error.message, error.code, error.status) == (last_line(result), last_line(result),
                                                                           code, status)
            assert result.returncode == status
    missing = tmp_path / "missing.pgm"
    with pytest.raises(kelvane.KelvaneError, match='^Error reading file ".*missing.pgm"\\.$') as caught:
        kelvane.encode_file(missing, tmp_path / "x.kv2")
    assert last_line(run_program(missing, tmp_path / "x.kv2", 8)) == str(caught.value)
    with pytest.raises(kelvane.KelvaneError, match=r"^Not enough memory\.$"):
        kelvane.decode(stream, memory_limit=1000)


def test_threads_code_at_once_as_alone():
    arrays = [smooth((120 + i, 90, 3) if i % 2 else (120 + i, 90)) for i in range(6)]
    alone = [kelvane.encode(a, 6.0, threads=1) for a in arrays]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        together = list(pool.map(lambda a: kelvane.encode(a, 6.0, threads=2), arrays))
        decoded = list(pool.map(kelvane.decode, together))
    assert together == alone
    for array, back in zip(arrays, decoded):
        assert back.shape == array.shape


def encode_in_child(seed):
    return kelvane.encode(smooth((60 + seed, 50, 3)), 4.0)


def test_forked_workers_code_while_threads_of_the_parent_do():
    arrays = [smooth((300, 200, 3)) for _ in range(2)]
    with concurrent.futures.ThreadPoolExecutor(2) as threads:
        busy = [threads.submit(kelvane.encode, a, 2.0) for a in arrays]
        with multiprocessing.get_context("fork").Pool(2) as pool:
            children = pool.map(encode_in_child, range(3), chunksize=1)
        assert all(len(f.result(timeout=120)) > 0 for f in busy)
    assert all(kelvane.decode(s).shape[2] == 3 for s in children)


@pytest.mark.parametrize("kwargs,message", [
    ({"target_size": 1000, "target_psnr": 40}, "at most one"),
    ({"target_size": 0}, "target_size must be a positive finite number"),
    ({"target_bpp": -1}, "target_bpp must be a positive"),
    ({"target_bpp": math.inf}, "target_bpp must be a positive finite number"),
    ({"target_psnr": math.nan}, "target_psnr must be a positive number"),
    ({"threads": -1}, "threads"),
    ({"quantization": math.nan}, "quantization must be a finite number"),
])
def test_refuses_bad_targets_and_options(kwargs, message):
    with pytest.raises(ValueError, match=message):
        kelvane.encode(smooth((16, 16)), **{"quantization": 8.0, **kwargs})
    with pytest.raises(ValueError, match="threads"):
        kelvane.decode(b"", threads=-1)
    with pytest.raises(ValueError, match="memory_limit"):
        kelvane.decode(b"", memory_limit=-1)
    with pytest.raises(TypeError, match="^memory_limit must be a whole number, not str$"):
        kelvane.decode(b"x" * 100000, memory_limit="2G")


def test_targets_are_reached():
    array = pixels("coins.pgm")
    by_size, by_bpp, by_psnr = (kelvane.encode(array, 1.0, **{k: v}) for k, v in
                                (("target_size", 20000), ("target_bpp", 1.0), ("target_psnr", 36.0)))
    assert len(by_size) <= 20000
    assert len(by_bpp) * 8 <= array.size
    difference = kelvane.decode(by_psnr).astype(float) - array
    assert 10 * math.log10(255 ** 2 / (difference ** 2).mean()) >= 36.0


def test_whole_floats_are_counts():
    stream = kelvane.encode(smooth((16, 16)), 8.0, threads=2.0)
    assert kelvane.decode(stream, memory_limit=2e9).shape == (16, 16)


def test_info_reads_the_header():
    stream = kelvane.encode(smooth((21, 34, 3)), 5.5)
    header = kelvane.info(stream)
    assert header == {"width": 34, "height": 21, "channels": 3, "quantization": 5.5, "alpha": False}
    with pytest.raises(kelvane.KelvaneError, match="Not a Kelvane 2.0 file"):
        kelvane.info(b"\0" * 64)


def test_a_failed_file_write_keeps_the_old_file(tmp_path):
    """At a file size limit encode_file and decode_file fail, leaving the
    previous output whole and no file beside it; messages name the output."""
    stream, image = tmp_path / "old.kv2", tmp_path / "old.png"
    kelvane.encode_file(IMAGES / "camera.pgm", stream, 8.0)
    kelvane.decode_file(stream, image)
    before = {path.name: path.read_bytes() for path in tmp_path.iterdir()}
    script = """if True:
        import resource, signal, sys, kelvane
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        for call in (lambda: kelvane.encode_file(sys.argv[1], sys.argv[2], 2.0),
                     lambda: kelvane.decode_file(sys.argv[2], sys.argv[3])):
            try:
                call()
            except kelvane.KelvaneError as error:
                print(error)"""
    result = subprocess.run([sys.executable, "-c", script, IMAGES / "camera.pgm", stream, image],
                            capture_output=True, text=True)
    assert result.stdout.splitlines() == ["put_bit: write error", 'Error writing file "%s".' % image], result.stderr
    assert {path.name: path.read_bytes() for path in tmp_path.iterdir()} == before


def test_encode_file_warns_of_what_it_leaves_out(tmp_path):
    stream = tmp_path / "icc.kv2"
    with pytest.warns(UserWarning, match="invalid ICC profile; it is left out"):
        kelvane.encode_file(IMAGES / "invalid_icc.png", stream, 8.0)
    assert kelvane.decode(stream.read_bytes()).shape == (8, 8)
