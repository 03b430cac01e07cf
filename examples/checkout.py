"""Lets the examples run from a checkout that has been built (cmake --workflow
--preset release) but not installed: the package then comes from python/,
and each library from build/release unless its variable names one.  Without
a build, an installed seiskernels is used."""

import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILT = {"TRAVELTIME_LIBRARY": os.path.join(ROOT, "build/release/traveltime/libtraveltime.so"),
         "IBMFLOAT_LIBRARY": os.path.join(ROOT, "build/release/ibmfloat/libibmfloat.so")}

if all(os.path.exists(path) for path in BUILT.values()):
    for variable, path in BUILT.items():
        os.environ.setdefault(variable, path)
    sys.path.insert(0, os.path.join(ROOT, "python"))
