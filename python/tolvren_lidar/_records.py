# SPDX-License-Identifier: MIT
"""What the VLRs and EVLRs of a LAS file say: the records themselves, the
coordinate reference system, the extra dimensions, the LASzip VLR and COPC.

One call of tolvren_read_records, turned into frozen dataclasses. The
library finds the EPSG codes a file states; naming them needs a database of
coordinate systems, which the library leaves to the caller (pyproj, for one).
"""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Optional, Tuple, Union

from . import _bindings as lib
from ._api import Header, PathArg, _encode, _error, _header

#: A GeoTIFF key's value: a short, a double or text; None when it lies
#: outside its record.
GeoKeyValue = Union[int, float, str, None]


@dataclass(frozen=True)
class Record:
    """One VLR (``extended`` False) or EVLR, as its header says."""

    extended: bool
    index: int
    reserved: int
    user_id: str
    record_id: int
    length: int
    description: str
    offset: int
    data_offset: int
    complete: bool


@dataclass(frozen=True)
class GeoKey:
    id: int
    name: Optional[str]
    location: int
    count: int
    value_offset: int
    value: GeoKeyValue


@dataclass(frozen=True)
class Unit:
    epsg: Optional[int]
    name: Optional[str]
    metres: Optional[float]


@dataclass(frozen=True)
class Crs:
    """Where readers take the CRS from (``source``: "geotiff", "wkt" or
    "none"), the EPSG codes it and each kind of record names, its units and
    whether the WKT bit of global encoding fits the records."""

    source: str
    horizontal_epsg: Optional[int]
    vertical_epsg: Optional[int]
    geotiff_horizontal_epsg: Optional[int]
    geotiff_vertical_epsg: Optional[int]
    wkt_horizontal_epsg: Optional[int]
    wkt_vertical_epsg: Optional[int]
    geographic: bool
    linear_unit: Optional[Unit]
    vertical_unit: Optional[Unit]
    wkt_records: int
    geotiff_records: int
    wkt_bit: bool
    wkt_bit_agrees: bool
    problem: bool
    wkt: Optional[str]
    geotiff_keys: Tuple[GeoKey, ...]


@dataclass(frozen=True)
class ExtraDimension:
    """One dimension of the Extra Bytes VLR. ``no_data``, ``min``, ``max``,
    ``scale`` and ``offset`` are None when the VLR does not give them, else
    one value for each of its ``components``."""

    name: str
    description: str
    data_type: int
    data_type_name: Optional[str]
    options: int
    components: int
    size: int
    byte_offset: int
    no_data: Optional[Tuple[float, ...]]
    min: Optional[Tuple[float, ...]]
    max: Optional[Tuple[float, ...]]
    scale: Optional[Tuple[float, ...]]
    offset: Optional[Tuple[float, ...]]


@dataclass(frozen=True)
class LaszipItem:
    type: int
    name: Optional[str]
    size: int
    version: int


@dataclass(frozen=True)
class Laszip:
    compressor: int
    coder: int
    version: Tuple[int, int, int]
    options: int
    chunk_size: int
    special_evlr_count: int
    special_evlr_offset: int
    items: Tuple[LaszipItem, ...]
    valid: bool
    offset: int


@dataclass(frozen=True)
class CopcLevel:
    level: int
    nodes: int
    points: int


@dataclass(frozen=True)
class Copc:
    valid: bool
    center: Tuple[float, float, float]
    halfsize: float
    spacing: float
    root_hier_offset: int
    root_hier_size: int
    gpstime_min: float
    gpstime_max: float
    hierarchy_read: bool
    pages: int
    levels: Tuple[CopcLevel, ...]
    hierarchy_points: int
    problem: Optional[str]


@dataclass(frozen=True)
class Records:
    """Everything the records of a file say (``crs``, ``laszip`` and
    ``copc`` are None when the file has no such records)."""

    header: Header
    vlr_count: int
    evlr_count: int
    vlrs: Tuple[Record, ...]
    evlrs: Tuple[Record, ...]
    crs: Optional[Crs]
    extra_dimensions: Tuple[ExtraDimension, ...]
    extra_bytes_problem: bool
    laszip: Optional[Laszip]
    copc: Optional[Copc]


def _text(raw: bytes) -> str:
    return raw.decode("utf-8", "replace")


def _code(value: int) -> Optional[int]:
    return value or None


def _static_name(function: str, value: int) -> Optional[str]:
    raw = lib.function(function)(value)
    return raw.decode("ascii") if raw is not None else None


def _record(r: lib.Record) -> Record:
    return Record(bool(r.extended), r.index, r.reserved, _text(r.user_id), r.record_id, r.length,
                  _text(r.description), r.offset, r.data_offset, bool(r.complete))


def _unit(epsg: int, metres: float, name: bytes) -> Optional[Unit]:
    if not epsg and not name:
        return None
    return Unit(_code(epsg), _text(name) or None, metres if metres > 0 else None)


def _geokey(k: lib.GeoKey) -> GeoKey:
    value: GeoKeyValue = None
    if k.value_found:
        value = (_text(k.text) if k.location == 34737
                 else int(k.value) if k.location == 0 else k.value)
    return GeoKey(k.id, _static_name("tolvren_geokey_name", k.id), k.location, k.count,
                  k.value_offset, value)


def _crs(r: lib.Records, wkt: Optional[str]) -> Optional[Crs]:
    c = r.crs
    if not c.wkt_records and not c.geotiff_records:
        return None
    source = {1: "geotiff", 2: "wkt"}.get(c.source, "none")
    keys = tuple(_geokey(r.geokeys[i]) for i in range(min(r.geokey_count, lib.MAX_GEOKEYS)))
    return Crs(source, _code(c.horizontal_epsg), _code(c.vertical_epsg),
               _code(c.geotiff_horizontal_epsg), _code(c.geotiff_vertical_epsg),
               _code(c.wkt_horizontal_epsg), _code(c.wkt_vertical_epsg), bool(c.geographic),
               _unit(c.linear_unit_epsg, c.linear_unit_metres, c.linear_unit_name),
               _unit(c.vertical_unit_epsg, c.vertical_unit_metres, c.vertical_unit_name),
               c.wkt_records, c.geotiff_records, bool(c.wkt_bit), bool(c.wkt_bit_agrees),
               bool(c.problem), wkt, keys)


def _dimension(d: lib.ExtraDimension) -> ExtraDimension:
    typed = d.data_type != 0

    def given(bit: int, values: ctypes.Array) -> Optional[Tuple[float, ...]]:  # type: ignore[type-arg]
        if not typed or not d.options & (1 << bit):
            return None
        return tuple(values[c] for c in range(d.components))

    return ExtraDimension(_text(d.name), _text(d.description), d.data_type,
                          _static_name("tolvren_extra_type_name", d.data_type), d.options,
                          d.components, d.size, d.record_offset, given(0, d.no_data),
                          given(1, d.min), given(2, d.max), given(3, d.scale), given(4, d.offset))


def _laszip(z: lib.Laszip) -> Optional[Laszip]:
    if not z.found:
        return None
    items = tuple(LaszipItem(i.type, _static_name("tolvren_laszip_item_name", i.type), i.size, i.version)
                  for i in z.items[:min(z.item_count, len(z.items))])
    return Laszip(z.compressor, z.coder, (z.version_major, z.version_minor, z.version_revision),
                  z.options, z.chunk_size, z.special_evlr_count, z.special_evlr_offset, items,
                  bool(z.valid), z.offset)


def _copc(c: lib.Copc) -> Optional[Copc]:
    if not c.found:
        return None
    levels = tuple(CopcLevel(level, c.nodes[level], c.points[level])
                   for level in range(min(c.levels, lib.COPC_MAX_LEVELS)))
    return Copc(bool(c.valid), (c.center[0], c.center[1], c.center[2]), c.halfsize, c.spacing,
                c.root_hier_offset, c.root_hier_size, c.gpstime_min, c.gpstime_max,
                bool(c.hierarchy_read), c.pages, levels, c.hierarchy_points,
                _text(c.problem) or None)


def read_record_data(path: PathArg, record: Record, limit: Optional[int] = None) -> bytes:
    """The data of a record as read_records listed it: all of it, or its
    first ``limit`` bytes; fewer when the file ends first."""
    raw, shown = _encode(path)
    size = record.length if limit is None else min(limit, record.length)
    c_record = lib.Record(int(record.extended), record.index, record.reserved,
                          record.user_id.encode("utf-8", "replace"), record.record_id,
                          record.length, record.description.encode("utf-8", "replace"),
                          record.offset, record.data_offset, int(record.complete))
    buffer = ctypes.create_string_buffer(max(size, 1))
    got, detail = lib.c_size_t(), lib.Detail()
    code = lib.function("tolvren_read_record_data")(raw, ctypes.byref(c_record), buffer, size,
                                                     ctypes.byref(got), ctypes.byref(detail))
    if code < 0:
        raise _error(code, detail, shown)
    return buffer.raw[:got.value]


def read_records(path: PathArg) -> Records:
    """Lists the VLRs and EVLRs of a LAS or LAZ file and decodes those the
    LAS format defines. Raises FileAccessError or InvalidFileError when the
    header cannot be read."""
    raw, shown = _encode(path)
    r, detail = lib.Records(), lib.Detail()
    code = lib.function("tolvren_read_records")(raw, ctypes.byref(r), ctypes.byref(detail))
    if code < 0:
        raise _error(code, detail, shown)
    listed = [_record(r.records[i]) for i in range(min(r.listed, lib.MAX_LISTED_RECORDS))]
    wkt: Optional[str] = None
    if r.crs.wkt_records:
        wkt = _text(r.wkt)
        if r.wkt_length > len(r.wkt):
            # Longer than the struct holds: read it whole from its record.
            first = next(x for x in listed if x.user_id == "LASF_Projection" and x.record_id == 2112)
            wkt = _text(read_record_data(path, first).split(b"\0", 1)[0])
    dimensions = tuple(_dimension(r.extra_dimensions[i])
                       for i in range(min(r.extra_dimension_count, lib.MAX_EXTRA_DIMENSIONS)))
    return Records(_header(r.header, shown), r.vlr_count, r.evlr_count,
                   tuple(x for x in listed if not x.extended), tuple(x for x in listed if x.extended),
                   _crs(r, wkt), dimensions, bool(r.extra_bytes_problem), _laszip(r.laszip),
                   _copc(r.copc))
