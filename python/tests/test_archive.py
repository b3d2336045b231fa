# SPDX-License-Identifier: MIT
"""The archive module on a local cluster of two worker processes: its rows
against tolvren's JSON Lines for the same files, a worker killed in the
middle of a run, repairs through the cluster against local ones, and a
cluster whose workers see another file."""

from __future__ import annotations

import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Iterator, List, Tuple

import pytest

distributed = pytest.importorskip("distributed", reason="Dask is not installed (Debian: python3-distributed)")
pytest.importorskip("pandas", reason="pandas is not installed (Debian: python3-pandas)")

import tolvren_lidar as tl  # noqa: E402
from tolvren_lidar import archive  # noqa: E402

SAMPLE = Path(__file__).resolve().parents[2] / "examples" / "sample.las"
TOLVREN = os.environ.get("TOLVREN_PROGRAM")


@pytest.fixture(scope="module")
def client() -> Iterator[distributed.Client]:
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


def tiles(folder: Path, count: int) -> List[Path]:
    """Copies of the sample file; every third has a stale first-return
    count, every fifth extents a metre off."""
    folder.mkdir()
    made = []
    for i in range(count):
        data = bytearray(SAMPLE.read_bytes())
        if i % 3 == 1:
            struct.pack_into("<I", data, 111, 7)
        if i % 5 == 2:
            struct.pack_into("<d", data, 179, struct.unpack_from("<d", data, 179)[0] + 1.0)
        path = folder / f"tile{i:03}.las"
        path.write_bytes(bytes(data))
        made.append(path)
    return made


def tolvren_lines(*args: str) -> str:
    return subprocess.run([TOLVREN, *args], stdout=subprocess.PIPE, check=False).stdout.decode()


@pytest.mark.skipif(not TOLVREN, reason="TOLVREN_PROGRAM names no tolvren program to compare with")
def test_rows_are_the_json_lines_of_tolvren(client: distributed.Client, tmp_path: Path) -> None:
    tiles(tmp_path / "tiles", 40)
    (tmp_path / "tiles" / "nested").mkdir()
    (tmp_path / "tiles" / "nested" / "not las.LAZ").write_bytes(b"not a LAS file")
    (tmp_path / "tiles" / os.fsdecode(b"x\xff.las")).write_bytes(SAMPLE.read_bytes())
    folder = str(tmp_path / "tiles")
    out = tmp_path / "rows.jsonl"
    for run, args in (
            (lambda: archive.check(folder, scan=True, client=client, output=out),
             ["check", "--json", "--scan", "-r", folder]),
            (lambda: archive.repair(folder, client=client, output=out),
             ["repair", "--json", "--dry-run", "-r", folder])):
        frame = run()
        # The lines byte for byte; the frame's rows are their objects.
        assert out.read_text() == tolvren_lines(*args)
        assert [{k: v for k, v in row.items() if not _missing(v)} for row in frame.to_dict("records")] == \
            [json.loads(line) for line in out.read_text().splitlines()]
    archive.check([folder + "/tile00*.las", tmp_path / "missing.las"], client=client, output=out)
    assert out.read_text() == tolvren_lines("check", "--json", *sorted(
        str(p) for p in (tmp_path / "tiles").glob("tile00*.las")), str(tmp_path / "missing.las"))
    features = archive.index(folder, client=client)
    assert list(features["path"]) == sorted(features["path"], key=os.fsencode)
    assert features["geometry"].notna().sum() == 41


def _missing(value: object) -> bool:
    """A cell pandas filled in for a row without the key."""
    return isinstance(value, float) and value != value


# Runs on the workers: a batch that takes its time, so that a worker can be
# killed while it is at it.
def slow_check_batch(batch: List[Tuple[str, str]]) -> list:
    time.sleep(0.4)
    return archive._check_batch(batch, True, False)


def test_a_killed_worker_loses_no_file(client: distributed.Client, tmp_path: Path) -> None:
    import cloudpickle

    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    items = [(str(p), "") for p in tiles(tmp_path / "tiles", 64)]
    victim = sorted(client.scheduler_info()["workers"])[0]
    pid = client.run(os.getpid, workers=[victim])[victim]
    killer = threading.Timer(0.8, os.kill, (pid, signal.SIGKILL))
    killer.start()
    try:
        rows = archive._run(client, items, lambda c, start, batch: c.submit(slow_check_batch, batch, pure=False),
                            None, None)
    finally:
        killer.cancel()
    assert [row["path"] for row in rows] == [path for path, _ in items]
    assert [row["ok"] for row in rows] == [i % 3 != 1 and i % 5 != 2 for i in range(64)]
    client.wait_for_workers(2, timeout=30)
    assert pid not in client.run(os.getpid).values()  # the victim was killed, and replaced


def test_a_repair_through_the_cluster_is_the_local_repair(client: distributed.Client, tmp_path: Path) -> None:
    remote, local = tiles(tmp_path / "remote", 12), tiles(tmp_path / "local", 12)
    os.link(remote[1], tmp_path / "remote" / "again.las")  # one file named twice
    frame = archive.repair([str(p) for p in remote] + [str(tmp_path / "remote" / "again.las")],
                           dry_run=False, client=client)
    for path in local:
        tl.repair(path)
    assert [p.read_bytes() for p in remote] == [p.read_bytes() for p in local]
    assert list(frame["status"])[1::11] == ["repaired", "unchanged"]
    assert tl.check(remote[1], scan=True).ok


class SplitView:
    """A client whose workers read different files at one path."""

    def run(self, function, path):  # type: ignore[no-untyped-def]
        return {"tcp://a:1": function(path), "tcp://b:1": (-1, "No such file or directory")}


def test_workers_that_see_another_archive_are_refused(tmp_path: Path) -> None:
    shutil.copyfile(SAMPLE, tmp_path / "a.las")
    with pytest.raises(RuntimeError, match="tcp://b:1: No such file or directory"):
        archive._prepare(SplitView(), [tmp_path / "a.las"])
