# SPDX-License-Identifier: MIT
"""Every file of ../shared/las through the package, against what an
independent reader found in it (headers.json)."""

from __future__ import annotations

import dataclasses
import errno
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tolvren_lidar as tl
from conftest import EXPECTED, SHARED


def test_header_has_every_field_of_the_files(sample: str) -> None:
    want = EXPECTED[sample]["header"]
    is_1_0, is_1_4 = want["version"] == "1.0", want["version"] == "1.4"
    before_1_2 = want["version"] in ("1.0", "1.1")
    header = tl.read_header(SHARED / sample)
    assert dataclasses.asdict(header) == {
        "path": str(SHARED / sample),
        "version": want["version"],
        "point_format": want["point_format"],
        "compressed": want["compressed"],
        "point_record_length": want["record_length"],
        "extra_bytes": want["extra_bytes"],
        "header_size": want["header_size"],
        "offset_to_point_data": want["offset_to_data"],
        "number_of_vlrs": want["n_vlr"],
        "start_of_waveform_data": want["waveform_start"],
        "start_of_first_evlr": want["evlr_start"],
        "number_of_evlrs": want["evlr_count"],
        "point_count": want["point_count"],
        "points_by_return": tuple(want["by_return_64"] if is_1_4 else want["legacy_by_return"]),
        "legacy_point_count": want["legacy_point_count"],
        "legacy_points_by_return": tuple(want["legacy_by_return"]),
        **{key: tuple(want[key]) for key in ("scale", "offset", "min", "max")},
        "system_identifier": want["system_identifier"],
        "generating_software": want["generating_software"],
        "creation_day": want["creation_day"],
        "creation_year": want["creation_year"],
        "file_source_id": None if is_1_0 else want["file_source_id"],
        "global_encoding": None if before_1_2 else want["global_encoding"],
        "guid": want["guid"],
    }


def test_scan_and_check_agree_with_the_points(sample: str) -> None:
    entry = EXPECTED[sample]
    path = SHARED / sample
    compressed = entry["header"]["compressed"]
    # A LAZ file's points are its uncompressed twin's.
    judged = EXPECTED[sample[:-1] + "s"] if compressed else entry
    want = judged["scan"]
    some = want["whole_records"] > 0
    scanned = tl.scan(path)
    assert tl.scan(path, threads=2) == scanned
    region = ((entry["header"]["offset_to_data"], scanned.region_end, 0) if compressed
              else (want["region_start"], want["region_end"], want["remainder_bytes"]))
    assert scanned == tl.Scan(
        region_start=region[0], region_end=region[1],
        records=want["whole_records"], remainder_bytes=region[2],
        # 8 slots for formats 0-5 there, 16 always here.
        return_histogram=tuple(want["return_number_histogram"] + [0] * 8)[:16],
        points_by_return=tuple(want["by_return_15"]),
        raw_min=tuple(want["raw_min"]) if some else None,
        raw_max=tuple(want["raw_max"]) if some else None,
        real_min=tuple(want["real_min"]) if some else None,
        real_max=tuple(want["real_max"]) if some else None)
    report = tl.check(path, scan=True)
    assert report.ok == judged["consistency"]["consistent"], report
    assert report.errors == sum(f.severity == "error" for f in report.findings)
    assert report.warnings == sum(f.severity == "warning" for f in report.findings)


def test_repair_mends_exactly_what_is_wrong(sample: str, copy) -> None:
    entry = EXPECTED[sample]
    path = copy(sample)
    before = path.read_bytes()
    judged = EXPECTED[sample[:-1] + "s"] if entry["header"]["compressed"] else entry
    planned = tl.repair(path, dry_run=True)
    assert not planned.written and path.read_bytes() == before
    if judged["consistency"]["consistent"]:
        assert planned.changes == () and tl.repair(path).changes == ()
        assert path.read_bytes() == before
        return
    # Each change goes from the value read before to the value read after.
    def value(header: tl.Header, change: tl.Change) -> object:
        field = getattr(header, change.field)
        return field[change.index] if isinstance(field, tuple) else field

    old_header = tl.read_header(path)
    assert planned.changes and all(value(old_header, c) == c.old for c in planned.changes)
    done = tl.repair(path)
    assert done.written and done.changes == planned.changes
    assert all(value(tl.read_header(path), c) == c.new for c in done.changes)
    assert tl.check(path, scan=True).ok
    assert len(path.read_bytes()) == len(before)


def test_readme_example_checks_and_repairs_a_folder(tmp_path: Path) -> None:
    if not EXPECTED:
        pytest.skip(f"no {SHARED}/headers.json")
    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    code = readme.split("## Use from Python")[1].split("```python\n")[1].split("```")[0]
    (tmp_path / "tiles").mkdir()
    for name in EXPECTED:
        shutil.copyfile(SHARED / name, tmp_path / "tiles" / name)
    (tmp_path / "tiles" / "notes.las").write_text("not a LAS file")
    env = dict(os.environ, PYTHONPATH=str(Path(tl.__file__).parents[1]))
    out = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, check=True,
                         capture_output=True, text=True).stdout
    assert "tiles/notes.las: unreadable: " in out
    for name, entry in EXPECTED.items():
        if not entry["header"]["compressed"]:
            assert (f"tiles/{name}: repaired " in out) != entry["consistency"]["consistent"]
            assert tl.check(tmp_path / "tiles" / name, scan=True).ok


def test_a_damaged_laz_file_is_named_and_left_untouched(tmp_path: Path) -> None:
    source = SHARED / "liblas__1.2-with-color.laz"
    if not source.exists():
        pytest.skip(f"no {source}")
    whole = source.read_bytes()
    path = tmp_path / "cut.laz"
    path.write_bytes(whole[:len(whole) // 2])
    with pytest.raises(tl.CorruptDataError) as raised:
        tl.scan(path, threads=2)
    assert raised.value.name == "corrupt" and "chunk 0 (from point 0)" in str(raised.value)
    codes = [f.code for f in tl.check(path, scan=True).findings if f.code.startswith("chunk")]
    assert codes == ["chunk_table_outside_file", "chunk_undecodable"]
    with pytest.raises(tl.RefusedError):
        tl.repair(path)
    assert path.read_bytes() == whole[:len(whole) // 2]
    with pytest.raises(ValueError):
        tl.scan(source, threads=-1)


def test_records_are_those_the_independent_reader_listed(sample: str) -> None:
    entry = EXPECTED[sample]
    records = tl.read_records(SHARED / sample)
    assert records.header == tl.read_header(SHARED / sample)
    for kind in ("vlrs", "evlrs"):
        want = [(r["user_id"], r["record_id"], r["length"], r["description"]) for r in entry[kind] or []]
        got = [(r.user_id, r.record_id, r.length, r.description) for r in getattr(records, kind)]
        assert got == want, kind
    for record in records.vlrs + records.evlrs:
        assert len(tl.read_record_data(SHARED / sample, record)) == record.length


def test_records_decode_the_crs_extra_bytes_and_laszip() -> None:
    path = SHARED / "laspy__1_4_w_evlr.las"
    if not path.exists():
        pytest.skip(f"no {path}")
    crs = tl.read_records(path).crs
    assert crs is not None and crs.source == "wkt"
    assert (crs.horizontal_epsg, crs.vertical_epsg) == (2903, 5703)
    assert crs.linear_unit == tl.Unit(9003, "US survey foot", 1200 / 3937)
    assert crs.wkt is not None and crs.wkt.startswith('PROJCS["NAD83(HARN) / New Mexico Central (ftUS)"')
    dims = tl.read_records(SHARED / "lasr__extra_byte.las").extra_dimensions
    assert [(d.name, d.data_type_name, d.byte_offset, d.scale) for d in dims] == [
        ("Amplitude", "uint16", 0, (0.01,)), ("Pulse width", "uint16", 2, (0.1,))]
    laszip = tl.read_records(SHARED / "liblas__1.2-with-color.laz").laszip
    assert laszip is not None and laszip.valid
    assert [item.name for item in laszip.items] == ["POINT10", "GPSTIME11", "RGB12"]


def test_statistics_count_the_returns_the_independent_reader_found(sample: str) -> None:
    entry = EXPECTED[sample]
    # A LAZ file's points are its uncompressed twin's.
    want = (EXPECTED[sample[:-1] + "s"] if entry["header"]["compressed"] else entry)["scan"]
    stats = tl.statistics(SHARED / sample, threads=2)
    assert stats == tl.statistics(SHARED / sample)
    histogram = want["return_number_histogram"]
    assert [sum(row[r] for row in stats.returns) for r in range(len(histogram))] == histogram
    assert sum(stats.classes) == stats.scan.records == want["whole_records"]
    assert (stats.gps_time is None) == (stats.point_format in (0, 2))
    # Reading the points once for both checks gives the scan's findings and
    # adds those of the points.
    scanned = tl.check(SHARED / sample, scan=True).findings
    both = tl.check(SHARED / sample, scan=True, points=True).findings
    assert [f for f in both if f in scanned] == list(scanned)
    assert {f.code for f in both if f not in scanned} <= {
        "return_number_zero", "return_above_count", "number_of_returns_zero", "points_outside_extents",
        "class_reserved", "gps_time_type_mismatch", "rgb_low_bits_only", "scan_angle_out_of_range"}


def test_decompress_writes_the_twins_records_and_replaces_nothing_unasked(tmp_path: Path) -> None:
    source = SHARED / "laspy__1_4_w_evlr.laz"
    if not source.exists():
        pytest.skip(f"no {source}")
    out = tmp_path / "out.las"
    calls = []
    done = tl.decompress(source, out, threads=2, progress=lambda done, total: calls.append((done, total)))
    size = out.stat().st_size
    assert done == tl.DecompressResult(1000, size, size, 1000, False)
    assert calls[-1][0] == calls[-1][1] > 0

    def records(path: Path) -> bytes:
        header = tl.read_header(path)
        start = header.offset_to_point_data
        return path.read_bytes()[start:start + header.point_count * header.point_record_length]

    assert not tl.read_header(out).compressed
    assert records(out) == records(SHARED / "laspy__1_4_w_evlr.las")
    with pytest.raises(tl.WriteError) as existing:
        tl.decompress(source, out)
    assert existing.value.errno == errno.EEXIST and out.stat().st_size == size
    with pytest.raises(tl.InvalidArgumentError):
        tl.decompress(out, tmp_path / "again.las", force=True)
    assert [p.name for p in tmp_path.iterdir()] == ["out.las"]
