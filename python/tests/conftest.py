# SPDX-License-Identifier: MIT
"""Shared fixtures: the LAS files of other software in ../shared/las with
what an independent reader found in them (headers.json)."""

from __future__ import annotations

import json
import os
import shutil
from pathlib import Path
from typing import Any, Dict

import pytest

SHARED = Path(os.environ.get("TOLVREN_SHARED_LAS_DIR",
                             Path(__file__).resolve().parents[3] / "shared" / "las"))


def _expected() -> Dict[str, Any]:
    try:
        return json.loads((SHARED / "headers.json").read_text())["files"]
    except FileNotFoundError:
        return {}


EXPECTED = _expected()


def pytest_generate_tests(metafunc: pytest.Metafunc) -> None:
    """One case per file of headers.json, for tests taking `sample`."""
    if "sample" in metafunc.fixturenames:
        names = sorted(EXPECTED) or [pytest.param(None, marks=pytest.mark.skip(
            reason=f"no {SHARED}/headers.json"))]
        metafunc.parametrize("sample", names)


@pytest.fixture
def copy(tmp_path: Path):
    """copy(name): a writable copy of a shared file in a temporary folder."""
    if not EXPECTED:
        pytest.skip(f"no {SHARED}/headers.json")

    def make(name: str) -> Path:
        target = tmp_path / name
        shutil.copyfile(SHARED / name, target)
        return target
    return make
