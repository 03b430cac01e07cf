"""Tau-p tables of a layered planet: every layer's time and distance on one grid
of ray parameters, summed down each wave's stack of layers once per model, and
saved so that a later process loads them instead of building them.

The mantle is one stack of slowness layers per wave, from the surface to the
core.  Row j of `cum_time` (`cum_dist`) holds, for every ray parameter of the
grid, the time (distance) a ray spends above the top of layer j, going down
once: the layers it crosses, then the one it turns in, cut at its turning point.
A source at a layer boundary splits the mantle into the rows above it and the
difference of the last row and its own; a source inside a layer adds the two
parts of that layer, integrated on their own.  The outer and inner core are
sums over their whole stacks.  The grid holds every boundary slowness of every
stack, so that each interval of it lies within one layer's range for a ray
turning there, and more rays wherever a distance would move too fast.
"""

import ctypes
import hashlib
import json
import math
import os
import tempfile
import zlib

import numpy as np

from . import tau_kernels as sk
from ._earthmodel import P, S
from ._exact import CENTRE_GAP, STEP_KM, layer_rows

VERSION = 3                      # of the tables and of their saved form
MAGIC = b"SEISKERNELS-TABLES\n"
FIT_TOL = math.radians(0.0005)   # largest miss of an interval's interpolation at its middle
MIN_DP = 1e-7                    # narrowest interval refined, as a part of the largest slowness
FILL = 300                       # evenly spread rays besides the boundary slownesses
REFINE_ROUNDS = 16
BIG = ("cum_time_P", "cum_dist_P", "cum_time_S", "cum_dist_S")


class Stack:
    """Slowness-layer rows (n x 4) of one wave, and what tells where a ray stops:
    the least slowness down to each layer."""

    def __init__(self, rows):
        self.rows = np.ascontiguousarray(rows, dtype=np.float64).reshape(-1, 4)
        self.least = np.minimum.accumulate(np.minimum(self.rows[:, 0], self.rows[:, 2])) \
            if len(self.rows) else np.zeros(0)

    def stops(self, p):
        """Index of the first layer each ray cannot cross (n if none)."""
        return np.searchsorted(-self.least, -p, side="right")


def layer_sums(rows, p, radius):
    """(time, dist, stops): time and dist (len(p), n) hold every layer's share
    of each ray going down once, the layer it turns in cut at its turning
    point, and 0 beyond; n stops at the deepest layer any of the rays
    reaches; stops[i] is the first layer ray i cannot cross."""
    stack = Stack(rows)
    stops = stack.stops(p)
    n = min(len(stack.rows), int(stops.max()) + 1) if len(p) else 0
    layer = np.broadcast_to(stack.rows[:n], (len(p), n, 4)).copy()
    i = np.flatnonzero(stops < n)
    j = stops[i]
    cut = layer[i, j]
    top, bot, q = cut[:, 0], cut[:, 2], p[i]
    turns = (top > q) & (q > bot)
    r_top, r_bot = radius - cut[:, 1], radius - cut[:, 3]
    with np.errstate(all="ignore"):
        inv_b = np.log(r_top / r_bot) / np.log(top / bot)
        depth = radius - r_top * (q / top) ** inv_b
    cut[:, 2] = np.where(turns, q, bot)
    cut[:, 3] = np.where(turns, np.minimum(depth, cut[:, 3]), cut[:, 1])
    layer[i, j] = cut
    rays = np.repeat(p, n)
    time, dist = np.zeros(len(p) * n), np.zeros(len(p) * n)
    # The arrays are made here, of the right type and size: the kernel is
    # called without the checks of the public wrapper.
    sk._bullen(_ptr(layer), _ptr(rays), _ptr(time), _ptr(dist), ctypes.c_double(radius),
               len(rays))
    beyond = np.arange(n)[None, :] > stops[:, None]
    time, dist = time.reshape(len(p), n), dist.reshape(len(p), n)
    time[beyond] = 0.0
    dist[beyond] = 0.0
    return time, dist, stops


APPROACH = 24                    # rays closing in on a branch's top slowness, each twice as close
APPROACH_SPAN = 6                # from this many grid steps below it


def approach(grid, eta):
    """Rays below `eta` at 1/2, 1/4, ... of the span of the grid's last
    APPROACH_SPAN steps there: the square root bends the curve well before it."""
    below = grid[grid < eta]
    if not len(below):
        return np.zeros(0)
    gap = eta - below[max(0, len(below) - APPROACH_SPAN)]
    return eta - gap * 0.5 ** np.arange(1, APPROACH + 1)


def shadows(rows):
    """Tops of the low-velocity zones seen going down a run of layers: the
    least slowness above each layer that a ray can enter only by diving."""
    least = np.minimum.accumulate(np.minimum(rows[:, 0], rows[:, 2]))
    below_top, below_bot = rows[1:, 0], rows[1:, 2]
    jump = (below_top > least[:-1]) | ((below_top == least[:-1]) & (below_bot > least[:-1]))
    return set(least[:-1][jump].tolist())


def _ptr(array):
    return ctypes.c_void_p(array.ctypes.data)


def branch_totals(rows, p, radius, centre_eta=None):
    """(time, dist) of each ray across a whole branch, turning in it or not,
    summed by the branch-sum kernel; with `centre_eta`, the rays crossing it
    all also cross the small ball left at the centre, as a homogeneous one."""
    time, dist, stops = layer_sums(rows, p, radius)
    n = time.shape[1]
    td = np.zeros((len(p), 4))
    rays = np.repeat(p, n).reshape(len(p), n)
    sk.tau_branch_calc_time_dist_inner_loop(rays, time, dist, rows[:n], td, math.inf, True)
    t, x = td[:, sk.TD_TIME].copy(), td[:, sk.TD_DIST].copy()
    if centre_eta is not None:
        through = stops == len(rows)
        q = p[through]
        t[through] += np.sqrt(centre_eta ** 2 - q * q)
        x[through] += np.arccos(np.minimum(1.0, q / centre_eta))
    return t, x


def cumulative(rows, p, radius):
    """(time, dist), each (n + 1, len(p)): the rows' shares summed from the
    top down, in the same order as the branch sums."""
    time, dist, _ = layer_sums(rows, p, radius)
    n = time.shape[1]
    out_t, out_x = np.zeros((len(rows) + 1, len(p))), np.zeros((len(rows) + 1, len(p)))
    np.cumsum(time.T, axis=0, out=out_t[1:n + 1])
    np.cumsum(dist.T, axis=0, out=out_x[1:n + 1])
    out_t[n + 1:], out_x[n + 1:] = out_t[n], out_x[n]     # no ray goes deeper
    return out_t, out_x


class Tables:
    """The saved form of a model: its stacks, the grid and the sums."""

    def __init__(self, arrays, meta):
        self.a, self.meta = arrays, meta
        self.radius, self.cmb, self.icb = meta["radius"], meta["cmb"], meta["icb"]
        self.p = arrays["p"]
        self.stacks = {w: Stack(arrays[f"rows_{'PS'[w]}"]) for w in (P, S)}
        self.core = {"K": Stack(arrays["rows_K"]), "I": Stack(arrays["rows_I"]),
                     "J": Stack(arrays["rows_J"])}
        self.core_shadows = {name: shadows(stack.rows) for name, stack in self.core.items()}
        self._row_crc = {name: arrays[f"crc_{name}"] for name in BIG}
        self._checked = set()

    def rows_of(self, name, j):
        """Row j of a big matrix, its checksum verified on first use."""
        row = self.a[name][j]
        if (name, j) not in self._checked:
            if zlib.crc32(row) != int(self._row_crc[name][j]):
                raise DamagedTable(f"row {j} of {name}")
            self._checked.add((name, j))
        return row


class DamagedTable(Exception):
    pass


def build(model):
    """Tables of a model: the stacks, the grid of ray parameters and the sums."""
    radius = model.radius
    rows = {w: np.array(layer_rows(model, w, 0.0, model.cmb, STEP_KM)).reshape(-1, 4)
            for w in (P, S)}
    rows_k = np.array(layer_rows(model, P, model.cmb, model.icb, STEP_KM)).reshape(-1, 4)
    rows_i = np.array(layer_rows(model, P, model.icb, radius * (1.0 - CENTRE_GAP),
                                 STEP_KM)).reshape(-1, 4)
    centre_eta = rows_i[-1, 2]
    # S in the inner core (J), where the model gives it a speed.
    rows_j = np.array(layer_rows(model, S, model.icb, radius * (1.0 - CENTRE_GAP),
                                 STEP_KM)).reshape(-1, 4)
    if not (len(rows_j) and np.all(np.isfinite(rows_j[:, [0, 2]])) and
            np.all(rows_j[:, [0, 2]] > 0.0)):
        rows_j = np.zeros((0, 4))
    centre_eta_j = float(rows_j[-1, 2]) if len(rows_j) else math.nan
    etas = np.concatenate([r[:, [0, 2]].ravel() for r in (rows[P], rows[S], rows_k, rows_i,
                                                          rows_j)])
    top = etas.max()
    grid = np.unique(np.concatenate([[0.0], etas, np.linspace(0.0, top, FILL)]))
    # Rays just above the top of each low-velocity zone, whose curve ends there.
    for w in (P, S):
        tops = np.array(sorted(shadows(rows[w])))
        grid = np.union1d(grid, np.nextafter(tops, np.inf)) if len(tops) else grid
    grid = grid[grid <= top]
    # Where a ray leaves a branch horizontally its distance moves as the square
    # root of p's distance from that slowness: at the top of each branch, and
    # at the top of the layer under each jump of speed.  So does a ray that
    # just crosses the bottom of a branch.  Rays closer and closer to each.
    ends = [rows_k[0, 0], rows_i[0, 0], rows_k[-1, 2]] + ([rows_j[0, 0]] if len(rows_j) else [])
    for w in (P, S):
        r = rows[w]
        ends += [r[0, 0], r[-1, 2]] + r[1:, 0][r[1:, 0] != r[:-1, 2]].tolist()
    for eta in ends:
        grid = np.union1d(grid, approach(grid, eta))

    def curves(p):
        """(distance, tau) against p of the rays that turn in, or are reflected
        at the bottom of, the mantle, the outer core and the inner core, for a
        source at the surface: the curves every phase is made of."""
        tk, xk = branch_totals(rows_k, p, radius)
        ti, xi = branch_totals(rows_i, p, radius, centre_eta)
        core = [(0.0, 0.0), (tk, xk), (tk + ti, xk + xi)]
        if len(rows_j):
            tj, xj = branch_totals(rows_j, p, radius, centre_eta_j)
            core.append((tk + tj, xk + xj))
        out = []
        for w in (P, S):
            tm, xm = branch_totals(rows[w], p, radius)
            for tc, xc in core:
                t, x = tm + tc, xm + xc
                out.append((2.0 * x, 2.0 * (t - p * x)))
        return out

    # Each interval is checked as the arrivals will use it: its distance taken
    # as quadratic in p with the mean that the drop of tau gives.  Where that
    # misses the distance of the middle ray by more than FIT_TOL, the middle
    # ray joins the grid, until no interval misses.  This closes in on folds,
    # on the square-root onsets where a ray leaves a branch horizontally, and
    # on the bends below jumps of speed; at a true jump of distance it stops
    # at MIN_DP.
    ends = curves(grid)
    todo = np.ones(len(grid) - 1, bool)
    for _ in range(REFINE_ROUNDS):
        k = np.flatnonzero(todo & (np.diff(grid) > MIN_DP * top))
        if not len(k):
            break
        mid = 0.5 * (grid[k] + grid[k + 1])
        at_mid = curves(mid)
        bad = np.zeros(len(k), bool)
        for (x, tau), (x_mid, _) in zip(ends, at_mid):
            with np.errstate(all="ignore"):
                x1, x2, d = x[k], x[k + 1], grid[k + 1] - grid[k]
                c = 3.0 * (x1 + x2) - 6.0 * (tau[k] - tau[k + 1]) / d
                guess = x1 + 0.5 * (x2 - x1 - c) + 0.25 * c
                bad |= np.abs(x_mid - guess) > FIT_TOL
        new = mid[bad]
        order = np.argsort(np.concatenate([grid, new]), kind="stable")
        grid = np.concatenate([grid, new])[order]
        ends = [(np.concatenate([x, xm[bad]])[order], np.concatenate([t, tm[bad]])[order])
                for (x, t), (xm, tm) in zip(ends, at_mid)]
        is_new = np.zeros(len(grid), bool)
        is_new[np.searchsorted(grid, new)] = True
        todo = is_new[:-1] | is_new[1:]
    arrays = {"p": grid, "rows_P": rows[P], "rows_S": rows[S], "rows_K": rows_k,
              "rows_I": rows_i}
    for w in (P, S):
        t, x = cumulative(rows[w], grid, radius)
        arrays[f"cum_time_{'PS'[w]}"], arrays[f"cum_dist_{'PS'[w]}"] = t, x
    arrays["K_time"], arrays["K_dist"] = branch_totals(rows_k, grid, radius)
    arrays["I_time"], arrays["I_dist"] = branch_totals(rows_i, grid, radius, centre_eta)
    arrays["rows_J"] = rows_j
    if len(rows_j):
        arrays["J_time"], arrays["J_dist"] = branch_totals(rows_j, grid, radius, centre_eta_j)
    else:
        arrays["J_time"] = arrays["J_dist"] = np.full(len(grid), np.nan)
    shells = np.array([(s.top, s.bottom, *s.ends[P], *s.ends[S]) for s in model.shells])
    arrays["shells"] = shells
    arrays["regions"] = np.array([d for d, _ in model.regions], dtype=np.float64)
    for name in BIG:
        arrays[f"crc_{name}"] = np.array([zlib.crc32(r) for r in arrays[name]], dtype=np.int64)
    meta = {"radius": radius, "cmb": model.cmb, "icb": model.icb, "name": model.name,
            "region_letters": "".join(letter for _, letter in model.regions),
            "centre_eta": float(centre_eta), "centre_eta_J": centre_eta_j,
            "discontinuities": list(model.discontinuities), "moho": model.moho}
    return Tables(arrays, meta)


# --- The saved form: a header (JSON) naming each array's place, type, shape and
# checksum, then the arrays.  The big matrices are checked row by row as they
# are used, the rest at load: a damaged or stale file is never used.

def cache_folder():
    """The per-user cache folder: $SEISKERNELS_CACHE, else $XDG_CACHE_HOME or
    ~/.cache, under seiskernels."""
    folder = os.environ.get("SEISKERNELS_CACHE")
    if folder:
        return folder
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "seiskernels")


def key_of(source_bytes):
    digest = hashlib.sha256(source_bytes).hexdigest()
    return f"v{VERSION}-{STEP_KM:g}-{FILL}-{FIT_TOL:.6g}-{MIN_DP:g}-{APPROACH}-{APPROACH_SPAN}-{digest}"


def save(tables, path, key):
    entries, offset, blobs = {}, 0, []
    for name, array in tables.a.items():
        array = np.ascontiguousarray(array)
        offset = (offset + 63) // 64 * 64
        entries[name] = {"offset": offset, "dtype": array.dtype.str, "shape": array.shape,
                         "crc": None if name in BIG else zlib.crc32(array)}
        blobs.append((offset, array))
        offset += array.nbytes
    header = json.dumps({"key": key, "meta": tables.meta, "arrays": entries}).encode()
    # The header's own checksum follows it: a flipped bit in an array's type
    # or in the model's numbers is caught there, not read as something else.
    header += zlib.crc32(header).to_bytes(4, "little")
    start = (len(MAGIC) + 8 + len(header) + 63) // 64 * 64
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=".tables-")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(MAGIC + len(header).to_bytes(8, "little") + header)
            for off, array in blobs:
                f.seek(start + off)
                f.write(array.tobytes())
            f.truncate(start + offset)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def load(path, key):
    """The tables saved at `path` under `key`, or None if the file is absent,
    stale or damaged."""
    read_ = read(path, key)
    if read_ is None or not all(name in read_[0] for name in BIG):
        return None
    try:
        return Tables(*read_)
    except (KeyError, TypeError, ValueError):
        return None


def read(path, key):
    """(arrays, meta) saved at `path` under `key` by `save` (the arrays of
    any object with .a and .meta), or None if the file is absent, stale or
    damaged: every array but the BIG ones checked against its checksum."""
    try:
        with open(path, "rb") as f:
            head = f.read(len(MAGIC) + 8)
            if head[:len(MAGIC)] != MAGIC:
                return None
            size = int.from_bytes(head[len(MAGIC):], "little")
            length = os.fstat(f.fileno()).st_size
            if not 4 < size <= length - len(head):
                return None     # a damaged length: never asked of the file
            raw = f.read(size)
            if len(raw) != size or zlib.crc32(raw[:-4]) != int.from_bytes(raw[-4:], "little"):
                return None
            header = json.loads(raw[:-4])
            if header.get("key") != key:
                return None
            start = (len(MAGIC) + 8 + size + 63) // 64 * 64
            data, arrays = None, {}
            for name, e in header["arrays"].items():
                dtype = np.dtype(e["dtype"])
                count = int(np.prod(e["shape"], dtype=np.int64))
                first, nbytes = start + e["offset"], count * dtype.itemsize
                if first + nbytes > length:
                    return None
                if e["crc"] is None:
                    # The big arrays are mapped, and only the pages a
                    # source reads are ever brought in.
                    if data is None:
                        data = np.memmap(f, dtype=np.uint8, mode="r").view(np.ndarray)
                    array = data[first:first + nbytes]
                else:
                    # The small ones, read in one call each: their checksum
                    # touches every byte, which on fresh mapped pages costs
                    # a fault a page.
                    array = os.pread(f.fileno(), nbytes, first)
                    if len(array) != nbytes or zlib.crc32(array) != e["crc"]:
                        return None
                arrays[name] = np.frombuffer(array, dtype).reshape(e["shape"])
        return arrays, header["meta"]
    except (OSError, ValueError, KeyError, TypeError, json.JSONDecodeError, MemoryError,
            OverflowError):
        return None
