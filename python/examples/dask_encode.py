#!/usr/bin/env python3
"""Encodes image files to kelvane streams on a Dask cluster.

    dask_encode.py [--scheduler tcp://HOST:8786] [--workers N] [--threads T]
                   OUTDIR QUANTIZATION IMAGE...

Maps kelvane.encode_file over the images, writing OUTDIR/<name>.kv2; the
paths must mean the same on every worker (shared storage). Without
--scheduler it starts a LocalCluster of N worker processes (default 2).
Workers need the kelvane package importable (installed, or PYTHONPATH).
Prints the images and input megabytes per second.
"""
import argparse
import collections
import os
import time

from distributed import Client, LocalCluster

import kelvane


def encode_one(image, stream, quantization, threads):
    """Encodes one file on a worker; returns the stream's path."""
    kelvane.encode_file(image, stream, quantization, threads=threads)
    return stream


def stream_paths(images, out):
    """OUT/<name>.kv2 for every image; ValueError when two would be the same."""
    streams = [os.path.join(out, os.path.splitext(os.path.basename(p))[0] + ".kv2") for p in images]
    shared = sorted(s for s, n in collections.Counter(streams).items() if n > 1)
    if shared:
        raise ValueError("images of the same name would share a stream: " + ", ".join(shared))
    return streams


def encode_all(client, images, out, quantization, threads=0):
    """Encodes every image on the client's cluster; returns the streams' paths."""
    streams = stream_paths(images, out)
    futures = client.map(encode_one, images, streams, quantization=quantization, threads=threads, pure=False)
    client.gather(futures)  # raises the first failure (a kelvane.KelvaneError)
    return streams


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--scheduler", help="a running scheduler's address, e.g. tcp://host:8786")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes (without --scheduler)")
    parser.add_argument("--threads", type=int, default=0, help="encoder threads per image (0: every core)")
    parser.add_argument("out")
    parser.add_argument("quantization", type=float)
    parser.add_argument("images", nargs="+")
    args = parser.parse_args()
    images = [os.path.abspath(p) for p in args.images]
    out = os.path.abspath(args.out)
    try:
        stream_paths(images, out)
    except ValueError as error:
        parser.error(str(error))
    os.makedirs(out, exist_ok=True)
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        client = Client(LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                     dashboard_address=None))
    with client:
        client.wait_for_workers(1)
        start = time.perf_counter()
        encode_all(client, images, out, args.quantization, args.threads)
        seconds = time.perf_counter() - start
    megabytes = sum(os.path.getsize(p) for p in images) / 1e6
    print("%d images, %.2f MB in %.2f s: %.2f images/s, %.2f MB/s"
          % (len(images), megabytes, seconds, len(images) / seconds, megabytes / seconds))


if __name__ == "__main__":
    main()
