# SPDX-License-Identifier: MIT
"""The statistics of the point records of a LAS or LAZ file: one call of
tolvren_compute_statistics, turned into frozen dataclasses, and the ASPRS
names of the classes."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Optional, Tuple

from . import _bindings as lib
from ._api import PathArg, Progress, Scan, _encode, _error, _Progress, _scan


@dataclass(frozen=True)
class Range:
    """The least and greatest value of a field over the points (both 0
    when there are none)."""

    min: float
    max: float


@dataclass(frozen=True)
class SourceCount:
    """The points of one point source ID (a flight line)."""

    id: int
    points: int


@dataclass(frozen=True)
class ExtraRange:
    """The values of one Extra Bytes dimension: for each of its components
    the points whose value is not no_data (``values``) and their least and
    greatest value, scale and offset applied (None without such points).
    No components when the dimension's values cannot be read."""

    name: str
    data_type: int
    values: Tuple[int, ...]
    min: Tuple[Optional[float], ...]
    max: Tuple[Optional[float], ...]


@dataclass(frozen=True)
class Statistics:
    """What one pass over every point found. The ranges of fields the point
    format lacks are None; ``scan_angle`` is as stored (degrees in formats
    0-5, units of 0.006 degrees in 6-10), ``scan_angle_degrees`` in degrees.
    ``classes[c]`` counts the points of class c, ``returns[n][r]`` those of
    return number r of n returns. ``sources`` holds the point source IDs
    with the most points, most first; ``other_source_points`` counts the
    rest. The last seven fields are what the point checks count."""

    scan: Scan
    point_format: int
    return_number: Optional[Range]
    number_of_returns: Optional[Range]
    classification: Optional[Range]
    synthetic: Optional[Range]
    key_point: Optional[Range]
    withheld: Optional[Range]
    overlap: Optional[Range]
    scanner_channel: Optional[Range]
    scan_direction: Optional[Range]
    edge_of_flight_line: Optional[Range]
    scan_angle: Optional[Range]
    scan_angle_degrees: Optional[Range]
    user_data: Optional[Range]
    point_source_id: Optional[Range]
    gps_time: Optional[Range]
    intensity: Optional[Range]
    red: Optional[Range]
    green: Optional[Range]
    blue: Optional[Range]
    nir: Optional[Range]
    synthetic_points: int
    key_point_points: int
    withheld_points: int
    overlap_points: int
    classes: Tuple[int, ...]
    returns: Tuple[Tuple[int, ...], ...]
    source_ids: int
    sources: Tuple[SourceCount, ...]
    other_source_points: int
    extra_count: int
    extra: Tuple[ExtraRange, ...]
    return_number_zero: int
    return_above_count: int
    number_of_returns_zero: int
    outside_extents: int
    outside_distance: float
    reserved_class: int
    scan_angle_outside: int


def _range(r: lib.Range) -> Optional[Range]:
    return Range(r.min, r.max) if r.present else None


def _extra(e: lib.ExtraRange) -> ExtraRange:
    parts = range(e.components)
    return ExtraRange(e.name.decode("utf-8", "replace"), e.data_type,
                      tuple(e.values[c] for c in parts),
                      tuple(e.min[c] if e.values[c] else None for c in parts),
                      tuple(e.max[c] if e.values[c] else None for c in parts))


def statistics(path: PathArg, threads: int = 1, progress: Optional[Progress] = None) -> Statistics:
    """Reads every point record of a LAS or LAZ file once, on ``threads``
    threads (every layer of a LAZ file decoded), and returns the range of
    each field, the classes, the returns, the flight lines and the extra
    dimensions; the same for any number of threads. ``progress`` is as for
    scan(). Raises as scan() does."""
    if threads < 0:
        raise ValueError("threads cannot be negative")
    raw, shown = _encode(path)
    out, detail = lib.Statistics(), lib.Detail()
    guard = _Progress(progress)
    code = lib.function("tolvren_compute_statistics")(raw, threads, guard.pointer, None, ctypes.byref(out),
                                                      ctypes.byref(detail))
    guard.raise_pending()
    if code < 0:
        raise _error(code, detail, shown)
    ranges = {name: _range(getattr(out, name)) for name in lib.STATS_RANGES}
    return Statistics(
        scan=_scan(out.scan), point_format=out.point_format, **ranges,
        synthetic_points=out.synthetic_points, key_point_points=out.key_point_points,
        withheld_points=out.withheld_points, overlap_points=out.overlap_points,
        classes=tuple(out.classes), returns=tuple(tuple(row) for row in out.returns),
        source_ids=out.source_ids,
        sources=tuple(SourceCount(s.id, s.points) for s in out.sources[:out.source_count]),
        other_source_points=out.other_source_points, extra_count=out.extra_count,
        extra=tuple(_extra(e) for e in out.extra[:min(out.extra_count, lib.STATS_MAX_EXTRA)]),
        return_number_zero=out.return_number_zero, return_above_count=out.return_above_count,
        number_of_returns_zero=out.number_of_returns_zero, outside_extents=out.outside_extents,
        outside_distance=out.outside_distance, reserved_class=out.reserved_class,
        scan_angle_outside=out.scan_angle_outside)


def class_name(classification: int, point_format: int) -> Optional[str]:
    """The ASPRS name of a class in a point format ("Ground", "Reserved",
    "User definable", ...); None for a class the format cannot hold."""
    raw = lib.function("tolvren_class_name")(classification, point_format)
    return raw.decode("ascii") if raw is not None else None
