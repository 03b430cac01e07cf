"""Builds both native libraries with CMake and puts them inside the package,
so that `pip install .` gives a self-contained seiskernels.  Metadata lives
in pyproject.toml.  Works offline, with the setuptools and wheel already
installed: pip install --no-build-isolation ."""

import os
import shutil
import subprocess
import sysconfig

from setuptools import setup
from setuptools.command.build_py import build_py
from wheel.bdist_wheel import bdist_wheel

ROOT = os.path.dirname(os.path.abspath(__file__))
LIBRARIES = {"traveltime": "libtraveltime.so.1", "ibmfloat": "libibmfloat.so.1"}


class BuildWithLibraries(build_py):
    """The Python files, then a release build of the libraries, copied in
    under their SONAMEs, where the package looks for them first."""

    def run(self):
        super().run()
        if shutil.which("cmake") is None:
            raise SystemExit("seiskernels: building the native libraries needs CMake 3.25 or "
                             "newer and a C++20 compiler (Debian: apt-get install cmake g++)")
        build_temp = os.path.join(self.get_finalized_command("build").build_temp, "cmake")
        subprocess.check_call(["cmake", "-S", ROOT, "-B", build_temp,
                               "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF"])
        subprocess.check_call(["cmake", "--build", build_temp, "--parallel"])
        package = os.path.join(self.build_lib, "seiskernels")
        for folder, soname in LIBRARIES.items():
            self.copy_file(os.path.join(build_temp, folder, soname), os.path.join(package, soname))


class PlatformWheel(bdist_wheel):
    """The libraries are native code for one platform, but they use no
    Python C API: one wheel serves every Python 3 on that platform."""

    def finalize_options(self):
        super().finalize_options()
        self.root_is_pure = False

    def get_tag(self):
        return "py3", "none", sysconfig.get_platform().replace("-", "_").replace(".", "_")


setup(cmdclass={"build_py": BuildWithLibraries, "bdist_wheel": PlatformWheel})
