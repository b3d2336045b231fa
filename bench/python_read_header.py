#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Files per second of tolvren_lidar.read_header over many small cached LAS
files, and of `tolvren info --json` over the same files when given its path.

    TOLVREN_LIDAR_LIBRARY=build/libTolvren_LiDAR.so.1 PYTHONPATH=python \\
      python3 bench/python_read_header.py /tmp/tiles [--files 10000] [--tolvren build/tolvren/tolvren]

The copies of the source file (examples/sample.las unless --source) are made
once in the folder and read once before timing, so that every run reads from
the page cache. Each figure is the best of --repeat runs.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Callable, List

import tolvren_lidar

ROOT = Path(__file__).resolve().parents[1]


def make_files(folder: Path, source: Path, count: int) -> List[Path]:
    folder.mkdir(parents=True, exist_ok=True)
    paths = [folder / f"tile_{i:05d}.las" for i in range(count)]
    for path in paths:
        if not path.exists() or path.stat().st_size != source.stat().st_size:
            shutil.copyfile(source, path)
    for path in paths:  # into the page cache
        path.read_bytes()
    return paths


def report(label: str, work: Callable[[], None], files: int, repeat: int) -> None:
    """Prints the files per second of the best of `repeat` runs of work()."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        work()
        best = min(best, time.perf_counter() - start)
    print(f"{label:<30}{files / best:10.0f} files/s")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", type=Path, help="where the copies are made (kept for reuse)")
    parser.add_argument("--files", type=int, default=10000)
    parser.add_argument("--source", type=Path, default=ROOT / "examples" / "sample.las")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--tolvren", type=Path, help="the tolvren program, to time info --json too")
    args = parser.parse_args()

    paths = make_files(args.folder, args.source, args.files)
    names = [str(p) for p in paths]
    print(f"{args.files} copies of {args.source.name} ({args.source.stat().st_size} bytes), "
          f"best of {args.repeat}, {os.cpu_count()} cores")

    def sequential() -> None:
        for name in names:
            tolvren_lidar.read_header(name)

    report("read_header, 1 thread", sequential, len(names), args.repeat)
    threads = os.cpu_count() or 1
    with ThreadPoolExecutor(threads) as pool:
        def threaded() -> None:
            for _ in pool.map(tolvren_lidar.read_header, names, chunksize=256):
                pass
        report(f"read_header, {threads} threads", threaded, len(names), args.repeat)

    if args.tolvren:
        for jobs in sorted({1, threads}):
            def program() -> None:
                subprocess.run([str(args.tolvren), "info", "--json", "-j", str(jobs), *names],
                               stdout=subprocess.DEVNULL, check=True)
            report(f"tolvren info --json -j {jobs}", program, len(names), args.repeat)
    return 0


if __name__ == "__main__":
    sys.exit(main())
