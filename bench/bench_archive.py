# SPDX-License-Identifier: MIT
"""Files per second of tolvren_lidar.archive.check on a local Dask cluster
of worker processes against ``tolvren check -j N`` on the same files.

    python3 bench/bench_archive.py DIR --tolvren build/tolvren/tolvren [--files 100000] [--workers 2]

Writes DIR/tiles/ (copies of examples/sample.las, about 11 KB each) unless
it holds as many already, reads them once so that they are in the page
cache, then times each side three times and keeps the best: the program
writing its JSON Lines to /dev/null, and archive.check (walking the folder,
checking that every worker sees the same first file, the batches on the
cluster, the frame) on a cluster started beforehand, as a cluster serving
many runs would be. The target: the cluster at least half the program's
rate. Needs python3-dask, python3-distributed and python3-pandas, and the
library (TOLVREN_LIDAR_LIBRARY, or an installed package).
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
import time
from pathlib import Path

import distributed

from tolvren_lidar import archive

SAMPLE = Path(__file__).resolve().parents[1] / "examples" / "sample.las"


def best_of(runs: int, work) -> float:  # type: ignore[no-untyped-def]
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        work()
        best = min(best, time.perf_counter() - start)
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dir", type=Path)
    parser.add_argument("--tolvren", required=True)
    parser.add_argument("--files", type=int, default=100_000)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()

    tiles = args.dir / "tiles"
    if not tiles.is_dir() or sum(1 for _ in tiles.iterdir()) != args.files:
        shutil.rmtree(tiles, ignore_errors=True)
        tiles.mkdir(parents=True)
        data = SAMPLE.read_bytes()
        for i in range(args.files):
            (tiles / f"t{i:06}.las").write_bytes(data)
    for path in tiles.iterdir():  # into the page cache
        path.read_bytes()

    def program() -> None:
        subprocess.run([args.tolvren, "check", "--json", "-j", str(args.workers), "-r", str(tiles)],
                       stdout=subprocess.DEVNULL, check=False)

    program_s = best_of(3, program)
    cluster = distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                       dashboard_address=None)
    with distributed.Client(cluster) as client:
        archive.check(str(tiles / "t00000*.las"), client=client)  # workers import the package
        rows = []
        cluster_s = best_of(3, lambda: rows.append(len(archive.check(str(tiles), client=client))))
    cluster.close()
    assert rows[-1] == args.files, rows
    program_rate, cluster_rate = args.files / program_s, args.files / cluster_s
    print(f"tolvren check -j {args.workers}: {program_s:.2f} s, {program_rate:,.0f} files/s")
    print(f"archive.check, {args.workers} worker processes: {cluster_s:.2f} s, {cluster_rate:,.0f} files/s "
          f"({cluster_rate / args.workers:,.0f} a worker)")
    print(f"cluster / program: {cluster_rate / program_rate:.2f} (target: at least 0.5)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
