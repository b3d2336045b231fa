# SPDX-License-Identifier: MIT
"""Read, check and repair the headers of LAS 1.0-1.4 files, and decompress
LAZ files, from Python.

A thin layer over the header API of the Tolvren LiDAR library
(libTolvren_LiDAR.so.1, found through the TOLVREN_LIDAR_LIBRARY environment
variable or the system's library path)::

    import tolvren_lidar
    header = tolvren_lidar.read_header("tile.las")
    crs = tolvren_lidar.read_records("tile.las").crs
    report = tolvren_lidar.check("tile.las", scan=True)
    if not report.ok:
        tolvren_lidar.repair("tile.las")
    tolvren_lidar.decompress("survey.laz", "survey.las")
"""

from ._api import (
    CanceledError,
    Change,
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
    TolvrenError,
    WriteError,
    check,
    decompress,
    read_header,
    repair,
    scan,
)
from ._bindings import LibraryNotFoundError
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

__version__ = "1.1.0"

__all__ = [
    "CanceledError",
    "Change",
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
    "FileAccessError",
    "Finding",
    "Header",
    "InvalidArgumentError",
    "InvalidFileError",
    "LibraryNotFoundError",
    "OutOfMemoryError",
    "CorruptDataError",
    "DecompressResult",
    "RefusedError",
    "RepairResult",
    "Report",
    "Scan",
    "TolvrenError",
    "WriteError",
    "check",
    "decompress",
    "read_header",
    "repair",
    "scan",
]
