# SPDX-License-Identifier: MIT
"""Read, check, repair and set the headers of LAS 1.0-1.4 files from Python.

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
    RefusedError,
    RepairResult,
    Report,
    Scan,
    SetResult,
    TolvrenError,
    WriteError,
    check,
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
    "ExtraRange",
    "Range",
    "SourceCount",
    "Statistics",
    "class_name",
    "statistics",
    "Copc",
    "CopcLevel",
    "Crs",
    "ExtraDimension",
    "GeoKey",
    "Laszip",
    "LaszipItem",
    "Record",
    "Records",
    "Unit",
    "read_record_data",
    "read_records",
    "FieldError",
    "FileAccessError",
    "Finding",
    "Header",
    "InvalidArgumentError",
    "InvalidFileError",
    "LibraryNotFoundError",
    "OutOfMemoryError",
    "CorruptDataError",
    "RefusedError",
    "RepairResult",
    "Report",
    "Scan",
    "SetResult",
    "TolvrenError",
    "WriteError",
    "check",
    "read_header",
    "repair",
    "scan",
    "set_fields",
]
