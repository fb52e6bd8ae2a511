"""Shared fixtures: the test images, the kelvane program and its classic
encode. ctest sets KV_KELVANE and KV_IMAGES; run by hand, the program is
looked for in build/release."""
import os
import pathlib
import subprocess

import numpy
import pytest
from PIL import Image

ROOT = pathlib.Path(__file__).resolve().parents[2]
IMAGES = pathlib.Path(os.environ.get("KV_IMAGES", ROOT / "tests" / "data" / "images"))
EXAMPLES = ROOT / "python" / "examples"


@pytest.fixture(scope="session")
def program():
    path = pathlib.Path(os.environ.get("KV_KELVANE", ROOT / "build" / "release" / "apps" / "kelvane")).resolve()
    if not path.is_file():
        pytest.skip("the kelvane program is not built (set KV_KELVANE)")
    return path


@pytest.fixture
def run_program(program, tmp_path_factory):
    """Runs the program with the given arguments in a fresh directory (the
    encoder writes dir.pgm/dir.ppm into it); returns the CompletedProcess."""
    return lambda *args: subprocess.run([str(program), *map(str, args)], cwd=tmp_path_factory.mktemp("run"),
                                        capture_output=True, text=True)


@pytest.fixture
def classic_stream(run_program, tmp_path):
    """The bytes the program's classic form writes for an image file."""
    def encode(image, quantization, *extra):
        out = tmp_path / ("classic%d.kv2" % len(list(tmp_path.glob("classic*"))))
        result = run_program(image, out, quantization, *extra)
        assert result.returncode == 0, result.stdout
        return out.read_bytes()
    return encode


def pixels(name):
    """A test image as the uint8 array kelvane.encode takes."""
    return numpy.asarray(Image.open(IMAGES / name))
