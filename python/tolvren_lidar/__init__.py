# SPDX-License-Identifier: MIT
"""Read, check, repair and set the headers of LAS 1.0-1.4 files, and
decompress LAZ files, from Python.

A thin layer over the header API of the Tolvren LiDAR library
(libTolvren_LiDAR.so.1, found through the TOLVREN_LIDAR_LIBRARY environment
variable or the system's library path)::

    import tolvren_lidar
    header = tolvren_lidar.read_header("tile.las")
    crs = tolvren_lidar.read_records("tile.las").crs
    report = tolvren_lidar.check("tile.las", scan=True, points=True)
    classes = tolvren_lidar.statistics("tile.las", threads=4).classes
    if not report.ok:
        tolvren_lidar.repair("tile.las")
    tolvren_lidar.set_fields("tile.las", file_source_id=1204)
    tolvren_lidar.decompress("survey.laz", "survey.las")
"""

from ._api import (
    CanceledError,
    Change,
    FieldError,
    FileAccessError,
    Finding,
    Header,
    InvalidArgumentError,
    InvalidFileError,
    OutOfMemoryError,
    CorruptDataError,
    DecompressResult,
    RefusedError,
    RepairResult,
    Report,
    Scan,
    SetResult,
    TolvrenError,
    WriteError,
    check,
    decompress,
    read_header,
    repair,
    scan,
    set_fields,
)
from ._bindings import LibraryNotFoundError
from ._statistics import ExtraRange, Range, SourceCount, Statistics, class_name, statistics
from ._records import (
    Copc,
    CopcLevel,
    Crs,
    ExtraDimension,
    GeoKey,
    Laszip,
    LaszipItem,
    Record,
    Records,
    Unit,
    read_record_data,
    read_records,
)

__version__ = "1.2.0"

__all__ = [
    "CanceledError",
    "Change",
    "Copc",
    "CopcLevel",
    "CorruptDataError",
    "Crs",
    "DecompressResult",
    "ExtraDimension",
    "ExtraRange",
    "FieldError",
    "FileAccessError",
    "Finding",
    "GeoKey",
    "Header",
    "InvalidArgumentError",
    "InvalidFileError",
    "Laszip",
    "LaszipItem",
    "LibraryNotFoundError",
    "OutOfMemoryError",
    "Range",
    "Record",
    "Records",
    "RefusedError",
    "RepairResult",
    "Report",
    "Scan",
    "SetResult",
    "SourceCount",
    "Statistics",
    "TolvrenError",
    "Unit",
    "WriteError",
    "check",
    "class_name",
    "decompress",
    "read_header",
    "read_record_data",
    "read_records",
    "repair",
    "scan",
    "set_fields",
    "statistics",
]
