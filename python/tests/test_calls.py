# SPDX-License-Identifier: MIT
"""Calls through the bindings: errors, paths and progress callbacks."""

from __future__ import annotations

import datetime
import errno
import itertools
import os
import uuid
from pathlib import Path

import pytest

import tolvren_lidar as tl
from tolvren_lidar import _api

SAMPLE = Path(__file__).resolve().parents[2] / "examples" / "sample.las"


def test_errors_carry_the_library_code_family_and_file(tmp_path: Path) -> None:
    not_las = tmp_path / "notes.las"
    not_las.write_bytes(b"LAS? " + bytes(400))
    future = tmp_path / "future.las"
    future.write_bytes(b"LASF" + bytes(20) + bytes([1, 9]) + bytes(400))
    cases = [
        (tmp_path / "missing.las", tl.FileAccessError, "open_failed", errno.ENOENT),
        (tmp_path, tl.FileAccessError, "not_regular_file", 0),
        (not_las, tl.InvalidFileError, "not_las", 0),
        (future, tl.InvalidFileError, "unsupported_version", 0),
    ]
    for path, family, name, sys_errno in cases:
        with pytest.raises(family) as raised:
            tl.read_header(path)
        error = raised.value
        assert isinstance(error, tl.TolvrenError) and error.code < 0
        assert (error.name, error.errno, error.path) == (name, sys_errno, str(path))
        assert str(path) in str(error)


def test_every_library_error_has_a_family() -> None:
    # Families go by the library's error names: a name it changed or added
    # would otherwise fall back to the bare TolvrenError.
    names = itertools.takewhile(lambda name: name != "unknown", (
        _api._name("tolvren_error_name", code) for code in itertools.count(-1, -1)))
    assert sorted(names) == sorted(_api._FAMILIES)


def test_paths_as_str_bytes_and_pathlike() -> None:
    by_path = tl.read_header(SAMPLE)
    assert tl.read_header(os.fsencode(SAMPLE)) == tl.read_header(str(SAMPLE)) == by_path
    assert by_path.path == str(SAMPLE)
    with pytest.raises(ValueError, match="null byte"):
        tl.read_header(str(SAMPLE) + "\0ignored")


def test_progress_can_cancel_and_passes_exceptions_through(tmp_path: Path) -> None:
    calls = []

    def cancel(done: int, total: int) -> bool:
        calls.append((done, total))
        return True

    with pytest.raises(tl.CanceledError) as canceled:
        tl.scan(SAMPLE, progress=cancel)
    assert canceled.value.name == "canceled" and len(calls) == 1

    def broken(done: int, total: int) -> None:
        calls.append((done, total))
        raise KeyError("from the callback")

    # The sample is one block of the scan: with 2 MiB of zeroed records
    # after it the scan takes several, so a callback that raised and was
    # not heeded would be called again, and the repair would then write.
    grown = tmp_path / "grown.las"
    length = tl.read_header(SAMPLE).point_record_length
    original = SAMPLE.read_bytes() + bytes((2 << 20) // length * length)
    grown.write_bytes(original)
    calls.clear()
    with pytest.raises(KeyError, match="from the callback"):
        tl.repair(grown, progress=broken)
    assert len(calls) == 1 and grown.read_bytes() == original
    assert tl.repair(grown, dry_run=True).changes

    calls.clear()
    done = tl.scan(SAMPLE, progress=lambda done, total: calls.append((done, total)))
    total = done.records * tl.read_header(SAMPLE).point_record_length
    assert done.records > 0 and calls[-1] == (total, total)


def test_set_fields_writes_what_it_is_given_and_refuses_the_rest(tmp_path: Path) -> None:
    path = tmp_path / "sample.las"
    path.write_bytes(SAMPLE.read_bytes())
    original, read = path.read_bytes(), tl.read_header(path)
    project = uuid.UUID("01234567-89ab-cdef-0123-456789abcdef")
    planned = tl.set_fields(path, system_identifier="PY", creation_date=datetime.date(2024, 12, 31),
                            guid=project, gps_time_adjusted=True, dry_run=True)
    assert planned.changed == ("system_identifier", "creation_date", "guid", "gps_time_type")
    assert not planned.written and path.read_bytes() == original and planned.before == read
    done = tl.set_fields(path, system_identifier="PY", creation_date=(2024, 366),
                         guid=project.bytes_le, gps_time_adjusted=True)
    assert done.written and done.changed == planned.changed
    assert done.after == planned.after == tl.read_header(path)
    after = done.after
    assert (after.system_identifier, after.creation_year, after.creation_day, after.guid,
            after.global_encoding) == ("PY", 2024, 366, str(project), read.global_encoding | 1)
    # The sample is LAS 1.2, which has no WKT bit: nothing is written.
    with pytest.raises(tl.FieldError) as refused:
        tl.set_fields(path, file_source_id=1, wkt=True)
    assert refused.value.name == "field" and isinstance(refused.value, tl.InvalidArgumentError)
    assert tl.read_header(path).file_source_id == read.file_source_id
    for wrong in ({"system_identifier": "a\0b"}, {"file_source_id": 65536}, {"guid": b"short"}):
        with pytest.raises(ValueError):
            tl.set_fields(path, **wrong)
