# SPDX-License-Identifier: MIT
"""Builds the package, with the Tolvren LiDAR library inside it.

The metadata are in pyproject.toml. When this folder sits in the project's
source tree (the CMake project one level up), the build compiles the shared
library from that project with CMake and puts libTolvren_LiDAR.so.1 inside
the package, so that ``import tolvren_lidar`` needs nothing else installed;
the wheel is then one for this platform. TOLVREN_LIDAR_BUNDLE chooses:
"1" requires the library to be built (and fails without the CMake
project), "0" builds the package alone (as the Debian package does, which
depends on the library's own package), unset bundles when it can.
"""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = Path(__file__).resolve().parent
PROJECT = HERE.parent
SONAME = "libTolvren_LiDAR.so.1"


def _project_found() -> bool:
    return (PROJECT / "CMakeLists.txt").is_file() and (PROJECT / "lib" / "tolvren_las.h").is_file()


def _bundling() -> bool:
    choice = os.environ.get("TOLVREN_LIDAR_BUNDLE", "")
    if choice == "0":
        return False
    if choice == "1" and not _project_found():
        raise SystemExit(f"TOLVREN_LIDAR_BUNDLE=1, but {PROJECT} holds no Tolvren LiDAR CMake project")
    return _project_found()


class BuildWithLibrary(build_py):
    """build_py, then the shared library from the CMake project, copied into
    the built package."""

    def run(self) -> None:
        super().run()
        if not _bundling():
            return
        build_dir = Path(self.get_finalized_command("build").build_temp).resolve() / "library"
        cmake = shutil.which("cmake")
        if cmake is None:
            raise SystemExit("building the Tolvren LiDAR library needs cmake (Debian: cmake)")
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        subprocess.run([cmake, "-S", str(PROJECT), "-B", str(build_dir), *generator,
                        "-DCMAKE_BUILD_TYPE=Release", "-DTOLVREN_BUILD_TESTS=OFF",
                        "-DTOLVREN_BUILD_TOOL=OFF", "-DTOLVREN_INSTALL=OFF"], check=True)
        jobs = str(os.cpu_count() or 1)
        subprocess.run([cmake, "--build", str(build_dir), "--target", "Tolvren_LiDAR", "-j", jobs],
                       check=True)
        built = build_dir / SONAME
        if not built.exists():
            raise SystemExit(f"the CMake build made no {built}")
        target = Path(self.build_lib) / "tolvren_lidar" / SONAME
        # The real file under the SONAME: a wheel holds no symbolic links.
        shutil.copyfile(built.resolve(), target)
        os.chmod(target, 0o755)


class PlatformDistribution(Distribution):
    """A distribution whose wheel is tied to this platform when it carries
    the compiled library."""

    def has_ext_modules(self) -> bool:
        return _bundling()


try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # without the wheel package there is no wheel to tag
    bdist_wheel = None


commands = {"build_py": BuildWithLibrary}
if bdist_wheel is not None:
    class PlatformWheel(bdist_wheel):
        """The library is called through ctypes, not compiled against
        Python: a wheel that carries it fits any Python 3 on this platform."""

        def get_tag(self):  # type: ignore[no-untyped-def]
            python, abi, platform = super().get_tag()
            return ("py3", "none", platform) if _bundling() else (python, abi, platform)

    commands["bdist_wheel"] = PlatformWheel

setup(cmdclass=commands, distclass=PlatformDistribution)
