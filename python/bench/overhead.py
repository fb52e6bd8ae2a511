#!/usr/bin/env python3
"""Python's overhead over the same library calls made from C++.

    PYTHONPATH=build/release/python python3 python/bench/overhead.py \
        build/release/python/kelvane_api_timing [IMAGE] [--runs N] [--quantization Q ...]

Times kelvane.encode (uint8 array in) and kelvane.decode (array out) on a
1-megapixel colour image (default: tests/data/images/astronaut.ppm scaled to
1024 x 1024) against api_timing, which makes the same calls on the public C++
library (from_8bit + encode, decode + to_8bit), in processor time (the
machine may be busy with other work). Both use one coding thread;
the runs alternate between the two in rounds so the machine's load falls on
both alike, and both are taken from a process that has made the calls once. Prints the median and the fastest run of each and Python's extra
time in percent.
"""
import argparse
import pathlib
import statistics
import subprocess
import tempfile
import time

import numpy
from PIL import Image

import kelvane

ROOT = pathlib.Path(__file__).resolve().parents[2]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("timing", help="the api_timing program")
    parser.add_argument("image", nargs="?")
    parser.add_argument("--runs", type=int, default=5, help="rounds (each: one C++ run, one Python run)")
    parser.add_argument("--quantization", type=float, nargs="+", default=[1.0, 8.0])
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        if args.image:
            path = pathlib.Path(args.image)
        else:
            path = pathlib.Path(folder) / "one_megapixel.ppm"
            Image.open(ROOT / "tests/data/images/astronaut.ppm").resize((1024, 1024), Image.BICUBIC).save(path)
        array = numpy.asarray(Image.open(path))
        print("%s: %d x %d x %d, %d rounds, 1 thread" % (path.name, array.shape[1], array.shape[0],
                                                           1 if array.ndim == 2 else array.shape[2], args.runs))
        print("%-6s %-7s %12s %12s %12s %12s %9s %9s" % ("q", "call", "C++ median", "Py median", "C++ fastest",
                                                         "Py fastest", "median", "fastest"))
        for q in args.quantization:
            kelvane.decode(kelvane.encode(array, q, threads=1), threads=1)  # warms the process as above
            cpp = {"encode": [], "decode": []}
            py = {"encode": [], "decode": []}
            for _ in range(args.runs):
                # The second of two runs: a process's first calls also
                # fault in fresh memory, which the warm Python process no
                # longer does.
                out = subprocess.run([args.timing, str(path), str(q), "2", "1"], capture_output=True, text=True,
                                     check=True).stdout.split()[2:]
                cpp["encode"].append(float(out[0]))
                cpp["decode"].append(float(out[1]))
                start = time.process_time()
                stream = kelvane.encode(array, q, threads=1)
                middle = time.process_time()
                kelvane.decode(stream, threads=1)
                end = time.process_time()
                py["encode"].append(1000 * (middle - start))
                py["decode"].append(1000 * (end - middle))
            for call in ("encode", "decode"):
                cm, pm = statistics.median(cpp[call]), statistics.median(py[call])
                cf, pf = min(cpp[call]), min(py[call])
                print("%-6g %-7s %9.1f ms %9.1f ms %9.1f ms %9.1f ms %+8.1f%% %+8.1f%%"
                      % (q, call, cm, pm, cf, pf, 100 * (pm / cm - 1), 100 * (pf / cf - 1)))


if __name__ == "__main__":
    main()
