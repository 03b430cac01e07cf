"""seiskernels: seismic travel times and SEG-Y samples, fast and exact, on
small native libraries loaded with ctypes.

The package holds:

- :mod:`seiskernels.traveltimes`: the travel-time calculator (arrivals,
  tables, ray paths, pierce points, first arrivals of many pairs) for
  spherically symmetric Earth models; needs numpy.
- :mod:`seiskernels.segy`: SEG-Y files read into numpy arrays and written;
  needs numpy (``from seiskernels import segy``).
- :mod:`seiskernels.ibmfloat`: :func:`~seiskernels.ibm2ieee`, IBM hexadecimal
  samples converted to IEEE binary32 in place (libibmfloat).
- :mod:`seiskernels.tau_kernels`: the three checked inner loops of a tau-p
  calculator (libtraveltime).

The kernel functions and their row-layout constants are exported here too.
Every function checks its buffers (element type, contiguity, writability,
sizes against counts) before the native call and writes nothing when a check
fails; numpy arrays, array.array, bytearray, memoryview and mmap all work,
and the kernels need no numpy.  The native kernels run with the GIL released.

The libraries are looked for in the file named by ``TRAVELTIME_LIBRARY``,
``IBMFLOAT_LIBRARY`` or ``ARRIVALS_LIBRARY``, then in this package's folder,
then by SONAME.
"""

from .ibmfloat import ibm2ieee
from .tau_kernels import (SL_BOT_DEPTH, SL_BOT_P, SL_TOP_DEPTH, SL_TOP_P, TD_DEPTH, TD_DIST,
                          TD_P, TD_TIME, bullen_radial_slowness_inner_loop,
                          seismic_phase_calc_time_inner_loop,
                          tau_branch_calc_time_dist_inner_loop)

__version__ = "1.0.0"

__all__ = ["SL_TOP_P", "SL_TOP_DEPTH", "SL_BOT_P", "SL_BOT_DEPTH",
           "TD_P", "TD_TIME", "TD_DIST", "TD_DEPTH",
           "bullen_radial_slowness_inner_loop", "tau_branch_calc_time_dist_inner_loop",
           "seismic_phase_calc_time_inner_loop", "ibm2ieee"]
