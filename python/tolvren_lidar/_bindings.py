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

# Flags of tolvren_check_file, tolvren_repair, tolvren_set_fields and
# tolvren_decompress.
CHECK_SCAN = 1
CHECK_POINTS = 2
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
DECOMPRESS_FORCE = 1

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


class DecompressResult(ctypes.Structure):
    """tolvren_decompress_result: what a decompression wrote."""

    _fields_ = [
        ("points", c_uint64),
        ("bytes_written", c_uint64),
        ("output_size", c_uint64),
        ("header_point_count", c_uint64),
        ("counts_changed", c_int),
    ]


# Sizes of the fixed arrays of tolvren_records, as in the header.
MAX_LISTED_RECORDS = 128
MAX_GEOKEYS = 96
MAX_EXTRA_DIMENSIONS = 64
MAX_WKT_BYTES = 16384
COPC_MAX_LEVELS = 32


class Record(ctypes.Structure):
    """tolvren_record: one VLR or EVLR, as its header says."""

    _fields_ = [
        ("extended", c_int),
        ("index", c_uint32),
        ("reserved", c_uint16),
        ("user_id", c_char * 17),
        ("record_id", c_uint16),
        ("length", c_uint64),
        ("description", c_char * 33),
        ("offset", c_uint64),
        ("data_offset", c_uint64),
        ("complete", c_int),
    ]


class GeoKey(ctypes.Structure):
    """tolvren_geokey: one GeoTIFF key with its value."""

    _fields_ = [
        ("id", c_uint16),
        ("location", c_uint16),
        ("count", c_uint16),
        ("value_offset", c_uint16),
        ("value_found", c_int),
        ("value", c_double),
        ("text", c_char * 256),
    ]


class Crs(ctypes.Structure):
    """tolvren_crs: the coordinate reference system the records give."""

    _fields_ = [
        ("source", c_int),
        ("wkt_records", c_int),
        ("geotiff_records", c_int),
        ("wkt_bit", c_int),
        ("wkt_bit_agrees", c_int),
        ("horizontal_epsg", c_uint32),
        ("vertical_epsg", c_uint32),
        ("geotiff_horizontal_epsg", c_uint32),
        ("geotiff_vertical_epsg", c_uint32),
        ("wkt_horizontal_epsg", c_uint32),
        ("wkt_vertical_epsg", c_uint32),
        ("geographic", c_int),
        ("linear_unit_epsg", c_uint32),
        ("linear_unit_metres", c_double),
        ("linear_unit_name", c_char * 32),
        ("vertical_unit_epsg", c_uint32),
        ("vertical_unit_metres", c_double),
        ("vertical_unit_name", c_char * 32),
        ("problem", c_int),
    ]


class ExtraDimension(ctypes.Structure):
    """tolvren_extra_dimension: one dimension of the Extra Bytes VLR."""

    _fields_ = [
        ("data_type", c_uint8),
        ("options", c_uint8),
        ("components", c_uint8),
        ("name", c_char * 33),
        ("description", c_char * 33),
        ("size", c_uint32),
        ("record_offset", c_uint32),
        ("no_data", c_double * 3),
        ("min", c_double * 3),
        ("max", c_double * 3),
        ("scale", c_double * 3),
        ("offset", c_double * 3),
    ]


class LaszipItem(ctypes.Structure):
    """tolvren_laszip_item: one item of a compressed record."""

    _fields_ = [("type", c_uint16), ("size", c_uint16), ("version", c_uint16)]


class Laszip(ctypes.Structure):
    """tolvren_laszip: the LASzip VLR of a compressed file."""

    _fields_ = [
        ("found", c_int),
        ("valid", c_int),
        ("offset", c_uint64),
        ("compressor", c_uint16),
        ("coder", c_uint16),
        ("version_major", c_uint8),
        ("version_minor", c_uint8),
        ("version_revision", c_uint16),
        ("options", c_uint32),
        ("chunk_size", c_uint32),
        ("special_evlr_count", ctypes.c_int64),
        ("special_evlr_offset", ctypes.c_int64),
        ("item_count", c_uint16),
        ("items", LaszipItem * 16),
    ]


class Copc(ctypes.Structure):
    """tolvren_copc: the COPC info VLR and its hierarchy."""

    _fields_ = [
        ("found", c_int),
        ("valid", c_int),
        ("center", c_double * 3),
        ("halfsize", c_double),
        ("spacing", c_double),
        ("root_hier_offset", c_uint64),
        ("root_hier_size", c_uint64),
        ("gpstime_min", c_double),
        ("gpstime_max", c_double),
        ("hierarchy_read", c_int),
        ("pages", c_uint64),
        ("levels", c_uint32),
        ("nodes", c_uint64 * COPC_MAX_LEVELS),
        ("points", c_uint64 * COPC_MAX_LEVELS),
        ("hierarchy_points", c_uint64),
        ("problem", c_char * 256),
    ]


class Records(ctypes.Structure):
    """tolvren_records: everything the VLRs and EVLRs of a file say."""

    _fields_ = [
        ("header", Header),
        ("vlr_count", c_size_t),
        ("evlr_count", c_size_t),
        ("listed", c_size_t),
        ("records", Record * MAX_LISTED_RECORDS),
        ("crs", Crs),
        ("geokey_count", c_size_t),
        ("geokeys", GeoKey * MAX_GEOKEYS),
        ("wkt_length", c_uint64),
        ("wkt", c_char * MAX_WKT_BYTES),
        ("extra_dimension_count", c_size_t),
        ("extra_dimensions", ExtraDimension * MAX_EXTRA_DIMENSIONS),
        ("extra_bytes_problem", c_int),
        ("laszip", Laszip),
        ("copc", Copc),
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


# Sizes of the fixed arrays of tolvren_statistics, as in the header.
STATS_MAX_SOURCES = 64
STATS_MAX_EXTRA = 32


class Range(ctypes.Structure):
    """tolvren_range: the least and greatest value of one field."""

    _fields_ = [("present", c_int), ("min", c_double), ("max", c_double)]


class SourceCount(ctypes.Structure):
    """tolvren_source_count: the points of one point source ID."""

    _fields_ = [("id", c_uint16), ("points", c_uint64)]


class ExtraRange(ctypes.Structure):
    """tolvren_extra_range: the values of one Extra Bytes dimension."""

    _fields_ = [
        ("name", c_char * 33),
        ("data_type", c_uint8),
        ("components", c_uint8),
        ("values", c_uint64 * 3),
        ("min", c_double * 3),
        ("max", c_double * 3),
    ]


#: The ranged fields of tolvren_statistics, in order.
STATS_RANGES = (
    "return_number", "number_of_returns", "classification", "synthetic", "key_point",
    "withheld", "overlap", "scanner_channel", "scan_direction", "edge_of_flight_line",
    "scan_angle", "scan_angle_degrees", "user_data", "point_source_id", "gps_time",
    "intensity", "red", "green", "blue", "nir",
)


class Statistics(ctypes.Structure):
    """tolvren_statistics: everything one pass over the points learns."""

    _fields_ = [
        ("scan", Scan),
        ("point_format", c_uint8),
        *[(name, Range) for name in STATS_RANGES],
        ("synthetic_points", c_uint64),
        ("key_point_points", c_uint64),
        ("withheld_points", c_uint64),
        ("overlap_points", c_uint64),
        ("classes", c_uint64 * 256),
        ("returns", (c_uint64 * 16) * 16),
        ("source_ids", c_size_t),
        ("source_count", c_size_t),
        ("sources", SourceCount * STATS_MAX_SOURCES),
        ("other_source_points", c_uint64),
        ("extra_count", c_size_t),
        ("extra", ExtraRange * STATS_MAX_EXTRA),
        ("return_number_zero", c_uint64),
        ("return_above_count", c_uint64),
        ("number_of_returns_zero", c_uint64),
        ("outside_extents", c_uint64),
        ("outside_distance", c_double),
        ("reserved_class", c_uint64),
        ("scan_angle_outside", c_uint64),
    ]


#: The structures by their C names, for the layout test.
STRUCTS = {
    "tolvren_range": Range,
    "tolvren_source_count": SourceCount,
    "tolvren_extra_range": ExtraRange,
    "tolvren_statistics": Statistics,
    "tolvren_record": Record,
    "tolvren_geokey": GeoKey,
    "tolvren_crs": Crs,
    "tolvren_extra_dimension": ExtraDimension,
    "tolvren_laszip_item": LaszipItem,
    "tolvren_laszip": Laszip,
    "tolvren_copc": Copc,
    "tolvren_records": Records,
    "tolvren_detail": Detail,
    "tolvren_header": Header,
    "tolvren_scan": Scan,
    "tolvren_finding": Finding,
    "tolvren_report": Report,
    "tolvren_change": Change,
    "tolvren_repair_result": RepairResult,
    "tolvren_header_fields": HeaderFields,
    "tolvren_set_result": SetResult,
    "tolvren_decompress_result": DecompressResult,
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
]


# Functions a library of version 1.2 or later has: they are declared when the
# library holds them, and the calls that need them say so when it does not.
_PROTOTYPES_1_2: List[Tuple[str, Any, List[Any]]] = [
    ("tolvren_read_records", c_int, [ctypes.c_char_p, P(Records), P(Detail)]),
    ("tolvren_read_record_data", c_int,
     [ctypes.c_char_p, P(Record), ctypes.c_void_p, c_size_t, P(c_size_t), P(Detail)]),
    ("tolvren_geokey_name", ctypes.c_char_p, [ctypes.c_uint]),
    ("tolvren_laszip_item_name", ctypes.c_char_p, [ctypes.c_uint]),
    ("tolvren_extra_type_name", ctypes.c_char_p, [ctypes.c_uint]),
    ("tolvren_set_fields", c_int,
     [ctypes.c_char_p, P(HeaderFields), ctypes.c_uint, P(SetResult), P(Detail)]),
    ("tolvren_set_field_name", ctypes.c_char_p, [ctypes.c_uint]),
    ("tolvren_compute_statistics", c_int,
     [ctypes.c_char_p, ctypes.c_uint, PROGRESS_FN, ctypes.c_void_p, P(Statistics), P(Detail)]),
    ("tolvren_class_name", ctypes.c_char_p, [ctypes.c_uint, ctypes.c_uint]),
    ("tolvren_decompress", c_int,
     [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint, ctypes.c_uint, PROGRESS_FN, ctypes.c_void_p,
      P(DecompressResult), P(Detail)]),
]


class LibraryNotFoundError(OSError):
    """The shared library could not be loaded; the message lists every try."""


#: The copy of the library a wheel built from the source tree carries.
BUNDLED = os.path.join(os.path.dirname(os.path.abspath(__file__)), SONAME)


def _candidates() -> List[str]:
    """Where to look for the library, in order.

    A set TOLVREN_LIDAR_LIBRARY is the only candidate: whoever sets it means
    that file, and falling back to another copy of the library would hide
    the mistake. Otherwise the copy inside the package, when it was built
    with one; then the dynamic linker's own search for the SONAME
    (LD_LIBRARY_PATH, the ld.so cache, the default directories), then
    whatever ctypes.util.find_library finds under the library's name.
    """
    chosen = os.environ.get(LIBRARY_ENV)
    if chosen:
        return [chosen]
    found = [BUNDLED] if os.path.exists(BUNDLED) else []
    found.append(SONAME)
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
    for function, restype, argtypes in _PROTOTYPES_1_2:
        entry = getattr(library, function, None)
        if entry is not None:
            entry.restype = restype
            entry.argtypes = argtypes


def function(name: str) -> Any:
    """A function of the library, or LibraryNotFoundError naming what is
    missing when the library loaded is older than the function."""
    entry = getattr(library(), name, None)
    if entry is None:
        raise LibraryNotFoundError(
            f"the Tolvren LiDAR library loaded has no {name}: it is older than this package")
    return entry


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

