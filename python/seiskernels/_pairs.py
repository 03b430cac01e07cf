"""First arrivals of phases for many (source depth, distance) pairs, each at
its own depth: a dense table of depth x distance per phase, made once per
model from the calculator's own table() and saved beside its tables, then
interpolated one branch at a time.

The table.  At every node of a grid of depths and distances the calculator
gives each arrival's time T, ray parameter p = dT/dD and dT/dh: exact
derivatives of the tau-p tables.  Over each cell of the grid a branch is one
smooth sheet T(h, D), and T is interpolated on it as a bicubic Hermite patch
from its value and both slopes at the four corners; the cross slope at each
corner is the mean of the change of p along the cell's depth edge and of
dT/dh along its distance edge there.  Where branches cross, each is
interpolated on its own and the earliest taken, so that no patch spans a
crossover; the p and dT/dh returned are the slopes of the patch taken, the
exact derivatives of the time returned.

What a branch is.  Two arrivals at neighbouring nodes lie on one sheet if
the trapezoid rule of their slopes along the edge gives the time between
them, and of those that do, the other slope (p along a depth edge, dT/dh
along a distance edge) changes least, with no rival close.  A patch is made
only where one sheet links all four corners both ways round, and where its
cross slope from the distance edges agrees with that from the depth edges
(a sheet made of two across a crossover has a jump of slope in one only).
So a branch keeps its identity across a cell without a name or an index,
and a sheet may change its name along the way (P to Pdiff where the ray
grazes the core, Pn to P below the lid).

Cells that cannot be interpolated.  An arrival at a corner whose sheet does
not reach all four corners (a cusp, the end of a head wave, a triplication
being born, a fold of the near-horizontal rays leaving a source in the lid)
is harmless if it is later than the first complete sheet at its corner by
more than it could gain across the cell, less BUDGET.  Each cell of the
grid is also held to the calculator at CHECKED x CHECKED_DEPTHS points
inside it, for what its corners cannot show (a shadow narrower than the
grid, which iasp91's change of gradient at 2740 km leaves, some 0.1 degree
wide and sweeping 0.07 degree a km of depth).  A cell with a harmful arrival
or a miss is split SPLIT x SPLIT with the calculator's arrivals at the new
nodes, up to LEVELS times; the few cells left (and the two nodes of each
discontinuity, a rounding apart) are solved by the calculator at the pair's
own depth.  Within a split cell's width of a shadow's edge the table may
still give the branch's time where the calculator finds no ray.

The nodes.  Depth steps of 1 km in the crust, 5 km to 800 km, 20 km below
and 10 km in the last 200 km above the core, halving towards each
discontinuity down to 0.5 km on either side (a source on a discontinuity
belongs to the layer below, as in the calculator; the node above it is the
last float above).  Distances every 0.25 degree, 0.125 below 2 degrees and
halving towards 0, where the times of direct waves from shallow sources bend
most.
"""

import hashlib
import math
import re
import threading

import numpy as np

from . import _engine, _tables
from ._phases import names_of

VERSION = 2                 # of the dense tables and their saved form
# Depth nodes: in each range between discontinuities, steps growing from
# NEAR_JUMP at either end (doubling) up to the step of the depth.
SURFACE_NODES = (0.0, 0.05, 0.1, 0.2, 0.35, 0.5, 0.75)
DEPTH_STEPS = ((35.0, 1.0), (800.0, 5.0), (2700.0, 20.0), (math.inf, 10.0))
NEAR_JUMP = 0.5                        # km
# Distance nodes: DISTANCE_STEP, finer near 0.
DISTANCE_STEP = 0.25                   # degrees
NEAR_ZERO = (0.0, 0.0005, 0.001, 0.002, 0.004, 0.008, 0.016, 0.032, 0.0625, 0.09375)
NEAR_STEP = (2.0, 0.125)               # up to 2 degrees, steps of 0.125
# Two arrivals link if the trapezoid rule of their slopes misses the time
# between them by less than LINK_REL of the change of slope across the edge
# times the edge, plus LINK_ABS (the calculator's own error and more).
LINK_REL = 0.4
LINK_ABS = 1e-3             # s
# A rival candidate changes the other slope by less than RIVAL times the
# best one's change, plus CROSS_FLOOR (s/deg for p, s/km for dT/dh).
RIVAL = 3.0
CROSS_FLOOR = (0.01, 0.001)
# The mean cross slope d2T/dDdh of a sheet over a cell, from the change of
# dT/dh along its distance edges and of p along its depth edges (in the
# cell's units, s), must agree within this part of the larger, or TWIST_ABS.
TWIST_REL = 0.5
TWIST_ABS = 0.01            # s
# The most a sheet that reaches only some corners of a cell may gain on the
# first complete one (s): more, and the cell is split.
BUDGET = 2.5e-3
CHECK = 9                   # points a side on which a cell's patches are compared
SPLIT = 4                   # a cell that cannot be interpolated is split SPLIT x SPLIT
LEVELS = 2                  # times at most
GAP = 1e-6                  # km: the two nodes of a discontinuity are closer
SOLVE, CHILDREN = -1, -2    # counts of a cell solved by the calculator, of a split one
CHUNK = 1 << 14             # pairs interpolated at once (their arrays stay in cache)
PAGE = 4096                 # bytes: a memory page, at most
FIELDS = (("time_s", "f8"), ("ray_param_s_deg", "f8"), ("dtdh_s_km", "f8"))


def depth_nodes(tables):
    """Source depths of the dense table, km: from the surface to the last
    float above the core, a node on either side of each discontinuity."""
    cmb = float(tables.cmb)
    jumps = sorted(d for d in tables.meta["discontinuities"] if 0.0 < d < cmb)
    nodes = set(SURFACE_NODES)
    bounds = [0.0] + jumps + [cmb]
    for top, bottom in zip(bounds[:-1], bounds[1:]):
        h = top
        while h < bottom:
            nodes.add(h)
            h += next(s for limit, s in DEPTH_STEPS if h < limit)
        for end, way in ((top, 1.0), (bottom, -1.0)):
            largest = next(s for limit, s in DEPTH_STEPS if end - (way < 0) * 1e-9 < limit)
            step = NEAR_JUMP
            while step < largest:
                if top < end + way * step < bottom:
                    nodes.add(end + way * step)
                step *= 2.0
        nodes.add(float(np.nextafter(bottom, -np.inf)))
    return np.array(sorted(nodes))


def distance_nodes():
    """Distances of the dense table, degrees: 0 to 180."""
    near = np.arange(NEAR_STEP[1], NEAR_STEP[0], NEAR_STEP[1])
    steps = np.arange(NEAR_STEP[0], 180.0, DISTANCE_STEP)
    return np.unique(np.concatenate([NEAR_ZERO, near, steps, [180.0]]))


# A patch, one record so that a pair reads one place: the time at the cell's
# first corner in float64, the other 15 bicubic coefficients of u^i v^j
# (i, j) = (0, 1), (0, 2), ... (3, 3) in float32, the p that parts its two
# names (-inf for one name) and the names' codes (hi | lo << 16).
PATCH = np.dtype([("t0", "<f8"), ("c", "<f4", (15,)), ("p_split", "<f4"), ("names", "<i4"),
                  ("pad", "<i4")])


class Dense:
    """One phase's dense table, as saved: the grid (depths, distances); a
    word per cell, first * 8 + count + 2, of its count of patches and the
    first of them (count SOLVE: solved by the calculator; CHILDREN: split,
    first being its first sub-cell, sub-cells by depth then distance); and
    the patches (PATCH records, as bytes), u along the distance and v along
    the depth, each 0 to 1 across the cell."""

    def __init__(self, arrays, meta):
        self.a, self.meta = arrays, meta
        self.phase = meta["phase"]
        self.h, self.x = arrays["depths"], arrays["distances"]
        self.nx = len(self.x)
        # In memory of the process's own, not the saved file's pages (mapped
        # pages of a file are 4 kB and may be dropped and read again: each
        # pair reads a random patch).
        self.cells = np.array(arrays["cells"])
        self.count, self.first = (self.cells & 7) - 2, self.cells >> 3
        self.patches = np.array(arrays["patches"]).view(PATCH).ravel()
        # Gathered as plain bytes (numpy copies a record of fields one by one).
        self._raw = self.patches.view(np.dtype((np.void, PATCH.itemsize)))
        self.names = np.array(list(meta["names"]) + [""])
        self.empty = len(self.names) - 1
        self._inv_h, self._inv_x = 1.0 / np.diff(self.h), 1.0 / np.diff(self.x)
        self._next_h, self._next_x = np.append(self.h[1:], np.inf), np.append(self.x[1:], np.inf)
        self._lut_h, self._lut_x = _lookup(self.h), _lookup(self.x)
        self._engine = None

    def engine_table(self):
        """The table as the engine reads it, made once."""
        if self._engine is None:
            self._engine = _engine.PairTable(self.h, self.x, self.cells, self.patches,
                                             self._lut_h, self._lut_x)
        return self._engine


def _lookup(nodes):
    """(start, scale, table): table[int((value - start) * scale)] is the last node at or
    below the start of the value's bin, LUT_BINS to the coarsest step of
    the nodes; a bin holds at most a few nodes but near 0 and at the two
    nodes of a discontinuity (see _locate).  Small enough to stay in cache."""
    d = np.diff(nodes)
    step = float(np.max(d)) / LUT_BINS
    n = int(math.ceil((nodes[-1] - nodes[0]) / step)) + 2
    edges = nodes[0] + step * np.arange(n)
    return float(nodes[0]), 1.0 / step, np.maximum(
        np.searchsorted(nodes, edges, side="right") - 1, 0).astype(np.int32)


LUT_BINS = 40


def _finish(out, hs, xs, names, phase, model):
    """The Dense of the built cells and patches."""
    coef = out["coef"]
    patches = np.zeros(len(coef), PATCH)
    patches["t0"] = coef[:, 0]
    patches["c"] = coef[:, 1:]
    patches["p_split"] = out["p_split"]
    patches["names"] = (out["name_hi"].astype(np.int32) & 0xFFFF) | \
        (out["name_lo"].astype(np.int32) << 16)
    cells = out["first"].astype(np.int64) * 8 + out["count"].astype(np.int64) + 2
    if len(cells) and (cells.max() >= 2 ** 31 or out["count"].max() > 5):
        raise ValueError("dense table: too many cells or patches in a cell")
    arrays = {"depths": hs, "distances": xs, "cells": cells.astype(np.int32),
              "patches": patches.view(np.uint8).reshape(len(coef), PATCH.itemsize)}
    return Dense(arrays, {"phase": phase, "names": names, "model": model})


# --- saved beside the model's tables --------------------------------------------
#
# A file of its own per phase: each is built the first time it is asked for,
# long after the tables were saved (and while other processes may be mapping
# them), and its key (the tables' key, this module's version and its grid)
# makes a stale one rebuilt without touching the tables.  The format is the
# tables' own, every array checksummed.

def key_of(tt, phase, hs, xs):
    grid = hashlib.sha256(np.ascontiguousarray(hs).tobytes() +
                          np.ascontiguousarray(xs).tobytes()).hexdigest()[:16]
    rules = f"{LINK_REL:g}-{LINK_ABS:g}-{RIVAL:g}-{TWIST_REL:g}-{BUDGET:g}-{SPLIT}-{LEVELS}"
    return f"pairs-v{VERSION}-{rules}-{grid}-{phase}-{tt._key}"


def path_of(tt, phase):
    saved = getattr(tt, "_saved", None)
    if not saved:
        return None
    tag = re.sub(r"[^A-Za-z0-9]", "_", phase) + "-" + \
        hashlib.sha256(phase.encode()).hexdigest()[:8]
    return f"{saved}.{tag}.pairs"


def load(path, key):
    """The Dense saved at `path` under `key`, or None if absent, stale or
    damaged."""
    read = _tables.read(path, key)
    if read is None:
        return None
    arrays, meta = read
    need = {"depths", "distances", "cells", "patches"}
    if not need <= set(arrays) or not isinstance(meta, dict) or "names" not in meta:
        return None
    try:
        dense = Dense(arrays, meta)
    except (KeyError, TypeError, ValueError):
        return None
    ok = arrays["patches"].ndim == 2 and arrays["patches"].shape[1] == PATCH.itemsize and \
        meta.get("phase") is not None and \
        len(dense.cells) >= (len(dense.h) - 1) * (dense.nx - 1)
    return dense if ok else None


_lock = threading.Lock()


def dense_of(tt, phase, depths=None, distances=None):
    """The dense table of a checked phase name for a TravelTimes object:
    kept on it, else loaded from beside its tables, else built (and saved)."""
    kept = tt.__dict__.setdefault("_pair_tables", {})
    dense = kept.get(phase)
    if dense is not None and depths is None and distances is None:
        return dense
    with _lock:
        hs = depth_nodes(tt.tables) if depths is None else np.asarray(depths, np.float64)
        xs = distance_nodes() if distances is None else np.asarray(distances, np.float64)
        key = key_of(tt, phase, hs, xs)
        path = path_of(tt, phase)
        dense = load(path, key) if path else None
        if dense is None:
            dense = build(tt, phase, hs, xs)
            if path:
                try:
                    _tables.save(dense, path, key)
                except OSError:
                    pass        # a read-only cache only costs the next process the build
        kept[phase] = dense
        return dense


# --- building ---------------------------------------------------------------

def build(tt, phase, depths=None, distances=None):
    """The dense table of one phase from the calculator's table(): the grid's
    cells, then each cell that cannot be interpolated split into SPLIT x
    SPLIT cells with the calculator's arrivals at their nodes, down to
    LEVELS times."""
    hs = depth_nodes(tt.tables) if depths is None else np.asarray(depths, np.float64)
    xs = distance_nodes() if distances is None else np.asarray(distances, np.float64)
    if hs[-1] >= tt.tables.cmb:
        hs = np.append(hs[hs < tt.tables.cmb], np.nextafter(tt.tables.cmb, -np.inf))
    vocab = {}
    nodes = _arrivals(tt, phase, [(h, xs) for h in hs], vocab)
    nx = len(xs)
    i, j = np.divmod(np.arange((len(hs) - 1) * (nx - 1)), nx - 1)
    corners = np.stack([i * nx + j, i * nx + j + 1, (i + 1) * nx + j, (i + 1) * nx + j + 1], -1)
    box = np.stack([hs[i], hs[i + 1], xs[j], xs[j + 1]], -1)
    out = _cell_patches(nodes, corners, box[:, 3] - box[:, 2], box[:, 1] - box[:, 0])
    out["count"][_disagree(tt, phase, hs, xs, out)] = SOLVE
    count, first = out["count"], out["first"]
    parts = [out]
    total = len(out["coef"])
    for _ in range(LEVELS):
        # A cell across a discontinuity (its nodes a rounding apart) stays
        # with the calculator.
        bad = np.flatnonzero((count == SOLVE) & (box[:, 1] - box[:, 0] > GAP))
        if not len(bad):
            break
        sub_box, sub_corners, requests = _split(box[bad])
        nodes = _arrivals(tt, phase, requests, vocab)
        out = _cell_patches(nodes, sub_corners, sub_box[:, 3] - sub_box[:, 2],
                            sub_box[:, 1] - sub_box[:, 0])
        base = len(count)
        count[bad] = CHILDREN
        first[bad] = base + SPLIT * SPLIT * np.arange(len(bad))
        out["first"] += total
        total += len(out["coef"])
        count = np.concatenate([count, out["count"]])
        first = np.concatenate([first, out["first"]])
        box = np.concatenate([box, sub_box])
        parts.append(out)
    names = [""] * len(vocab)
    for name, c in vocab.items():
        names[c] = name
    merged = {k: np.concatenate([p[k] for p in parts]) for k in parts[0]}
    merged["count"], merged["first"] = count, first
    merged["coef"] = merged["coef"].reshape(-1, 16)
    return _finish(merged, hs, xs, names, phase, tt.name)


def _disagree(tt, phase, hs, xs, out):
    """The cells of the grid whose patches miss the calculator's first
    arrival by more than BUDGET, or give one where it has none or the
    reverse, at CHECKED points across CHECKED_DEPTHS of each cell: what the
    corners cannot show (a shadow narrower than a cell, a branch born and
    gone between nodes).  They are split like the cells a branch only
    partly reaches."""
    nx = len(xs)
    frac = np.array(CHECKED)
    xq = (xs[:-1, None] + np.diff(xs)[:, None] * frac).ravel()
    u = np.tile(frac, nx - 1)
    coef = out["coef"].reshape(-1, 4, 4)
    power_u = u[:, None] ** np.arange(4)
    bad = np.zeros(len(out["count"]), bool)
    for i, v in ((i, v) for i in np.flatnonzero(np.diff(hs) > GAP) for v in CHECKED_DEPTHS):
        power_v = v ** np.arange(4)
        ref = np.full(len(xq), np.inf)
        rows = tt.table([hs[i] + v * (hs[i + 1] - hs[i])], xq, (phase,))
        np.minimum.at(ref, np.searchsorted(xq, rows["distance_deg"]), rows["time_s"])
        ref[np.isinf(ref)] = np.nan
        cells = np.repeat(i * (nx - 1) + np.arange(nx - 1), len(frac))
        count, first = out["count"][cells], out["first"][cells]
        ours = np.full(len(xq), np.inf)
        for extra in range(int(count.max(initial=0))):
            has = np.flatnonzero(count > extra)
            c = coef[first[has] + extra]
            ours[has] = np.minimum(ours[has], np.einsum("ni,nij,j->n", power_u[has], c, power_v))
        ours[np.isinf(ours)] = np.nan
        with np.errstate(invalid="ignore"):
            miss = (np.isnan(ours) != np.isnan(ref)) | (np.abs(ours - ref) > BUDGET)
        bad[cells[miss & (count >= 0)]] = True
    return bad


# Points of each cell checked against the calculator: parts of its width,
# at parts of its height.
CHECKED = (0.125, 0.25, 0.375, 0.5, 0.625, 0.75, 0.875)
CHECKED_DEPTHS = (1.0 / 6.0, 0.5, 5.0 / 6.0)


def _split(box):
    """The cells SPLIT x SPLIT of each box (h0, h1, x0, x1), row by row in
    depth, their corner nodes, and the (depth, distances) the calculator is
    asked for: one request per distinct depth."""
    k = np.arange(SPLIT + 1) / SPLIT
    sub_h = box[:, :1] + (box[:, 1:2] - box[:, :1]) * k           # (n, S+1)
    sub_x = box[:, 2:3] + (box[:, 3:4] - box[:, 2:3]) * k
    sub_h[:, -1], sub_x[:, -1] = box[:, 1], box[:, 3]
    n = len(box)
    uniq, inv = np.unique(sub_h.ravel(), return_inverse=True)
    inv = inv.reshape(n, SPLIT + 1)
    which = np.repeat(np.arange(n), SPLIT + 1)
    order = np.argsort(inv.ravel(), kind="stable")
    starts = np.searchsorted(inv.ravel()[order], np.arange(len(uniq) + 1))
    requests = [(float(uniq[d]), np.unique(sub_x[which[order[starts[d]:starts[d + 1]]]]))
                for d in range(len(uniq))]
    # Each node's place in the requests laid end to end: the requests'
    # distances keyed by request (distances are below 1000 degrees).
    keys = np.concatenate([r * 1000.0 + x for r, (_, x) in enumerate(requests)])
    node = np.searchsorted(keys, inv[:, :, None] * 1000.0 + sub_x[:, None, :])
    a, c = np.divmod(np.arange(SPLIT * SPLIT), SPLIT)
    corners = np.stack([node[:, a, c], node[:, a, c + 1], node[:, a + 1, c],
                        node[:, a + 1, c + 1]], -1).reshape(-1, 4)
    sub_box = np.stack([sub_h[:, a], sub_h[:, a + 1], sub_x[:, c], sub_x[:, c + 1]],
                       -1).reshape(-1, 4)
    return sub_box, corners, requests


def _arrivals(tt, phase, requests, vocab):
    """(T, P, Q, C), each (nodes, m): every arrival of the phase at each node
    of the requests (depth, distances), in time order, NaN (C -1) past the
    last; C the code of the name in `vocab`, which grows."""
    parts, offset = [], 0
    for depth, xs in requests:
        tab = tt.table([depth], xs, (phase,))
        parts.append((offset + np.searchsorted(xs, tab["distance_deg"]), tab))
        offset += len(xs)
    node = np.concatenate([n for n, _ in parts]) if parts else np.zeros(0, np.int64)
    tab = np.concatenate([t for _, t in parts]) if parts else None
    if not len(node):
        return tuple(np.full((offset, 1), np.nan) for _ in range(3)) + \
            (np.full((offset, 1), -1, np.int16),)
    starts = np.flatnonzero(np.r_[True, node[1:] != node[:-1]])
    rank = np.arange(len(node)) - np.repeat(starts, np.diff(np.r_[starts, len(node)]))
    m = int(rank.max()) + 1
    T, P, Q = (np.full((offset, m), np.nan) for _ in range(3))
    C = np.full((offset, m), -1, np.int16)
    names, code = np.unique(tab["phase"], return_inverse=True)
    for name in names.tolist():
        vocab.setdefault(name, len(vocab))
    code = np.array([vocab[n] for n in names.tolist()], np.int16)[code]
    T[node, rank], P[node, rank] = tab["time_s"], tab["ray_param_s_deg"]
    Q[node, rank], C[node, rank] = tab["dtdh_s_km"], code
    return T, P, Q, C


def _links(a, b, slope, step):
    """For each arrival at the first node of each edge, the arrival at the
    second that lies on the same sheet, or -1.

    Candidates are the arrivals the trapezoid rule of the slope along the
    edge reaches (within LINK_REL of the change of that slope, and
    LINK_ABS).  Across a crossover half-way along the edge the other sheet
    passes that test too, so the candidate taken is the one whose other
    slope (p along a depth edge, dT/dh along a distance edge) changes
    least: it changes smoothly on one sheet and jumps between two.  A link
    is made only if no other candidate comes within RIVAL of that change,
    unless it is the same arrival for the patches (within SAME: the ray
    grazing a boundary and its head wave, the two sides of a fold), and the
    choice is the same both ways.  `a` and `b` are (T, P, Q) at the two
    ends, `slope` 1 (P) or 2 (Q) the one along the edge."""
    other = 3 - slope
    floor = CROSS_FLOOR[other - 1]
    m = a[0].shape[-1]
    at = [x[..., :, None] for x in a]
    bt = [x[..., None, :] for x in b]
    with np.errstate(invalid="ignore"):
        miss = np.abs(bt[0] - at[0] - 0.5 * (at[slope] + bt[slope]) * step)
        ok = miss <= LINK_REL * np.abs(bt[slope] - at[slope]) * step + LINK_ABS
        cross = np.where(ok, np.abs(bt[other] - at[other]), np.inf)
    best_b = np.argmin(cross, axis=-1)                         # (..., m)
    best_a = np.argmin(cross, axis=-2)                         # (..., m), per b
    c_b = np.take_along_axis(cross, best_b[..., None], -1)     # (..., m, 1)
    c_a = np.take_along_axis(cross, best_a[..., None, :], -2)  # (..., 1, m)
    found = np.isfinite(c_b[..., 0])
    near_b = cross <= RIVAL * c_b + floor
    near_a = cross <= RIVAL * c_a + floor
    rival_b = (near_b & ~_same(b, best_b)).any(-1)
    rival_a = (near_a & ~np.swapaxes(_same(a, best_a), -1, -2)).any(-2)     # per b
    back = np.take_along_axis(best_a, best_b, -1)
    mutual = np.take_along_axis(_same(a, np.broadcast_to(np.arange(m), best_b.shape)),
                                back[..., None], -1)[..., 0]
    good = found & ~rival_b & mutual & ~np.take_along_axis(rival_a, best_b, -1)
    return np.where(good, best_b, -1).astype(np.int8)


SAME = (1e-3, 5e-3, 5e-4)     # s, s/deg, s/km


def _same(node, pick):
    """[..., k, l]: arrival l of a node is one with arrival pick[..., k]."""
    out = True
    for x, tol in zip(node, SAME):
        xk = np.take_along_axis(x, pick, -1)[..., :, None]
        with np.errstate(invalid="ignore"):
            out = out & (np.abs(x[..., None, :] - xk) <= tol)
    return out


# Hermite cubic on [0, 1] in powers of u from (f0, f1, f0', f1').
HERMITE = np.array([[1.0, 0.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [-3.0, 3.0, -2.0, -1.0],
                    [2.0, -2.0, 1.0, 1.0]])


def _patch_coef(t, fu, fv):
    """Bicubic coefficients c[..., i, j] of u^i v^j from the values t, the
    slopes fu (along u) and fv (along v), each [..., corner] with corners
    (u, v) = (0, 0), (1, 0), (0, 1), (1, 1), in cell units.  The cross slope
    at each corner is the mean of the two edges' mean cross slopes there:
    the change of fu along the edge in v, and of fv along the edge in u."""
    twist_v = np.stack([fu[..., 2] - fu[..., 0], fu[..., 3] - fu[..., 1]], -1)  # u = 0, 1
    twist_u = np.stack([fv[..., 1] - fv[..., 0], fv[..., 3] - fv[..., 2]], -1)  # v = 0, 1
    tw = 0.5 * np.stack([twist_v[..., 0] + twist_u[..., 0], twist_v[..., 1] + twist_u[..., 0],
                         twist_v[..., 0] + twist_u[..., 1], twist_v[..., 1] + twist_u[..., 1]],
                        -1)
    g = np.empty(t.shape[:-1] + (4, 4))
    # rows: f(u=0), f(u=1), fu(u=0), fu(u=1); columns: the same in v.
    for (row, col), k in (((0, 0), 0), ((1, 0), 1), ((0, 1), 2), ((1, 1), 3)):
        g[..., row, col] = t[..., k]
        g[..., row, 2 + col] = fv[..., k]
        g[..., 2 + row, col] = fu[..., k]
        g[..., 2 + row, 2 + col] = tw[..., k]
    return HERMITE @ g @ HERMITE.T


def _cell_patches(nodes, corners, dx, dh):
    """Each cell's patches, the earliest at its middle first, of the sheets
    that link all four corners and can be first somewhere in it.  `corners`
    (cells, 4) are node numbers (u, v) = (0, 0), (1, 0), (0, 1), (1, 1), u
    along the distance, v along the depth; dx and dh the cells' sizes.
    count is SOLVE for a cell that cannot be interpolated, 0 for one where
    the phase never arrives."""
    out = {k: [] for k in ("count", "first", "coef", "name_hi", "name_lo", "p_split")}
    base = 0
    for c0 in range(0, len(corners), CELLS):
        part = _some_cells(nodes, corners[c0:c0 + CELLS], dx[c0:c0 + CELLS],
                           dh[c0:c0 + CELLS])
        part["first"] += base
        base += len(part["coef"])
        for k in out:
            out[k].append(part[k])
    return {k: np.concatenate(v) for k, v in out.items()}


CELLS = 4096                # cells worked on at once


def _some_cells(nodes, corners, dx, dh):
    T, P, Q, C = nodes
    n, m = len(corners), T.shape[1]
    at = [tuple(x[corners[:, k]] for x in (T, P, Q)) for k in range(4)]    # (n, m) each
    step_x, step_h = dx[:, None, None], dh[:, None, None]
    l_x0 = _links(at[0], at[1], 1, step_x)
    l_x1 = _links(at[2], at[3], 1, step_x)
    l_h0 = _links(at[0], at[2], 2, step_h)
    l_h1 = _links(at[1], at[3], 2, step_h)
    rows = np.arange(n)[:, None]
    a, b = l_x0, l_h0                                   # corner (1, 0), (0, 1) of each slot
    ab = l_h1[rows, np.maximum(a, 0)]
    ba = l_x1[rows, np.maximum(b, 0)]
    whole = ~np.isnan(at[0][0]) & (a >= 0) & (b >= 0) & (ab >= 0) & (ab == ba)
    slot = np.stack([np.broadcast_to(np.arange(m), (n, m)), np.maximum(a, 0), np.maximum(b, 0),
                     np.maximum(ab, 0)], -1)                                  # (n, m, 4)
    node = corners[:, None, :]
    t_all = T[node, slot]
    p, q, code = P[node, slot], Q[node, slot], C[node, slot]
    wx, wh = dx[:, None], dh[:, None]
    # One sheet has one cross slope: from dT/dh along the distance edges
    # and from p along the depth edges alike.
    tau_x = 0.5 * (q[..., 1] - q[..., 0] + q[..., 3] - q[..., 2]) * wh
    tau_h = 0.5 * (p[..., 2] - p[..., 0] + p[..., 3] - p[..., 1]) * wx
    with np.errstate(invalid="ignore"):
        whole &= np.abs(tau_x - tau_h) <= np.maximum(
            TWIST_ABS, TWIST_REL * np.maximum(np.abs(tau_x), np.abs(tau_h)))
    t = np.where(whole[..., None], t_all, np.nan)                            # (n, m, 4)
    # The arrivals at each corner that no complete sheet covers.
    covered = np.zeros((n, 4, m + 1), bool)
    for k in range(4):
        covered[rows, k, np.where(whole, slot[..., k], m)] = True
    covered = covered[..., :m]
    any_whole = whole.any(-1)
    with np.errstate(invalid="ignore"):
        first = np.argmin(np.where(np.isnan(t), np.inf, t), axis=1)          # (n, 4)
    best = [np.take_along_axis(x, first[:, None, :], 1)[:, 0] for x in (t, p, q)]   # (n, 4)
    node_t = np.stack([x[0] for x in at], 1)                                  # (n, 4, m)
    node_p = np.stack([x[1] for x in at], 1)
    node_q = np.stack([x[2] for x in at], 1)
    loose = ~np.isnan(node_t) & ~covered
    with np.errstate(invalid="ignore"):
        lead = node_t - best[0][..., None]
        # The most a loose sheet can gain on the first across the cell.
        gain = 1.5 * (np.abs(node_p - best[1][..., None]) * dx[:, None, None] +
                      np.abs(node_q - best[2][..., None]) * dh[:, None, None])
        harmful = loose & ~(lead > gain - BUDGET)
    bad = harmful.any((-1, -2)) | (~any_whole & loose.any((-1, -2)))
    # Sheets that are surely later than another at every corner by more than
    # they can gain across the cell are dropped before their patches are
    # compared.
    with np.errstate(invalid="ignore"):
        behind = t - best[0][:, None, :]
        reach = 1.5 * (np.abs(p - best[1][:, None, :]) * wx[..., None] +
                       np.abs(q - best[2][:, None, :]) * wh[..., None])
        maybe = whole & ~(behind > reach).all(-1)
    fu = p * wx[..., None]
    fv = q * wh[..., None]
    coef = _patch_coef(np.where(np.isnan(t), 0.0, t), fu, fv)                # (n, m, 4, 4)
    # Of the rest, each patch is compared with the others on a grid of the
    # cell: it is kept if it comes within its slack of the earliest at some
    # point (the slack: what the difference of two patches can change
    # between neighbouring points of the grid).
    keep = maybe.copy()
    multi = np.flatnonzero(maybe.sum(-1) > 1)
    if len(multi):
        cm, mm = coef[multi], maybe[multi]
        val = np.einsum("ai,...ij,bj->...ab", PW, cm, PW)
        du = np.einsum("ai,...ij,bj->...ab", DPW, cm, PW)
        dv = np.einsum("ai,...ij,bj->...ab", PW, cm, DPW)
        val = np.where(mm[..., None, None], val, np.inf)
        low = np.min(val, axis=1, keepdims=True)
        arg = np.argmin(val, axis=1)[:, None]
        slope = np.abs(du - np.take_along_axis(du, arg, 1)) + \
            np.abs(dv - np.take_along_axis(dv, arg, 1))
        slack = np.max(np.where(mm[..., None, None], slope, 0.0), axis=(-1, -2)) / \
            (CHECK - 1) + LINK_ABS
        with np.errstate(invalid="ignore"):
            keep[multi] = mm & (np.min(val - low, axis=(-1, -2)) <= slack)
    # Names: one, or two parted by p along the sheet (P and Pdiff).
    big = np.iinfo(np.int16).max
    lo_code = np.where(keep[..., None], code, big).min(-1)
    hi_code = np.where(keep[..., None], code, -1).max(-1)
    two = keep & (lo_code != hi_code)
    top = np.argmax(np.where(np.isnan(p), -np.inf, p), axis=-1)
    n_hi = np.take_along_axis(code, top[..., None], -1)[..., 0]
    n_lo = np.where(n_hi == hi_code, lo_code, hi_code)
    in_lo = code == n_lo[..., None]
    split = np.where(in_lo, p, -np.inf).max(-1)
    order_ok = np.where(~in_lo, p, np.inf).min(-1) > split
    many = keep[..., None] & (code != n_hi[..., None]) & (code != n_lo[..., None])
    bad |= (two & ~order_ok).any(-1) | many.any((-1, -2))
    # The order of a cell's patches: the earliest at its middle first.
    mid = (coef[..., 0, 0] + coef[..., 1, 0] / 2 + coef[..., 2, 0] / 4 + coef[..., 3, 0] / 8 +
           (coef[..., 0, 1] + coef[..., 1, 1] / 2 + coef[..., 2, 1] / 4 + coef[..., 3, 1] / 8) / 2 +
           (coef[..., 0, 2] + coef[..., 1, 2] / 2 + coef[..., 2, 2] / 4 + coef[..., 3, 2] / 8) / 4 +
           (coef[..., 0, 3] + coef[..., 1, 3] / 2 + coef[..., 2, 3] / 4 + coef[..., 3, 3] / 8) / 8)
    keep &= ~bad[:, None]
    order = np.argsort(np.where(keep, mid, np.inf), axis=-1, kind="stable")
    n_keep = keep.sum(-1)
    cell, k = np.nonzero(np.take_along_axis(keep, order, -1))
    src = order[cell, k]
    count = np.where(bad, SOLVE, n_keep).astype(np.int8)
    firsts = np.cumsum(n_keep) - n_keep
    return {"count": count, "first": firsts.astype(np.int64),
            "coef": coef[cell, src].reshape(-1, 16),
            "name_hi": np.where(two, n_hi, hi_code)[cell, src].astype(np.int16),
            "name_lo": np.where(two, n_lo, hi_code)[cell, src].astype(np.int16),
            "p_split": np.where(two, split, -np.inf)[cell, src]}


_U = np.linspace(0.0, 1.0, CHECK)
PW = _U[:, None] ** np.arange(4)
DPW = np.concatenate([np.zeros((CHECK, 1)), PW[:, :3] * np.arange(1, 4)], axis=1)


# --- the query ----------------------------------------------------------------

def _locate(values, nodes, following, lut):
    """Cell [nodes[i], nodes[i + 1]] holding each value: the bin's node,
    moved up twice, and the few values left (in bins of many nodes) found
    by bisection."""
    start, scale, table = lut
    i = table[np.clip(((values - start) * scale).astype(np.intp), 0, len(table) - 1)]
    i += values >= following[i]
    i += values >= following[i]
    left = np.flatnonzero(values >= following[i])
    if len(left):
        i[left] = np.searchsorted(nodes, values[left], side="right") - 1
    return np.minimum(i, len(nodes) - 2)


def evaluate(dense, h, x, out):
    """Interpolate checked pairs (1-D float64 arrays) into `out` (a record
    array with the fields of FIELDS and "phase"): NaN and the empty name
    where the phase does not arrive.  Returns the indices of the pairs the
    calculator must solve."""
    return evaluate_many([dense], h, x, [out])[0]


def evaluate_many(denses, h, x, outs, compiled=True):
    """`evaluate` for several phases' tables at once: by the engine where
    the library has it (unless `compiled` is False), else by numpy, each
    chunk of pairs located once for all the tables on the same grid.  The
    two give the same bits: the numpy path is the engine's reference."""
    if compiled and _engine.HAS_PAIRS:
        return [_compiled(dense, h, x, out) for dense, out in zip(denses, outs)]
    n = len(h)
    solve = [[] for _ in denses]
    same = all(np.array_equal(d.h, denses[0].h) and np.array_equal(d.x, denses[0].x)
               for d in denses)
    for s in range(0, n, CHUNK):
        sl = slice(s, min(n, s + CHUNK))
        where = None
        for dense, out, solved in zip(denses, outs, solve):
            if where is None or not same:
                i = _locate(h[sl], dense.h, dense._next_h, dense._lut_h)
                j = _locate(x[sl], dense.x, dense._next_x, dense._lut_x)
                iv, iu = dense._inv_h[i], dense._inv_x[j]
                where = ((h[sl] - dense.h[i]) * iv, (x[sl] - dense.x[j]) * iu,
                         i * (dense.nx - 1) + j, iu, iv)
            v, u, cell, iu, iv = where
            _chunk(dense, u, v, cell, iu, iv, out[sl], s, solved)
    return [np.concatenate(x) if x else np.zeros(0, np.intp) for x in solve]


ENGINE_CHUNK = 1 << 16      # pairs the engine evaluates per call (its scratch stays small)


def _compiled(dense, h, x, out):
    """One table by the engine, written into the fields of `out` in place;
    the indices of the pairs to solve."""
    h = np.ascontiguousarray(h, dtype=np.float64)
    x = np.ascontiguousarray(x, dtype=np.float64)
    n = len(h)
    if not n:
        return np.zeros(0, np.intp)
    fields = [out[name] for name, _ in FIELDS]
    if out.ndim != 1 or len(out) != n or out.strides[0] <= 0 or \
            any(f.dtype != np.float64 for f in fields):
        return evaluate_many([dense], h, x, [out], compiled=False)[0]     # numpy's layouts
    stride = out.strides[0]
    table = dense.engine_table()
    chunk = min(n, ENGINE_CHUNK)
    code = np.empty(chunk, np.intc)
    solve = np.empty(chunk, np.uintp)
    names = dense.names.astype(out.dtype["phase"])      # cut to the field, as numpy assigns
    names = names.view(np.dtype((np.void, names.itemsize)))
    phase = out["phase"].view(names.dtype)
    addresses = [f.ctypes.data for f in fields]
    solved = []
    for s in range(0, n, chunk):
        m = min(chunk, n - s)
        k = table.evaluate(h[s:s + m], x[s:s + m], *(a + s * stride for a in addresses),
                           stride, code, solve)
        phase[s:s + m] = names[code[:m]]
        if k:
            solved.append(s + solve[:k].astype(np.intp))
    return np.concatenate(solved) if solved else np.zeros(0, np.intp)


def _chunk(dense, u, v, cell, iu, iv, out, start, solved):
    """One chunk of one table: the first cell's first patch for all, the
    rest (split cells, several patches, none, solved) on their own."""
    word = dense.cells[cell]
    k = np.minimum(word >> 3, len(dense.patches) - 1)
    t, tu, tv, codes, split = _bicubic(dense, k, u, v)
    odd = np.flatnonzero((word & 7) != 3)
    if len(odd):
        count = (word[odd] & 7) - 2
        iu, iv = iu.copy(), iv.copy()
        t[odd], tu[odd], tv[odd], codes[odd], split[odd], c, iu[odd], iv[odd] = _mixed(
            dense, cell[odd], count, u[odd], v[odd], iu[odd], iv[odd])
        solved.append(start + odd[c == SOLVE])
    tu *= iu
    tv *= iv
    code = np.where(tu > split, codes & 0xFFFF, codes >> 16)
    if len(odd):
        none = odd[c < 1]
        t[none] = tu[none] = tv[none] = np.nan
        code[none] = dense.empty
    out["time_s"], out["ray_param_s_deg"], out["dtdh_s_km"] = t, tu, tv
    out["phase"] = dense.names[code]


def _mixed(dense, cell, count, u, v, iu, iv):
    """The patches of cells that are split, hold several patches, none, or
    are solved: (time, du, dv, names, p_split, count, 1/width, 1/height)."""
    down = np.flatnonzero(count == CHILDREN)
    while len(down):
        su = np.minimum((u[down] * SPLIT).astype(np.intp), SPLIT - 1)
        sv = np.minimum((v[down] * SPLIT).astype(np.intp), SPLIT - 1)
        u[down] = u[down] * SPLIT - su
        v[down] = v[down] * SPLIT - sv
        iu[down] *= SPLIT
        iv[down] *= SPLIT
        cell[down] = dense.first[cell[down]] + sv * SPLIT + su
        count[down] = dense.count[cell[down]]
        down = down[count[down] == CHILDREN]
    n = len(u)
    t, tu, tv = np.full(n, np.nan), np.zeros(n), np.zeros(n)
    codes, split = np.zeros(n, np.int32), np.zeros(n, np.float32)
    more = np.flatnonzero(count >= 1)
    for extra in range(int(count.max(initial=0))):
        if extra:
            more = more[count[more] > extra]
        got = _bicubic(dense, dense.first[cell[more]] + extra, u[more], v[more])
        better = ~(got[0] >= t[more])           # the first patch, or an earlier one
        w = more[better]
        t[w], tu[w], tv[w], codes[w], split[w] = (g[better] for g in got)
    return t, tu, tv, codes, split, count, iu, iv


def _bicubic(dense, k, u, v):
    """Time, its slopes in cell units (along u and v), the name codes and
    the p parting them, of patches k: the coefficients in float32 by rows
    (Horner's rule in v, then in u), the corner's time added in float64."""
    rec = dense._raw[k].view(PATCH)
    c = np.empty((16, len(k)), np.float32)
    c[0] = 0.0
    c[1:] = rec["c"].T
    c = c.reshape(4, 4, -1)
    u, v = u.astype(np.float32), v.astype(np.float32)
    a = ((c[:, 3] * v + c[:, 2]) * v + c[:, 1]) * v + c[:, 0]            # (4, n): powers of u
    b = (3.0 * c[:, 3] * v + 2.0 * c[:, 2]) * v + c[:, 1]
    t = ((a[3] * u + a[2]) * u + a[1]) * u + a[0]
    tu = (3.0 * a[3] * u + 2.0 * a[2]) * u + a[1]
    tv = ((b[3] * u + b[2]) * u + b[1]) * u + b[0]
    return (rec["t0"] + t, tu.astype(np.float64), tv.astype(np.float64), rec["names"],
            rec["p_split"])


def _solve(tt, phase, h, x):
    """(time, p, dT/dh, name) of the first arrival of pairs the table cannot
    interpolate, by the calculator at each pair's own depth."""
    n = len(h)
    time, p, dtdh = np.full(n, np.nan), np.full(n, np.nan), np.full(n, np.nan)
    name = np.full(n, "", dtype=object)
    for depth in np.unique(h).tolist():
        at = np.flatnonzero(h == depth)
        xs, where = np.unique(x[at], return_inverse=True)
        tab = tt.table([depth], xs, (phase,))
        if not len(tab):
            continue
        j = np.searchsorted(xs, tab["distance_deg"])
        order = np.lexsort((tab["time_s"], j))
        first = order[np.r_[True, j[order][1:] != j[order][:-1]]]
        got = np.full(len(xs), -1)
        got[j[first]] = first
        row = got[where]
        ok = row >= 0
        r, a = row[ok], at[ok]
        time[a], p[a] = tab["time_s"][r], tab["ray_param_s_deg"][r]
        dtdh[a], name[a] = tab["dtdh_s_km"][r], tab["phase"][r]
    return time, p, dtdh, name


def _checked(values, what):
    try:
        a = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{what}: expected numbers or an array of numbers, got "
                        f"{type(values).__name__}") from None
    return a


def _first_bad(a, bad, what, allowed):
    index = np.unravel_index(int(np.flatnonzero(bad.ravel())[0]), a.shape) if a.ndim else ()
    where = f"[{index[0]}]" if len(index) == 1 else (f"[{', '.join(map(str, index))}]"
                                                    if index else "")
    value = a[index] if index else a[()]
    return ValueError(f"{what}{where}: {float(value)!r} is not allowed: expected {allowed}")


def first_arrivals(tt, depths, distances, phases=("P", "S"), errors="raise", out=None):
    """The body of TravelTimes.first_arrivals (see there)."""
    if errors not in ("raise", "nan"):
        raise ValueError(f"errors: {errors!r} is not allowed: expected 'raise' or 'nan'")
    names = names_of(phases)
    h, x = _checked(depths, "depths"), _checked(distances, "distances")
    try:
        shape = np.broadcast_shapes(h.shape, x.shape)
    except ValueError:
        raise ValueError(f"depths and distances: shapes {h.shape} and {x.shape} do not "
                         f"broadcast together") from None
    cmb = float(tt.tables.cmb)
    with np.errstate(invalid="ignore"):
        bad_h = ~np.isfinite(h) | (h < 0.0) | (h >= cmb)
        bad_x = ~np.isfinite(x) | (x < 0.0) | (x > 180.0)
    if errors == "raise":
        if bad_h.any():
            raise _first_bad(h, bad_h, "depths", f"a finite depth from 0 to below the "
                             f"core-mantle boundary at {cmb:g} km")
        if bad_x.any():
            raise _first_bad(x, bad_x, "distances", "a finite distance from 0 to 180 degrees")
    hh = np.broadcast_to(h, shape).ravel()
    xx = np.broadcast_to(x, shape).ravel()
    bad = (np.broadcast_to(bad_h, shape) | np.broadcast_to(bad_x, shape)).ravel()
    if bad.any():
        hh, xx = np.where(bad, 0.0, hh), np.where(bad, 0.0, xx)
    tables = [dense_of(tt, name) for name in names]
    width = max([1] + [len(n) for d in tables for n in d.names.tolist()])
    dtype = np.dtype([(name, list(FIELDS) + [("phase", f"U{width}")]) for name in names])
    if out is None:
        result = out = np.empty(shape, dtype)
        # Its pages written once first, in one pass: a page's first write is
        # a fault (costly on a virtual machine), and taken amid the engine's
        # reads of the tables it also drives them out of the cache.
        out.reshape(-1).view(np.uint8)[::PAGE] = 0
    else:
        if not isinstance(out, np.ndarray) or out.dtype != dtype or out.shape != shape or \
                not out.flags.c_contiguous or not out.flags.writeable:
            got = (f"{out.dtype}, shape {out.shape}" if isinstance(out, np.ndarray)
                   else type(out).__name__)
            raise ValueError(f"out: expected a writeable C-contiguous array of dtype {dtype} "
                             f"and shape {shape}, got {got}")
        result = out
    out = result.reshape(-1)
    solves = evaluate_many(tables, hh, xx, [out[name] for name in names])
    for name, solve in zip(names, solves):
        part = out[name]
        solve = solve[~bad[solve]]
        if len(solve):
            time, p, dtdh, got = _solve(tt, name, hh[solve], xx[solve])
            part["time_s"][solve], part["ray_param_s_deg"][solve] = time, p
            part["dtdh_s_km"][solve], part["phase"][solve] = dtdh, got.astype(str)
        if bad.any():
            for field, _ in FIELDS:
                part[field][bad] = np.nan
            part["phase"][bad] = ""
    return result
