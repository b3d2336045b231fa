# SPDX-License-Identifier: MIT
"""Check, index and repair whole archives of LAS and LAZ tiles on a Dask
cluster.

Each call takes paths (files, glob patterns, or folders, whose ``.las`` and
``.laz`` files below them are taken in the sorted order ``tolvren -r`` uses),
sends them to the cluster's workers in batches, and returns a pandas
DataFrame with one row a file, in the order of the paths, whose columns are
the keys of the JSON objects that ``tolvren check --json``, ``tolvren
repair --json`` and ``tolvren index`` write for it. ``output`` (a path or a
text stream) receives the same rows as JSON Lines, byte for byte as
``tolvren`` writes them, each as soon as those before it are in.

Batches are sized to keep every worker busy without a task for each small
file. A worker that dies loses nothing: the scheduler runs its batch again
elsewhere, and a batch's rows are taken once. Before any work, every worker
must read the same bytes at the first path as the others (and as this
process, when it can read it): a cluster whose workers do not share the
archive at the same path is refused. A repair never works on one file
twice at once: a batch holds a lock of the cluster while it writes, and so
does every file that the paths name more than once.

Without a ``client``, a local cluster of worker processes, one a core, is
started for the call and closed after it. Workers need this package (with
the library); ``index`` also needs the ``tolvren`` program, which reprojects
the footprints through PROJ, on every worker's PATH.

From the command line, with the options of ``tolvren`` and exactly its JSON
Lines (a progress line on standard error when it is a terminal)::

    python3 -m tolvren_lidar.archive --scheduler tcp://HOST:8786 check --scan -r /data/tiles > results.jsonl

Dask (``python3-dask``, ``python3-distributed``) and pandas
(``python3-pandas``) are imported by this module only.
"""

from __future__ import annotations

import argparse
import ctypes
import decimal
import glob
import hashlib
import json
import math
import os
import shutil
import subprocess
import sys
import uuid
from typing import Any, Callable, Dict, IO, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

from . import _bindings as lib
from ._api import PathArg, _encode, _name

Row = Dict[str, Any]
PathsArg = Union[PathArg, Iterable[PathArg]]

#: Batches per worker thread: enough that a worker slowed by large files
#: hands its share to the others, few enough that tasks cost nothing.
BATCHES_PER_THREAD = 8
#: The most files a batch holds: a lost worker's batch is done again, and
#: the rows of a batch come in together.
MAX_BATCH = 2000
#: Bytes of the first file every worker must read alike.
PROBE_BYTES = 1 << 20


# ---------------------------------------------------------------------------
# The paths
# ---------------------------------------------------------------------------

def _is_las_name(name: bytes) -> bool:
    return name[-4:].lower() in (b".las", b".laz")


def _walk(folder: bytes, found: List[Tuple[bytes, str]]) -> None:
    """The LAS and LAZ files below ``folder`` as ``tolvren -r`` finds them:
    linked folders are not followed, linked files are, and a link of such a
    name that leads nowhere is kept (it fails with the reason). A folder
    that cannot be read is an entry of its own, with the reason."""
    subfolders: List[bytes] = []
    try:
        with os.scandir(folder) as entries:
            for entry in entries:
                if not entry.is_symlink() and entry.is_dir():
                    subfolders.append(entry.path)
                elif _is_las_name(entry.name):
                    try:
                        regular = entry.is_file()
                    except OSError:
                        regular = True
                    if regular or (entry.is_symlink() and not os.path.exists(entry.path)):
                        found.append((entry.path, ""))
    except OSError as error:
        shown = os.fsdecode(folder)
        found.append((folder, f"{shown}: cannot read the directory: {error.strerror}"))
    for sub in subfolders:
        _walk(sub, found)


def expand(paths: PathsArg, recursive: bool = True) -> List[Tuple[str, str]]:
    """The inputs ``paths`` stand for, as (path, error) pairs: a folder's
    files (with ``recursive``), a glob pattern's matches (sorted), anything
    else as it is. ``error`` is empty but for a folder that cannot be read."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    inputs: List[Tuple[str, str]] = []
    for path in paths:
        raw = os.fsencode(path)
        if recursive and os.path.isdir(raw):
            found: List[Tuple[bytes, str]] = []
            _walk(raw, found)
            found.sort(key=lambda item: item[0])
            inputs.extend((os.fsdecode(p), e) for p, e in found)
        elif not os.path.lexists(raw) and glob.has_magic(raw):
            for match in sorted(glob.glob(raw, recursive=True)):
                inputs.extend(expand([match], recursive))
        else:
            inputs.append((os.fsdecode(raw), ""))
    return inputs


# ---------------------------------------------------------------------------
# Rows, as tolvren writes its JSON objects
# ---------------------------------------------------------------------------

def _number(value: float) -> str:
    """A double as tolvren writes it: the shortest text that reads back the
    same, in plain digits from 1e-15 to below 1e17, ``.0`` after a whole
    number; null for what JSON cannot hold."""
    if not math.isfinite(value):
        return "null"
    text = repr(value)
    magnitude = abs(value)
    if value == 0 or 1e-15 <= magnitude < 1e17:
        text = format(decimal.Decimal(text), "f")
    if "." not in text and "e" not in text:
        text += ".0"
    return text


def json_line(value: Any) -> str:
    """``value`` as one compact JSON line, as tolvren writes it."""
    out: List[str] = []

    def put(v: Any) -> None:
        if isinstance(v, dict):
            out.append("{")
            for i, (key, item) in enumerate(v.items()):
                out.append(("," if i else "") + json.dumps(key, ensure_ascii=False) + ":")
                put(item)
            out.append("}")
        elif isinstance(v, (list, tuple)):
            out.append("[")
            for i, item in enumerate(v):
                if i:
                    out.append(",")
                put(item)
            out.append("]")
        elif isinstance(v, bool) or v is None:
            out.append(json.dumps(v))
        elif isinstance(v, int):
            out.append(str(v))
        elif isinstance(v, float):
            out.append(_number(v))
        else:
            out.append(json.dumps(str(v), ensure_ascii=False))
    put(value)
    return "".join(out) + "\n"


def _path_members(path: str) -> Row:
    """"path", and "path_bytes" (the bytes in hex) when the name is not
    UTF-8 and "path" shows U+FFFD in their place."""
    raw = os.fsencode(path)
    try:
        raw.decode("utf-8")
        return {"path": path}
    except UnicodeDecodeError:
        return {"path": raw.decode("utf-8", "replace"), "path_bytes": raw.hex()}


def _c_text(raw: bytes) -> str:
    return raw.decode("utf-8", "replace")


def _failure(code: int, message: str) -> Row:
    return {"code": _name("tolvren_error_name", code), "message": message}


def _message(path: str, raw: bytes, code: int, detail: lib.Detail) -> str:
    """The sentence tolvren gives a file it could not work on."""
    if code == -3 and os.path.isdir(raw):  # TOLVREN_ENOTREGULAR
        return f"{path}: is a directory; give -r to take the LAS and LAZ files below it"
    message = _c_text(detail.message)
    return message or f"{path}: {_name('tolvren_strerror', code)}"


def check_row(path: str, scan: bool = False, points: bool = False, walk_error: str = "") -> Row:
    """What ``tolvren check --json`` writes for one file."""
    row = _path_members(path)
    if walk_error:
        return {**row, "ok": False, "findings": [], "error": _failure(-2, walk_error)}
    raw, _ = _encode(path)
    report, detail = lib.Report(), lib.Detail()
    flags = (lib.CHECK_SCAN if scan else 0) | (lib.CHECK_POINTS if points else 0)
    code = lib.library().tolvren_check_file_mt(raw, flags, 1, lib.PROGRESS_FN(0), None,
                                               ctypes.byref(report), ctypes.byref(detail))
    if code < 0:
        return {**row, "ok": False, "findings": [],
                "error": _failure(code, _message(row["path"], raw, code, detail))}
    findings = []
    for i in range(min(report.count, lib.MAX_FINDINGS)):
        f = report.findings[i]
        findings.append({"severity": _name("tolvren_severity_name", f.severity),
                         "code": _name("tolvren_finding_name", f.code), "message": _c_text(f.message)})
    return {**row, "ok": report.errors == 0, "findings": findings}


def repair_row(path: str, dry_run: bool = True, walk_error: str = "") -> Row:
    """What ``tolvren repair --json`` writes for one file."""
    row = _path_members(path)
    if walk_error:
        return {**row, "status": "refused", "changes": [], "error": _failure(-2, walk_error)}
    raw, _ = _encode(path)
    result, detail = lib.RepairResult(), lib.Detail()
    code = lib.library().tolvren_repair_mt(raw, lib.REPAIR_DRY_RUN if dry_run else 0, 1,
                                           lib.PROGRESS_FN(0), None, ctypes.byref(result),
                                           ctypes.byref(detail))
    changes = []
    for i in range(min(result.count, lib.MAX_CHANGES)):
        c = result.changes[i]
        old, new = (c.old_real, c.new_real) if c.is_real else (c.old_count, c.new_count)
        changes.append({"field": _name("tolvren_field_name", c.field), "index": c.index,
                        "old": old, "new": new})
    if code < 0:
        failed = _name("tolvren_error_name", code) in ("write_failed", "restore_failed")
        return {**row, "status": "failed" if failed else "refused",
                "changes": changes if failed else [],
                "error": _failure(code, _message(row["path"], raw, code, detail))}
    status = "unchanged" if result.count == 0 else "would_repair" if dry_run else "repaired"
    return {**row, "status": status, "changes": changes}


def _tolvren() -> str:
    program = os.environ.get("TOLVREN_PROGRAM") or shutil.which("tolvren")
    if not program:
        raise RuntimeError("index needs the tolvren program (Debian: tolvren-lidar-tools) on the PATH of "
                           "every worker, or TOLVREN_PROGRAM naming it")
    return program


def index_rows(paths: Sequence[str], scan: bool = False, check: bool = False) -> List[Row]:
    """The Features ``tolvren index`` writes for these files, in their order."""
    command = [_tolvren(), "index", "-j", "1"]
    command += (["--scan"] if scan else []) + (["--check"] if check else []) + ["--"] + list(paths)
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    if done.returncode not in (0, 1):
        raise RuntimeError(f"tolvren index ended with status {done.returncode}")
    features = json.loads(done.stdout.decode("utf-8"))["features"]
    if len(features) != len(paths):
        raise RuntimeError(f"tolvren index gave {len(features)} features for {len(paths)} files")
    return features


# ---------------------------------------------------------------------------
# Batches on the workers
# ---------------------------------------------------------------------------

# A batch's rows travel back as their JSON Lines: one string is far quicker
# to send than as many dictionaries, and it is what the output takes.

def _check_batch(batch: List[Tuple[str, str]], scan: bool, points: bool) -> str:
    return "".join(json_line(check_row(path, scan, points, error)) for path, error in batch)


def _repair_batch(batch: List[Tuple[str, str]], dry_run: bool, lock_name: str,
                  shared: Dict[str, str]) -> str:
    """Repairs a batch under its lock; a file that the paths name more than
    once also under a lock of its own."""
    from distributed import Lock

    rows: List[Row] = []
    with Lock(lock_name):
        for path, error in batch:
            if path in shared:
                with Lock(shared[path]):
                    rows.append(repair_row(path, dry_run, error))
            else:
                rows.append(repair_row(path, dry_run, error))
    return "".join(json_line(row) for row in rows)


def _index_batch(batch: List[Tuple[str, str]], start: int, scan: bool, check: bool) -> str:
    """The Features of a batch, numbered by their place in the whole run."""
    rows: List[Row] = []
    readable = [path for path, error in batch if not error]
    features = iter(index_rows(readable, scan, check) if readable else [])
    for k, (path, error) in enumerate(batch):
        feature = (next(features) if not error else
                   {"type": "Feature", "id": 0, "geometry": None,
                    "properties": {**_path_members(path), "error": _failure(-2, error)}})
        feature["id"] = start + k
        rows.append(feature)
    return "".join(json_line(row) for row in rows)


def _probe(path: str) -> Tuple[int, str]:
    """The size and a digest of the first bytes of ``path`` as this process
    reads them; (-1, reason) when it cannot."""
    try:
        with open(path, "rb") as f:
            head = f.read(PROBE_BYTES)
            return os.fstat(f.fileno()).st_size, hashlib.sha256(head).hexdigest()
    except OSError as error:
        return -1, f"{error.strerror}"


def _same_archive_everywhere(client: Any, path: str) -> None:
    """Refuses a cluster whose workers do not read the same file at
    ``path`` (another mount, another machine's copy, none at all)."""
    seen = client.run(_probe, path)
    if not seen:
        raise RuntimeError("the cluster has no workers")
    mine = _probe(path)
    views = set(seen.values()) | ({mine} if mine[0] >= 0 else set())
    if len(views) != 1 or next(iter(views))[0] < 0:
        detail = "; ".join(f"{worker}: " + (f"{size} bytes, {digest[:12]}" if size >= 0 else digest)
                           for worker, (size, digest) in sorted(seen.items()))
        raise RuntimeError(f"the workers do not all read the same file at {path} ({detail}): "
                           "mount the archive at the same path on every worker")


def _batches(items: List[Tuple[str, str]], threads: int) -> List[List[Tuple[str, str]]]:
    size = max(1, min(MAX_BATCH, math.ceil(len(items) / max(1, threads * BATCHES_PER_THREAD))))
    return [items[i:i + size] for i in range(0, len(items), size)]


def _writer(output: Union[str, os.PathLike, IO[str], None]) -> Tuple[Optional[IO[str]], bool]:
    if output is None:
        return None, False
    if hasattr(output, "write"):
        return output, False  # type: ignore[return-value]
    return open(output, "w", encoding="utf-8", newline="\n"), True  # type: ignore[arg-type]


def _run(client: Any, items: List[Tuple[str, str]],
         submit: Callable[[Any, int, List[Tuple[str, str]]], Any],
         output: Union[str, os.PathLike, IO[str], None],
         progress: Optional[Callable[[int, int], None]]) -> List[Row]:
    """Runs the batches of ``items`` (``submit(client, start, batch)``
    submits one, ``start`` the place of its first item) and returns their
    rows in order, writing each to ``output`` once every row before it is
    written."""
    from distributed import as_completed

    if not items:
        return []
    threads = sum(client.nthreads().values()) or 1
    batches = _batches(items, threads)
    starts = [sum(len(b) for b in batches[:i]) for i in range(len(batches))]
    futures = {submit(client, starts[i], batch): i for i, batch in enumerate(batches)}
    done: Dict[int, str] = {}  # batches in, not yet written
    taken = set()
    written = 0  # batches written, in order
    rows: List[Row] = []
    stream, close = _writer(output)
    try:
        for future in as_completed(futures):
            index = futures[future]
            if index in taken:  # taken once, whatever the scheduler did
                continue
            taken.add(index)
            done[index] = future.result()
            future.release()
            while written in done:
                lines = done.pop(written)
                written += 1
                if stream is not None:
                    stream.write(lines)
                    stream.flush()
                rows.extend(json.loads(line) for line in lines.splitlines())
            if progress:
                progress(len(rows) + sum(r.count("\n") for r in done.values()), len(items))
    finally:
        if close and stream is not None:
            stream.close()
    return rows


class _Cluster:
    """The client given, or a local cluster of processes for one call."""

    def __init__(self, client: Any) -> None:
        self.client = client
        self.local: Any = None

    def __enter__(self) -> Any:
        if self.client is None:
            from distributed import Client, LocalCluster

            self.local = LocalCluster(n_workers=os.cpu_count() or 1, threads_per_worker=1, processes=True,
                                      dashboard_address=None)
            self.client = Client(self.local)
        return self.client

    def __exit__(self, *_: Any) -> None:
        if self.local is not None:
            self.client.close()
            self.local.close()


def _frame(rows: List[Row]) -> Any:
    import pandas

    return pandas.DataFrame(rows)


def _prepare(client: Any, paths: PathsArg, recursive: bool = True) -> List[Tuple[str, str]]:
    items = expand(paths, recursive)
    first = next((path for path, error in items if not error), None)
    if first is not None:
        _same_archive_everywhere(client, first)
    return items


def _check_rows(client: Any, items: List[Tuple[str, str]], scan: bool, points: bool,
                output: Any, progress: Any) -> List[Row]:
    return _run(client, items, lambda c, start, batch: c.submit(_check_batch, batch, scan, points, pure=False),
                output, progress)


def _repair_rows(client: Any, items: List[Tuple[str, str]], dry_run: bool, output: Any,
                 progress: Any) -> List[Row]:
    run = uuid.uuid4().hex
    # Files named more than once (other spellings, hard links) get a lock
    # of their own, by their identity.
    identity: Dict[str, Tuple[int, int]] = {}
    for path, error in items:
        try:
            st = os.stat(path)
            identity[path] = (st.st_dev, st.st_ino)
        except OSError:
            pass
    counts: Dict[Tuple[int, int], int] = {}
    for key in identity.values():
        counts[key] = counts.get(key, 0) + 1
    shared = {path: f"tolvren-repair-{run}-file-{key[0]}-{key[1]}"
              for path, key in identity.items() if counts[key] > 1}
    return _run(client, items,
                lambda c, start, batch: c.submit(_repair_batch, batch, dry_run,
                                                 f"tolvren-repair-{run}-batch-{start}",
                                                 {p: shared[p] for p, _ in batch if p in shared}, pure=False),
                output, progress)


def _index_rows(client: Any, items: List[Tuple[str, str]], scan: bool, check: bool, output: Any,
                progress: Any) -> List[Row]:
    return _run(client, items,
                lambda c, start, batch: c.submit(_index_batch, batch, start, scan, check, pure=False),
                output, progress)


def check(paths: PathsArg, scan: bool = False, client: Any = None, points: bool = False,
          output: Union[str, os.PathLike, IO[str], None] = None,
          progress: Optional[Callable[[int, int], None]] = None) -> Any:
    """``tolvren check`` (``--scan``, ``--points``) over an archive: a
    DataFrame of ``path``, ``ok``, ``findings`` (and ``error`` where a file
    could not be checked), one row a file in the order of the paths."""
    with _Cluster(client) as c:
        items = _prepare(c, paths)
        return _frame(_check_rows(c, items, scan, points, output, progress))


def repair(paths: PathsArg, dry_run: bool = True, client: Any = None,
           output: Union[str, os.PathLike, IO[str], None] = None,
           progress: Optional[Callable[[int, int], None]] = None) -> Any:
    """``tolvren repair`` over an archive, a dry run unless ``dry_run`` is
    false: a DataFrame of ``path``, ``status``, ``changes`` (and ``error``)."""
    with _Cluster(client) as c:
        items = _prepare(c, paths)
        return _frame(_repair_rows(c, items, dry_run, output, progress))


def index(paths: PathsArg, client: Any = None, scan: bool = False, check: bool = False,
          output: Union[str, os.PathLike, IO[str], None] = None,
          progress: Optional[Callable[[int, int], None]] = None) -> Any:
    """``tolvren index`` over an archive: a DataFrame of the footprints'
    properties (``path``, ``crs``, ``area_m2``, ...) and their ``geometry``
    (a GeoJSON geometry in WGS 84, or None), one row a file. ``output``
    receives the Features as JSON Lines."""
    with _Cluster(client) as c:
        items = _prepare(c, paths)
        features = _index_rows(c, items, scan, check, output, progress)
    return _frame([{**f.get("properties", {}), "geometry": f.get("geometry")} for f in features])


# ---------------------------------------------------------------------------
# The command line
# ---------------------------------------------------------------------------

def _progress_line() -> Optional[Callable[[int, int], None]]:
    if not sys.stderr.isatty():
        return None

    def show(done: int, total: int) -> None:
        sys.stderr.write(f"\r{done} of {total} files")
        sys.stderr.flush()
    return show


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python3 -m tolvren_lidar.archive",
        description="Run tolvren check, repair or index over an archive on a Dask cluster; "
                    "its JSON Lines on standard output.")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="the scheduler (tcp://HOST:8786); without it, a local cluster of processes")
    commands = parser.add_subparsers(dest="command", required=True)
    for name, help_text in (("check", "Check each header against its file"),
                            ("repair", "Repair the counts and extents of each file"),
                            ("index", "The footprint of each file as a GeoJSON Feature")):
        command = commands.add_parser(name, help=help_text)
        command.add_argument("files", nargs="+", metavar="FILE")
        command.add_argument("-r", "--recursive", action="store_true",
                             help="take directories: every file below them ending in .las or .laz")
        if name in ("check", "index"):
            command.add_argument("--scan", action="store_true", help="also read the point records")
        if name == "check":
            command.add_argument("--points", action="store_true", help="also judge the points' own fields")
        if name == "index":
            command.add_argument("--check", action="store_true", help="with each file's findings")
        if name == "repair":
            command.add_argument("--dry-run", action="store_true", help="say what would change, write nothing")
    args = parser.parse_args(argv)

    client = None
    if args.scheduler:
        from distributed import Client

        client = Client(args.scheduler)
    progress = _progress_line()
    try:
        with _Cluster(client) as c:
            items = _prepare(c, args.files, args.recursive)
            if not items:
                sys.stderr.write("tolvren: no .las or .laz files in the directories given\n")
                return 0
            if args.command == "check":
                rows = _check_rows(c, items, args.scan, args.points, sys.stdout, progress)
                failed = sum(1 for row in rows if not row["ok"])
            elif args.command == "repair":
                rows = _repair_rows(c, items, args.dry_run, sys.stdout, progress)
                failed = sum(1 for row in rows if row["status"] in ("refused", "failed") or
                             (args.dry_run and row["status"] == "would_repair"))
            else:
                rows = _index_rows(c, items, args.scan, args.check, sys.stdout, progress)
                failed = sum(1 for row in rows if "error" in row.get("properties", {}) or
                             row.get("properties", {}).get("errors", 0) > 0)
    except RuntimeError as error:
        sys.stderr.write(f"tolvren: {error}\n")
        return 1
    finally:
        if progress:
            sys.stderr.write("\r\033[K")
        if client is not None:
            client.close()
    for row in rows:
        if "error" in row:
            sys.stderr.write(f"tolvren: {row['error']['message']}\n")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
