"""Travel times of seismic phases through a spherically symmetric Earth model.

    >>> from seiskernels.traveltimes import TravelTimes
    >>> model = TravelTimes("iasp91")
    >>> for a in model.arrivals(depth=300, distance=30, phases=["P", "S"]):
    ...     print(a.phase, round(a.time, 2))

The model's tau-p tables are built once (each layer's time and distance on a
grid of ray parameters, summed down the mantle) and saved in a per-user cache,
so that a later process is ready at once.  For a source depth only the layer
holding the source is integrated again; each phase's curve is then a sum of
branches over the whole grid.  For a distance, every interval of a curve that
reaches it gives an arrival, interpolated in T(X) with the known slopes
dT/dX = p at both ends.  exact=True solves each arrival ray by ray instead.
"""

import bisect
import ctypes
import functools
import math
import os
import threading

import numpy as np

from . import _earthmodel, _exact, _tables
from . import traveltime as sk
from ._earthmodel import P, S, ModelError
from ._exact import Result as Arrival
from ._phases import DEFAULT_PHASES, PhaseError, base, names_of, wanted
from ._phases import parse as _parse

__all__ = ["TravelTimes", "Arrival", "ModelError", "PhaseError", "DEFAULT_PHASES",
           "BUILTIN_MODELS"]

BUILTIN_MODELS = _earthmodel.BUILTIN
SAME_ARRIVAL = 1e-3     # s: arrivals of one phase closer than this are one
DEPTH_CACHE = 64        # source depths whose curves are kept
TABLE_FIELDS = [("depth_km", "f8"), ("distance_deg", "f8"), ("phase", "U12"), ("time_s", "f8"),
                ("ray_param_s_deg", "f8"), ("takeoff_deg", "f8"), ("incidence_deg", "f8")]
PER_DEGREE = math.pi / 180.0


class TravelTimes:
    """Travel times through one Earth model.

    Parameters
    ----------
    model : str or path-like, default "iasp91"
        A built-in model ("ak135", "iasp91", "prem") or a .tvel or .nd file.
    cache : bool or path-like, default True
        Where the model's tables are saved: True for the per-user cache
        folder ($SEISKERNELS_CACHE, else $XDG_CACHE_HOME/seiskernels or
        ~/.cache/seiskernels), a folder of your own, or False to build them
        in memory only.  A saved file that is damaged or was made by another
        version is rebuilt, never used.

    Raises
    ------
    ModelError
        An unknown model name, a file that cannot be read or is malformed.
    """

    def __init__(self, model="iasp91", cache=True):
        path = _earthmodel.path_of(model)
        try:
            with open(path, "rb") as f:
                source = f.read()
        except OSError as e:
            raise ModelError(f"model: cannot read {path!r}: {e.strerror}") from None
        self._path, self._model = path, None
        key = _tables.key_of(source)
        self._saved = None
        if cache:
            folder = _tables.cache_folder() if cache is True else os.fspath(cache)
            self._saved = os.path.join(folder, f"{os.path.basename(path)}-{key[-16:]}.tables")
        self._key = key
        self.tables = _tables.load(self._saved, key) if self._saved else None
        if self.tables is None:
            self._rebuild()
        self.name = self.tables.meta["name"]
        self._sources = {}

    def _rebuild(self):
        self.tables = _tables.build(self.model)
        if self._saved:
            try:
                _tables.save(self.tables, self._saved, self._key)
            except OSError:
                pass    # a read-only cache only costs the next process the build

    @property
    def model(self):
        """The parsed model (read on first use)."""
        if self._model is None:
            self._model = _earthmodel.read_model(self._path)
        return self._model

    def __repr__(self):
        return f"TravelTimes({self.name!r})"

    # --- public calls -------------------------------------------------------

    def arrivals(self, depth, distance, phases=DEFAULT_PHASES, exact=False):
        """Every arrival of the phases at one source depth and distance.

        Parameters
        ----------
        depth : float
            Source depth in km, from the surface down to the core.
        distance : float
            Epicentral distance in degrees, 0 to 180 (larger values and
            negative ones are not accepted).
        phases : sequence of str, optional
            Phase names, such as "P", "Pn", "Pdiff", "PKPab", "pP", "SKKS".
            A name without suffix gives its whole family: "P" also gives Pg,
            Pb, Pn and Pdiff.  Default: the eleven of DEFAULT_PHASES.
        exact : bool, default False
            Solve each arrival ray by ray (to 1e-9 rad) instead of
            interpolating the tables: about a thousand times slower.

        Returns
        -------
        list of Arrival
            Sorted by time.
        """
        depth, distance = _exact.checked(self.tables.cmb, depth, distance)
        names = names_of(phases)
        if exact:
            return self._exact_arrivals(depth, distance, names)
        return [Arrival(ph, distance, t, p * PER_DEGREE, to, inc, math.degrees(x))
                for ph, t, p, to, inc, x in self._source(depth, names).one(distance)]

    def table(self, depths, distances, phases=DEFAULT_PHASES):
        """Every arrival of the phases on a grid of source depths and
        distances, in one call.

        Parameters
        ----------
        depths : array_like of float
            Source depths in km.
        distances : array_like of float
            Epicentral distances in degrees, 0 to 180.
        phases : sequence of str, optional
            As for `arrivals`.

        Returns
        -------
        numpy.ndarray
            A structured array, one element per arrival, with the fields
            depth_km, distance_deg, phase, time_s, ray_param_s_deg,
            takeoff_deg and incidence_deg; by depth and distance in the order
            given, then by time.
        """
        depths = _values(depths, "depths")
        distances = _values(distances, "distances", 180.0)
        names = names_of(phases)
        for d in depths:
            _exact.checked(self.tables.cmb, d, 0.0)
        parts = []
        for depth in depths:
            src = self._source(depth, names)
            which, ph, t, p, to, inc, _ = src.arrive(*src.search_many(distances), distances)
            part = np.empty(len(t), dtype=TABLE_FIELDS)
            part["depth_km"], part["distance_deg"], part["phase"] = depth, distances[which], ph
            part["time_s"], part["ray_param_s_deg"] = t, p * PER_DEGREE
            part["takeoff_deg"], part["incidence_deg"] = to, inc
            parts.append(part)
        return np.concatenate(parts) if parts else np.empty(0, dtype=TABLE_FIELDS)

    # --- the work ------------------------------------------------------------

    def _source(self, depth, names):
        key = (depth, names)
        src = self._sources.get(key)
        if src is None:
            try:
                src = _Source(self.tables, depth, names)
            except _tables.DamagedTable:
                self._rebuild()
                src = _Source(self.tables, depth, names)
            if len(self._sources) >= DEPTH_CACHE:
                self._sources.pop(next(iter(self._sources)))
            self._sources[key] = src
        return src

    def _exact_arrivals(self, depth, distance, names):
        return [Arrival(*a) for a in _exact.arrivals(self.model, depth, distance, names)]


def _values(xs, name, upper=None):
    try:
        a = np.asarray(xs, dtype=np.float64).ravel()
    except (TypeError, ValueError):
        raise TypeError(f"{name}: expected numbers") from None
    bad = ~np.isfinite(a) | (a < 0.0) | ((a > upper) if upper is not None else False)
    if bad.any():
        _exact.number(a[np.flatnonzero(bad)[0]], name, upper)
    return a


@functools.lru_cache(maxsize=None)
def parse(name):
    return _parse(name)


class _Branch:
    """One branch at a source depth: its time and distance on the merged grid,
    its least and top slownesses, whether it has layers, and the slownesses
    where its curve breaks (the tops of low-velocity zones)."""
    __slots__ = ("time", "dist", "min", "top_eta", "n", "shadows")

    def __init__(self, time, dist, least, top_eta, n, shadows=()):
        self.time, self.dist, self.min, self.top_eta = time, dist, least, top_eta
        self.n, self.shadows = n, set(shadows)


class _Source:
    """A source depth: every branch on the grid, and the curves of the asked
    phases laid end to end, NaN between them, for the search."""

    def __init__(self, tables, depth, names):
        self.t, self.depth, self.names = tables, depth, names
        radius = tables.radius
        grid = tables.p
        self.groups = []
        for name in names:
            if base(name) not in self.groups:
                self.groups.append(base(name))
        # Only the branches the phases cross are made.
        needed = {key for group in self.groups for key in parse(group).legs}
        waves = sorted({w for branch, w in needed if branch in "AM"})
        cuts, own = {}, {}
        for w in waves:
            cuts[w] = self._cut(w, depth)
            own[w] = np.append(_tables.approach(grid, cuts[w]["eta"]), cuts[w]["eta"])
        extra = np.setdiff1d(np.concatenate([own[w] for w in waves]) if waves else [], grid)
        # A wave's branches are taken at its own source rays, and at the other
        # wave's only when a phase asked for joins the two in the mantle: an S
        # ray with the slowness of P at the source dives deep, and would cost
        # the whole stack for samples no S curve needs.  The curves leave out
        # the rays their waves were not taken at.
        mixed = any(len({w for b, w in parse(g).legs if b in "AM"}) > 1 for g in self.groups)
        # The grid with the source's rays merged in: where each part goes.
        self.at = at = np.searchsorted(grid, extra) + np.arange(len(extra))
        self.on_grid = np.ones(len(grid) + len(extra), bool)
        self.on_grid[at] = False
        self.p = self.merge(grid, extra)
        self.taken = {}             # {wave: rays of self.p it is taken at}, if not all
        if len(waves) > 1 and not mixed:
            for w in waves:
                self.taken[w] = self.on_grid.copy()
                self.taken[w][at[np.isin(extra, own[w])]] = True
        self.branches, self.m_rows = {}, {}
        for w in waves:
            self._mantle(w, cuts[w], extra, radius)
        for name in ("K", "I"):
            if (name, P) not in needed:
                continue
            stack = tables.core[name]
            centre = tables.meta["centre_eta"] if name == "I" else None
            if len(extra) and extra.min() < stack.rows[0, 0]:
                et, ex = _tables.branch_totals(stack.rows, extra, radius, centre)
            else:       # none of the source's rays enters this branch
                et, ex = np.zeros(len(extra)), np.zeros(len(extra))
            time = self.merge(tables.a[f"{name}_time"], et)
            dist = self.merge(tables.a[f"{name}_dist"], ex)
            least = 0.0 if name == "I" else float(stack.least[-1])
            self.branches[name, P] = _Branch(time, dist, least, float(stack.rows[0, 0]),
                                             len(stack.rows), tables.core_shadows[name])
        self.surface_eta = [float(tables.stacks[w].rows[0, 0]) for w in (P, S)]
        self.source_eta = [cuts[w]["eta"] if w in cuts else math.nan for w in (P, S)]
        self._lay_out()

    def merge(self, on_grid, extra):
        out = np.empty(len(self.on_grid))
        out[self.on_grid] = on_grid
        out[self.at] = extra
        return out

    def _cut(self, w, depth):
        """The layer holding the source, and the slowness at the source by
        that layer's law."""
        rows = self.t.stacks[w].rows
        j = int(np.searchsorted(rows[:, 1], depth, side="right")) - 1
        if depth == rows[j, 1]:
            return {"j": j, "eta": float(rows[j, 0]), "row": None}
        row = rows[j].tolist()
        return {"j": j, "eta": _exact.law_eta(self.t.radius, row, depth), "row": row}

    def _mantle(self, w, cut, extra, radius):
        """Branches A (surface to source) and M (source to core) of a wave."""
        t, j = self.t, cut["j"]
        stack = t.stacks[w]
        rows = stack.rows
        n = len(rows)
        name_t, name_x = f"cum_time_{'PS'[w]}", f"cum_dist_{'PS'[w]}"

        def row(m, i):
            return self.merge(t.rows_of(m, i), extra_cum[0 if m == name_t else 1][i])

        # The source's rays above this wave's slowness at the source, where
        # none of its rays exists, and those it is not taken at: NaN there.
        take = extra <= cut["eta"]
        if w in self.taken:
            take &= self.taken[w][self.at]
        extra_cum = [np.full((n + 1, len(extra)), np.nan) for _ in "tx"]
        extra_cum[0][:, take], extra_cum[1][:, take] = \
            _tables.cumulative(rows, extra[take], radius)
        at_t, at_x = row(name_t, j), row(name_x, j)
        end_t, end_x = row(name_t, n), row(name_x, n)
        if cut["row"] is None:
            a_t, a_x = at_t, at_x
            m_t, m_x = end_t - at_t, end_x - at_x
            m_rows = rows[j:]
            a_rows = rows[:j]
        else:
            # Below the source a ray crosses the rest of the mantle, less the
            # part above it; one that turns in the source's layer, only the
            # part of it below the source.
            up_t, up_x, turn, lo_t, lo_x = self._parts(cut, radius)
            a_t, a_x = at_t + up_t, at_x + up_x
            m_t, m_x = end_t - a_t, end_x - a_x
            m_t[turn], m_x[turn] = lo_t, lo_x
            top, top_d, bot, bot_d = cut["row"]
            depth, eta = self.depth, cut["eta"]
            m_rows = np.concatenate([[[eta, depth, bot, bot_d]], rows[j + 1:]])
            a_rows = np.concatenate([rows[:j], [[top, top_d, eta, depth]]])
        a_least = float(np.min(a_rows[:, [0, 2]])) if len(a_rows) else math.inf
        self.branches["A", w] = _Branch(a_t, a_x, a_least,
                                        float(rows[0, 0]), len(a_rows))
        self.branches["M", w] = _Branch(m_t, m_x, float(np.min(m_rows[:, [0, 2]])),
                                        float(m_rows[0, 0]), len(m_rows), _tables.shadows(m_rows))
        self.m_rows[w] = m_rows

    def _parts(self, cut, radius):
        """(up_t, up_x, turn, lo_t, lo_x): time and distance of every ray
        across the part of the source's layer above the source (NaN for the
        rays that cannot reach it), and of the rays that turn in the part
        below it (indices `turn`).  The layer's law eta = A r^B integrates in
        closed form: from slowness e1 to e2 a ray takes time
        (S(e1) - S(e2)) / B and distance (a(e2) - a(e1)) / B, with
        S(e) = sqrt(e^2 - p^2) and a(e) = atan2(p, S(e)); one turning in the
        part goes down to e = p, where S = 0 and a = pi / 2.  Above the
        source S(top) - S(eta) = (top^2 - eta^2) / (S(top) + S(eta)), free
        of cancellation, and a(eta) - a(top) is one arctangent,
        atan2(p (S(top) - S(eta)), S(top) S(eta) + p^2)."""
        top, top_d, bot, bot_d = cut["row"]
        eta = cut["eta"]
        n = int(np.searchsorted(self.p, min(top, eta), side="right"))
        p = self.p[:n]
        b = math.log(top / bot) / math.log((radius - top_d) / (radius - bot_d))
        s_top, s_eta = np.sqrt(top * top - p * p), np.sqrt(eta * eta - p * p)
        both = s_top + s_eta            # 0 only for p = top = eta, where no time passes
        ds = (top - eta) * (top + eta) / np.where(both > 0.0, both, 1.0)
        up_t, up_x = np.full(len(self.p), np.nan), np.full(len(self.p), np.nan)
        up_t[:n] = ds / b
        up_x[:n] = np.arctan2(p * ds, s_top * s_eta + p * p) / b
        turn = np.flatnonzero(p > bot)
        s_turn = s_eta[turn]
        return up_t, up_x, turn, s_turn / b, (0.5 * math.pi - np.arctan2(p[turn], s_turn)) / b

    # --- the curves, end to end ----------------------------------------------

    def _lay_out(self):
        """Curves of every phase group asked for, laid end to end with a NaN
        between pieces: p, time, distance, and for each sample its group and
        whether its interval belongs to rays leaving the source upwards."""
        self.graze, self.fold, self.phase = {}, {}, {}
        pieces = []
        for g, group in enumerate(self.groups):
            phase = self.phase[g] = parse(group)
            curves = []
            for first, stop, up in self._pieces(phase, group):
                legs = [(("A", phase.first_wave), 1)] if up else phase.legs.items()
                t = x = 0.0
                for key, count in legs:
                    b = self.branches[key]
                    t = t + count * b.time[first:stop]
                    x = x + count * b.dist[first:stop]
                p = self.p[first:stop]
                kept = self._kept(legs, first, stop)
                if kept is not None:
                    p, t, x = p[kept], t[kept], x[kept]
                if len(p) > 1:
                    curves.append((p, up, t, x))
            self._extras(g, group, phase, curves)
            pieces += [(g, c) for c in curves]
        n = sum(len(c[0]) + 1 for _, c in pieces)
        self.p_all, self.t_all, self.x_all = np.full(n, np.nan), np.full(n, np.nan), \
            np.full(n, np.nan)
        self.grp, self.up = np.zeros(n, np.intp), np.zeros(n, bool)
        at = 0
        for g, (p, up, t, x) in pieces:
            end = at + len(p)
            self.p_all[at:end], self.t_all[at:end], self.x_all[at:end] = p, t, x
            self.grp[at:end + 1], self.up[at:end] = g, up
            at = end + 1
        finite = np.isfinite(self.x_all) & np.isfinite(self.t_all)
        self.x_all[~finite] = np.nan
        self.max_distance = float(np.nanmax(self.x_all)) if finite.any() else 0.0
        # The last sample of each piece: a distance equal to it is reached there.
        self.ends = np.flatnonzero(finite[:-1] & ~finite[1:]) if len(finite) else finite
        self._args = None           # the one-distance search's, made on its first call
        self.code_of, self.code_names, self.wanted, self.group_code = _codes(
            tuple(self.groups), self.names, tuple(self.t.meta["region_letters"]))
        self._ends = {}
        for e in self.ends.tolist():
            self._ends.setdefault(self.x_all.item(e), []).append(e)
        self._regions, self._neg_least = {}, {}
        regions = list(zip(self.t.a["regions"].tolist(), self.t.meta["region_letters"]))
        for w, rows in self.m_rows.items():
            least = np.minimum.accumulate(np.minimum(rows[:, 0], rows[:, 2]))
            found = []
            for depth, letter in regions:
                r = int(np.searchsorted(rows[:, 1], depth))
                found.append((depth, letter, r, rows[min(r, len(rows) - 1), 0].item()))
            self._regions[w] = ((-least).tolist(), found)
            self._neg_least[w] = -least

    def _search_args(self):
        """The search kernel's arguments but the distance, with room for the
        most hits it can give: two per interval and turn of the Earth."""
        n = len(self.x_all)
        self._hits_d = np.empty(2 * n * (int(self.max_distance // (2 * math.pi)) + 2) + 8)
        self._hits_k = np.empty(len(self._hits_d), dtype=np.int32)
        self._args = (ctypes.c_double(self.max_distance), ctypes.c_void_p(self.x_all.ctypes.data),
                      ctypes.c_void_p(self.p_all.ctypes.data),
                      ctypes.c_void_p(self._hits_d.ctypes.data),
                      ctypes.c_void_p(self._hits_k.ctypes.data), n)
        return self._args

    def _kept(self, legs, first, stop):
        """Which rays of p[first:stop] every mantle wave of the legs was taken
        at (None: all of them)."""
        kept = None
        for (branch, w), _ in legs:
            if branch in "AM" and w in self.taken:
                mine = self.taken[w][first:stop]
                kept = mine if kept is None else kept & mine
        return kept

    def _pieces(self, phase, group):
        """[(first, stop, up)]: the grid's rays p[first:stop] of each piece of
        a phase's curve, from each break up, and for P and S from a source
        below the surface, the rays going up from it (up true), which meet
        the others at the horizontal ray."""
        lo, hi, cuts = _exact.p_range(phase, self.branches)
        if not hi > lo:
            return []
        p = self.p
        bounds, top = [], hi
        for x in cuts:
            bounds.append((np.nextafter(x, np.inf), top))
            top = x
        bounds.append((lo, top))
        pieces = []
        for a, b in reversed(bounds):
            first, stop = np.searchsorted(p, a, "left"), np.searchsorted(p, b, "right")
            if stop - first > 1:
                pieces.append((int(first), int(stop), False))
        if group in _exact.DIFFRACTED and self.depth > 0.0:
            w = phase.first_wave
            p_max = min(self.branches["A", w].min, self.source_eta[w])
            stop = int(np.searchsorted(p, p_max, "right"))
            if stop > 1:
                pieces.append((0, stop, True))
        return pieces

    def _extras(self, g, group, phase, curves):
        """The grazing ray of P and S, whose diffraction goes on along the
        core, and the fold of PKP that parts PKPab from PKPbc."""
        if group in _exact.DIFFRACTED:
            m = self.branches["M", phase.first_wave]
            if m.min == self.m_rows[phase.first_wave][-1, 2]:
                for p, up, t, x in curves:
                    if not up and p[0] == m.min:
                        self.graze[g] = (m.min, t[0], x[0])
        if group == "PKP":
            folds = []
            for p, _, _, x in curves:
                inner = np.flatnonzero(x[1:-1] < min(x[0], x[-1])) + 1
                if len(inner):
                    j = inner[np.argmin(x[inner])]
                    folds.append((x[j], p[j]))
            if folds:
                self.fold[g] = min(folds)[1]

    # --- every interval that reaches a distance ----------------------------

    def _targets(self, degrees):
        """The distances searched for each degree (rad), as the search kernel
        takes them: the direct one and its complement, at every number of
        turns up to the longest curve; and the degree each belongs to."""
        rad = degrees * math.pi / 180.0
        tgt, which = [], []
        index = np.arange(len(degrees))
        for n in range(int(self.max_distance // (2 * math.pi)) + 1):
            direct = rad + (2 * n) * math.pi
            keep = direct <= self.max_distance
            if not keep.any():
                break
            both = keep & (degrees != 180.0)
            tgt += [direct[keep], (2 * (n + 1)) * math.pi - rad[both]]
            which += [index[keep], index[both]]
        if not tgt:
            return np.zeros(0), np.zeros(0, int)
        return np.concatenate(tgt), np.concatenate(which)

    def one(self, degree):
        """The arrivals at one distance as (phase, time, p, take-off,
        incidence, distance travelled) in time order: the hits of the search
        kernel and the work of `arrive` done in Python floats, which for the
        few hits of one distance is quicker than numpy's arrays."""
        with _lock:
            n = _search(ctypes.c_double(degree), *(self._args or self._search_args()))
            hits = list(zip(self._hits_k[:n].tolist(), self._hits_d[:n].tolist()))
        rad = degree * math.pi / 180.0
        for target in self._one_targets(degree, rad):
            hits += [(e - 1, target) for e in self._ends.get(target, ())]
        p_all, t_all, x_all = self.p_all, self.t_all, self.x_all
        found = []
        for k, s in hits:
            p, time = _interpolate_one(p_all.item(k), p_all.item(k + 1), x_all.item(k),
                                       x_all.item(k + 1), t_all.item(k), t_all.item(k + 1), s)
            g, up = self.grp.item(k), self.up.item(k)
            found.append((self._name_one(g, p, up), time, p, g, up, s))
        for g, (pg, tg, xg) in self.graze.items():
            if xg < rad <= math.pi:
                found.append((self.groups[g] + "diff", tg + pg * (rad - xg), pg, g, False, rad))
        found = sorted((f for f in found if wanted(f[0], self.names)), key=lambda f: f[:2])
        out, last = [], None
        for name, time, p, g, up, s in found:
            if last and last[0] == name and time - last[1] < SAME_ARRIVAL:
                continue
            last = (name, time)
            phase = self.phase[g]
            takeoff = math.degrees(math.asin(min(1.0, p / self.source_eta[phase.first_wave])))
            incidence = math.degrees(math.asin(min(1.0, p / self.surface_eta[phase.last_wave])))
            out.append((name, time, p, 180.0 - takeoff if up else takeoff, incidence, s))
        out.sort(key=lambda a: a[1])
        return out

    def _one_targets(self, degree, rad):
        n, out = 0, []
        while rad + (2 * n) * math.pi <= self.max_distance:
            out.append(rad + (2 * n) * math.pi)
            if degree != 180.0:
                out.append((2 * (n + 1)) * math.pi - rad)
            n += 1
        return out

    def _name_one(self, g, p, up):
        """The phase of one hit, as `_names` gives it."""
        group = self.groups[g]
        if g in self.fold:
            return "PKPab" if p > self.fold[g] else "PKPbc"
        if group not in ("P", "S", "PP", "SS"):
            return group
        neg_least, regions = self._regions[self.phase[g].first_wave]
        stop = bisect.bisect_right(neg_least, -p)
        for depth, letter, r, r_top in regions:
            if up:
                above = self.depth < depth
            else:
                above = depth > self.depth and (stop < r or (stop == r and p > r_top))
            if above:
                return (group[0] + letter) * len(group)
        return group

    def search_many(self, degrees):
        """The same hits for many distances at once: the intervals in which
        each searched distance falls, found by sorting, with the kernel's
        rules (an inner sample belongs to the interval it starts; two samples
        of equal p bound no ray)."""
        tgt, which = self._targets(degrees)
        order = np.argsort(tgt, kind="stable")
        sorted_tgt = tgt[order]
        x, p = self.x_all, self.p_all
        k = np.flatnonzero(np.isfinite(x[:-1]) & np.isfinite(x[1:]) & (p[:-1] != p[1:]))
        lo = np.searchsorted(sorted_tgt, np.minimum(x[k], x[k + 1]), "left")
        hi = np.searchsorted(sorted_tgt, np.maximum(x[k], x[k + 1]), "right")
        count = hi - lo
        kk = np.repeat(k, count)
        first = np.repeat(lo - np.cumsum(count) + count, count)
        t_idx = order[first + np.arange(len(kk))]
        s = tgt[t_idx]
        keep = ~((s == x[kk + 1]) & np.isfinite(x[kk + 2]))
        return kk[keep], s[keep], which[t_idx[keep]]

    # --- arrivals from hits ----------------------------------------------------

    def arrive(self, k, s, which, degrees):
        """The arrivals of the hits, as columns: degree index, phase, time,
        ray parameter (s/rad), take-off and incidence angles, distance
        travelled (rad); the diffracted waves added, only the phases asked
        for kept, sorted by degree and time."""
        x1, x2 = self.x_all[k], self.x_all[k + 1]
        t1, t2 = self.t_all[k], self.t_all[k + 1]
        p1, p2 = self.p_all[k], self.p_all[k + 1]
        p, time = _interpolate(p1, p2, x1, x2, t1, t2, s)
        grp, up = self.grp[k], self.up[k]
        names = self._names(grp, p, up)
        cols = [which, names, time, p, grp, up, s]
        for g, (pg, tg, xg) in self.graze.items():
            rad = degrees * math.pi / 180.0
            at = np.flatnonzero((xg < rad) & (rad <= math.pi))
            diff = self.code_of[self.groups[g] + "diff"]
            cols = [np.concatenate([c, extra]) for c, extra in zip(cols, (
                at, np.full(len(at), diff), tg + pg * (rad[at] - xg),
                np.full(len(at), pg), np.full(len(at), g), np.zeros(len(at), bool), rad[at]))]
        which, names, time, p, grp, up, s = cols
        order = np.lexsort((time, names, which))
        order = order[self.wanted[names[order]]]
        which, names, time, p, grp, up, s = (c[order] for c in cols)
        # Hits of one phase closer than SAME_ARRIVAL are one arrival.
        same = np.zeros(len(time), bool)
        same[1:] = (which[1:] == which[:-1]) & (names[1:] == names[:-1]) & \
            (time[1:] - time[:-1] < SAME_ARRIVAL)
        keep = ~same
        which, names, time, p, grp, up, s = (c[keep] for c in (which, names, time, p, grp,
                                                               up, s))
        first = np.array([self.phase[g].first_wave for g in range(len(self.groups))])[grp] \
            if len(grp) else np.zeros(0, int)
        last = np.array([self.phase[g].last_wave for g in range(len(self.groups))])[grp] \
            if len(grp) else np.zeros(0, int)
        src = np.array(self.source_eta)[first]
        rec = np.array(self.surface_eta)[last]
        takeoff = np.degrees(np.arcsin(np.minimum(1.0, p / src)))
        takeoff = np.where(up, 180.0 - takeoff, takeoff)
        incidence = np.degrees(np.arcsin(np.minimum(1.0, p / rec)))
        order = np.lexsort((time, which))
        return [c[order] for c in (which, self.code_names[names], time, p, takeoff, incidence,
                                   s)]

    def _names(self, grp, p, up):
        """Each hit's phase, as a code: its group's name, PKP as PKPab or
        PKPbc by the side of the fold, and P, S, PP, SS as Pg, Pb, Pn (PgPg,
        ...) when the ray bottoms in the upper or lower crust or just below
        the Moho."""
        code = self.code_of
        names = self.group_code[grp]
        for g, fold in self.fold.items():
            mine = grp == g
            names = np.where(mine & (p > fold), code["PKPab"], np.where(mine, code["PKPbc"],
                                                                        names))
        for g, group in enumerate(self.groups):
            if group not in ("P", "S", "PP", "SS"):
                continue
            mine = np.flatnonzero(grp == g)
            if not len(mine):
                continue
            q, rising = p[mine], up[mine]
            neg_least, regions = self._regions[self.phase[g].first_wave]
            stop = np.searchsorted(self._neg_least[self.phase[g].first_wave], -q, side="right")
            named, mine_names = np.zeros(len(q), bool), names[mine]
            for depth, letter, r, r_top in regions:
                if depth > self.depth:
                    above = (stop < r) | ((stop == r) & (q > r_top))
                else:
                    above = np.zeros(len(q), bool)
                above = np.where(rising, self.depth < depth, above) & ~named
                mine_names[above] = code[(group[0] + letter) * len(group)]
                named |= above
            names[mine] = mine_names
        return names


@functools.lru_cache(maxsize=None)
def _codes(groups, names, region_letters):
    """Every name a hit of the groups can take, as a code (arrays of codes
    sort and compare quicker than arrays of strings): {name: code}, the
    names by code, whether each answers the names asked for, and the code
    of each group."""
    every = []
    for group in groups:
        every.append(group)
        if group == "PKP":
            every += ["PKPab", "PKPbc"]
        if group in ("P", "S", "PP", "SS"):
            every += [(group[0] + x) * len(group) for x in region_letters]
        if group in _exact.DIFFRACTED:
            every.append(group + "diff")
    code_of = {name: code for code, name in enumerate(every)}
    arrays = (np.array(every, dtype="U12"), np.array([wanted(n, names) for n in every], bool),
              np.array([code_of[g] for g in groups]))
    for a in arrays:
        a.flags.writeable = False       # shared by every source depth
    return (code_of,) + arrays


def _interpolate_one(p1, p2, x1, x2, t1, t2, s):
    """_interpolate for one hit, in Python floats, operation for operation."""
    d = p2 - p1
    tau1, tau2 = t1 - p1 * x1, t2 - p2 * x2
    mean = x1 if d == 0.0 else (tau1 - tau2) / d
    c = 3.0 * (x1 + x2) - 6.0 * mean
    b = x2 - x1 - c
    r = s - x1
    root = math.sqrt(max(b * b + 4.0 * c * r, 0.0))
    den = b + math.copysign(root, b)
    q = 0.5 if den == 0.0 else 2.0 * r / den
    q = min(max(q, 0.0), 1.0)
    p = p1 + q * d
    tau = tau1 - d * q * (x1 + q * (b / 2.0 + q * c / 3.0))
    return p, tau + p * s


def _interpolate(p1, p2, x1, x2, t1, t2, s):
    """(p, time) of the ray that reaches distance s between two samples.

    tau = T - pX falls with p at the rate X.  Across the interval, X is taken
    as the quadratic in p through both ends whose integral gives the drop of
    tau: with q = (p - p1) / (p2 - p1), X(q) = x1 + b q + c q^2, where
    c = 3 (x1 + x2) - 6 I, b = x2 - x1 - c and I = (tau1 - tau2) / (p2 - p1)
    is the mean of X.  Its root q of X(q) = s (the one that tends to the
    linear one as c goes to 0), then tau integrated to it, give p and
    T = tau + p s.  Near a fold of the curve, where X hardly moves with p,
    this stays as good as anywhere else."""
    d = p2 - p1
    tau1, tau2 = t1 - p1 * x1, t2 - p2 * x2
    same = d == 0.0
    d_safe = np.where(same, 1.0, d)
    mean = np.where(same, x1, (tau1 - tau2) / d_safe)
    c = 3.0 * (x1 + x2) - 6.0 * mean
    b = x2 - x1 - c
    r = s - x1
    root = np.sqrt(np.maximum(b * b + 4.0 * c * r, 0.0))
    den = b + np.copysign(root, b)
    q = np.where(den == 0.0, 0.5, 2.0 * r / np.where(den == 0.0, 1.0, den))
    q = np.clip(q, 0.0, 1.0)
    p = p1 + q * d
    tau = tau1 - d * q * (x1 + q * (b / 2.0 + q * c / 3.0))
    return p, tau + p * s


_search = sk._search
_lock = threading.Lock()
