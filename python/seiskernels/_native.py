"""Finds and loads libtraveltime and libibmfloat, and declares the C
prototype of every kernel they export."""

import ctypes
import os

_HERE = os.path.dirname(os.path.abspath(__file__))

c_double_p = ctypes.POINTER(ctypes.c_double)
c_float_p = ctypes.POINTER(ctypes.c_float)
c_int_p = ctypes.POINTER(ctypes.c_int)

# library: (environment variable, SONAME, {kernel: (restype, argtypes)}),
# as the public headers traveltime.h and ibmfloat.h declare them.
LIBRARIES = {
    "traveltime": ("TRAVELTIME_LIBRARY", "libtraveltime.so.1", {
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
    "ibmfloat": ("IBMFLOAT_LIBRARY", "libibmfloat.so.1", {
        "ibm2ieee": (None, [c_float_p, ctypes.c_int]),
    }),
}


def _open(name):
    """lib<name> from the first place that has it: the file named by its
    environment variable (which, when set, is the only place looked at),
    the package's own folder, then the dynamic loader's search for the
    SONAME."""
    variable, soname, _ = LIBRARIES[name]
    path = os.environ.get(variable)
    if path:
        places = [(path, f"{path} (from {variable})")]
        tried = []
    else:
        bundled = os.path.join(_HERE, soname)
        places = [(bundled, bundled), (soname, f"{soname} (the dynamic loader's search path)")]
        tried = [f"  {variable}: not set"]
    for path, label in places:
        if path.startswith("/") and not os.path.exists(path):
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
                      f"of lib{name}.so.", name=f"lib{name}")


def load(name):
    """lib<name>, checked to export each of its kernels, with every kernel's
    prototype declared (restype and argtypes)."""
    lib = _open(name)
    kernels = LIBRARIES[name][2]
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
