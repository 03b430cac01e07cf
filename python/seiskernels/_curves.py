"""The distance curves of a set of phases for one source and one receiver
depth, laid end to end, and the arrivals found on them at any distance.

Each phase is a list of passes (see _phases): a wave crossing a depth range
down or up, or turning in one.  The model's tables hold, for every ray
parameter of one grid, the time and distance a ray spends above each layer
boundary of each wave's mantle, coming down from the surface; the core's
totals for the outer core and for P and S in the inner core.  A pass across
[a, b] is then a difference of two rows, a pass turning below L the last row
less L's.  The source and the receiver cut their layers: the part of such a
layer above the cut is integrated in closed form.  Rays that can reach a
depth but not from the surface (below a low-velocity zone that stops them
higher up) are integrated on their own.
"""

import bisect
import ctypes
import math
import threading

import numpy as np

from . import _phases as phases
from . import _tables
from . import traveltime as sk
from ._earthmodel import P, S
from ._exact import law_eta
from ._exact import SLOPE_SPAN
from ._phases import DOWN, HEAD_WAVE_DEG, MANTLE, TURN, UP, PhaseError

SAME_ARRIVAL = 1e-3     # s: a ray found twice gives times closer than this
SAME_RAY = 1e-9         # and ray parameters closer than this part of each


class Run:
    """A run of slowness-layer rows, cut at its ends: what a pass across it
    asks of a ray (the least and the top slowness), and where its curve
    breaks (the tops of its low-velocity zones)."""
    __slots__ = ("rows", "min", "top_eta", "shadows")

    def __init__(self, rows, least=None):
        self.rows = rows
        self.min = float(np.min(rows[:, [0, 2]])) if least is None else least
        self.top_eta = float(rows[0, 0])
        self.shadows = _tables.shadows(rows) if len(rows) > 1 else set()


class _Model:
    """What parsing a phase needs of a model, from its tables."""

    def __init__(self, meta):
        self.name, self.cmb = meta["name"], meta["cmb"]
        self.discontinuities, self.moho = meta["discontinuities"], meta["moho"]


class Cut:
    """A depth in a wave's stack: the layer j holding it (whose top it is,
    or inside which it lies, `row` then being that layer), and the slowness
    just above and just below it."""
    __slots__ = ("depth", "j", "row", "above", "below")

    def __init__(self, rows, radius, depth):
        n = len(rows)
        self.depth = depth
        j = int(np.searchsorted(rows[:, 1], depth, side="right")) - 1
        if j >= n - 1 and depth >= rows[-1, 3]:
            self.j, self.row = n, None
            self.above = self.below = float(rows[-1, 2])
        elif depth == rows[j, 1]:
            self.j, self.row = j, None
            self.below = float(rows[j, 0])
            self.above = float(rows[j - 1, 2]) if j > 0 else self.below
        else:
            self.j, self.row = j, rows[j].tolist()
            self.above = self.below = law_eta(radius, self.row, depth)


class Source:
    """A source and receiver depth and a set of phase names: every phase's
    curve on the grid of ray parameters, laid end to end with NaN between
    pieces, for the search kernel; the diffracted and head waves; and the
    naming of each arrival."""

    def __init__(self, tables, depth, receiver, names):
        self.t, self.depth, self.receiver, self.names = tables, depth, receiver, names
        t = tables
        self.radius = radius = t.radius
        bounds = t.__dict__.get("_bounds") or t.__dict__.setdefault(
            "_bounds", phases.bounds_of(_Model(t.meta)))
        has_moho = t.meta["moho"] is not None
        # The families asked for, each once; an alias (PKPdf) is a family of
        # its own, whose arrivals carry its name.
        self.entries, index = [], {}
        for name in names:
            group, label = phases.split(name)
            rename = label if label in phases.ALIASES else None
            key = (group, rename)
            if key not in index:
                index[key] = len(self.entries)
                self.entries.append((group, rename, set()))
            self.entries[index[key]][2].add(None if rename else label)
        self.members = []           # (entry, Member, passes)
        for e, (group, _, _) in enumerate(self.entries):
            for m in _members(t, group, bounds, has_moho):
                legs = phases.passes(m.phase, depth, receiver, t.cmb, t.icb, radius)
                if not legs:
                    continue
                if any(ps.region == phases.INNER and ps.wave == S for ps in legs) and \
                        not len(t.core["J"].rows):
                    raise PhaseError(f"phase {m.phase.name!r}: the model's inner core carries "
                                     f"no S wave (J)")
                self.members.append((e, m, legs))
        self.rows = {w: t.stacks[w].rows for w in (P, S)}
        waves = sorted({ps.wave for _, _, legs in self.members for ps in legs
                        if ps.region == MANTLE})
        self.cuts = {w: {d: Cut(self.rows[w], radius, d) for d in {depth, receiver}}
                     for w in waves}
        self._runs, self._passes, self._depths = {}, {}, {}
        self._merge_rays(waves)
        self._mantle_rows(waves)
        self._core_totals()
        self.surface_eta = [float(t.stacks[w].rows[0, 0]) for w in (P, S)]
        self._lay_out()

    # --- the grid with the source's and receiver's rays ----------------------

    def _merge_rays(self, waves):
        """The grid of the tables with rays closing in on the slowness at the
        source and the receiver on either side (where a ray leaving them
        horizontally bounds a curve, whose distance moves as the square root
        of p's distance from it).  A wave is taken at the other wave's rays
        only where a phase joins the two in the mantle: an S ray with P's
        slowness at the source dives deep, and would cost the whole stack for
        samples no S curve needs."""
        grid = self.t.p
        own = {}
        for w in waves:
            etas = sorted({e for c in self.cuts[w].values() if c.depth > 0.0
                           for e in (c.above, c.below)})
            own[w] = np.concatenate([np.append(_tables.approach(grid, e), e) for e in etas]) \
                if etas else np.zeros(0)
        extra = np.setdiff1d(np.concatenate([own[w] for w in waves]) if waves else [], grid)
        mixed = any(len({ps.wave for ps in legs if ps.region == MANTLE}) > 1
                    for _, _, legs in self.members)
        self.extra = extra
        self.at = at = np.searchsorted(grid, extra) + np.arange(len(extra))
        self.on_grid = np.ones(len(grid) + len(extra), bool)
        self.on_grid[at] = False
        self.p = self.merge(grid, extra)
        self.take = {}          # {wave: which of the extra rays it is taken at}
        for w in waves:
            self.take[w] = np.ones(len(extra), bool) if mixed or len(waves) == 1 else \
                np.isin(extra, own[w])

    def merge(self, on_grid, extra):
        out = np.empty(len(self.on_grid))
        out[self.on_grid] = on_grid
        out[self.at] = extra
        return out

    def _mantle_rows(self, waves):
        """Each wave's cumulative rows at the extra rays it is taken at (NaN
        at the others)."""
        self.extra_cum = {}
        for w in waves:
            rows, take = self.rows[w], self.take[w]
            cum = [np.full((len(rows) + 1, len(self.extra)), np.nan) for _ in "tx"]
            if take.any():
                cum[0][:, take], cum[1][:, take] = _tables.cumulative(rows, self.extra[take],
                                                                      self.radius)
            self.extra_cum[w] = cum

    def _row(self, w, j):
        """Row j of a wave's cumulative time and distance, on the merged grid."""
        name = "PS"[w]
        return (self.merge(self.t.rows_of(f"cum_time_{name}", j), self.extra_cum[w][0][j]),
                self.merge(self.t.rows_of(f"cum_dist_{name}", j), self.extra_cum[w][1][j]))

    def _core_totals(self):
        """The outer core's and inner core's totals on the merged grid, for the
        regions the phases enter."""
        t, extra = self.t, self.extra
        self.core = {}
        needed = {(ps.region, ps.wave) for _, _, legs in self.members for ps in legs}
        for region, wave, name, centre in (("K", P, "K", None), ("I", P, "I", "centre_eta"),
                                           ("I", S, "J", "centre_eta_J")):
            if (region, wave) not in needed:
                continue
            stack = t.core[name]
            if len(extra) and extra.min() < stack.rows[0, 0]:
                et, ex = _tables.branch_totals(stack.rows, extra, self.radius,
                                               t.meta[centre] if centre else None)
            else:       # none of the extra rays enters this region
                et, ex = np.zeros(len(extra)), np.zeros(len(extra))
            least = 0.0 if centre else float(stack.least[-1])
            self.core[region, wave] = (self.merge(t.a[f"{name}_time"], et),
                                       self.merge(t.a[f"{name}_dist"], ex),
                                       Run(stack.rows, least))

    # --- passes --------------------------------------------------------------

    def run(self, ps):
        """The Run of a pass: its wave's layers from its top to its bottom."""
        if ps.region != MANTLE:
            return self.core[ps.region, ps.wave][2]
        key = (ps.wave, ps.top, ps.bottom)
        if key not in self._runs:
            self._runs[key] = Run(self._run_rows(ps.wave, ps.top, ps.bottom))
        return self._runs[key]

    def _cut(self, w, d):
        cut = self.cuts[w].get(d)
        return cut if cut is not None else Cut(self.rows[w], self.radius, d)

    def _run_rows(self, w, a, b):
        rows, top, bot = self.rows[w], self._cut(w, a), self._cut(w, b)
        last = bot.j + (1 if bot.row is not None else 0)
        run = rows[top.j:last].copy()
        if bot.row is not None:
            run[-1, 2:] = bot.below, b
        if top.row is not None:
            run[0, :2] = top.below, a
        return run

    def _least_above(self, w, d):
        """The least slowness from the surface down to depth d."""
        cut = self._cut(w, d)
        least = float(self.t.stacks[w].least[cut.j - 1]) if cut.j > 0 else math.inf
        if cut.row is not None:
            least = min(least, cut.row[0], cut.above)
        return least

    def _at(self, w, d):
        """(time, dist) of each ray from the surface down to depth d, on the
        merged grid: NaN where the ray cannot reach d from the surface."""
        key = (w, d)
        if key not in self._depths:
            cut = self._cut(w, d)
            t, x = self._row(w, cut.j)
            if cut.row is not None:
                up_t, up_x = self._upper_part(cut)
                t, x = t + up_t, x + up_x
            self._depths[key] = t, x
        return self._depths[key]

    def _upper_part(self, cut):
        """Time and distance of every ray across the part of its layer above a
        cut (NaN for the rays that cannot cross it).  The layer's law
        eta = A r^B integrates in closed form: from slowness e1 to e2 a ray
        takes time (S(e1) - S(e2)) / B and distance (a(e2) - a(e1)) / B, with
        S(e) = sqrt(e^2 - p^2) and a(e) = atan2(p, S(e)).  Here
        S(top) - S(eta) = (top^2 - eta^2) / (S(top) + S(eta)), free of
        cancellation, and a(eta) - a(top) is one arctangent,
        atan2(p (S(top) - S(eta)), S(top) S(eta) + p^2)."""
        top, top_d, bot, bot_d = cut.row
        eta = cut.above
        n = int(np.searchsorted(self.p, min(top, eta), side="right"))
        p = self.p[:n]
        b = math.log(top / bot) / math.log((self.radius - top_d) / (self.radius - bot_d))
        s_top, s_eta = np.sqrt(top * top - p * p), np.sqrt(eta * eta - p * p)
        both = s_top + s_eta            # 0 only for p = top = eta, where no time passes
        ds = (top - eta) * (top + eta) / np.where(both > 0.0, both, 1.0)
        up_t, up_x = np.full(len(self.p), np.nan), np.full(len(self.p), np.nan)
        up_t[:n] = ds / b
        up_x[:n] = np.arctan2(p * ds, s_top * s_eta + p * p) / b
        return up_t, up_x

    def _lower_turn(self, cut):
        """(indices, time, dist) of the rays that turn in the part of the cut's
        layer below it: from the cut's slowness down to eta = p, where
        S = 0 and a = pi / 2."""
        top, top_d, bot, bot_d = cut.row
        eta = cut.below
        lo, hi = np.searchsorted(self.p, [bot, eta], side="right")
        turn = np.arange(lo, hi)
        p = self.p[turn]
        b = math.log(top / bot) / math.log((self.radius - top_d) / (self.radius - bot_d))
        s = np.sqrt(eta * eta - p * p)
        return turn, s / b, (0.5 * math.pi - np.arctan2(p, s)) / b

    def pass_sums(self, ps):
        """(time, dist) of a pass on the merged grid, counted once (a turning
        pass down to the turning point only)."""
        key = tuple(ps)
        if key in self._passes:
            return self._passes[key]
        if ps.region != MANTLE:
            t, x, _ = self.core[ps.region, ps.wave]
            self._passes[key] = (t, x)
            return t, x
        w = ps.wave
        start_t, start_x = self._at(w, ps.top)
        if ps.kind == TURN:
            end_t, end_x = self._row(w, len(self.rows[w]))
        else:
            end_t, end_x = self._at(w, ps.bottom)
        t, x = end_t - start_t, end_x - start_x
        cut = self._cut(w, ps.top)
        if ps.kind == TURN and cut.row is not None:
            turn, lo_t, lo_x = self._lower_turn(cut)
            t[turn], x[turn] = lo_t, lo_x
        # Rays that can follow the pass but not come down to it from the
        # surface: on their own, through the pass's own layers.
        run = self.run(ps)
        limit = run.top_eta if ps.kind == TURN else run.min
        trapped = np.flatnonzero((self.p > self._least_above(w, ps.top)) & (self.p <= limit))
        if len(trapped):
            t[trapped], x[trapped] = _tables.branch_totals(run.rows, self.p[trapped],
                                                           self.radius)
        self._passes[key] = (t, x)
        return t, x

    # --- the curves, end to end ----------------------------------------------

    def _lay_out(self):
        """Curves of every member, laid end to end with a NaN between pieces:
        p, time, distance, and for each sample its member."""
        self.graze, self.fold = {}, {}
        pieces = []
        for g, (e, member, legs) in enumerate(self.members):
            lo, hi, cuts = phases.p_range(legs, self.run)
            if member.kind in ("diff", "n"):
                self._head(g, member, legs, lo, hi)
                continue
            curves = []
            for first, stop in self._slices(lo, hi, cuts):
                t = x = 0.0
                for ps in legs:
                    pt, px = self.pass_sums(ps)
                    n = 2.0 if ps.kind == TURN else 1.0
                    t = t + n * pt[first:stop]
                    x = x + n * px[first:stop]
                p = self.p[first:stop]
                ok = np.isfinite(t) & np.isfinite(x)
                if not ok.all():
                    p, t, x = p[ok], t[ok], x[ok]
                if len(p) > 1:
                    curves.append((p, t, x))
            if self.entries[e][0] == "PKP":
                self._fold(g, curves)
            pieces += [(g, c) for c in curves]
        n = sum(len(c[0]) + 1 for _, c in pieces)
        self.p_all, self.t_all, self.x_all = (np.full(n, np.nan) for _ in range(3))
        self.grp = np.zeros(n, np.intp)
        at = 0
        for g, (p, t, x) in pieces:
            end = at + len(p)
            self.p_all[at:end], self.t_all[at:end], self.x_all[at:end] = p, t, x
            self.grp[at:end + 1] = g
            at = end + 1
        finite = np.isfinite(self.x_all) & np.isfinite(self.t_all)
        self.x_all[~finite] = np.nan
        self.max_distance = float(np.nanmax(self.x_all)) if finite.any() else 0.0
        # The last sample of each piece: a distance equal to it is reached there.
        ends = np.flatnonzero(finite[:-1] & ~finite[1:]) if len(finite) else finite
        self._ends = {}
        for k in ends.tolist():
            self._ends.setdefault(self.x_all.item(k), []).append(k)
        self._args = None           # the one-distance search's, made on its first call
        self._naming()

    def _slices(self, lo, hi, cuts):
        """[(first, stop)]: the merged grid's rays p[first:stop] of each piece
        of a curve from lo to hi, broken at `cuts`."""
        bounds, top = [], hi
        for c in cuts:
            bounds.append((np.nextafter(c, np.inf), top))
            top = c
        bounds.append((lo, top))
        out = []
        for a, b in reversed(bounds):
            first = int(np.searchsorted(self.p, a, side="left"))
            stop = int(np.searchsorted(self.p, b, side="right"))
            if stop - first > 1:
                out.append((first, stop))
        return out

    def _head(self, g, member, legs, lo, hi):
        """A diffracted or head wave: the legs' time and distance at the
        slowness just above (diffracted) or below (head wave) its boundary,
        where a ray reaches the boundary there."""
        kind, wave, region, where = member.phase.head
        if region == MANTLE:
            rows = self.rows[wave]
            if where == "cmb":
                p_star = float(rows[-1, 2])
            else:
                p_star = float(rows[int(np.searchsorted(rows[:, 1], where)), 0])
        else:
            p_star = float(self.t.core["K"].rows[-1, 2])
        if not lo <= p_star <= hi:
            return
        k = int(np.searchsorted(self.p, p_star))
        if k == len(self.p) or self.p[k] != p_star:
            return
        t = x = 0.0
        for ps in legs:
            pt, px = self.pass_sums(ps)
            n = 2.0 if ps.kind == TURN else 1.0
            t, x = t + n * pt[k], x + n * px[k]
        if math.isfinite(t) and math.isfinite(x):
            reach = math.pi if kind == "diff" else x + math.radians(HEAD_WAVE_DEG)
            self.graze[g] = (p_star, float(t), float(x), min(reach, math.pi), kind == "n")

    def _fold(self, g, curves):
        """The fold of PKP, which parts PKPab (larger p) from PKPbc."""
        folds = []
        for p, _, x in curves:
            inner = np.flatnonzero(x[1:-1] < min(x[0], x[-1])) + 1
            if len(inner):
                j = inner[np.argmin(x[inner])]
                folds.append((x[j], p[j]))
        if folds:
            self.fold[g] = min(folds)[1]

    # --- names -----------------------------------------------------------------

    def _naming(self):
        """Every name an arrival can take, as a code (arrays of codes sort and
        compare quicker than arrays of strings), and how each member names
        its hits."""
        letters = self.t.meta["region_letters"]
        regions = list(zip(self.t.a["regions"].tolist(), letters))
        names, code = [], {}

        def code_of(name):
            if name not in code:
                code[name] = len(names)
                names.append(name)
            return code[name]

        self.namer = []
        self.first = np.zeros(len(self.members), np.intp)
        self.going_up = np.zeros(len(self.members), bool)
        self.last = np.zeros(len(self.members), np.intp)
        self.arriving_down = np.zeros(len(self.members), bool)
        for g, (e, member, legs) in enumerate(self.members):
            group, rename, _ = self.entries[e]
            self.first[g], self.last[g] = legs[0].wave, legs[-1].wave
            self.going_up[g] = member.phase.legs[0].going == UP
            self.arriving_down[g] = member.phase.legs[-1].arriving == DOWN
            if rename:
                self.namer.append(("fixed", code_of(rename)))
            elif member.kind in ("diff", "n"):
                own = group + member.kind if group in ("P", "S") else member.phase.name
                self.namer.append(("fixed", code_of(own)))
            elif g in self.fold:
                self.namer.append(("fold", code_of("PKPab"), code_of("PKPbc"), self.fold[g]))
            elif group in ("P", "S", "PP", "SS"):
                plain = code_of(group)
                lettered = [(d, code_of((group[0] + letter) * len(group))) for d, letter in regions]
                if member.kind == "direct":
                    bottom = max(self.depth, self.receiver)
                    self.namer.append(("fixed", next((c for d, c in lettered if bottom <= d),
                                                     plain)))
                else:
                    turn = [ps for ps in legs if ps.kind == TURN][-1]
                    rows = self.run(turn).rows
                    least = np.minimum.accumulate(np.minimum(rows[:, 0], rows[:, 2]))
                    found = []
                    for (d, c) in lettered:
                        if d <= turn.top:
                            continue
                        r = int(np.searchsorted(rows[:, 1], d))
                        found.append((c, r, rows[min(r, len(rows) - 1), 0].item()))
                    self.namer.append(("region", plain, (-least).tolist(), -least, found))
            else:
                self.namer.append(("fixed", code_of(group)))
        self.code_names = np.array(names, dtype="U16")
        # Which names each member gives answer its request.
        self.wanted = np.zeros((len(self.members), len(names)), bool)
        for g, (e, _, _) in enumerate(self.members):
            group, rename, labels = self.entries[e]
            for c, name in enumerate(names):
                self.wanted[g, c] = None in labels or name in labels

    def _name_one(self, g, p):
        """The name code of one hit of member g at ray parameter p."""
        namer = self.namer[g]
        if namer[0] == "fixed":
            return namer[1]
        if namer[0] == "fold":
            return namer[1] if p > namer[3] else namer[2]
        _, plain, neg_least, _, found = namer
        stop = bisect.bisect_right(neg_least, -p)
        for c, r, r_top in found:
            if stop < r or (stop == r and p > r_top):
                return c
        return plain

    def _names(self, grp, p):
        """The name codes of many hits."""
        out = np.zeros(len(grp), np.intp)
        for g, namer in enumerate(self.namer):
            mine = np.flatnonzero(grp == g)
            if not len(mine):
                continue
            if namer[0] == "fixed":
                out[mine] = namer[1]
            elif namer[0] == "fold":
                out[mine] = np.where(p[mine] > namer[3], namer[1], namer[2])
            else:
                _, plain, _, neg_least, found = namer
                q = p[mine]
                stop = np.searchsorted(neg_least, -q, side="right")
                names = np.full(len(q), plain)
                named = np.zeros(len(q), bool)
                for c, r, r_top in found:
                    above = ((stop < r) | ((stop == r) & (q > r_top))) & ~named
                    names[above] = c
                    named |= above
                out[mine] = names
        return out

    # --- every interval that reaches a distance ------------------------------

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

    def _one_targets(self, degree, rad):
        n, out = 0, []
        while rad + (2 * n) * math.pi <= self.max_distance:
            out.append(rad + (2 * n) * math.pi)
            if degree != 180.0:
                out.append((2 * (n + 1)) * math.pi - rad)
            n += 1
        return out

    def one(self, degree):
        """The arrivals at one distance as (phase, time, p, take-off,
        incidence, distance travelled, member, dT/dh, dp/dX) in time order: the hits of the search
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
            p, time, dpdx = _interpolate_one(p_all.item(k), p_all.item(k + 1), x_all.item(k),
                                             x_all.item(k + 1), t_all.item(k),
                                             t_all.item(k + 1), s)
            dpdx = self._spread_one(k, s, dpdx)
            g = self.grp.item(k)
            found.append((self._name_one(g, p), time, p, g, s, dpdx))
        for g, (pg, tg, xg, reach, from_critical) in self.graze.items():
            if (xg < rad or (from_critical and xg == rad)) and rad <= reach:
                found.append((self.namer[g][1], tg + pg * (rad - xg), pg, g, rad, 0.0))
        found = sorted((f for f in found if self.wanted[f[3], f[0]]), key=lambda f: f[:2])
        out, kept = [], []
        for code, time, p, g, s, dpdx in found:
            if any(c == code and time - t < SAME_ARRIVAL and abs(p - q) <= SAME_RAY * q
                   for c, t, q in kept):
                continue
            kept.append((code, time, p))
            takeoff, incidence = self._angles_one(g, p)
            out.append((self.code_names[code].item(), time, p, takeoff, incidence, s, g,
                        self._dtdh_one(g, p), dpdx))
        out.sort(key=lambda a: a[1])
        return out

    def _angles_one(self, g, p):
        takeoff = math.degrees(math.asin(min(1.0, p / self._source_eta(g))))
        incidence = math.degrees(math.asin(min(1.0, p / self._receiver_eta(g))))
        return (180.0 - takeoff if self.going_up[g] else takeoff,
                180.0 - incidence if self.arriving_down[g] else incidence)

    def _spread_one(self, k, s, dpdx):
        """dp/dX of the branch through interval k at distance s, over the
        rays landing SLOPE_SPAN either side of s on the same run of the
        curve (where it runs one way): each layer's law puts small kinks
        into X(p), and a locator wants the curvature of the branch, not of
        one interval's quadratic.  At a fold or an end, that quadratic's."""
        x, p = self.x_all, self.p_all
        rising = x.item(k + 1) > x.item(k)
        ends = []
        for target, step in ((s - SLOPE_SPAN, -1), (s + SLOPE_SPAN, 1)):
            j = k if (step < 0) == rising else k + 1      # the sample on that side
            toward = -1 if (step < 0) == rising else 1
            while True:
                xj = x.item(j)
                if (xj <= target) if step < 0 else (xj >= target):
                    break
                nxt = j + toward
                if not 0 <= nxt < len(x) or not (x.item(nxt) > xj) == (step > 0) or \
                        x.item(nxt) != x.item(nxt):
                    break
                j = nxt
            ends.append(j)
        (a, b) = ends
        if a == b or x.item(a) == x.item(b):
            return dpdx
        if abs(x.item(b) - x.item(a)) < SLOPE_SPAN:
            return dpdx
        return (p.item(b) - p.item(a)) / (x.item(b) - x.item(a))

    def _spread(self, k, s, dpdx):
        """_spread_one for many intervals."""
        return np.array([self._spread_one(kk, ss, d) for kk, ss, d in
                         zip(k.tolist(), s.tolist(), dpdx.tolist())]) if len(k) else dpdx

    def _dtdh_one(self, g, p):
        """dT/dh (s/km): the vertical slowness at the source, sqrt(eta^2 - p^2)
        over its radius; a deeper source shortens a ray leaving downwards."""
        eta = self._source_eta(g)
        q = math.sqrt(max(eta * eta - p * p, 0.0)) / (self.radius - self.depth)
        return q if self.going_up[g] else -q

    def _source_eta(self, g):
        """Slowness at the source on the side member g's rays leave into."""
        cut = self.cuts[self.first[g]][self.depth]
        return cut.above if self.going_up[g] else cut.below

    def _receiver_eta(self, g):
        """Slowness at the receiver on the side member g's rays arrive from."""
        w = self.last[g]
        if self.receiver == 0.0:
            return self.surface_eta[w]
        cut = self.cuts[w][self.receiver]
        return cut.above if self.arriving_down[g] else cut.below

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
        travelled (rad), dT/dh (s/km), dp/dX (s/rad^2); the diffracted and
        head waves added, only the
        phases asked for kept, sorted by degree and time."""
        x1, x2 = self.x_all[k], self.x_all[k + 1]
        t1, t2 = self.t_all[k], self.t_all[k + 1]
        p1, p2 = self.p_all[k], self.p_all[k + 1]
        p, time, dpdx = _interpolate(p1, p2, x1, x2, t1, t2, s)
        dpdx = self._spread(k, s, dpdx)
        grp = self.grp[k]
        names = self._names(grp, p)
        cols = [which, names, time, p, grp, s, dpdx]
        rad = degrees * math.pi / 180.0
        for g, (pg, tg, xg, reach, from_critical) in self.graze.items():
            at = np.flatnonzero(((xg < rad) | (from_critical & (xg == rad))) & (rad <= reach))
            cols = [np.concatenate([c, extra]) for c, extra in zip(cols, (
                at, np.full(len(at), self.namer[g][1]), tg + pg * (rad[at] - xg),
                np.full(len(at), pg), np.full(len(at), g), rad[at], np.zeros(len(at))))]
        which, names, time, p, grp, s, dpdx = cols
        order = np.lexsort((time, names, which))
        order = order[self.wanted[grp[order], names[order]]]
        which, names, time, p, grp, s, dpdx = (c[order] for c in cols)
        # One ray found twice (where two pieces meet) is one arrival.
        same = np.zeros(len(time), bool)
        same[1:] = (which[1:] == which[:-1]) & (names[1:] == names[:-1]) & \
            (time[1:] - time[:-1] < SAME_ARRIVAL) & \
            (np.abs(p[1:] - p[:-1]) <= SAME_RAY * p[:-1])
        keep = ~same
        which, names, time, p, grp, s, dpdx = (c[keep] for c in (which, names, time, p, grp,
                                                                 s, dpdx))
        src = np.array([self._source_eta(g) for g in range(len(self.members))])[grp] \
            if len(grp) else np.zeros(0)
        rec = np.array([self._receiver_eta(g) for g in range(len(self.members))])[grp] \
            if len(grp) else np.zeros(0)
        takeoff = np.degrees(np.arcsin(np.minimum(1.0, p / src)))
        takeoff = np.where(self.going_up[grp], 180.0 - takeoff, takeoff)
        incidence = np.degrees(np.arcsin(np.minimum(1.0, p / rec)))
        incidence = np.where(self.arriving_down[grp], 180.0 - incidence, incidence)
        dtdh = np.sqrt(np.maximum(src * src - p * p, 0.0)) / (self.radius - self.depth)
        dtdh = np.where(self.going_up[grp], dtdh, -dtdh)
        order = np.lexsort((time, which))
        return [c[order] for c in (which, self.code_names[names], time, p, takeoff, incidence,
                                   s, dtdh, dpdx)]


def _members(tables, group, bounds, has_moho):
    """The members of a family in a model, parsed once per model."""
    cache = tables.__dict__.setdefault("_members", {})
    if group not in cache:
        cache[group] = phases.members(group, bounds, has_moho)
    return cache[group]


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
    slope = b + 2.0 * c * q
    return p, tau + p * s, (d / slope if slope else math.inf)


def _interpolate(p1, p2, x1, x2, t1, t2, s):
    """(p, time, dp/dX) of the ray that reaches distance s between two samples.

    tau = T - pX falls with p at the rate X.  Across the interval, X is taken
    as the quadratic in p through both ends whose integral gives the drop of
    tau: with q = (p - p1) / (p2 - p1), X(q) = x1 + b q + c q^2, where
    c = 3 (x1 + x2) - 6 I, b = x2 - x1 - c and I = (tau1 - tau2) / (p2 - p1)
    is the mean of X.  Its root q of X(q) = s (the one that tends to the
    linear one as c goes to 0), then tau integrated to it, give p and
    T = tau + p s.  Near a fold of the curve, where X hardly moves with p,
    this stays as good as anywhere else.  dp/dX = d^2T/dX^2 is the slope of
    the same quadratic, (p2 - p1) / (b + 2 c q)."""
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
    slope = b + 2.0 * c * q
    with np.errstate(divide="ignore"):
        return p, tau + p * s, np.where(slope != 0.0, d / np.where(slope != 0.0, slope, 1.0),
                                        np.inf)


_search = sk._search
_lock = threading.Lock()
