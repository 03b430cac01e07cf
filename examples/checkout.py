"""Lets the examples run from a checkout that has been built (cmake --workflow
--preset release) but not installed: the package then comes from python/,
and each library from build/release unless its variable names one.  Without
a build, an installed seiskernels is used."""

import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _built(name):
    """Where the release build puts lib<name> on this platform."""
    if sys.platform == "win32":
        return os.path.join(ROOT, "build", "release", "bin", f"{name}.dll")
    file = f"lib{name}.1.dylib" if sys.platform == "darwin" else f"lib{name}.so"
    return os.path.join(ROOT, "build", "release", name, file)


BUILT = {"TRAVELTIME_LIBRARY": _built("traveltime"), "IBMFLOAT_LIBRARY": _built("ibmfloat"),
         "ARRIVALS_LIBRARY": _built("arrivals")}

if all(os.path.exists(path) for path in BUILT.values()):
    for variable, path in BUILT.items():
        os.environ.setdefault(variable, path)
    sys.path.insert(0, os.path.join(ROOT, "python"))
