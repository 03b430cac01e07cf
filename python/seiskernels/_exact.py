"""Exact arrivals of seismic phases in a layered spherical planet: slowness
layers under Bullen's law, their times and distances summed along each
phase's legs, and every arrival at a distance solved for ray by ray, to
1e-9 rad.  The slow, sure path of seiskernels.traveltimes (exact=True), and
the oracle its tables are tested against."""

import array
import math
from bisect import bisect_right
from collections import namedtuple

from . import traveltime as sk
from ._earthmodel import P, S, ModelError
from ._phases import base, parse, wanted

STEP_KM = 10.0          # thickest slowness layer
CENTRE_GAP = 1e-6       # the layers stop this fraction of the radius short of the centre
MAX_STEP = math.radians(0.5)    # largest change of distance between two samples
FOLD_TOL = 1e-9         # rad: how closely the fold of a distance curve is sampled
SOLVE_TOL = 1e-9        # rad: distance error left by the arrival solver
SAME_ARRIVAL = 1e-3     # s: arrivals of a phase closer than this are one
PAIRS_PER_CALL = 1 << 19
DIFFRACTED = {"P": "Pdiff", "S": "Sdiff"}

Result = namedtuple("Arrival", "phase distance time ray_param takeoff incidence travelled")
Result.__doc__ = """One arrival: phase name; distance asked (deg); time (s); ray parameter
(s/deg); take-off angle at the source and incidence angle at the receiver (deg
from the downward and the upward vertical); distance the ray travels (deg, above
180 for the long way round)."""


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


def checked(cmb, depth, distance):
    """(depth, distance) as floats, the depth within the mantle, the
    distance 0 to 180 degrees."""
    depth, distance = number(depth, "depth"), number(distance, "distance", 180.0)
    if not depth < cmb:
        raise ModelError(f"depth: {depth:g} km is outside the model's mantle: a source "
                         f"depth must lie from 0 to below {cmb:g} km")
    return depth, distance


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
    """A phase's rays sampled along one continuous branch of its distance
    curve: ray parameter p (s/rad), time (s), distance (rad).  Intervals
    before `join` belong to the rays going up from the source (legs `up`),
    the others to the rays going down (legs `down`)."""

    def __init__(self, name, down, samples, up=None, join=0):
        self.name, self.down, self.up, self.join = name, down, up, join
        self.p, self.time, self.dist = (array.array("d", x) for x in zip(*samples))
        self.max_distance = max(self.dist)

    def legs(self, k):
        return self.up if k < self.join else self.down

    def hits(self, degree):
        """(distance searched, interval) of every ray interval reaching `degree`."""
        found = sk.seismic_phase_calc_time_inner_loop(degree, self.max_distance,
                                                      self.dist, self.p)
        return list(zip(*found))


class Arrival:
    """One arrival; `bottom` is the depth (km) its ray bottoms at when it
    turns in the mantle or goes up from the source, else None."""
    __slots__ = ("phase", "degree", "travelled", "p", "time", "takeoff", "incidence", "bottom")

    def __init__(self, phase, degree, travelled, p, time, takeoff, incidence, bottom=None):
        self.phase, self.degree, self.travelled = phase, degree, travelled
        self.p, self.time, self.takeoff, self.incidence = p, time, takeoff, incidence
        self.bottom = bottom


class Earth:
    """The phases of a model for a source at `depth` km."""

    def __init__(self, model, depth, step=STEP_KM):
        if not 0.0 <= depth < model.cmb:
            raise ModelError(f"source depth {depth:g} km is not in the mantle "
                             f"(0 to {model.cmb:g} km)")
        self.model, self.depth = model, depth
        self.branches = {
            ("A", P): Branch(model, P, 0.0, depth, step),
            ("A", S): Branch(model, S, 0.0, depth, step),
            ("M", P): Branch(model, P, depth, model.cmb, step),
            ("M", S): Branch(model, S, depth, model.cmb, step),
            ("K", P): Branch(model, P, model.cmb, model.icb, step),
            ("I", P): Branch(model, P, model.icb, model.radius, step)}
        self.surface_eta = [model.radius / model.speed(0.0, w) for w in (P, S)]
        self._curves = {}

    def source_eta(self, wave):
        return self.branches["M", wave].top_eta

    def p_max(self, wave):
        """Largest ray parameter that leaves the source and reaches the surface."""
        above = self.branches["A", wave]
        return min(above.min if above.n else math.inf, self.source_eta(wave))

    def legs(self, name):
        """The parsed phase, and its legs as [(Branch, times crossed)]."""
        phase = parse(name)
        return phase, [(self.branches[key], n) for key, n in phase.legs.items()]

    def evaluate(self, legs, rays):
        """Time and distance of each ray parameter along the legs."""
        times, dists = [0.0] * len(rays), [0.0] * len(rays)
        for branch, n in legs:
            t, d = branch.time_dist(rays)
            for i in range(len(rays)):
                times[i] += n * t[i]
                dists[i] += n * d[i]
        return times, dists

    def curves(self, name):
        if name not in self._curves:
            self._curves[name] = self._make_curves(name)
        return self._curves[name]

    def _make_curves(self, name):
        phase, legs = self.legs(name)
        lo, hi, cuts = p_range(phase, self.branches)
        ranges, top = [], hi
        for x in cuts:
            ranges.append((math.nextafter(x, math.inf), top))
            top = x
        ranges.append((lo, top))
        curves = [Curve(name, legs, self.sample(legs, a, b)) for a, b in ranges if b > a]
        if name in DIFFRACTED and self.depth > 0.0:
            curves = self._rays_up(name, phase.first_wave, legs, curves)
        return curves

    def _rays_up(self, name, wave, legs, curves):
        """The rays going up from the source, joined to those going down at
        the horizontal take-off when both meet there."""
        up = [(self.branches["A", wave], 1)]
        p_max = self.p_max(wave)
        rising = self.sample(up, 0.0, p_max, ascending=True)
        if curves and p_max == self.source_eta(wave) == curves[0].p[0]:
            samples = rising + list(zip(curves[0].p, curves[0].time, curves[0].dist))[1:]
            return [Curve(name, legs, samples, up, len(rising) - 1)] + curves[1:]
        return [Curve(name, up, rising, up, len(rising))] + curves

    def sample(self, legs, lo, hi, ascending=False):
        """Samples (p, time, distance) from hi down to lo: every layer
        boundary slowness in between, evenly spread rays, and more rays
        wherever distance moves fast or the curve folds back."""
        grid = {lo, hi} | {lo + (hi - lo) * k / 64 for k in range(1, 64)}
        for branch, _ in legs:
            grid |= {e for e in branch.etas if lo < e < hi}
        known = {}
        for _ in range(60):
            grid = sorted(p for p in grid if p not in known)
            if not grid:
                break
            for p, t, d in zip(grid, *self.evaluate(legs, grid)):
                known[p] = (t, d)
            grid = refinements(sorted(known.items()))
        return [(p, t, d) for p, (t, d) in sorted(known.items(), reverse=not ascending)]

    def arrivals(self, name, degrees):
        """Every arrival of a phase (and its diffracted continuation) at each
        distance in degrees: a list of Arrival lists."""
        phase = parse(name)
        found = [[] for _ in degrees]
        curves = self.curves(name)
        jobs = []
        for curve in curves:
            for i, degree in enumerate(degrees):
                for s, k in curve.hits(degree):
                    jobs.append((i, curve, s, k))
        for (i, curve, s, k), (p, time) in zip(jobs, self.solve(jobs)):
            found[i].append(self._arrival(curve.name, phase, degrees[i], s, p, time,
                                          phase.first_up or k < curve.join))
        if name in DIFFRACTED:
            self._diffracted(name, phase, degrees, found)
        if name == "PKP":
            label_pkp(curves, found)
        return [merge(a) for a in found]

    def _arrival(self, name, phase, degree, s, p, time, going_up):
        wave = phase.first_wave
        takeoff = math.degrees(math.asin(min(1.0, p / self.source_eta(wave))))
        incidence = math.degrees(math.asin(min(1.0, p / self.surface_eta[phase.last_wave])))
        bottom = None
        if name in ("P", "S", "PP", "SS"):
            bottom, reflected = self._bottom(wave, p, going_up)
            name = self._named(name, bottom, reflected)
        return Arrival(name, degree, s, p, time, 180.0 - takeoff if going_up else takeoff,
                       incidence, bottom)

    def _bottom(self, wave, p, going_up):
        """(depth, reflected): where a mantle ray bottoms, the source for one
        going up; and whether it is reflected there, at the top of a layer
        it cannot enter, rather than turning."""
        if going_up:
            return self.depth, False
        mantle = self.branches["M", wave]
        j = min(mantle.stop(p), mantle.n - 1)
        if p > mantle.tops[j]:
            return mantle.rows[4 * j + sk.SL_TOP_DEPTH], True
        return mantle.turning_depth(j, p), False

    def _named(self, name, bottom, reflected):
        """P, S, PP or SS as seismologists name them by where the ray
        bottoms: Pg, Pb or Pn (PgPg, ...) above the Conrad, the Moho or the
        first boundary below it, P beneath.  A ray reflected at a boundary
        stays above it."""
        for depth, letter in self.model.regions:
            if bottom < depth or (reflected and bottom == depth):
                return (name[0] + letter) * len(name)
        return name

    def graze(self, name):
        """(p, time, distance) of the ray of phase P or S that grazes the
        core, or None."""
        if name not in DIFFRACTED or not self.curves(name):
            return None
        mantle = self.branches["M", S if name == "S" else P]
        last = self.curves(name)[-1]
        if mantle.min != mantle.bots[-1] or last.p[-1] != mantle.min:
            return None
        return last.p[-1], last.time[-1], last.dist[-1]

    def _diffracted(self, name, phase, degrees, found):
        """The grazing ray goes on along the core: T = T_graze + p_graze
        (distance - distance_graze) beyond the distance it grazes at."""
        graze = self.graze(name)
        if graze is None:
            return
        p, t, d = graze
        for i, degree in enumerate(degrees):
            x = reduced(degree)
            if d < x <= math.pi:
                found[i].append(self._arrival(DIFFRACTED[name], phase, degree, x, p,
                                              t + p * (x - d), False))

    def caustic(self, name):
        """Distance (rad) at which the phase's curve folds back at its least
        distance, or None."""
        fold = least_fold(self.curves(name))
        return fold and fold[0]

    def solve(self, jobs):
        """For each hit (i, curve, s, k): the ray p of interval k with
        distance s, by regula falsi (Illinois), and its time corrected to
        first order with dT/dDistance = p.  Returns (p, time) per job."""
        results = [None] * len(jobs)
        pending = {}
        for n, (_, curve, s, k) in enumerate(jobs):
            a = (curve.p[k], curve.dist[k] - s, curve.time[k], curve.dist[k])
            b = (curve.p[k + 1], curve.dist[k + 1] - s, curve.time[k + 1], curve.dist[k + 1])
            if a[1] == 0.0 or b[1] == 0.0:
                p, _, t, _ = a if a[1] == 0.0 else b
                results[n] = (p, t)
            else:
                pending.setdefault(id(curve.legs(k)), [curve.legs(k), []])[1].append(
                    [n, s, k, a, b])
        for legs, group in pending.values():
            for n, p, t in illinois(self, legs, group):
                results[n] = (p, t)
        return results


def arrivals(model, depth, distance, names):
    """Every arrival of the named phases at one depth (km) and distance
    (deg), solved ray by ray: (phase, distance, time, ray parameter in s/deg,
    take-off, incidence, distance travelled in deg), in time order."""
    earth = Earth(model, depth)
    found = []
    for group in dict.fromkeys(base(n) for n in names):
        for a in earth.arrivals(group, [distance])[0]:
            if wanted(a.phase, names):
                found.append((a.phase, distance, a.time, a.p * math.pi / 180.0, a.takeoff,
                              a.incidence, math.degrees(a.travelled)))
    return sorted(found, key=lambda a: a[2])


def p_range(phase, branches):
    """(lo, hi, cuts): the ray parameters of a phase, and those within where
    its curve breaks.  The ray crosses every branch it does not turn in, so p
    is at most their least slowness; it turns in the others, below their top
    and above their least slowness.  A ray diving below the top of a
    low-velocity zone lands far beyond one turning just above it: the curve
    breaks there."""
    hi, lo, cuts = math.inf, 0.0, set()
    for key in phase.legs:
        branch = branches[key]
        if key in phase.turning:
            hi, lo = min(hi, branch.top_eta), max(lo, branch.min)
            cuts |= branch.shadows
        elif branch.n:
            hi = min(hi, branch.min)
    return lo, hi, sorted((x for x in cuts if lo < x < hi), reverse=True)


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


def refinements(samples):
    """Ray parameters to add between samples (p, (time, distance)) sorted by
    p: where distance moves by more than MAX_STEP, and on both sides of
    every fold until it is pinned down to FOLD_TOL."""
    new = set()
    d = [x[1][1] for x in samples]
    p = [x[0] for x in samples]
    known = set(p)
    for k in range(len(samples) - 1):
        if abs(d[k + 1] - d[k]) > MAX_STEP:
            new.add(0.5 * (p[k] + p[k + 1]))
    for k in range(1, len(samples) - 1):
        if (d[k] - d[k - 1]) * (d[k + 1] - d[k]) < 0.0:
            for j in (k - 1, k + 1):
                if abs(d[j] - d[k]) > FOLD_TOL:
                    new.add(0.5 * (p[j] + p[k]))
    return new - known


def reduced(degree):
    x = math.fmod(abs(degree), 360.0)
    return math.radians(360.0 - x if x > 180.0 else x)


def least_fold(curves):
    """(distance, p) of the sample where a curve turns back at its least
    distance, or None."""
    folds = [(d, p) for c in curves for p, d in list(zip(c.p, c.dist))[1:-1]
             if d < min(c.dist[0], c.dist[-1])]
    return min(folds) if folds else None


def label_pkp(curves, found):
    """PKPab or PKPbc: the side of the caustic the ray lies on."""
    fold = least_fold(curves)
    if fold is None:
        return
    for arrivals in found:
        for a in arrivals:
            a.phase = "PKPab" if a.p > fold[1] else "PKPbc"


def merge(arrivals):
    """Sorted by time, arrivals of a phase closer than SAME_ARRIVAL as one."""
    out = []
    for a in sorted(arrivals, key=lambda a: a.time):
        if not any(b.phase == a.phase and a.time - b.time < SAME_ARRIVAL for b in out):
            out.append(a)
    return out
