"""Finds and loads libtraveltime, libibmfloat and libarrivals, and declares
the C prototype of every function they export."""

import ctypes
import os
import sys

_HERE = os.path.dirname(os.path.abspath(__file__))

c_double_p = ctypes.POINTER(ctypes.c_double)
c_float_p = ctypes.POINTER(ctypes.c_float)
c_int_p = ctypes.POINTER(ctypes.c_int)

# library: (environment variable, {kernel: (restype, argtypes)}), as the
# public headers traveltime.h and ibmfloat.h declare them.
LIBRARIES = {
    "traveltime": ("TRAVELTIME_LIBRARY", {
        "bullen_radial_slowness_inner_loop": (
            None, [c_double_p, c_double_p, c_double_p, c_double_p, ctypes.c_double,
                   ctypes.c_int]),
        "tau_branch_calc_time_dist_inner_loop": (
            None, [c_double_p, c_double_p, c_double_p, c_double_p, c_double_p, ctypes.c_int,
                   ctypes.c_int, ctypes.c_double, ctypes.c_int]),
        "seismic_phase_calc_time_inner_loop": (
            ctypes.c_int, [ctypes.c_double, ctypes.c_double, c_double_p, c_double_p,
                           c_double_p, c_int_p, ctypes.c_int]),
    }),
    "ibmfloat": ("IBMFLOAT_LIBRARY", {
        "ibm2ieee": (None, [c_float_p, ctypes.c_int]),
    }),
    # The arrivals engine: its structures are declared with its wrapper
    # (_engine.py), which completes these prototypes.
    "arrivals": ("ARRIVALS_LIBRARY", {
        "arrivals_version": (ctypes.c_int, []),
        "arrivals_source_new": (ctypes.c_void_p, None),
        "arrivals_source_free": (None, [ctypes.c_void_p]),
        "arrivals_at": (ctypes.c_int, None),
    }),
}


def library_file(name, platform=None):
    """The file name of lib<name> on a platform.

    Parameters
    ----------
    name : str
        ``"traveltime"``, ``"ibmfloat"`` or ``"arrivals"``.
    platform : str, optional
        A ``sys.platform`` value; this interpreter's by default.

    Returns
    -------
    str
        ``<name>.dll`` on Windows, ``lib<name>.1.dylib`` (the install name)
        on macOS, ``lib<name>.so.1`` (the SONAME) on Linux and other ELF
        systems.
    """
    platform = sys.platform if platform is None else platform
    if platform == "win32":
        return f"{name}.dll"
    if platform == "darwin":
        return f"lib{name}.1.dylib"
    return f"lib{name}.so.1"


def places(name):
    """Where lib<name> is looked for, in order, each with whether it is a
    path to a file (else a name for the dynamic loader to search for): what
    the library's environment variable names, alone, when that is set; else
    this platform's file in the package's own folder, then its name in the
    loader's search path."""
    path = os.environ.get(LIBRARIES[name][0])
    if path:
        return [(path, os.path.dirname(path) != "")]
    file = library_file(name)
    return [(os.path.join(_HERE, file), True), (file, False)]


def _open(name):
    """lib<name> from the first of its places() that has it; else an
    ImportError naming every place tried and why each failed."""
    variable = LIBRARIES[name][0]
    given = bool(os.environ.get(variable))
    tried = [] if given else [f"  {variable}: not set"]
    for path, is_file in places(name):
        if given:
            label = f"{path} (from {variable})"
        else:
            label = path if is_file else f"{path} (the dynamic loader's search path)"
        if is_file and not os.path.exists(path):
            tried.append(f"  {label}: no such file")
            continue
        try:
            return ctypes.CDLL(path)
        except OSError as e:
            tried.append(f"  {label}: {e}")
    raise ImportError(f"seiskernels cannot load lib{name}; it tried, in order:\n"
                      + "\n".join(tried) + "\n"
                      f"Install the package (pip install .), or build the libraries "
                      f"(cmake --workflow --preset release) and set {variable} to the path "
                      f"of {library_file(name)}.", name=f"lib{name}")


def load(name):
    """lib<name>, checked to export each of its kernels, with every kernel's
    prototype declared (restype and argtypes)."""
    lib = _open(name)
    kernels = LIBRARIES[name][1]
    missing = [kernel for kernel in kernels if not hasattr(lib, kernel)]
    if missing:
        raise ImportError(f"seiskernels: {lib._name} does not export {', '.join(missing)}, "
                          f"so it is not lib{name}", name=f"lib{name}")
    for kernel, (restype, argtypes) in kernels.items():
        function = getattr(lib, kernel)
        function.restype, function.argtypes = restype, argtypes
    return lib


def unconverted(lib, kernel):
    """A second handle on a declared kernel, one that converts no argument.

    ctypes runs each argument through its declared type's from_param, and on
    a short trace that costs more than the kernel.  The checked wrappers
    pass arguments that already are the C types (ctypes arrays for
    pointers, c_double for doubles, Python ints, which ctypes passes as C
    int), so they call through this handle.  The return type stays
    declared: ctypes would otherwise read every result as an int."""
    function = lib[kernel]  # indexing, unlike attribute access, makes a new object
    function.restype = getattr(lib, kernel).restype
    return function
