# SPDX-License-Identifier: MIT
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


def test_ctypes_structures_match_the_c_layout(tmp_path: Path) -> None:
    compiler = os.environ.get("TOLVREN_C_COMPILER") or shutil.which("cc")
    if not compiler:
        pytest.skip("no C compiler (TOLVREN_C_COMPILER or cc) to lay out the C structures")
    # The size of each structure, then the offset and size of each field,
    # as the C compiler and as ctypes lay them out.
    printed, py_layout = [], {}
    for c_name, struct in _bindings.STRUCTS.items():
        printed.append(f'printf("{c_name} %zu\\n", sizeof({c_name}));')
        py_layout[c_name] = str(ctypes.sizeof(struct))
        for field, _ in struct._fields_:
            printed.append(f'printf("{c_name}.{field} %zu %zu\\n", offsetof({c_name}, {field}), '
                           f'sizeof((({c_name} *)0)->{field}));')
            member = getattr(struct, field)
            py_layout[f"{c_name}.{field}"] = f"{member.offset} {member.size}"
    probe = tmp_path / "probe.c"
    probe.write_text('#include "tolvren_las.h"\n#include <stddef.h>\n#include <stdio.h>\n'
                     "int main(void) {\n" + "\n".join(printed) + "\nreturn 0;\n}\n")
    lib_dir = Path(__file__).resolve().parents[2] / "lib"
    subprocess.run([compiler, "-std=c99", f"-I{lib_dir}", probe, "-o", tmp_path / "probe"], check=True)
    c_layout = dict(line.split(" ", 1) for line in subprocess.run(
        [tmp_path / "probe"], check=True, capture_output=True, text=True).stdout.splitlines())
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


def test_an_installed_wheel_loads_the_library_it_carries() -> None:
    """Run by CI on the wheel it built and installed, with nothing else to
    find the library by: the package must use its own copy."""
    if not os.environ.get("TOLVREN_LIDAR_EXPECT_BUNDLED"):
        pytest.skip("not the run of an installed wheel (TOLVREN_LIDAR_EXPECT_BUNDLED)")
    source = Path(__file__).resolve().parents[1]
    assert source not in Path(tl.__file__).resolve().parents
    assert _bindings.library()._name == _bindings.BUNDLED
    assert tl.read_records(source.parent / "examples" / "sample.las").crs.horizontal_epsg == 26910
