# SPDX-License-Identifier: MIT
"""Reading, checking, repairing and setting LAS headers with libTolvren_LiDAR.

Each function makes one call of the C header API and hands back its result
as frozen dataclasses, or raises a TolvrenError carrying the library's code
and sentence. ctypes releases the GIL for the call, and every call owns its
structures, so threads may work on different files at the same time.
"""

from __future__ import annotations

import ctypes
import datetime
import functools
import os
import uuid
from dataclasses import dataclass
from typing import Callable, Dict, Optional, Tuple, Type, Union

from . import _bindings as lib

#: A file path as the standard library takes it.
PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
#: progress(bytes_done, bytes_total); a true result cancels the call.
Progress = Callable[[int, int], Optional[bool]]
XYZ = Tuple[float, float, float]
RawXYZ = Tuple[int, int, int]


class TolvrenError(Exception):
    """A call of the library failed.

    ``code`` is the library's negative error code, ``name`` its stable
    machine-readable name (such as ``"not_las"``), ``message`` the library's
    sentence naming the file, ``errno`` the failing system call's errno (0
    when none) and ``path`` the path as given.
    """

    def __init__(self, code: int, name: str, message: str, errno: int = 0,
                 path: str = "") -> None:
        # All five in args, so that the error survives pickling (a process pool).
        super().__init__(code, name, message, errno, path)
        self.code = code
        self.name = name
        self.message = message
        self.errno = errno
        self.path = path

    def __str__(self) -> str:
        return self.message


class InvalidArgumentError(TolvrenError):
    """The library refused an argument (``invalid_argument``)."""


class FileAccessError(TolvrenError):
    """The file cannot be opened or read, or is not a regular file."""


class InvalidFileError(TolvrenError):
    """The file is not a LAS 1.0-1.4 file whose header the library can read:
    no signature, another version, a short header, an unknown format or a
    record shorter than its format's."""


class FieldError(InvalidArgumentError):
    """A value a header field cannot hold, or a field the file's version
    does not have (or its point format forbids) (``field``): set_fields
    left the file untouched."""


class RefusedError(TolvrenError):
    """The operation declined the file and left it untouched: compressed
    point data that cannot be decoded, a layout that does not fit the file,
    a file that changed during the call, (repair before LAS 1.4) more
    records than a 32-bit count can say, or (repair) a min above its max on
    an axis whose scale gives no coordinate to mend it with."""


class CorruptDataError(RefusedError):
    """Compressed point data are damaged: a chunk does not decode to its
    points, or the chunk table is missing or contradicts the chunks. A scan
    has no complete numbers; a repair leaves the file untouched (check()
    lists what is wrong)."""


class CanceledError(TolvrenError):
    """The progress callback asked to stop."""


class OutOfMemoryError(TolvrenError):
    """The library had no memory for its buffers."""


class WriteError(TolvrenError):
    """Writing failed. A repaired header holds its original bytes, except
    with ``restore_failed``, where it may be damaged; a decompression leaves
    no output (``write_open_failed`` with errno EEXIST: the output exists and
    ``force`` was not given)."""


# The family of each error, by the stable name tolvren_error_name gives it.
_FAMILIES: Dict[str, Type[TolvrenError]] = {
    "invalid_argument": InvalidArgumentError,
    "field": FieldError,
    "open_failed": FileAccessError,
    "not_regular_file": FileAccessError,
    "read_failed": FileAccessError,
    "not_las": InvalidFileError,
    "unsupported_version": InvalidFileError,
    "header_too_short": InvalidFileError,
    "unknown_point_format": InvalidFileError,
    "record_too_short": InvalidFileError,
    "compressed": RefusedError,
    "bad_layout": RefusedError,
    "file_changed": RefusedError,
    "too_many_points": RefusedError,
    "corrupt": CorruptDataError,
    "extent_unrepairable": RefusedError,
    "canceled": CanceledError,
    "out_of_memory": OutOfMemoryError,
    "write_open_failed": WriteError,
    "write_failed": WriteError,
    "restore_failed": WriteError,
}


@dataclass(frozen=True)
class Header:
    """A public header, with the fields, names and meaning of
    ``tolvren info --json``; fields the file's version lacks are None.
    ``dataclasses.asdict`` gives the same keys."""

    path: str
    version: str
    point_format: int
    compressed: bool
    point_record_length: int
    extra_bytes: int
    header_size: int
    offset_to_point_data: int
    number_of_vlrs: int
    start_of_waveform_data: Optional[int]
    start_of_first_evlr: Optional[int]
    number_of_evlrs: Optional[int]
    point_count: int
    points_by_return: Tuple[int, ...]
    legacy_point_count: int
    legacy_points_by_return: Tuple[int, int, int, int, int]
    scale: XYZ
    offset: XYZ
    min: XYZ
    max: XYZ
    system_identifier: str
    generating_software: str
    creation_day: int
    creation_year: int
    file_source_id: Optional[int]
    global_encoding: Optional[int]
    guid: str


@dataclass(frozen=True)
class Scan:
    """What the whole point records between ``region_start`` and
    ``region_end`` say. The extents are None when there is no record; the
    real ones are in order whatever the sign of the scale (with a negative
    scale, ``raw_max`` gives ``real_min``)."""

    region_start: int
    region_end: int
    records: int
    remainder_bytes: int
    return_histogram: Tuple[int, ...]
    points_by_return: Tuple[int, ...]
    raw_min: Optional[RawXYZ]
    raw_max: Optional[RawXYZ]
    real_min: Optional[XYZ]
    real_max: Optional[XYZ]


@dataclass(frozen=True)
class Finding:
    """One finding of a check: ``severity`` is ``"error"`` or ``"warning"``,
    ``code`` a stable name such as ``"legacy_mirrored"``."""

    severity: str
    code: str
    message: str


@dataclass(frozen=True)
class Report:
    """The findings of a check; ``errors`` and ``warnings`` count them."""

    findings: Tuple[Finding, ...]
    errors: int
    warnings: int

    @property
    def ok(self) -> bool:
        """True when the check found no error (warnings allowed)."""
        return self.errors == 0


@dataclass(frozen=True)
class Change:
    """A header field a repair rewrote (or, in a dry run, would): ``field``
    is ``"point_count"``, ``"points_by_return"``, ``"legacy_point_count"``,
    ``"legacy_points_by_return"``, ``"min"`` or ``"max"``; ``index`` the
    element of an array field (0 otherwise)."""

    field: str
    index: int
    old: Union[int, float]
    new: Union[int, float]


@dataclass(frozen=True)
class RepairResult:
    """What a repair changed, whether it wrote, and the scan it went by."""

    changes: Tuple[Change, ...]
    written: bool
    scan: Scan


@dataclass(frozen=True)
class SetResult:
    """What set_fields changed (with ``dry_run``: would change): ``changed``
    names the fields whose bytes change, in the library's order
    (``"file_source_id"``, ``"system_identifier"``,
    ``"generating_software"``, ``"creation_date"``, ``"guid"``,
    ``"gps_time_type"``, ``"wkt"``); ``before`` is the header as read,
    ``after`` as it is (or would be) after."""

    changed: Tuple[str, ...]
    written: bool
    before: Header
    after: Header


@dataclass(frozen=True)
class DecompressResult:
    """What a decompression wrote: the point records (those the chunks
    hold), the bytes of the output and its size once in place, the point
    count the input's header gave, and whether a count field of the output
    (point count, by-return counts, 1.4 legacy fields) differs from the
    input's."""

    points: int
    bytes_written: int
    output_size: int
    header_point_count: int
    counts_changed: bool


@functools.lru_cache(maxsize=None)
def _name(function: str, code: int) -> str:
    """A static name from the library, such as tolvren_finding_name(code)."""
    return lib.text(lib.function(function)(code))


def _encode(path: PathArg) -> Tuple[bytes, str]:
    """The path as the C functions take it, and as the results show it."""
    raw = os.fsencode(path)
    if b"\0" in raw:
        # ctypes would cut the path there and open another file.
        raise ValueError("embedded null byte in path")
    return raw, os.fsdecode(os.fspath(path))


def _error(code: int, detail: lib.Detail, path: str) -> TolvrenError:
    message = detail.message.decode("utf-8", "replace") or _name("tolvren_strerror", code)
    name = _name("tolvren_error_name", code)
    return _FAMILIES.get(name, TolvrenError)(code, name, message, detail.sys_errno, path)


#: A NULL tolvren_progress_fn (ctypes takes no None for a function pointer).
_NO_PROGRESS = lib.PROGRESS_FN(0)


class _Progress:
    """A Python progress callback as a C function pointer, kept alive for
    the call. An exception raised by the callback cannot cross the C code:
    it stops the call (as a cancel) and is raised again after it."""

    def __init__(self, callback: Optional[Progress]) -> None:
        self.error: Optional[BaseException] = None
        self.pointer: object = _NO_PROGRESS
        if callback is None:
            return
        report = callback

        def call(done: int, total: int, _user: Optional[int]) -> int:
            try:
                return 1 if report(done, total) else 0
            except BaseException as error:  # KeyboardInterrupt too
                self.error = error
                return 1

        self.pointer = lib.PROGRESS_FN(call)

    def raise_pending(self) -> None:
        error, self.error = self.error, None
        if error is not None:
            raise error


def _run(function: str, path: PathArg, middle: object, threads: int,
         progress: Optional[Progress], out: ctypes.Structure) -> None:
    """Calls one of the API's file functions that take (path, middle,
    threads, progress, user, out, detail) and raises what it returns."""
    if threads < 0:
        raise ValueError("threads cannot be negative")
    raw, shown = _encode(path)
    detail = lib.Detail()
    guard = _Progress(progress)
    code = getattr(lib.library(), function)(raw, middle, threads, guard.pointer, None,
                                            ctypes.byref(out), ctypes.byref(detail))
    guard.raise_pending()
    if code < 0:
        raise _error(code, detail, shown)


def _guid(g: bytes) -> str:
    """The GUID as 8-4-4-4-12 hex: the first three groups are little-endian
    numbers (so their bytes are shown reversed), the last eight bytes are
    shown as stored."""
    return f"{g[3::-1].hex()}-{g[5:3:-1].hex()}-{g[7:5:-1].hex()}-{g[8:10].hex()}-{g[10:].hex()}"


def _xyz(values: ctypes.Array) -> XYZ:  # type: ignore[type-arg]
    return (values[0], values[1], values[2])


def _header(h: lib.Header, path: str) -> Header:
    version = (h.version_major, h.version_minor)
    has_1_3, has_1_4 = version >= (1, 3), version >= (1, 4)
    return Header(
        path=path,
        version=f"{h.version_major}.{h.version_minor}",
        point_format=h.point_format,
        compressed=bool(h.compressed),
        point_record_length=h.point_record_length,
        extra_bytes=h.extra_bytes,
        header_size=h.header_size,
        offset_to_point_data=h.offset_to_point_data,
        number_of_vlrs=h.number_of_vlrs,
        start_of_waveform_data=h.start_of_waveform_data if has_1_3 else None,
        start_of_first_evlr=h.start_of_first_evlr if has_1_4 else None,
        number_of_evlrs=h.number_of_evlrs if has_1_4 else None,
        point_count=h.point_count,
        points_by_return=tuple(h.points_by_return[:15 if has_1_4 else 5]),
        legacy_point_count=h.legacy_point_count,
        legacy_points_by_return=tuple(h.legacy_points_by_return),  # type: ignore[arg-type]
        scale=_xyz(h.scale),
        offset=_xyz(h.offset),
        min=_xyz(h.min),
        max=_xyz(h.max),
        # The format asks for ASCII; other bytes become U+FFFD, never an error.
        system_identifier=h.system_identifier.decode("utf-8", "replace"),
        generating_software=h.generating_software.decode("utf-8", "replace"),
        creation_day=h.creation_day,
        creation_year=h.creation_year,
        file_source_id=h.file_source_id if version > (1, 0) else None,
        global_encoding=h.global_encoding if version >= (1, 2) else None,
        guid=_guid(bytes(h.guid)),
    )


def _scan(s: lib.Scan) -> Scan:
    some = s.records > 0
    return Scan(
        region_start=s.region_start,
        region_end=s.region_end,
        records=s.records,
        remainder_bytes=s.remainder_bytes,
        return_histogram=tuple(s.return_histogram),
        points_by_return=tuple(s.points_by_return),
        raw_min=_xyz(s.raw_min) if some else None,  # type: ignore[arg-type]
        raw_max=_xyz(s.raw_max) if some else None,  # type: ignore[arg-type]
        real_min=_xyz(s.real_min) if some else None,
        real_max=_xyz(s.real_max) if some else None,
    )


def read_header(path: PathArg) -> Header:
    """Reads the public header of a LAS 1.0-1.4 file, compressed or not.

    Raises FileAccessError or InvalidFileError when it cannot.
    """
    raw, shown = _encode(path)
    header, detail = lib.Header(), lib.Detail()
    code = lib.library().tolvren_read_header(raw, ctypes.byref(header), ctypes.byref(detail))
    if code < 0:
        raise _error(code, detail, shown)
    return _header(header, shown)


def check(path: PathArg, scan: bool = False, progress: Optional[Progress] = None,
          threads: int = 1, points: bool = False) -> Report:
    """Checks the header against the file and, with ``scan``, against its
    point records (``progress`` then follows the scan, on ``threads``
    threads). A compressed (LAZ) file is decoded and judged the same way,
    with findings of its own about its chunk table and chunks; only one
    whose points cannot be decoded at all gets ``not_scanned``. With
    ``points`` every field of every point is read and the points
    themselves judged (``return_number_zero`` ... ``scan_angle_out_of_range``);
    with both, the points are read once.

    Raises when the file cannot be read at all; whatever is wrong with a
    readable file is a finding.
    """
    report = lib.Report()
    flags = (lib.CHECK_SCAN if scan else 0) | (lib.CHECK_POINTS if points else 0)
    _run("tolvren_check_file_mt", path, flags, threads, progress, report)
    findings = tuple(
        Finding(_name("tolvren_severity_name", f.severity), _name("tolvren_finding_name", f.code),
                f.message.decode("utf-8", "replace"))
        for f in report.findings[:report.count])
    return Report(findings, report.errors, report.warnings)


def scan(path: PathArg, progress: Optional[Progress] = None, threads: int = 1) -> Scan:
    """Reads the whole point records of a file once, on ``threads`` threads;
    a compressed (LAZ) file's chunks are decoded. The result is the same for
    any number of threads.

    ``progress(bytes_done, bytes_total)`` is called now and then (always on
    the calling thread); a true result stops the scan with CanceledError,
    and an exception it raises stops the scan and is raised again. A
    compressed file whose points cannot be decoded raises RefusedError, one
    with a damaged chunk CorruptDataError.
    """
    out = lib.Scan()
    _run("tolvren_scan_points_mt", path, None, threads, progress, out)
    return _scan(out)


def repair(path: PathArg, dry_run: bool = False,
           progress: Optional[Progress] = None, threads: int = 1) -> RepairResult:
    """Rewrites in place the count and extent fields that disagree with the
    point records; a file already right is left byte-identical. With
    ``dry_run`` nothing is written and the changes say what would be. In a
    compressed (LAZ) file only these header fields change, never the
    compressed data.

    Refuses (RefusedError) any file it has a doubt about, leaving it
    untouched: CorruptDataError for a LAZ file with a damaged chunk or chunk
    table. ``progress`` and ``threads`` are as for scan().
    """
    out = lib.RepairResult()
    _run("tolvren_repair_mt", path, lib.REPAIR_DRY_RUN if dry_run else 0, threads, progress, out)
    changes = tuple(
        Change(_name("tolvren_field_name", c.field), c.index,
               c.old_real if c.is_real else c.old_count, c.new_real if c.is_real else c.new_count)
        for c in out.changes[:out.count])
    return RepairResult(changes, bool(out.written), _scan(out.scan))


def _uint16(name: str, value: int) -> int:
    """An int for a 16-bit field; ctypes would keep its low bits silently."""
    if not 0 <= value <= 0xFFFF:
        raise ValueError(f"{name} {value} does not fit in 16 bits")
    return value


def _text(name: str, value: str) -> bytes:
    """A text field's value as the C string the library takes; it judges the
    bytes (at most 32, printable ASCII)."""
    raw = value.encode("utf-8")
    if b"\0" in raw:
        # ctypes would cut the text there and write another one.
        raise ValueError(f"embedded null byte in {name}")
    return raw


def set_fields(path: PathArg, *, file_source_id: Optional[int] = None,
               system_identifier: Optional[str] = None,
               generating_software: Optional[str] = None,
               creation_date: Union[datetime.date, Tuple[int, int], None] = None,
               guid: Union[uuid.UUID, bytes, None] = None,
               gps_time_adjusted: Optional[bool] = None, wkt: Optional[bool] = None,
               dry_run: bool = False) -> SetResult:
    """Writes in place the header fields given (those left None keep their
    bytes), each only where it differs; a compressed (LAZ) file is set the
    same way, through its header alone. ``creation_date`` is a
    ``datetime.date`` or a (year, day of the year) tuple; ``guid`` a
    ``uuid.UUID`` (stored so that read_header shows it back) or the 16 bytes
    as stored; ``gps_time_adjusted`` and ``wkt`` set (True) or clear (False)
    bits 0 and 4 of the global encoding. With ``dry_run`` nothing is written.

    Raises FieldError, the file untouched, for a value the field cannot hold
    (a text longer than 32 bytes or not printable ASCII, never cut; a day
    outside 1-366) or a field the file's version lacks (or, for the WKT bit
    cleared, its point format forbids); ValueError for a value that does
    not fit the field's type; the library's other errors as repair() does.
    """
    fields = lib.HeaderFields()
    if file_source_id is not None:
        fields.which |= lib.SET_FILE_SOURCE_ID
        fields.file_source_id = _uint16("file_source_id", file_source_id)
    if system_identifier is not None:
        fields.which |= lib.SET_SYSTEM_IDENTIFIER
        fields.system_identifier = _text("system_identifier", system_identifier)
    if generating_software is not None:
        fields.which |= lib.SET_GENERATING_SOFTWARE
        fields.generating_software = _text("generating_software", generating_software)
    if creation_date is not None:
        year, day = ((creation_date.year, creation_date.timetuple().tm_yday)
                     if isinstance(creation_date, datetime.date) else creation_date)
        fields.which |= lib.SET_CREATION_DATE
        fields.creation_year = _uint16("creation year", year)
        fields.creation_day = _uint16("creation day", day)
    if guid is not None:
        # The first three groups of a UUID are little-endian numbers in the
        # file, which is what bytes_le gives.
        stored = guid.bytes_le if isinstance(guid, uuid.UUID) else bytes(guid)
        if len(stored) != 16:
            raise ValueError(f"a GUID is 16 bytes, not {len(stored)}")
        fields.which |= lib.SET_GUID
        fields.guid[:] = list(stored)
    if gps_time_adjusted is not None:
        fields.which |= lib.SET_GPS_TIME_TYPE
        fields.gps_time_adjusted = 1 if gps_time_adjusted else 0
    if wkt is not None:
        fields.which |= lib.SET_WKT
        fields.wkt = 1 if wkt else 0
    raw, shown = _encode(path)
    out, detail = lib.SetResult(), lib.Detail()
    code = lib.function("tolvren_set_fields")(raw, ctypes.byref(fields),
                                              lib.SET_DRY_RUN if dry_run else 0,
                                              ctypes.byref(out), ctypes.byref(detail))
    if code < 0:
        raise _error(code, detail, shown)
    changed = tuple(_name("tolvren_set_field_name", 1 << bit)
                    for bit in range(out.changed.bit_length()) if out.changed & (1 << bit))
    return SetResult(changed, bool(out.written), _header(out.before, shown), _header(out.after, shown))


def decompress(path: PathArg, out_path: PathArg, force: bool = False, threads: int = 1,
               progress: Optional[Progress] = None) -> DecompressResult:
    """Writes the uncompressed LAS file of the LAZ file ``path`` to
    ``out_path``: every VLR but the LASzip VLR and every EVLR as they are,
    the decoded records in file order, the count fields from them. The file
    appears only when it is complete and synced; on any failure none does.

    Raises InvalidArgumentError for an input that is not compressed or an
    output that names the input file, WriteError (errno EEXIST) for an
    existing output without ``force``, CorruptDataError for a damaged chunk
    or chunk table. ``progress`` and ``threads`` are as for scan().
    """
    if threads < 0:
        raise ValueError("threads cannot be negative")
    raw, shown = _encode(path)
    raw_out, _ = _encode(out_path)
    out, detail = lib.DecompressResult(), lib.Detail()
    guard = _Progress(progress)
    code = lib.function("tolvren_decompress")(raw, raw_out, lib.DECOMPRESS_FORCE if force else 0, threads,
                                              guard.pointer, None, ctypes.byref(out),
                                              ctypes.byref(detail))
    guard.raise_pending()
    if code < 0:
        raise _error(code, detail, shown)
    return DecompressResult(out.points, out.bytes_written, out.output_size, out.header_point_count,
                            bool(out.counts_changed))
