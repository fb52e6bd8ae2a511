"""The batch recipes of docs/batch.md, run on this machine: their streams
are those of `kelvane encode`, byte for byte, metadata included."""
import os
import pickle
import shutil
import subprocess
import sys

import pytest

from PIL import Image

import kelvane
from conftest import EXAMPLES, IMAGES, pixels

@pytest.fixture
def images(tmp_path):
    """Three test images and a PNG carrying EXIF, which the streams keep."""
    exif = Image.Exif()
    exif[0x010E] = "a batch"  # ImageDescription
    Image.fromarray(pixels("chelsea.ppm")[:64, :80]).save(tmp_path / "meta.png", exif=exif)
    return [IMAGES / "coins.pgm", IMAGES / "chelsea.ppm", IMAGES / "camera.pgm", tmp_path / "meta.png"]


@pytest.fixture
def check_streams(run_program, images, tmp_path):
    def check(out, quantization):
        for image in images:
            expected = tmp_path / "expected.kv2"
            result = run_program("encode", image, "-o", expected, "-q", quantization, "--quiet", "--force")
            assert result.returncode == 0, result.stderr
            assert (out / (image.stem + ".kv2")).read_bytes() == expected.read_bytes(), image.name
    return check


@pytest.mark.skipif(shutil.which("parallel") is None, reason="GNU parallel is not installed")
def test_gnu_parallel_over_a_login_file(program, images, check_streams, tmp_path):
    (tmp_path / "logins").write_text(":\n")
    # The images as arguments, or with none, one a line on standard input.
    run = lambda *paths, listed="": subprocess.run(
        [EXAMPLES / "parallel_encode.sh", tmp_path / "logins", tmp_path / "out", "6", *paths], input=listed,
        capture_output=True, text=True, env={**os.environ, "KELVANE": str(program)}, timeout=600)
    # Two images of one name would share a stream: refused before any job.
    result = run(IMAGES / "chelsea.ppm", IMAGES / "coins.pgm", tmp_path / "coins.png")
    assert result.returncode == 2 and "share a stream" in result.stderr and "coins" in result.stderr
    assert not list((tmp_path / "out").iterdir())
    result = run(listed="".join("%s\n" % image for image in images))
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("4 images")
    check_streams(tmp_path / "out", 6)


def test_calls_and_errors_pickle_for_workers():
    assert pickle.loads(pickle.dumps(kelvane.encode_file)) is kelvane.encode_file
    with pytest.raises(kelvane.KelvaneError) as caught:
        kelvane.decode(bytes(64))
    back = pickle.loads(pickle.dumps(caught.value))
    assert (str(back), back.code, back.status) == (str(caught.value), "not_a_stream", 255)


def test_dask_local_cluster(images, check_streams, tmp_path):
    pytest.importorskip("distributed")
    run = lambda *images: subprocess.run([sys.executable, EXAMPLES / "dask_encode.py", "--workers", "2",
                                          tmp_path / "out", "6", *images], capture_output=True, text=True, timeout=600)
    result = run(IMAGES / "coins.pgm", tmp_path / "coins.png")
    assert result.returncode == 2 and "share a stream" in result.stderr
    result = run(*images)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("4 images")
    check_streams(tmp_path / "out", 6)
