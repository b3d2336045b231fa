# SPDX-License-Identifier: MIT
"""ctypes mirror of the header API of libTolvren_LiDAR (``tolvren_las.h``).

Every structure here repeats its C counterpart field for field, in order and
with the same types, so that ctypes lays it out exactly as the C compiler
does; the tests compare both layouts. Nothing here interprets a value: that
is the library's work, and the public module only turns its results into
Python objects.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import functools
import os
from typing import Any, List, Optional, Tuple

#: The environment variable naming the shared library to load.
LIBRARY_ENV = "TOLVREN_LIDAR_LIBRARY"
#: The library's SONAME: the C interface is stable within major version 1.
SONAME = "libTolvren_LiDAR.so.1"

c_uint8 = ctypes.c_uint8
c_uint16 = ctypes.c_uint16
c_uint32 = ctypes.c_uint32
c_uint64 = ctypes.c_uint64
c_int32 = ctypes.c_int32
c_int = ctypes.c_int
c_double = ctypes.c_double
c_char = ctypes.c_char
c_size_t = ctypes.c_size_t

# Sizes of the fixed arrays, as in the header.
MAX_FINDINGS = 32
MAX_CHANGES = 48

# Flags of tolvren_check_file, tolvren_repair and tolvren_set_fields.
CHECK_SCAN = 1
REPAIR_DRY_RUN = 1
SET_DRY_RUN = 1

# The fields tolvren_set_fields writes, as bits of HeaderFields.which.
SET_FILE_SOURCE_ID = 0x01
SET_SYSTEM_IDENTIFIER = 0x02
SET_GENERATING_SOFTWARE = 0x04
SET_CREATION_DATE = 0x08
SET_GUID = 0x10
SET_GPS_TIME_TYPE = 0x20
SET_WKT = 0x40

class Detail(ctypes.Structure):
    """tolvren_detail: what went wrong in one call."""

    _fields_ = [
        ("code", c_int),
        ("sys_errno", c_int),
        ("message", c_char * 512),
    ]


class Header(ctypes.Structure):
    """tolvren_header: the decoded public header and where its parts end."""

    _fields_ = [
        ("version_major", c_uint8),
        ("version_minor", c_uint8),
        ("file_source_id", c_uint16),
        ("global_encoding", c_uint16),
        ("guid", c_uint8 * 16),
        ("system_identifier", c_char * 33),
        ("generating_software", c_char * 33),
        ("creation_day", c_uint16),
        ("creation_year", c_uint16),
        ("header_size", c_uint16),
        ("offset_to_point_data", c_uint32),
        ("number_of_vlrs", c_uint32),
        ("point_format_byte", c_uint8),
        ("point_format", c_uint8),
        ("compressed", c_uint8),
        ("point_record_length", c_uint16),
        ("standard_record_length", c_uint16),
        ("extra_bytes", c_uint16),
        ("legacy_point_count", c_uint32),
        ("legacy_points_by_return", c_uint32 * 5),
        ("scale", c_double * 3),
        ("offset", c_double * 3),
        ("max", c_double * 3),
        ("min", c_double * 3),
        ("start_of_waveform_data", c_uint64),
        ("start_of_first_evlr", c_uint64),
        ("number_of_evlrs", c_uint32),
        ("point_count_64", c_uint64),
        ("points_by_return_64", c_uint64 * 15),
        ("point_count", c_uint64),
        ("points_by_return", c_uint64 * 15),
        ("file_size", c_uint64),
        ("vlr_end", c_uint64),
        ("vlr_problem", c_int),
        ("point_region_end", c_uint64),
        ("evlr_end", c_uint64),
        ("evlr_problem", c_int),
    ]


class Scan(ctypes.Structure):
    """tolvren_scan: what the point records say about themselves."""

    _fields_ = [
        ("region_start", c_uint64),
        ("region_end", c_uint64),
        ("records", c_uint64),
        ("remainder_bytes", c_uint64),
        ("return_histogram", c_uint64 * 16),
        ("points_by_return", c_uint64 * 15),
        ("raw_min", c_int32 * 3),
        ("raw_max", c_int32 * 3),
        ("real_min", c_double * 3),
        ("real_max", c_double * 3),
    ]


class Finding(ctypes.Structure):
    """tolvren_finding: one thing a check found."""

    _fields_ = [
        ("severity", c_int),
        ("code", c_int),
        ("message", c_char * 256),
    ]


class Report(ctypes.Structure):
    """tolvren_report: the findings of a check."""

    _fields_ = [
        ("errors", c_int),
        ("warnings", c_int),
        ("count", c_size_t),
        ("findings", Finding * MAX_FINDINGS),
    ]


class Change(ctypes.Structure):
    """tolvren_change: one header field a repair rewrote (or would)."""

    _fields_ = [
        ("field", c_int),
        ("index", c_int),
        ("is_real", c_int),
        ("old_count", c_uint64),
        ("new_count", c_uint64),
        ("old_real", c_double),
        ("new_real", c_double),
    ]


class RepairResult(ctypes.Structure):
    """tolvren_repair_result: the changes of a repair and the scan behind them."""

    _fields_ = [
        ("count", c_size_t),
        ("changes", Change * MAX_CHANGES),
        ("written", c_int),
        ("scan", Scan),
    ]


class HeaderFields(ctypes.Structure):
    """tolvren_header_fields: the header fields to set, named in ``which``."""

    _fields_ = [
        ("which", ctypes.c_uint),
        ("file_source_id", c_uint16),
        ("system_identifier", ctypes.c_char_p),
        ("generating_software", ctypes.c_char_p),
        ("creation_day", c_uint16),
        ("creation_year", c_uint16),
        ("guid", c_uint8 * 16),
        ("gps_time_adjusted", c_int),
        ("wkt", c_int),
    ]


class SetResult(ctypes.Structure):
    """tolvren_set_result: the fields set, and the header before and after."""

    _fields_ = [
        ("changed", ctypes.c_uint),
        ("written", c_int),
        ("before", Header),
        ("after", Header),
    ]


#: The structures by their C names, for the layout test.
STRUCTS = {
    "tolvren_detail": Detail,
    "tolvren_header": Header,
    "tolvren_scan": Scan,
    "tolvren_finding": Finding,
    "tolvren_report": Report,
    "tolvren_change": Change,
    "tolvren_repair_result": RepairResult,
    "tolvren_header_fields": HeaderFields,
    "tolvren_set_result": SetResult,
}

#: tolvren_progress_fn. ctypes takes the GIL back for the call.
PROGRESS_FN = ctypes.CFUNCTYPE(c_int, c_uint64, c_uint64, ctypes.c_void_p)

P = ctypes.POINTER
_PROTOTYPES: List[Tuple[str, Any, List[Any]]] = [
    ("tolvren_strerror", ctypes.c_char_p, [c_int]),
    ("tolvren_error_name", ctypes.c_char_p, [c_int]),
    ("tolvren_finding_name", ctypes.c_char_p, [c_int]),
    ("tolvren_severity_name", ctypes.c_char_p, [c_int]),
    ("tolvren_field_name", ctypes.c_char_p, [c_int]),
    ("tolvren_set_field_name", ctypes.c_char_p, [ctypes.c_uint]),
    ("tolvren_read_header", c_int, [ctypes.c_char_p, P(Header), P(Detail)]),
    ("tolvren_scan_points", c_int,
     [ctypes.c_char_p, P(Header), PROGRESS_FN, ctypes.c_void_p, P(Scan), P(Detail)]),
    ("tolvren_check_file", c_int,
     [ctypes.c_char_p, ctypes.c_uint, PROGRESS_FN, ctypes.c_void_p, P(Report), P(Detail)]),
    ("tolvren_repair", c_int,
     [ctypes.c_char_p, ctypes.c_uint, PROGRESS_FN, ctypes.c_void_p, P(RepairResult),
      P(Detail)]),
    ("tolvren_scan_points_mt", c_int,
     [ctypes.c_char_p, P(Header), ctypes.c_uint, PROGRESS_FN, ctypes.c_void_p, P(Scan),
      P(Detail)]),
    ("tolvren_check_file_mt", c_int,
     [ctypes.c_char_p, ctypes.c_uint, ctypes.c_uint, PROGRESS_FN, ctypes.c_void_p, P(Report),
      P(Detail)]),
    ("tolvren_repair_mt", c_int,
     [ctypes.c_char_p, ctypes.c_uint, ctypes.c_uint, PROGRESS_FN, ctypes.c_void_p,
      P(RepairResult), P(Detail)]),
    ("tolvren_set_fields", c_int,
     [ctypes.c_char_p, P(HeaderFields), ctypes.c_uint, P(SetResult), P(Detail)]),
]


class LibraryNotFoundError(OSError):
    """The shared library could not be loaded; the message lists every try."""


def _candidates() -> List[str]:
    """Where to look for the library, in order.

    A set TOLVREN_LIDAR_LIBRARY is the only candidate: whoever sets it means
    that file, and falling back to another copy of the library would hide
    the mistake. Otherwise the dynamic linker's own search for the SONAME
    (LD_LIBRARY_PATH, the ld.so cache, the default directories), then
    whatever ctypes.util.find_library finds under the library's name.
    """
    chosen = os.environ.get(LIBRARY_ENV)
    if chosen:
        return [chosen]
    found = [SONAME]
    other = ctypes.util.find_library("Tolvren_LiDAR")
    if other and other != SONAME:
        found.append(other)
    return found


def _declare(library: ctypes.CDLL, name: str) -> None:
    """Checks that `library` holds the header API and gives its prototypes."""
    for function, restype, argtypes in _PROTOTYPES:
        try:
            entry = getattr(library, function)
        except AttributeError:
            raise LibraryNotFoundError(
                f"{name} has no {function}: it is a libTolvren_LiDAR older than "
                "the header API (tolvren_las.h)") from None
        entry.restype = restype
        entry.argtypes = argtypes


@functools.lru_cache(maxsize=None)
def library() -> ctypes.CDLL:
    """Loads the shared library once, on first use, with its prototypes set.

    ctypes.CDLL releases the GIL around every call, so calls from several
    threads run at the same time.
    """
    tried: List[str] = []
    candidates = _candidates()
    for name in candidates:
        try:
            loaded = ctypes.CDLL(name)
        except OSError as error:
            tried.append(f"  {name}: {error}")
            continue
        _declare(loaded, name)
        return loaded
    how = (f"{LIBRARY_ENV}={candidates[0]}" if os.environ.get(LIBRARY_ENV)
           else f"the system's library path (set {LIBRARY_ENV} to the library's path "
                "to choose one)")
    raise LibraryNotFoundError(
        f"cannot load the Tolvren LiDAR library from {how}; tried:\n" + "\n".join(tried))


def text(raw: Optional[bytes]) -> str:
    """A static string from the library as str."""
    return raw.decode("ascii", "replace") if raw is not None else ""

