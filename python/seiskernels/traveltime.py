"""Deprecated name of :mod:`seiskernels.tau_kernels`, kept for old import lines.

``seiskernels.traveltime`` differed by one letter from the calculator,
:mod:`seiskernels.traveltimes`.  Import the kernel wrappers as
``seiskernels.tau_kernels`` (or from ``seiskernels`` itself); this module
warns once, when first imported, and will be removed in version 2.
"""

import warnings

from . import tau_kernels as _tau_kernels
from .tau_kernels import *  # noqa: F401,F403  (the same objects, not copies)
from .tau_kernels import __all__  # noqa: F401

# stacklevel=2 names the line that imported this module (warnings skips
# importlib's own frames), so Python's default filters show it to a script.
warnings.warn("seiskernels.traveltime is deprecated and will be removed in seiskernels 2: "
              "import seiskernels.tau_kernels (or the same names from seiskernels)",
              DeprecationWarning, stacklevel=2)


def __getattr__(name):
    # Anything else the old module held (Buffer, the loaded library) is the
    # new module's.
    return getattr(_tau_kernels, name)
