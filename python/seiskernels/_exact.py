"""Exact arrivals of seismic phases in a layered spherical planet: slowness
layers under Bullen's law, their times and distances summed along each
phase's legs, and every arrival at a distance solved for ray by ray, to
1e-9 rad.  The slow, sure path of seiskernels.traveltimes (exact=True), and
the oracle its tables are tested against."""

import array
import bisect
import math
from bisect import bisect_right
from collections import namedtuple

from . import tau_kernels as sk
from ._earthmodel import P, S, ModelError
from . import _phases as phases

STEP_KM = 10.0          # thickest slowness layer
CENTRE_GAP = 1e-6       # the layers stop this fraction of the radius short of the centre
MAX_STEP = math.radians(0.5)    # largest change of distance between two samples
FOLD_TOL = 1e-9         # rad: how closely the fold of a distance curve is sampled
SOLVE_TOL = 1e-9        # rad: distance error left by the arrival solver
FIT_TOL = math.radians(5e-4)    # rad: an interval is smooth if interpolation misses less
MIN_GAP = 1e-9          # narrowest interval refined, as a part of the largest slowness
SLOPE_SPAN = math.radians(0.1)  # rad: the scale d2T/dD2 is taken over
SAME_ARRIVAL = 1e-3     # s: a ray found twice gives times closer than this
SAME_RAY = 1e-9         # and ray parameters closer than this part of each
PAIRS_PER_CALL = 1 << 19
APPROACH = 30           # rays closing in on each square-root onset, each twice as close

Result = namedtuple("Arrival", "phase distance time ray_param takeoff incidence travelled "
                    "dtdh dpdd ellipticity elevation azimuth back_azimuth",
                    defaults=(math.nan, math.nan, 0.0, 0.0, None, None))
Result.__doc__ = """One arrival: phase name; distance asked (deg); time (s); ray parameter
p = dT/dD (s/deg); take-off angle at the source and incidence angle at the
receiver (deg from the downward and the upward vertical); distance the ray
travels (deg, above 180 for the long way round); dT/dh, the change of the
time with the source's depth (s/km); dp/dD = d2T/dD2 along the branch
(s/deg^2, 0 for a diffracted or head wave); the ellipticity and station
elevation corrections (s, already in the time; 0 where not asked for); and,
where the source and station were given by their coordinates, the azimuth
from the source and the back azimuth from the station (deg from north,
None otherwise)."""


def number(x, name, upper=None):
    """x as a float, if it is finite, at least 0 and at most `upper`."""
    try:
        v = float(x)
    except (TypeError, ValueError):
        raise TypeError(f"{name}: expected a number, got {type(x).__name__}") from None
    if not math.isfinite(v) or v < 0.0 or (upper is not None and v > upper):
        allowed = f"0 to {upper:g}" if upper is not None else "0 or more"
        raise ValueError(f"{name}: {x!r} is not allowed: expected a finite number, {allowed}")
    return v


def checked(cmb, depth, distance, receiver=0.0):
    """(depth, distance, receiver depth) as floats, the depths within the
    mantle, the distance 0 to 180 degrees."""
    depth, distance = number(depth, "depth"), number(distance, "distance", 180.0)
    receiver = number(receiver, "receiver_depth")
    for name, value, what in (("depth", depth, "a source"), ("receiver_depth", receiver,
                                                              "a receiver")):
        if not value < cmb:
            raise ModelError(f"{name}: {value:g} km is outside the model's mantle: {what} "
                             f"depth must lie from 0 to below {cmb:g} km")
    return depth, distance, receiver


class Branch:
    """Slowness layers (eta = r / v, s/rad) of one wave type from depth
    `top` down to `bottom` (km), none thicker than `step` km."""

    def __init__(self, model, wave, top, bottom, step):
        self.radius = radius = model.radius
        self.top, self.bottom = top, bottom
        # r = 0 is out of the layer integrals' domain: a branch that reaches
        # the centre stops just short of it, and the ray crosses the tiny
        # ball left there as a homogeneous one (ball_eta = r / v at its edge).
        self.centre = bottom >= radius
        if self.centre:
            bottom = radius * (1.0 - CENTRE_GAP)
        self.rows = rows = array.array("d", layer_rows(model, wave, top, bottom, step))
        if any(not math.isfinite(x) or x <= 0.0 for x in rows[0::2]):
            raise ModelError(f"{model.name}: no {'PS'[wave]} speed between {top:g} and "
                             f"{bottom:g} km")
        self.n = len(rows) // 4
        self.tops, self.bots = rows[0::4], rows[2::4]
        self.top_eta = rows[0] if self.n else math.inf
        least, self._neg_least = math.inf, []
        for t, b in zip(self.tops, self.bots):
            least = min(least, t, b)
            self._neg_least.append(-least)
        self.ball_eta = self.bots[-1] if self.centre else None
        self.min = 0.0 if self.centre else least
        self.etas = set(self.tops) | set(self.bots)
        self.shadows = self._shadows()
        # Tops of the layers under a jump of slowness: rays just below one
        # enter the layer and turn in it, at distances that move as the
        # square root of p's distance from it.
        self.jumps = {t for t, b in zip(self.tops[1:], self.bots) if t != b} | \
            ({self.top_eta} if self.n else set())
        self._turn = [turning_law(radius, row) for row in zip(*[iter(rows)] * 4)]

    def _shadows(self):
        """Ray parameters at which the turning point jumps down across a low-
        velocity zone, leaving a gap in distance: the top of each such zone."""
        jumps = set()
        for j in range(self.n - 1):
            least = -self._neg_least[j]
            below, next_bot = self.tops[j + 1], self.bots[j + 1]
            if below > least or (below == least and next_bot > least):
                jumps.add(least)
        return jumps

    def stop(self, p):
        """Index of the first layer the ray cannot cross (n if none)."""
        return bisect_right(self._neg_least, -p)

    def time_dist(self, rays):
        """Time (s) and distance (rad) of each ray parameter across the
        branch: the layers it crosses, then the layer it turns in."""
        times, dists = [0.0] * len(rays), [0.0] * len(rays)
        if not self.n or not rays:
            return times, dists
        stops = [self.stop(p) for p in rays]
        width = min(self.n, max(stops) + 1)
        chunk = max(1, PAIRS_PER_CALL // width)
        for first in range(0, len(rays), chunk):
            part = slice(first, first + chunk)
            t, d = self._sums(rays[part], stops[part], width)
            times[part], dists[part] = t, d
        if self.centre:
            for i, p in enumerate(rays):
                if stops[i] == self.n:
                    times[i] += math.sqrt(self.ball_eta ** 2 - p * p)
                    dists[i] += math.acos(min(1.0, p / self.ball_eta))
        return times, dists

    def _sums(self, rays, stops, width):
        rows = self.rows[:4 * width]
        layer = rows * len(rays)
        pairs = array.array("d")
        for i, (p, j) in enumerate(zip(rays, stops)):
            pairs.extend(array.array("d", (p,)) * width)
            if j < width:
                self._cut(layer, 4 * (i * width + j), j, p)
        time = array.array("d", bytes(8 * len(pairs)))
        dist = array.array("d", bytes(8 * len(pairs)))
        sk.bullen_radial_slowness_inner_loop(layer, pairs, time, dist, self.radius)
        # The uncut rows tell the sums where each ray stops.  Thin or emptied
        # pairs were skipped above and add their pre-filled zeros.
        td = array.array("d", bytes(32 * len(rays)))
        sk.tau_branch_calc_time_dist_inner_loop(pairs, time, dist, rows, td, math.inf, True)
        return td[sk.TD_TIME::4].tolist(), td[sk.TD_DIST::4].tolist()

    def turning_depth(self, j, p):
        """Depth at which ray p turns inside layer j, by the layer's own law."""
        r_top, inv_b = self._turn[j]
        return self.radius - r_top * (p / self.tops[j]) ** inv_b

    def _cut(self, layer, k, j, p):
        """The pair of the layer the ray stops in: cut at the turning point if
        the ray turns inside it, else emptied (the ray is reflected above it,
        or cannot enter it), so that it adds nothing."""
        top, bot = self.tops[j], self.bots[j]
        if top > p > bot:
            layer[k + sk.SL_BOT_P] = p
            layer[k + sk.SL_BOT_DEPTH] = min(self.turning_depth(j, p), layer[k + sk.SL_BOT_DEPTH])
        else:
            layer[k + sk.SL_BOT_DEPTH] = layer[k + sk.SL_TOP_DEPTH]


def layer_rows(model, wave, top, bottom, step):
    """Slowness-layer rows of a wave from depth `top` to `bottom` km: each shell
    cut into equal layers no thicker than `step`, whatever the branch, so that
    every branch is a run of the same layers, cut at its ends; eta = r / v
    from the shell's own speeds at every boundary."""
    rows = []
    for shell in model.shells:
        a, b = max(shell.top, top), min(shell.bottom, bottom)
        if b > a:
            rows += shell_layers(shell, wave, a, b, model.radius, step)
    return rows


def shell_layers(shell, wave, a, b, radius, step):
    """Rows of the shell's layers that lie within [a, b], the end ones cut.
    A cut inside a layer takes its slowness from the layer's own law, so that
    the two parts of a layer add up to the whole."""
    n = max(1, math.ceil((shell.bottom - shell.top) / step))
    depths = [shell.top + (shell.bottom - shell.top) * k / n for k in range(n + 1)]
    etas = []
    for d in depths:
        v = shell.speed(d, wave)
        etas.append((radius - d) / v if v > 0.0 else math.nan)
        # Equal slownesses at both ends make Bullen's exponent 0 (NaN out of
        # the integrals): move the lower one by a part in 1e12.
        if len(etas) > 1 and etas[-1] == etas[-2]:
            etas[-1] *= 1.0 - 1e-12
    rows = []
    for k in range(n):
        top, bot = depths[k], depths[k + 1]
        if bot <= a or top >= b:
            continue
        row = [etas[k], top, etas[k + 1], bot]
        for end, cut in ((0, a), (2, b)):
            if top < cut < bot:
                row[end:end + 2] = cut_eta(shell, wave, radius, row, cut), cut
        rows += row
    return rows


def cut_eta(shell, wave, radius, row, depth):
    """Slowness at `depth` inside a layer, by its law eta = A r^B; the layer
    at the centre, where the law has no r = 0, by the shell's speed."""
    top_eta, top, bot_eta, bot = row
    if bot >= radius or not top_eta > 0.0 or not bot_eta > 0.0:
        v = shell.speed(depth, wave)
        return (radius - depth) / v if v > 0.0 else math.nan
    return law_eta(radius, row, depth)


def law_eta(radius, row, depth):
    """Slowness at `depth` in a layer row, by the layer's law eta = A r^B."""
    top_eta, top, bot_eta, bot = row
    b = math.log(top_eta / bot_eta) / math.log((radius - top) / (radius - bot))
    return top_eta * ((radius - depth) / (radius - top)) ** b


def turning_law(radius, row):
    """(r_top, 1/B) of a layer's law eta = eta_top (r / r_top)^B, which puts
    the turning point of ray p at r_top (p / eta_top)^(1/B)."""
    top_p, top_depth, bot_p, bot_depth = row
    r_top, r_bot = radius - top_depth, radius - bot_depth
    if not top_p > bot_p:
        return r_top, math.nan
    return r_top, math.log(r_top / r_bot) / math.log(top_p / bot_p)


class Curve:
    """A phase's rays sampled along one continuous piece of its distance
    curve: ray parameter p (s/rad), time (s), distance (rad)."""

    def __init__(self, name, samples):
        self.name = name
        self.p, self.time, self.dist = (array.array("d", x) for x in zip(*samples))
        self.max_distance = max(self.dist)

    def hits(self, degree):
        """(distance searched, interval) of every ray interval reaching `degree`."""
        found = sk.seismic_phase_calc_time_inner_loop(degree, self.max_distance,
                                                      self.dist, self.p)
        return list(zip(*found))


class Arrival:
    """One arrival; `bottom` is the depth (km) its ray bottoms at when it
    turns in the mantle or goes straight from the source, else None."""
    __slots__ = ("phase", "degree", "travelled", "p", "time", "takeoff", "incidence", "bottom",
                 "legs", "head", "dtdh", "dpdx")

    def __init__(self, phase, degree, travelled, p, time, takeoff, incidence, bottom=None,
                 legs=(), head=None, dtdh=math.nan, dpdx=math.nan):
        self.phase, self.degree, self.travelled = phase, degree, travelled
        self.p, self.time, self.takeoff, self.incidence = p, time, takeoff, incidence
        self.bottom, self.legs, self.head = bottom, legs, head
        self.dtdh, self.dpdx = dtdh, dpdx


class Earth:
    """The phases of a model for a source at `depth` km and a receiver at
    `receiver` km, each pass of their legs a run of the same layers as the
    tables', cut at the source and the receiver."""

    def __init__(self, model, depth, step=STEP_KM, receiver=0.0):
        for name, value in (("source depth", depth), ("receiver depth", receiver)):
            if not 0.0 <= value < model.cmb:
                raise ModelError(f"{name} {value:g} km is not in the mantle "
                                 f"(0 to {model.cmb:g} km)")
        self.model, self.depth, self.receiver, self.step = model, depth, receiver, step
        self.bounds = phases.bounds_of(model)
        self.surface_eta = [model.radius / model.speed(0.0, w) for w in (P, S)]
        self._branches, self._curves, self._members = {}, {}, {}

    def branch(self, wave, top, bottom):
        """The Branch of a wave's layers from `top` to `bottom` km."""
        key = (wave, top, bottom)
        if key not in self._branches:
            self._branches[key] = Branch(self.model, wave, top, bottom, self.step)
        return self._branches[key]

    def _pass_branch(self, ps):
        return self.branch(ps.wave, ps.top, ps.bottom)

    def members(self, group):
        """[(Member, passes)] of a family of phases at this source and
        receiver, leaving out those no ray can follow from here."""
        if group not in self._members:
            model = self.model
            found = []
            for m in phases.members(group, self.bounds, model.moho is not None):
                legs = phases.passes(m.phase, self.depth, self.receiver, model.cmb, model.icb,
                                     model.radius)
                if legs:
                    found.append((m, legs))
            self._members[group] = found
        return self._members[group]

    def eta(self, wave, depth, below):
        """Slowness just below (or above) a depth, by the layers' laws."""
        model = self.model
        if below:
            return self.branch(wave, depth, model.cmb if depth < model.cmb else
                               model.icb if depth < model.icb else model.radius).top_eta
        top = 0.0 if depth <= model.cmb else model.cmb if depth <= model.icb else model.icb
        return self.branch(wave, top, depth).bots[-1]

    def source_eta(self, wave, going):
        return self.eta(wave, self.depth, going != phases.UP)

    def evaluate(self, legs, rays):
        """Time and distance of each ray parameter along the passes."""
        times, dists = [0.0] * len(rays), [0.0] * len(rays)
        for ps in legs:
            t, d = self._pass_branch(ps).time_dist(rays)
            n = 2 if ps.kind == phases.TURN else 1
            for i in range(len(rays)):
                times[i] += n * t[i]
                dists[i] += n * d[i]
        return times, dists

    def p_range(self, legs):
        return phases.p_range(legs, self._pass_branch)

    def head_p(self, member):
        """Ray parameter of a diffracted or head wave: the slowness just above
        (diffracted) or just below (head wave) its boundary."""
        kind, wave, region, where = member.phase.head
        depth = {"cmb": self.model.cmb, "icb": self.model.icb}.get(where, where)
        return self.eta(wave, depth, kind == "n")

    def curves(self, member, legs):
        key = (member.phase.name, member.kind)
        if key not in self._curves:
            lo, hi, cuts = self.p_range(legs)
            ranges, top = [], hi
            for x in cuts:
                ranges.append((math.nextafter(x, math.inf), top))
                top = x
            ranges.append((lo, top))
            self._curves[key] = [Curve(member.phase.name, self.sample(legs, a, b))
                                 for a, b in ranges if b > a]
        return self._curves[key]

    def sample(self, legs, lo, hi):
        """Samples (p, time, distance) from hi down to lo: every layer
        boundary slowness in between, evenly spread rays, rays closing in on
        each slowness below which a ray enters a new layer with a jump (the
        square root of p's distance from it sets the curve's shape there,
        and can hide a small loop), and more rays wherever distance moves fast
        or the curve folds back."""
        grid = {lo, hi} | {lo + (hi - lo) * k / 64 for k in range(1, 64)}
        span = (hi - lo) / 64
        onsets = {hi}
        for ps in legs:
            branch = self._pass_branch(ps)
            grid |= {e for e in branch.etas if lo < e < hi}
            if ps.kind == phases.TURN:
                onsets |= {e for e in branch.jumps if lo < e <= hi}
        for e in onsets:
            grid |= {e - span * 0.5 ** k for k in range(1, APPROACH) if e - span * 0.5 ** k > lo}
        return self._refine(legs, sorted(grid), hi)

    def _refine(self, legs, grid, top):
        """Rays added where the samples do not yet pin the curve down: the
        middle ray of every interval whose distance moves by more than
        MAX_STEP or whose middle ray lands further than FIT_TOL from the
        distance the tables' interpolation puts there (the quadratic through
        its ends with the mean that the drop of tau gives: then both halves
        are taken as smooth), and rays either side of every fold until it is
        pinned to FOLD_TOL.  Each round looks only where the last one added
        rays.  This finds every bend and loop the tables can see."""
        ps = list(grid)
        ts, xs = self.evaluate(legs, ps)
        known = dict(zip(ps, zip(ts, xs)))
        order = sorted(known)
        # Intervals (a, b) whose middle ray is to be tried, and folds to look for.
        trial = list(zip(order, order[1:]))
        near = set(order)
        for _ in range(60):
            mids = {0.5 * (a + b): (a, b) for a, b in trial if b - a > MIN_GAP * top}
            mids.update({m: None for m in _fold_rays(order, known, near)})
            mids = {m: ab for m, ab in mids.items() if m not in known}
            if not mids:
                break
            rays = sorted(mids)
            for p, t, d in zip(rays, *self.evaluate(legs, rays)):
                known[p] = (t, d)
                bisect.insort(order, p)
            trial, near = [], set(rays)
            for m in rays:
                ab = mids[m]
                if ab is None:
                    continue
                a, b = ab
                (ta, xa), (tm, xm), (tb, xb) = known[a], known[m], known[b]
                c = 3.0 * (xa + xb) - 6.0 * ((ta - a * xa) - (tb - b * xb)) / (b - a)
                smooth = abs(xm - (xa + 0.5 * (xb - xa - c) + 0.25 * c)) <= FIT_TOL
                for lo, hi, x1, x2 in ((a, m, xa, xm), (m, b, xm, xb)):
                    if not smooth or abs(x2 - x1) > MAX_STEP:
                        trial.append((lo, hi))
        return [(p, *known[p]) for p in reversed(order)]

    def arrivals(self, group, degrees):
        """Every arrival of a family of phases at each distance in degrees,
        named: a list of Arrival lists."""
        found = [[] for _ in degrees]
        for member, legs in self.members(group):
            if member.kind in ("diff", "n"):
                self._head(group, member, legs, degrees, found)
                continue
            jobs = []
            curves = self.curves(member, legs)
            for curve in curves:
                for i, degree in enumerate(degrees):
                    for s, k in curve.hits(degree):
                        jobs.append((i, curve, s, k))
            fold = least_fold(curves) if group == "PKP" else None
            for (i, curve, s, k), (p, time) in zip(jobs, self.solve(legs, jobs)):
                found[i].append(self._arrival(group, member, legs, degrees[i], s, p, time, fold))
        return [merge(a) for a in found]

    def _arrival(self, group, member, legs, degree, s, p, time, fold=None):
        first, last = member.phase.legs[0], member.phase.legs[-1]
        going = first.going
        takeoff = math.degrees(math.asin(min(1.0, p / self.source_eta(first.wave, going))))
        arriving_up = last.arriving == phases.UP
        rec_eta = self.eta(last.wave, self.receiver, arriving_up) if self.receiver > 0.0 \
            else self.surface_eta[last.wave]
        incidence = math.degrees(math.asin(min(1.0, p / rec_eta)))
        name, bottom = self.name_of(group, member, legs, p, fold)
        eta = self.source_eta(first.wave, going)
        dtdh = math.sqrt(max(eta * eta - p * p, 0.0)) / (self.model.radius - self.depth)
        return Arrival(name, degree, s, p, time, 180.0 - takeoff if going == phases.UP else
                       takeoff, incidence if arriving_up else 180.0 - incidence, bottom, legs,
                       member.phase.head, dtdh if going == phases.UP else -dtdh,
                       0.0 if member.phase.head else self.slope(legs, p))

    def slope(self, legs, p):
        """dp/dX of the ray p along the passes: a difference over the rays
        landing about SLOPE_SPAN either side of it.  Each layer's law bends
        X(p) a little where a ray starts to turn in the next layer: a
        locator wants the curvature of the branch, not of those kinks."""
        lo, hi, _ = self.p_range(legs)
        h = 1e-7 * p if p > 0.0 else 1e-9
        _, (x1, x2) = self.evaluate(legs, [max(p - h, lo), min(p + h, hi)])
        if x1 == x2:
            return math.inf
        h = min(SLOPE_SPAN * 2.0 * h / abs(x2 - x1), 0.25 * (hi - lo))
        a, b = max(p - h, lo), min(p + h, hi)
        _, (x1, x2) = self.evaluate(legs, [a, b])
        return (b - a) / (x2 - x1) if x2 != x1 else math.inf

    def name_of(self, group, member, legs, p, fold=None):
        """(name, bottom): P, S, PP and SS as Pg, Pb, Pn (PgPg, ...) by where
        their rays bottom; PKP as PKPab or PKPbc by the side of its fold; a
        diffracted or head wave by its own name."""
        if member.kind in ("diff", "n"):
            kind, _, _, where = member.phase.head
            own = group + kind if group in ("P", "S") else member.phase.name
            return own, {"cmb": self.model.cmb, "icb": self.model.icb}.get(where, where)
        if fold is not None:
            return ("PKPab" if p > fold[1] else "PKPbc"), None
        if group not in ("P", "S", "PP", "SS"):
            return group, None
        if member.kind == "direct":
            bottom, reflected = max(self.depth, self.receiver), True
        else:
            turn = [ps for ps in legs if ps.kind == phases.TURN][-1]
            branch = self._pass_branch(turn)
            j = min(branch.stop(p), branch.n - 1)
            if p > branch.tops[j]:
                bottom, reflected = branch.rows[4 * j + sk.SL_TOP_DEPTH], True
            else:
                bottom, reflected = branch.turning_depth(j, p), False
        for depth, letter in self.model.regions:
            if bottom < depth or (reflected and bottom == depth):
                return (group[0] + letter) * len(group), bottom
        return group, bottom

    def _head(self, group, member, legs, degrees, found):
        """A wave diffracted or refracted along a boundary goes on along it:
        T = T(p*) + p* (distance - distance(p*)) beyond the distance its
        legs take at the ray parameter p* of the boundary."""
        head = self.head_at(member, legs)
        if head is None:
            return
        p, t, d = head
        reach = math.pi if member.kind == "diff" else d + math.radians(phases.HEAD_WAVE_DEG)
        for i, degree in enumerate(degrees):
            x = reduced(degree)
            if (d < x or (member.kind == "n" and d == x)) and x <= min(reach, math.pi):
                found[i].append(self._arrival(group, member, legs, degree, x, p,
                                              t + p * (x - d)))

    def head_at(self, member, legs):
        """(p*, time, distance) of a diffracted or head wave's legs at its
        boundary's slowness, or None where no ray reaches the boundary there."""
        p = self.head_p(member)
        lo, hi, _ = self.p_range(legs)
        if not lo <= p <= hi:
            return None
        (t,), (d,) = self.evaluate(legs, [p])
        return p, t, d

    def trace(self, name, going_up, p, degree):
        """(miss, time): ray p traced along the members of a phase's family
        that leave the source as it does (up or down), the one landing
        nearest `degree` (miss in rad, the short or long way round, any
        number of turns), its time carried to `degree` with dT/dX = p; a
        head wave's ray at its boundary's slowness runs on to `degree`.
        (inf, nan) if no member can carry the ray.  Checks an arrival of the
        tables against an exact ray."""
        best = (math.inf, math.nan)
        x_asked = math.radians(degree)
        for member, legs in self.members(phases.split(name)[0]):
            if (member.phase.legs[0].going == phases.UP) != going_up or member.kind == "diff":
                continue
            (t,), (x,) = self.evaluate(legs, [p])
            if member.kind == "n":
                if abs(p - self.head_p(member)) <= 1e-9 * p and x_asked >= x:
                    best = min(best, (0.0, t + p * (x_asked - x)))
                continue
            turns = 2 * math.pi * round(x / (2 * math.pi))
            miss = min((turns + x_asked - x, turns - x_asked - x), key=abs)
            best = min(best, (abs(miss), t + p * miss))
        return best

    def graze(self, name):
        """(p, time, distance) of the ray of phase P or S that grazes the
        core, or None."""
        for member, legs in self.members(name):
            if member.kind == "diff":
                return self.head_at(member, legs)
        return None

    def caustic(self, name):
        """Distance (rad) at which the phase's curve folds back at its least
        distance, or None."""
        folds = [least_fold(self.curves(m, legs)) for m, legs in self.members(name)
                 if m.kind == "ray"]
        folds = [f for f in folds if f]
        return min(folds)[0] if folds else None

    def solve(self, legs, jobs):
        """For each hit (i, curve, s, k): the ray p of interval k with
        distance s, by regula falsi (Illinois), and its time corrected to
        first order with dT/dDistance = p.  Returns (p, time) per job."""
        results = [None] * len(jobs)
        pending = []
        for n, (_, curve, s, k) in enumerate(jobs):
            a = (curve.p[k], curve.dist[k] - s, curve.time[k], curve.dist[k])
            b = (curve.p[k + 1], curve.dist[k + 1] - s, curve.time[k + 1], curve.dist[k + 1])
            if a[1] == 0.0 or b[1] == 0.0:
                p, _, t, _ = a if a[1] == 0.0 else b
                results[n] = (p, t)
            else:
                pending.append([n, s, k, a, b])
        for n, p, t in illinois(self, legs, pending):
            results[n] = (p, t)
        return results


def arrivals(model, depth, distance, names, receiver=0.0):
    """Every arrival of the named phases at one depth (km) and distance
    (deg), solved ray by ray: (phase, distance, time, ray parameter in s/deg,
    take-off, incidence, distance travelled in deg, dT/dh in s/km, dp/dD in
    s/deg^2), in time order."""
    per_degree = math.pi / 180.0
    return [(name, distance, a.time, a.p * per_degree, a.takeoff, a.incidence,
             math.degrees(a.travelled), a.dtdh, a.dpdx * per_degree ** 2)
            for name, a in solved(model, depth, distance, names, receiver)]


def solved(model, depth, distance, names, receiver=0.0):
    """[(name, Arrival)] of the named phases at one depth and distance, in
    time order, each ray once."""
    earth = Earth(model, depth, receiver=receiver)
    found, seen = [], set()
    for name in names:
        group, label = phases.split(name)
        for a in earth.arrivals(group, [distance])[0]:
            if label is None or a.phase == label or label in phases.ALIASES:
                shown = label if label in phases.ALIASES else a.phase
                key = (shown, a.time, a.p)
                if key not in seen:
                    seen.add(key)
                    found.append((shown, a))
    return sorted(found, key=lambda f: f[1].time)


def illinois(earth, legs, group):
    """Regula falsi on each job [n, s, k, a, b] at once, halving the value
    kept at an end that stays, one batch of rays along the legs per step."""
    done = []
    for _ in range(100):
        if not group:
            break
        rays = []
        for job in group:
            _, s, _, (pa, fa, _, _), (pb, fb, _, _) = job
            c = pb - fb * (pb - pa) / (fb - fa)
            if not min(pa, pb) < c < max(pa, pb):
                c = 0.5 * (pa + pb)
            rays.append(c)
        times, dists = earth.evaluate(legs, rays)
        left = []
        for job, c, t, d in zip(group, rays, times, dists):
            n, s, k, a, b = job
            fc = d - s
            if abs(fc) <= SOLVE_TOL or c in (a[0], b[0]):
                done.append((n, c, t + c * (s - d)))
                continue
            if (fc < 0.0) != (b[1] < 0.0):
                job[3] = b
            else:
                job[3] = (a[0], 0.5 * a[1], a[2], a[3])
            job[4] = (c, fc, t, d)
            left.append(job)
        group = left
    for n, s, k, a, b in group:
        p, f, t, d = min(a, b, key=lambda x: abs(x[1]))
        done.append((n, p, t + p * (s - d)))
    return done


def _fold_rays(order, known, near):
    """Rays either side of each fold of the curve (a sample where the
    distance turns back) next to the rays in `near`, until it is pinned
    down to FOLD_TOL."""
    new = set()
    for p in near:
        k = bisect_right(order, p) - 1
        for j in range(max(1, k - 1), min(len(order) - 1, k + 2)):
            d0, d1, d2 = (known[order[i]][1] for i in (j - 1, j, j + 1))
            if (d1 - d0) * (d2 - d1) < 0.0:
                for i in (j - 1, j + 1):
                    if abs(known[order[i]][1] - d1) > FOLD_TOL:
                        new.add(0.5 * (order[i] + order[j]))
    return new


def reduced(degree):
    x = math.fmod(abs(degree), 360.0)
    return math.radians(360.0 - x if x > 180.0 else x)


def least_fold(curves):
    """(distance, p) of the sample where a curve turns back at its least
    distance, or None."""
    folds = [(d, p) for c in curves for p, d in list(zip(c.p, c.dist))[1:-1]
             if d < min(c.dist[0], c.dist[-1])]
    return min(folds) if folds else None


def merge(arrivals):
    """Sorted by time, the arrivals of one ray found twice (where two pieces
    of a curve meet) as one: same phase, time within SAME_ARRIVAL and the
    same ray parameter.  Two rays are two arrivals, however close in time."""
    out = []
    for a in sorted(arrivals, key=lambda a: a.time):
        if not any(b.phase == a.phase and a.time - b.time < SAME_ARRIVAL and
                   abs(a.p - b.p) <= SAME_RAY * b.p for b in out):
            out.append(a)
    return out
