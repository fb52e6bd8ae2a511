"""The batch recipes of docs/batch.md, run on this machine: their streams
are the program's classic ones, byte for byte."""
import os
import pickle
import shutil
import subprocess
import sys

import pytest

import kelvane
from conftest import EXAMPLES, IMAGES

NAMES = ["coins.pgm", "chelsea.ppm", "camera.pgm"]


def check_streams(classic_stream, out, quantization):
    for name in NAMES:
        stream = out / (name.rsplit(".", 1)[0] + ".kv2")
        assert stream.read_bytes() == classic_stream(IMAGES / name, quantization), name


@pytest.mark.skipif(shutil.which("parallel") is None, reason="GNU parallel is not installed")
def test_gnu_parallel_over_a_login_file(program, classic_stream, tmp_path):
    (tmp_path / "logins").write_text(":\n")
    result = subprocess.run([EXAMPLES / "parallel_encode.sh", tmp_path / "logins", tmp_path / "out", "6"],
                            input="".join(str(IMAGES / n) + "\n" for n in NAMES), capture_output=True, text=True,
                            env={**os.environ, "KELVANE": str(program)}, timeout=600)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("3 images")
    check_streams(classic_stream, tmp_path / "out", 6)


def test_calls_and_errors_pickle_for_workers():
    assert pickle.loads(pickle.dumps(kelvane.encode_file)) is kelvane.encode_file
    with pytest.raises(kelvane.KelvaneError) as caught:
        kelvane.decode(bytes(64))
    back = pickle.loads(pickle.dumps(caught.value))
    assert (str(back), back.code, back.status) == (str(caught.value), "not_a_stream", 255)


def test_dask_local_cluster(classic_stream, tmp_path):
    pytest.importorskip("distributed")
    result = subprocess.run([sys.executable, EXAMPLES / "dask_encode.py", "--workers", "2", tmp_path / "out", "6",
                             *(IMAGES / n for n in NAMES)], capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("3 images")
    check_streams(classic_stream, tmp_path / "out", 6)
