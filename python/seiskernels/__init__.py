"""seiskernels: checked, fast access from Python to libtraveltime (the inner
loops of a tau-p travel-time calculator) and libibmfloat (IBM to IEEE
conversion of SEG-Y samples).

Every function checks its buffers (element type, contiguity, writability,
sizes against counts) before the native call and writes nothing when a check
fails; numpy arrays, array.array, bytearray, memoryview and mmap all work,
and numpy is not needed.  The native kernels run with the GIL released.

seiskernels.segy reads the samples and headers of SEG-Y files (it needs
numpy, so it is imported on its own: ``from seiskernels import segy``).

The libraries are looked for in the file named by TRAVELTIME_LIBRARY or
IBMFLOAT_LIBRARY, then in this package's folder, then by SONAME.
"""

from .ibmfloat import ibm2ieee
from .traveltime import (SL_BOT_DEPTH, SL_BOT_P, SL_TOP_DEPTH, SL_TOP_P, TD_DEPTH, TD_DIST,
                         TD_P, TD_TIME, bullen_radial_slowness_inner_loop,
                         seismic_phase_calc_time_inner_loop,
                         tau_branch_calc_time_dist_inner_loop)

__version__ = "1.0.0"

__all__ = ["SL_TOP_P", "SL_TOP_DEPTH", "SL_BOT_P", "SL_BOT_DEPTH",
           "TD_P", "TD_TIME", "TD_DIST", "TD_DEPTH",
           "bullen_radial_slowness_inner_loop", "tau_branch_calc_time_dist_inner_loop",
           "seismic_phase_calc_time_inner_loop", "ibm2ieee"]
