"""Builds both native libraries with CMake and puts them inside the package,
so that `pip install .` gives a self-contained seiskernels.  Metadata lives
in pyproject.toml.  Works offline, with the setuptools and wheel already
installed: pip install --no-build-isolation ."""

import importlib.util
import os
import platform
import shutil
import subprocess
import sysconfig

from setuptools import setup
from setuptools.command.build_py import build_py
from wheel.bdist_wheel import bdist_wheel

ROOT = os.path.dirname(os.path.abspath(__file__))


def _native():
    """The package's loader module, for the file names it looks for (loaded
    on its own: importing the package would load the libraries)."""
    path = os.path.join(ROOT, "python", "seiskernels", "_native.py")
    found = importlib.util.spec_from_file_location("seiskernels_native", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def platform_tag():
    """This platform's wheel tag: linux_x86_64, macosx_11_0_arm64, win_amd64..."""
    return sysconfig.get_platform().replace("-", "_").replace(".", "_")


def cmake_platform_options():
    """On macOS, the processors and oldest system of the wheel's tag (both
    processors for universal2); nothing elsewhere."""
    parts = sysconfig.get_platform().split("-")  # macosx, 11.0, arm64
    if parts[0] != "macosx":
        return []
    machine = parts[2] if len(parts) > 2 else platform.machine()
    machines = "arm64;x86_64" if machine == "universal2" else machine
    return [f"-DCMAKE_OSX_ARCHITECTURES={machines}", f"-DCMAKE_OSX_DEPLOYMENT_TARGET={parts[1]}"]


def find_built(build_temp, file):
    """The path of `file` in the build tree, wherever the generator put it."""
    for folder, _, files in os.walk(build_temp):
        if file in files:
            return os.path.join(folder, file)
    raise SystemExit(f"seiskernels: the build made no {file} in {build_temp}")


class BuildWithLibraries(build_py):
    """The Python files, then a release build of the libraries, copied in
    under the names the package looks for on this platform (traveltime.dll,
    libtraveltime.1.dylib, libtraveltime.so.1), in its own folder."""

    def run(self):
        super().run()
        if shutil.which("cmake") is None:
            raise SystemExit("seiskernels: building the native libraries needs CMake 3.25 or "
                             "newer and a C++20 compiler (Debian: apt-get install cmake g++)")
        build_temp = os.path.join(self.get_finalized_command("build").build_temp, "cmake")
        subprocess.check_call(["cmake", "-S", ROOT, "-B", build_temp, "-DCMAKE_BUILD_TYPE=Release",
                               "-DBUILD_TESTING=OFF", *cmake_platform_options()])
        subprocess.check_call(["cmake", "--build", build_temp, "--parallel", "--config", "Release"])
        package = os.path.join(self.build_lib, "seiskernels")
        native = _native()
        for name in native.LIBRARIES:
            file = native.library_file(name)
            self.copy_file(find_built(build_temp, file), os.path.join(package, file))


class PlatformWheel(bdist_wheel):
    """The libraries are native code for one platform, but they use no
    Python C API: one wheel serves every Python 3 on that platform."""

    def finalize_options(self):
        super().finalize_options()
        self.root_is_pure = False

    def get_tag(self):
        return "py3", "none", platform_tag()


setup(cmdclass={"build_py": BuildWithLibraries, "bdist_wheel": PlatformWheel})
