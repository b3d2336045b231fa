"""The package without the library's functions: the ctypes structures
against the C layout, finding the library, installing with pip."""

from __future__ import annotations

import ctypes
import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tolvren_lidar as tl
from tolvren_lidar import _bindings


def test_ctypes_structures_match_the_c_layout() -> None:
    probe = os.environ.get("TOLVREN_LAYOUT_PROBE")
    if not probe:
        pytest.skip("TOLVREN_LAYOUT_PROBE (the build's tolvren_layout_probe) is not set")
    c_layout = dict(line.split(" ", 1) for line in subprocess.run(
        [probe], check=True, capture_output=True, text=True).stdout.splitlines())
    py_layout = {}
    for c_name, struct in _bindings.STRUCTS.items():
        py_layout[c_name] = str(ctypes.sizeof(struct))
        for field, _ in struct._fields_:
            member = getattr(struct, field)
            py_layout[f"{c_name}.{field}"] = f"{member.offset} {member.size}"
    assert py_layout == c_layout


def test_library_lookup_names_what_it_tried(tmp_path: Path) -> None:
    script = "import tolvren_lidar as tl\ntry:\n tl.read_header('x.las')\nexcept tl.LibraryNotFoundError as e:\n print(e)"
    env = dict(os.environ, PYTHONPATH=str(Path(tl.__file__).parents[1]))
    env["TOLVREN_LIDAR_LIBRARY"] = str(tmp_path / "libnothing.so")
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    assert f"TOLVREN_LIDAR_LIBRARY={tmp_path}/libnothing.so" in out.stdout


def test_installs_offline_with_pip(tmp_path: Path) -> None:
    for needed in ("pip", "setuptools", "wheel"):
        if importlib.util.find_spec(needed) is None:
            pytest.skip(f"{needed} is not installed for {sys.executable}")
    source = Path(__file__).resolve().parents[1]
    copy = tmp_path / "source"  # pip builds in the tree it is given
    shutil.copytree(source, copy, ignore=shutil.ignore_patterns(
        "tests", "build", "*.egg-info", "__pycache__"))
    subprocess.run([sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index",
                    "--disable-pip-version-check", "--target", tmp_path / "site", copy],
                   check=True, capture_output=True)
    def files(folder: Path) -> list:
        return sorted(p.name for p in folder.iterdir() if p.name != "__pycache__")
    assert files(tmp_path / "site" / "tolvren_lidar") == files(source / "tolvren_lidar")
