"""The three travel-time kernels of libtraveltime, checked: layer integrals
under Bullen's law, branch sums into time-distance rows, and the phase search.

These are the building blocks of a tau-p calculator, called on buffers a host
lays out itself; :mod:`seiskernels.traveltimes` is the calculator built on
them.  The same functions and constants are exported by :mod:`seiskernels`.
(Until version 1.0 this module was ``seiskernels.traveltime``, a name one
letter away from the calculator's; that import still works, with a
DeprecationWarning.)
"""

from __future__ import annotations

import ctypes
import math
from typing import Any, Optional, Sequence, Tuple

from . import _native
from ._buffers import DOUBLES, INTS, INT_MAX, disjoint, int_count, length, pin, real, rows

Buffer = Any  # any object with the buffer protocol: numpy array, array.array, memoryview, ...

__all__ = ["SL_TOP_P", "SL_TOP_DEPTH", "SL_BOT_P", "SL_BOT_DEPTH",
           "TD_P", "TD_TIME", "TD_DIST", "TD_DEPTH",
           "bullen_radial_slowness_inner_loop", "tau_branch_calc_time_dist_inner_loop",
           "seismic_phase_calc_time_inner_loop"]

# Columns of a slowness-layer row (four doubles, row k at element 4k).
SL_TOP_P, SL_TOP_DEPTH, SL_BOT_P, SL_BOT_DEPTH = 0, 1, 2, 3
# Columns of a time-distance row (four doubles, row i at element 4i).
TD_P, TD_TIME, TD_DIST, TD_DEPTH = 0, 1, 2, 3

_lib = _native.load("traveltime")
_bullen = _native.unconverted(_lib, "bullen_radial_slowness_inner_loop")
_branch = _native.unconverted(_lib, "tau_branch_calc_time_dist_inner_loop")
_search = _native.unconverted(_lib, "seismic_phase_calc_time_inner_loop")
_double = ctypes.c_double
_TWO_PI = 2.0 * math.pi


def bullen_radial_slowness_inner_loop(layer: Buffer, p: Buffer, time: Buffer, dist: Buffer,
                                      radius: float, max_i: Optional[int] = None) -> None:
    """Travel time and distance of rays across single layers whose slowness
    follows Bullen's law, eta(r) = A r^B, for a batch of independent
    (layer, ray parameter) pairs.

    For pair i, with the columns of layer row i, r = radius - depth and
    B = log(top_p / bot_p) / log(r_top / r_bot)::

        time[i] = (sqrt(top_p**2 - p[i]**2) - sqrt(bot_p**2 - p[i]**2)) / B
        dist[i] = (atan2(p[i], sqrt(bot_p**2 - p[i]**2))
                   - atan2(p[i], sqrt(top_p**2 - p[i]**2))) / B

    each operation rounded on its own, in this order.

    Parameters
    ----------
    layer : buffer of float64, shape (max_i, 4) or (4 * max_i,)
        Slowness-layer rows: SL_TOP_P, SL_TOP_DEPTH, SL_BOT_P, SL_BOT_DEPTH.
        Slownesses in time per radian (the unit of `p`), depths in the unit
        of `radius`.
    p : buffer of float64, shape (max_i,)
        Ray parameter of each pair, in time per radian.
    time, dist : writable buffers of float64, shape (max_i,)
        Receive each pair's travel time and its distance in radians.
    radius : float
        Radius of the planet's surface, depth 0.
    max_i : int, optional
        Number of pairs.  By default the length of `p`, and then every
        buffer must have exactly that many rows; when given, each must hold
        at least that many.  Zero or less converts nothing.

    Notes
    -----
    A pair thinner than 1e-10 (bottom depth minus top depth), or of negative
    thickness, is skipped: its `time` and `dist` keep what they held, so
    fill them first where that matters.  Invalid arithmetic is not an
    error: p above either slowness, or equal slownesses (B = 0), gives NaN
    for that pair, and a radial coordinate of zero or less gives NaN or
    infinity.  The GIL is released while the kernel runs.

    Raises
    ------
    TypeError
        A buffer of another element type, not C-contiguous, or (`time`,
        `dist`) read-only; a count or radius of the wrong type.
    ValueError
        A buffer of the wrong length or shape, or misaligned; outputs that
        overlap each other or the inputs; a count beyond a C int.
    """
    layer_ptr, layer_bytes, layer_shape = pin(layer, "layer", DOUBLES, False)
    p_ptr, p_bytes, _ = pin(p, "p", DOUBLES, False)
    time_ptr, time_bytes, _ = pin(time, "time", DOUBLES, True)
    dist_ptr, dist_bytes, _ = pin(dist, "dist", DOUBLES, True)
    radius = real(radius, "radius")
    n_rows = rows(layer_bytes, layer_shape, "layer", "slowness-layer")
    exact = max_i is None
    if exact:
        max_i = int_count(p_bytes >> 3, "p (its length)")
        if n_rows != max_i:
            raise ValueError(f"layer: expected {max_i} rows, one per ray parameter in p, "
                             f"got {n_rows}")
    else:
        max_i = int_count(max_i, "max_i")
        if n_rows < max_i:
            raise ValueError(f"layer: expected at least {max_i} rows (max_i), got {n_rows}")
        length(p_bytes, "p", max_i, False, "ray parameters (max_i)")
    n = max(max_i, 0)
    length(time_bytes, "time", n, exact, "doubles, one per pair")
    length(dist_bytes, "dist", n, exact, "doubles, one per pair")
    disjoint([("time", time_ptr, 8 * n), ("dist", dist_ptr, 8 * n)],
             [("layer", layer_ptr, 32 * n), ("p", p_ptr, 8 * n)])
    _bullen(layer_ptr, p_ptr, time_ptr, dist_ptr, _double(radius), max_i)


def tau_branch_calc_time_dist_inner_loop(ray_params: Buffer, time: Buffer, dist: Buffer,
                                         layer: Buffer, time_dist: Buffer, max_ray_param: float,
                                         allow_turn: bool = True, *, max_i: Optional[int] = None,
                                         max_j: Optional[int] = None) -> None:
    """Sums per-layer times and distances down a branch into time-distance
    rows, one row per ray parameter.

    Row i takes its ray parameter p from ``ray_params[i, 0]``.  Layers
    j = 0, 1, ... are added in order while p is at most both of the layer's
    slownesses; the scan stops at the first layer p exceeds in either, and
    that layer is added too, as the one the ray turns in, when `allow_turn`
    is true and p lies strictly between its two slownesses.  The sums,
    from 0.0 in increasing j, go to the TD_TIME and TD_DIST columns.

    Parameters
    ----------
    ray_params, time, dist : buffers of float64, shape (max_i, max_j) or (max_i * max_j,)
        Row-major matrices, one row per ray parameter and one column per
        layer: the ray parameters (only the first column is read) and the
        per-layer travel times and distances (radians), such as
        bullen_radial_slowness_inner_loop gives for pairs laid out ray
        after ray.
    layer : buffer of float64, shape (max_j, 4) or (4 * max_j,)
        The branch's slowness-layer rows, top down; only SL_TOP_P and
        SL_BOT_P are read.
    time_dist : writable buffer of float64, shape (max_i, 4) or (4 * max_i,)
        Time-distance rows; TD_TIME and TD_DIST are written, TD_P and
        TD_DEPTH are never touched.
    max_ray_param : float
        Rows whose ray parameter exceeds it are skipped and keep what they
        held (a NaN ray parameter is not skipped).
    allow_turn : bool, default True
        Whether to add the layer the ray turns in.
    max_i, max_j : int, optional
        Numbers of rows and of layers.  By default the rows of `time_dist`
        and of `layer`, and then every buffer must have exactly the size
        they imply; when given, each must hold at least that.  ``max_i``
        of zero or less writes nothing; ``max_j`` of zero or less reads no
        matrix or layer and gives every row sums of 0.0.

    Notes
    -----
    A NaN in a per-layer value makes that row's sums NaN and nothing else.
    The GIL is released while the kernel runs.

    Raises
    ------
    TypeError
        A buffer of another element type, not C-contiguous, or a read-only
        `time_dist`; a count, flag or scalar of the wrong type.
    ValueError
        A buffer of the wrong length or shape, or misaligned; `time_dist`
        overlapping an input; a count beyond a C int.
    """
    matrices = [(name, *pin(matrix, name, DOUBLES, False))
                for name, matrix in (("ray_params", ray_params), ("time", time), ("dist", dist))]
    layer_ptr, layer_bytes, layer_shape = pin(layer, "layer", DOUBLES, False)
    td_ptr, td_bytes, td_shape = pin(time_dist, "time_dist", DOUBLES, True)
    max_ray_param = real(max_ray_param, "max_ray_param")
    turn = 1 if int_count(allow_turn, "allow_turn") else 0
    n_layers = rows(layer_bytes, layer_shape, "layer", "slowness-layer")
    n_rows = rows(td_bytes, td_shape, "time_dist", "time-distance")
    exact_i, exact_j = max_i is None, max_j is None
    max_i = int_count(n_rows if exact_i else max_i, "max_i")
    max_j = int_count(n_layers if exact_j else max_j, "max_j")
    if not exact_i and n_rows < max_i:
        raise ValueError(f"time_dist: expected at least {max_i} rows (max_i), got {n_rows}")
    if not exact_j and n_layers < max_j:
        raise ValueError(f"layer: expected at least {max_j} rows (max_j), got {n_layers}")
    n_i, n_j = max(max_i, 0), max(max_j, 0)
    for name, _, nbytes, shape in matrices:
        _matrix(nbytes, shape, name, n_i, n_j, exact_i and exact_j)
    cells = 8 * n_i * n_j if n_j else 0
    disjoint([("time_dist", td_ptr, 32 * n_i)],
             [(name, pointer, cells) for name, pointer, _, _ in matrices]
             + [("layer", layer_ptr, 32 * n_j)])
    (_, rp_ptr, _, _), (_, time_ptr, _, _), (_, dist_ptr, _, _) = matrices
    _branch(rp_ptr, time_ptr, dist_ptr, layer_ptr, td_ptr, max_i, max_j,
            _double(max_ray_param), turn)


def _matrix(nbytes, shape, name, n_i, n_j, exact):
    """Checks a (n_i, n_j) row-major matrix of doubles, flat or 2-D."""
    if len(shape) == 2:
        r, c = shape
        if c == n_j and (r == n_i or (not exact and r > n_i)):
            return
        raise ValueError(f"{name}: expected shape ({n_i}, {n_j}) (rays x layers), "
                         f"got {tuple(shape)}")
    if len(shape) > 2:
        raise ValueError(f"{name}: expected a (rays x layers) matrix, got shape {tuple(shape)}")
    if nbytes >> 3 != n_i * n_j:
        length(nbytes, name, n_i * n_j, exact, f"doubles ({n_i} rays x {n_j} layers)")


def seismic_phase_calc_time_inner_loop(
        degree: float, max_distance: float, dist: Buffer, ray_param: Buffer,
        search_dist_results: Optional[Buffer] = None, ray_num_results: Optional[Buffer] = None,
        count: Optional[int] = None) -> Tuple[Sequence[float], Sequence[int]]:
    """Every ray interval of a sampled phase whose distance curve reaches an
    epicentral distance, for the direct and the complementary distance at
    every number of turns around the planet.

    `degree` is reduced to [0, 180]: ``|degree|`` less whole turns of 360, then
    360 minus that if above 180; in radians that is d.  For n = 0, 1, ...
    while d + 2n pi <= max_distance, the curve is scanned for the distance
    d + 2n pi and, unless d is 180 degrees, for 2(n + 1) pi - d.  Interval
    k (joining samples k - 1 and k) gives a hit when its end distances
    bracket the one searched (both ends included; a sample inside the curve
    belongs to the interval it starts) and, when there are more than two
    samples, its ray parameters differ.

    Parameters
    ----------
    degree : float
        Epicentral distance in degrees, of any sign and number of turns.
    max_distance : float
        Largest distance to consider, in radians.
    dist, ray_param : buffers of float64, shape (count,)
        The phase's distance curve: sample k has distance dist[k]
        (radians) at ray parameter ray_param[k].  It may rise, fall and
        fold back.
    search_dist_results : writable buffer of float64, optional
    ray_num_results : writable buffer of int32, optional
        Where the kernel writes the hits.  Each must hold at least
        ``2 * (count - 1) * (floor(max_distance / (2 pi)) + 2)`` entries,
        the most a call can write.  When left out, the hits go to arrays
        made for the call.
    count : int, optional
        Number of samples; by default the length of `dist`, which `ray_param`
        must then match.  Fewer than two samples have no interval.

    Returns
    -------
    search_dist : sequence of float
        For each hit, the distance searched, in radians: the direct or the
        complementary distance, plus its turns.
    ray_num : sequence of int
        For each hit, the index of the interval's first sample.  Hits come
        in order of turns, direct before complementary, then by interval;
        duplicates are kept.  Both are lists when the result arrays were
        made for the call, and otherwise the first entries of the arrays
        passed, sliced as their type slices (a numpy array gives views).

    Notes
    -----
    A non-finite `degree` or `max_distance` finds nothing, and so does a
    `max_distance` below the reduced distance.  The GIL is released while
    the kernel runs.

    Raises
    ------
    TypeError
        A buffer of another element type, not C-contiguous, or a read-only
        result array; a count or scalar of the wrong type.
    ValueError
        A buffer of the wrong length or misaligned; result arrays smaller
        than the bound above, or overlapping each other or the curve; a
        count beyond a C int, or a bound beyond it.
    """
    dist_ptr, dist_bytes, _ = pin(dist, "dist", DOUBLES, False)
    rp_ptr, rp_bytes, _ = pin(ray_param, "ray_param", DOUBLES, False)
    if type(degree) is not float:
        degree = real(degree, "degree")
    if type(max_distance) is not float:
        max_distance = real(max_distance, "max_distance")
    if count is None:
        count = dist_bytes >> 3
        if rp_bytes != dist_bytes:
            length(rp_bytes, "ray_param", count, True, "ray parameters, one per sample in dist")
        if count > INT_MAX:
            raise ValueError(f"dist: {count} samples, more than a C int counts")
    else:
        count = int_count(count, "count")
        length(dist_bytes, "dist", count, False, "samples (count)")
        length(rp_bytes, "ray_param", count, False, "samples (count)")
    # The most hits a call can write: 2 (count - 1) per turn count, over at
    # most floor(max_distance / 2 pi) + 2 turn counts.  Non-finite input
    # (x - x is then NaN) finds nothing.
    bound = 0
    if count > 1 and degree - degree == 0.0 and max_distance - max_distance == 0.0:
        turns = math.floor(max_distance / _TWO_PI) + 2
        if turns > 0:
            bound = 2 * (count - 1) * turns
            if bound > INT_MAX:
                raise ValueError(f"max_distance: {max_distance!r} rad over {count} samples "
                                 f"allows up to {bound} hits, more than a C int counts")
    if search_dist_results is not None or ray_num_results is not None:
        return _search_into(degree, max_distance, dist_ptr, rp_ptr, count, bound,
                            search_dist_results, ray_num_results)
    # Result arrays made anew would cost more than the search: take a pair
    # from the pool (list.pop and append are atomic, so threads, and a call
    # made from a signal handler during another, each get a pair of their
    # own), grown to the bound if need be.  The hits are copied out as lists.
    try:
        hits_d, hits_k = _pool.pop()
    except IndexError:
        hits_d, hits_k = _NO_ROOM
    if len(hits_k) < bound:
        size = max(bound, 2 * len(hits_k), 256)
        hits_d, hits_k = (ctypes.c_double * size)(), (ctypes.c_int * size)()
    hits = _search(_double(degree), _double(max_distance), dist_ptr, rp_ptr, hits_d, hits_k,
                   count)
    _pool.append((hits_d, hits_k))
    return hits_d[:hits], hits_k[:hits]


_pool = []
_NO_ROOM = ((ctypes.c_double * 0)(), (ctypes.c_int * 0)())


def _search_into(degree, max_distance, dist_ptr, rp_ptr, count, bound, results_d, results_k):
    """The search with the caller's result arrays (or one of them)."""
    used = 8 * max(count, 0)
    inputs = [("dist", dist_ptr, used), ("ray_param", rp_ptr, used)]
    outputs = []
    d_ptr = _results(results_d, "search_dist_results", DOUBLES, ctypes.c_double, bound, outputs)
    k_ptr = _results(results_k, "ray_num_results", INTS, ctypes.c_int, bound, outputs)
    disjoint(outputs, inputs)
    hits = _search(_double(degree), _double(max_distance), dist_ptr, rp_ptr, d_ptr, k_ptr, count)
    return (d_ptr[:hits] if results_d is None else results_d[:hits],
            k_ptr[:hits] if results_k is None else results_k[:hits])


def _results(results, name, kind, ctype, bound, outputs):
    """Pointer to a result array with room for `bound` hits: the caller's,
    checked and added to `outputs`, or one made for the call."""
    if results is None:
        return (ctype * bound)()
    pointer, nbytes, _ = pin(results, name, kind, True)
    if nbytes // kind.itemsize < bound:
        raise ValueError(f"{name}: expected room for at least {bound} hits (2 * (count - 1) "
                         f"* (floor(max_distance / (2 pi)) + 2)), got {nbytes // kind.itemsize}")
    outputs.append((name, pointer, kind.itemsize * bound))
    return pointer
