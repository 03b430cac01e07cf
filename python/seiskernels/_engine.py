"""The arrivals engine (libarrivals) from Python: a model's tables and a set
of phases handed over once, then a source's curves made in one call and
searched in another.

The engine reads the tables' arrays where they lie (the saved file's memory
map): the model's structure holds pointers into them, and keeps them alive.
The rows of the big matrices a source reads are checked against their
checksums before it reads them, as the tables' own readers do.
"""

import ctypes
import math
import threading

import numpy as np

from . import _native
from . import _phases as phases
from ._earthmodel import P, S
from ._phases import DOWN, INNER, MANTLE, OUTER, RECEIVER, SOURCE, UP

_lib = _native.load("arrivals")
if _lib.arrivals_version() != 1:
    raise ImportError(f"seiskernels: {_lib._name} speaks version {_lib.arrivals_version()} of "
                      f"its interface, this package version 1", name="libarrivals")

_p = ctypes.POINTER(ctypes.c_double)


class _Stack(ctypes.Structure):
    _fields_ = [("n", ctypes.c_int), ("rows", _p), ("least", _p), ("cum_time", _p),
                ("cum_dist", _p)]


class _Core(ctypes.Structure):
    _fields_ = [("n", ctypes.c_int), ("rows", _p), ("time", _p), ("dist", _p),
                ("centre_eta", ctypes.c_double)]


class _Model(ctypes.Structure):
    _fields_ = [("radius", ctypes.c_double), ("cmb", ctypes.c_double), ("icb", ctypes.c_double),
                ("n_p", ctypes.c_int), ("p", _p), ("mantle", _Stack * 2), ("core", _Core * 3)]


class _Leg(ctypes.Structure):
    _fields_ = [("wave", ctypes.c_int), ("region", ctypes.c_int), ("start", ctypes.c_double),
                ("end", ctypes.c_double), ("below", ctypes.c_double),
                ("going_up", ctypes.c_int), ("arriving_up", ctypes.c_int)]


class _Member(ctypes.Structure):
    _fields_ = [("first_leg", ctypes.c_int), ("n_legs", ctypes.c_int), ("kind", ctypes.c_int),
                ("head_wave", ctypes.c_int), ("head_region", ctypes.c_int),
                ("head_depth", ctypes.c_double), ("head_reach", ctypes.c_double),
                ("naming", ctypes.c_int), ("code", ctypes.c_int), ("code_b", ctypes.c_int),
                ("first_region", ctypes.c_int), ("n_regions", ctypes.c_int)]


# One arrival as the engine writes it (arrivals_arrival), read by numpy.
ARRIVAL = np.dtype({"names": ["which", "member", "code", "time", "p", "takeoff", "incidence",
                              "travelled", "dtdh", "dpdx"],
                    "formats": ["<i4"] * 3 + ["<f8"] * 7,
                    "offsets": [0, 4, 8, 16, 24, 32, 40, 48, 56, 64], "itemsize": 72})

_lib.arrivals_source_new.restype = ctypes.c_void_p
_lib.arrivals_source_new.argtypes = [
    ctypes.POINTER(_Model), ctypes.POINTER(_Leg), ctypes.POINTER(_Member), ctypes.c_int, _p,
    ctypes.POINTER(ctypes.c_int), ctypes.c_char_p, ctypes.c_int, ctypes.c_double,
    ctypes.c_double]
_lib.arrivals_source_free.restype = None
_lib.arrivals_source_free.argtypes = [ctypes.c_void_p]
_lib.arrivals_at.restype = ctypes.c_int
_lib.arrivals_at.argtypes = [ctypes.c_void_p, _p, ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
_at = _lib.arrivals_at        # pointers as c_void_p: an address does not fit a C int
_free = _lib.arrivals_source_free

# Added to version 1 of the interface later: a library without them still
# serves, and the callers fall back on numpy (many pairs) or on arrivals_at.
HAS_FIRST = hasattr(_lib, "arrivals_first")
HAS_PAIRS = hasattr(_lib, "arrivals_pairs")
if HAS_FIRST:
    _lib.arrivals_first.restype = ctypes.c_int
    _lib.arrivals_first.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int,
                                    ctypes.c_void_p]
    _first = _lib.arrivals_first


class _Lookup(ctypes.Structure):
    _fields_ = [("start", ctypes.c_double), ("scale", ctypes.c_double), ("n", ctypes.c_int),
                ("nodes", ctypes.c_void_p)]


class _PairTable(ctypes.Structure):
    _fields_ = [("n_depths", ctypes.c_int), ("n_distances", ctypes.c_int),
                ("depths", ctypes.c_void_p), ("distances", ctypes.c_void_p),
                ("cells", ctypes.c_void_p), ("patches", ctypes.c_void_p),
                ("depth_lookup", _Lookup), ("distance_lookup", _Lookup)]


if HAS_PAIRS:
    _lib.arrivals_pairs.restype = ctypes.c_size_t
    _lib.arrivals_pairs.argtypes = [ctypes.c_void_p] * 3 + [ctypes.c_size_t] + \
        [ctypes.c_void_p] * 3 + [ctypes.c_size_t] + [ctypes.c_void_p] * 2
    _pairs_at = _lib.arrivals_pairs


class PairTable:
    """A phase's dense table of first arrivals (_pairs.Dense) as the engine
    reads it: the grid, the cells' words, the patches and the lookups, each
    a contiguous array of the type the engine takes, kept alive here."""

    def __init__(self, depths, distances, cells, patches, lookup_h, lookup_x):
        keep = self._keep = []

        def address(a, dtype):
            a = np.ascontiguousarray(a, dtype=dtype)
            keep.append(a)
            return a.ctypes.data

        def lookup(lut):
            start, scale, table = lut
            return _Lookup(start, scale, len(table), address(table, np.intc))

        if patches.dtype.itemsize != 80 or not patches.flags.c_contiguous:
            raise ValueError("pair table: patches must be contiguous 80-byte records")
        keep.append(patches)
        self.table = _PairTable(len(depths), len(distances), address(depths, np.float64),
                                address(distances, np.float64), address(cells, np.intc),
                                patches.ctypes.data, lookup(lookup_h), lookup(lookup_x))
        self._at = ctypes.byref(self.table)

    def evaluate(self, h, x, time, p, dtdh, stride, code, solve):
        """The engine's first arrival at the pairs (h, x: contiguous float64
        arrays of n) into the addresses time, p and dtdh, `stride` bytes
        apart, the name codes into `code` (n C ints, -1 for none); returns
        the number of pairs to solve, their indices in `solve` (n size_t)."""
        return _pairs_at(self._at, h.ctypes.data, x.ctypes.data, len(h), time, p, dtdh, stride,
                         code.ctypes.data, solve.ctypes.data)


_KINDS = {"ray": 0, "direct": 1, "diff": 2, "n": 3}
_REGIONS = {MANTLE: 0, OUTER: 1, INNER: 2}
_CORE = {"K": 0, "I": 1, "J": 2}


def _ptr(a):
    return a.ctypes.data_as(_p)


def model_of(tables):
    """The engine's view of a model's tables, made once per Tables."""
    found = tables.__dict__.get("_engine_model")
    if found is not None:
        return found
    t, keep = tables, []

    def array(a):
        a = np.ascontiguousarray(a, dtype=np.float64)
        keep.append(a)
        return _ptr(a)

    model = _Model(radius=t.radius, cmb=t.cmb, icb=t.icb, n_p=len(t.p), p=array(t.p))
    for w in (P, S):
        stack, name = t.stacks[w], "PS"[w]
        model.mantle[w] = _Stack(len(stack.rows), array(stack.rows), array(stack.least),
                                 array(t.a[f"cum_time_{name}"]), array(t.a[f"cum_dist_{name}"]))
    for name, k in _CORE.items():
        rows = t.core[name].rows
        centre = {"I": t.meta["centre_eta"], "J": t.meta.get("centre_eta_J", 0.0)}.get(name, 0.0)
        model.core[k] = _Core(len(rows), array(rows), array(t.a[f"{name}_time"]),
                              array(t.a[f"{name}_dist"]),
                              centre if centre and math.isfinite(centre) else 0.0)
    tables.__dict__["_engine_model"] = (model, keep)
    return model, keep


class _Named:
    """What parsing a phase needs of a model, from its tables."""

    def __init__(self, meta):
        self.name, self.cmb = meta["name"], meta["cmb"]
        self.discontinuities, self.moho = meta["discontinuities"], meta["moho"]


class Plan:
    """A set of phase names in one model, as the engine takes them: every
    member's legs, how its arrivals are named, which names answer the
    request, and the depths where its passes may start or end."""

    def __init__(self, tables, names):
        meta = tables.meta
        bounds = phases.bounds_of(_Named(meta))
        has_moho = meta["moho"] is not None
        regions = list(zip(tables.a["regions"].tolist(), meta["region_letters"]))
        self.code_names, code = [], {}

        def code_of(name):
            if name not in code:
                code[name] = len(self.code_names)
                self.code_names.append(name)
            return code[name]

        entries, index = [], {}
        for name in names:
            group, label = phases.split(name)
            rename = label if label in phases.ALIASES else None
            key = (group, rename)
            if key not in index:
                index[key] = len(entries)
                entries.append((group, rename, set()))
            entries[index[key]][2].add(None if rename else label)
        legs, members, region_depth, region_code = [], [], [], []
        self.members, self.depths, entry_of = [], set(), []
        for e, (group, rename, _) in enumerate(entries):
            for m in phases.members(group, bounds, has_moho):
                if any(leg.region == INNER and leg.wave == S for leg in m.phase.legs) and \
                        not len(tables.core["J"].rows):
                    raise phases.PhaseError(f"phase {m.phase.name!r}: the model's inner core "
                                            f"carries no S wave (J)")
                entry = _Member(first_leg=len(legs), n_legs=len(m.phase.legs),
                               kind=_KINDS[m.kind], head_reach=0.0)
                for leg in m.phase.legs:
                    ends = [_depth(leg.start, meta), _depth(leg.end, meta)]
                    below = math.nan if leg.below is None else leg.below
                    legs.append(_Leg(leg.wave, _REGIONS[leg.region], ends[0], ends[1], below,
                                     leg.going == UP, leg.arriving == UP))
                    self.depths |= {d for d in ends + [below] if d >= 0.0}
                if m.phase.head:
                    kind, wave, region, where = m.phase.head
                    entry.head_wave, entry.head_region = wave, _REGIONS[region]
                    entry.head_depth = _depth(where, meta)
                    if kind == "n":
                        entry.head_reach = math.radians(phases.HEAD_WAVE_DEG)
                if rename:
                    entry.naming, entry.code = 0, code_of(rename)
                elif m.kind in ("diff", "n"):
                    own = group + m.kind if group in ("P", "S") else m.phase.name
                    entry.naming, entry.code = 0, code_of(own)
                elif group == "PKP":
                    entry.naming, entry.code, entry.code_b = 1, code_of("PKPab"), code_of("PKPbc")
                elif group in ("P", "S", "PP", "SS"):
                    entry.naming, entry.code = 2, code_of(group)
                    entry.first_region, entry.n_regions = len(region_depth), len(regions)
                    for depth, letter in regions:
                        region_depth.append(depth)
                        region_code.append(code_of((group[0] + letter) * len(group)))
                else:
                    entry.naming, entry.code = 0, code_of(group)
                members.append(entry)
                self.members.append(m)
                entry_of.append(e)
        self.entries = entries
        wanted = np.zeros((len(members), len(self.code_names)), np.uint8)
        for g, e in enumerate(entry_of):
            _, rename, labels = entries[e]
            for c, name in enumerate(self.code_names):
                wanted[g, c] = None in labels or name in labels
        self.legs = (_Leg * max(1, len(legs)))(*legs)
        self.member_table = (_Member * max(1, len(members)))(*members)
        self.n_members = len(members)
        self.region_depth = np.array(region_depth + [0.0], np.float64)
        self.region_code = np.array(region_code + [0], np.intc)
        self.wanted = np.ascontiguousarray(wanted)
        self.names = np.array(self.code_names + [""], dtype="U16")


_MOST = 1 << 30         # distances in one call (its count is a C int)


class _Buffers:
    """One thread's room for the arrivals at one distance."""

    def __init__(self):
        self.degree = ctypes.c_double()
        self.degree_at = ctypes.byref(self.degree)
        self.grow(256)

    def grow(self, size):
        self.out = np.empty(size, ARRIVAL)
        self.size, self.address = size, self.out.ctypes.data


_local = threading.local()


def _depth(where, meta):
    if where == SOURCE:
        return -1.0
    if where == RECEIVER:
        return -2.0
    return float({"cmb": meta["cmb"], "icb": meta["icb"]}.get(where, where))


def plan_of(tables, names):
    plans = tables.__dict__.setdefault("_engine_plans", {})
    if names not in plans:
        plans[names] = Plan(tables, names)
    return plans[names]


class Source:
    """A source and receiver depth and a set of phase names, their curves
    made by the engine: arrivals at one distance (`one`) or many (`many`)."""

    def __init__(self, tables, depth, receiver, names):
        self.t, self.depth, self.receiver, self.names = tables, depth, receiver, names
        self.plan = plan = plan_of(tables, names)
        model, self._keep = model_of(tables)
        self._check_rows(plan.depths | {depth, receiver})
        handle = _lib.arrivals_source_new(
            ctypes.byref(model), plan.legs, plan.member_table, plan.n_members,
            _ptr(plan.region_depth), plan.region_code.ctypes.data_as(ctypes.POINTER(ctypes.c_int)),
            plan.wanted.ctypes.data_as(ctypes.c_char_p), len(plan.code_names), depth, receiver)
        if not handle:
            raise MemoryError("seiskernels: no memory for the curves of a source")
        self._handle = ctypes.c_void_p(handle)
        self._members = None

    def __del__(self):
        handle = getattr(self, "_handle", None)
        if handle:
            _free(handle)
            self._handle = None

    def _check_rows(self, depths):
        """The rows of the big matrices the engine will read, checked."""
        t = self.t
        for w in (P, S):
            rows = t.stacks[w].rows
            tops = rows[:, 1]
            wanted = {len(rows)}
            for d in depths:
                if d >= rows[-1, 3]:
                    continue
                wanted.add(int(np.searchsorted(tops, d, side="right")) - 1)
            for j in wanted:
                for name in (f"cum_time_{'PS'[w]}", f"cum_dist_{'PS'[w]}"):
                    t.rows_of(name, j)

    def _search(self, degrees):
        """The engine's arrivals at each distance (degrees, float64 array)."""
        out = np.empty(max(64, 4 * len(degrees)), ARRIVAL)
        at = degrees.ctypes.data_as(_p)
        while True:
            n = _at(self._handle, at, len(degrees), out.ctypes.data, len(out))
            if n <= len(out):
                return out[:n]
            out = np.empty(n, ARRIVAL)

    def first(self, degrees):
        """The earliest arrival at each distance, as `many` gives the first
        of each, in columns of one row per distance found: distance index,
        name code, time, p, take-off, incidence, distance travelled, member,
        dT/dh, dp/dX."""
        degrees = np.ascontiguousarray(degrees, dtype=np.float64)
        if not HAS_FIRST:
            which, *rest = self.many(degrees)
            keep = np.flatnonzero(np.r_[True, which[1:] != which[:-1]]) if len(which) else \
                np.zeros(0, np.intp)
            return [which[keep]] + [c[keep] for c in rest]
        out = np.empty(len(degrees), ARRIVAL)
        found = 0
        for s in range(0, len(degrees), _MOST):
            found += _first(self._handle, degrees[s:].ctypes.data, min(_MOST, len(degrees) - s),
                            out[s:].ctypes.data)
        if found < len(degrees):
            out = out[out["which"] >= 0]
        return [out[name] for name in ("which", "code", "time", "p", "takeoff", "incidence",
                                       "travelled", "member", "dtdh", "dpdx")]

    def one(self, degree):
        """The arrivals at one distance as (phase, time, p, take-off,
        incidence, distance travelled, member, dT/dh, dp/dX), in time order."""
        names = self.plan.code_names
        return [(names[c], t, p, to, inc, x, g, dtdh, dpdx) for _, g, c, t, p, to, inc, x, dtdh, dpdx
                in self.rows(degree)]

    def rows(self, degree):
        """The engine's records of the arrivals at one distance, as tuples
        (distance index, member, name code, time, p, take-off, incidence,
        distance travelled, dT/dh, dp/dX), in time order: the search's
        buffers are the calling thread's own, made once."""
        b = getattr(_local, "buffers", None)
        if b is None:
            b = _local.buffers = _Buffers()
        b.degree.value = degree
        n = _at(self._handle, b.degree_at, 1, b.address, b.size)
        if n > b.size:
            b.grow(n)
            n = _at(self._handle, b.degree_at, 1, b.address, b.size)
        return b.out[:n].tolist()

    def many(self, degrees):
        """The arrivals at many distances, as columns: distance index, name
        code (plan.names gives the name), time, p, take-off, incidence,
        distance travelled, member, dT/dh, dp/dX."""
        found = self._search(np.ascontiguousarray(degrees, dtype=np.float64))
        return [found[name].copy() for name in ("which", "code", "time", "p", "takeoff",
                                                "incidence", "travelled", "member", "dtdh",
                                                "dpdx")]

    @property
    def members(self):
        """[(entry, Member, passes)] as the Python side reads each member
        (passes None where no ray follows it from here), made once."""
        if self._members is None:
            plan, t = self.plan, self.t
            self._members = [(None, m, phases.passes(m.phase, self.depth, self.receiver, t.cmb,
                                                     t.icb, t.radius)) for m in plan.members]
        return self._members
