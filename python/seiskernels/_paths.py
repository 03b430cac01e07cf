"""Where the rays go: the path of each arrival through the planet, and its
pierce points, integrated layer by layer on the very layers of the tables.

A ray of parameter p crosses each slowness layer (eta = r / v = A r^B) in
closed form.  From the layer's top, where the ray leaves at the incidence
angle i_t = asin(p / eta_t), to any radius inside it where the angle is i:

    distance  (i - i_t) / B          time  (eta_t cos i_t - eta cos i) / B

and the ray's direction turns by (i - i_t)(B - 1) / B, so its curvature is
|1 - B| sin(i) / r: a layer with B = 1 (a constant speed) is crossed on a
straight line.  The layer kernel gives each layer's whole time and distance;
their sums along the ray put a sample at every layer boundary, so every
discontinuity, reflection and turning point is a sample of its own.  Inside a
layer, samples are added at equal steps of the incidence angle (equal turns
of the ray), as many as keep every chord within the tolerance of the arc: a
convex arc of turning d and length L, at least 1/kappa_min per radian of
turning, strays at most L sin(d / 2) / 2 <= d^2 / (4 kappa_min) from its
chord.

The tables interpolate an arrival's ray parameter; its time is accurate to a
fraction of a millisecond, but a ray shot at that p can land up to a tenth of
a degree away near a triplication.  Each path is therefore shot at the ray
parameter that lands on the arrival's distance, found by Newton's method from
the tables' one, with dX/dp summed in closed form layer by layer.
"""

import math
from collections import namedtuple

import numpy as np

from . import _phases as phases
from . import tau_kernels as sk
from ._exact import CENTRE_GAP, STEP_KM, law_eta, layer_rows
from ._tables import _ptr

TOLERANCE_KM = 1.0      # default: the farthest a chord between samples strays from the ray
SOLVE_TOL = 5e-8        # rad: how close to the arrival's distance a path lands (0.3 m)
MAX_ITER = 16
MAX_PIECES = 100000     # samples inside one layer, at most

# What an entry of a path is: a layer crossed, the layer the ray turns in
# (cut at the turning point), the small homogeneous ball left at the centre,
# and a stretch along a boundary (diffracted or head wave).
LAYER, TURNING, BALL, ALONG = 0, 1, 2, 3

PIERCE_KINDS = ("source", "receiver", "turn", "reflect", "diff", "head", "convert", "cross",
                "depth")    # in the order one outweighs the next at a point reached twice

RayPath = namedtuple("RayPath", "arrival ray_param distance_deg depth_km time_s latitude "
                                "longitude")
RayPath.__doc__ = """The path of one arrival.

Attributes
----------
arrival : Arrival
    The arrival, as `TravelTimes.arrivals` gives it.
ray_param : float
    Ray parameter (s/deg) of the ray traced: the one that lands on the
    arrival's distance (the tables' interpolated value differs from it by a
    few parts in a million).
distance_deg, depth_km, time_s : numpy.ndarray
    The samples along the ray, from the source to the receiver: distance
    from the source (deg, increasing; above 180 for a ray going the long way
    round), depth (km) and time since the origin (s).
latitude, longitude : numpy.ndarray or None
    Of each sample along the great circle, when the source and station
    coordinates are given (geographic, WGS84); else None.
"""

Pierce = namedtuple("Pierce", "arrival ray_param points")
Pierce.__doc__ = """The pierce points of one arrival.

Attributes
----------
arrival : Arrival
ray_param : float
    As in RayPath.
points : numpy.ndarray
    Structured, in time order, with the fields distance_deg, depth_km,
    time_s and kind, and latitude and longitude when coordinates are
    given.  kind is one of "source", "receiver", "turn" (the ray's deepest
    point on a leg), "reflect" (at a discontinuity or the surface),
    "convert" (crossing a discontinuity as the other wave), "cross", "diff"
    and "head" (the two ends of a stretch along a boundary) and "depth" (an
    extra depth asked for).
"""


class NoArrival(ValueError):
    """A path or pierce points asked of a phase with no arrival there."""


# --- the layers ---------------------------------------------------------------

class Run:
    """The slowness layers of one wave from depth `top` to `bottom`, cut at
    both ends as the tables cut them, with each layer's exponent B, and the
    least slowness down to each layer (where a ray turns)."""
    __slots__ = ("rows", "b", "m", "neg_least", "least", "top_eta", "centre", "ball_eta",
                 "r_ball", "bottom", "wave")

    def __init__(self, stack, b, radius, top, bottom, centre, wave):
        self.wave, self.bottom, self.centre = wave, bottom, centre
        j0 = int(np.searchsorted(stack[:, 1], top, side="right")) - 1
        j1 = len(stack) if centre else int(np.searchsorted(stack[:, 3], bottom, side="left")) + 1
        rows = stack[max(j0, 0):j1].copy()
        if rows[0, 1] != top:
            rows[0, 0:2] = law_eta(radius, stack[j0].tolist(), top), top
        if not centre and rows[-1, 3] != bottom:
            rows[-1, 2:4] = law_eta(radius, stack[j1 - 1].tolist(), bottom), bottom
        self.rows, self.b = rows, b[max(j0, 0):j1].copy()
        self.m = len(rows)
        least = np.minimum.accumulate(np.minimum(rows[:, 0], rows[:, 2]))
        self.neg_least = -least
        self.least = float(least[-1]) if not centre else 0.0
        self.top_eta = float(rows[0, 0])
        self.ball_eta = float(rows[-1, 2]) if centre else math.nan
        self.r_ball = radius - float(rows[-1, 3])


class Layers:
    """A model's slowness layers (the tables' own: STEP_KM thick at most,
    each shell cut evenly), one stack per region and wave, and the runs of
    them that passes cross."""

    def __init__(self, model, step=STEP_KM):
        self.model, self.step = model, step
        self.radius, self.cmb, self.icb = model.radius, model.cmb, model.icb
        self.discontinuities = np.array(sorted(set(model.discontinuities) |
                                               {model.cmb, model.icb}))
        self._stacks, self._runs, self.plans = {}, {}, {}

    def stack(self, region, wave):
        key = (region, wave)
        if key not in self._stacks:
            a, b = {phases.MANTLE: (0.0, self.cmb), phases.OUTER: (self.cmb, self.icb),
                    phases.INNER: (self.icb, self.radius * (1.0 - CENTRE_GAP))}[region]
            rows = np.array(layer_rows(self.model, wave, a, b, self.step)).reshape(-1, 4)
            r = self.radius
            with np.errstate(all="ignore"):
                exps = np.log(rows[:, 0] / rows[:, 2]) / np.log((r - rows[:, 1]) /
                                                                 (r - rows[:, 3]))
            self._stacks[key] = rows, exps
        return self._stacks[key]

    def run(self, ps):
        key = (ps.region, ps.wave, ps.top, ps.bottom)
        found = self._runs.get(key)
        if found is None:
            if len(self._runs) > 512:
                self._runs.clear()
            stack, exps = self.stack(ps.region, ps.wave)
            centre = ps.bottom >= self.radius
            found = self._runs[key] = Run(stack, exps, self.radius, ps.top, ps.bottom,
                                          centre, ps.wave)
        return found

    def depth_of(self, where):
        return {"cmb": self.cmb, "icb": self.icb}.get(where, where)

    def head_p(self, head):
        """The ray parameter of a diffracted wave (the slowness just above
        its boundary) or a head wave (just below it), from the layers."""
        kind, wave, region, where = head
        rows, _ = self.stack(region, wave)
        if kind == "diff":
            return float(rows[-1, 2])
        return float(rows[int(np.searchsorted(rows[:, 1], where)), 0])


def layers_of(owner, model):
    """The Layers of a model, kept on `owner` (a TravelTimes)."""
    found = owner.__dict__.get("_path_layers")
    if found is None or found.model is not model:
        found = owner.__dict__["_path_layers"] = Layers(model)
    return found


# --- rays ---------------------------------------------------------------------

class Ray:
    """One arrival's ray: its runs in order, where a stretch along a boundary
    goes in, the range of ray parameters its passes allow, and the distance
    (rad) it must travel.  Rays of the same runs share a Plan."""
    __slots__ = ("runs", "head", "head_at", "head_depth", "lo", "hi", "target", "p0", "key")

    def __init__(self, layers, passes, head, p0, target):
        self.runs = tuple((layers.run(ps), ps.kind) for ps in passes)
        self.head, self.target, self.p0 = head, target, p0
        self.head_at = self.head_depth = None
        lo, hi = 0.0, math.inf
        for run, kind in self.runs:
            if kind == phases.TURN:
                lo, hi = max(lo, run.least), min(hi, run.top_eta)
            else:
                hi = min(hi, run.least if not run.centre else 0.0)
        self.lo, self.hi = lo, hi
        if head is not None:
            self.head_depth = depth = layers.depth_of(head[3])
            self.p0 = layers.head_p(head)
            # The ray runs along the boundary between the pass that comes down
            # to it and the one that goes back up from it.
            self.head_at = next((q for q, ps in enumerate(passes)
                                 if ps.kind == phases.UP and ps.bottom == depth), len(passes))
        self.key = (self.runs, self.head_at, self.head_depth, head and head[1])


class Plan:
    """The slots of a family of rays, in the order they travel them: a run
    crossed down or up, or turned in (the layers down to the turning layer,
    the turning layer's part down to the turning point and back up, the
    layers back up), or a stretch along a boundary; and the rows of its runs,
    end to end, which the slots index."""

    def __init__(self, ray):
        distinct, self.pieces = {}, []
        for q, (run, kind) in enumerate(ray.runs + ((None, None),)):
            if q == ray.head_at:
                self.pieces.append(("along", ray.head_depth, ray.key[3]))
            if run is None:
                break
            if run not in distinct:
                distinct[run] = sum(r.m for r in distinct)
            self.pieces.append((kind, run, distinct[run]))
        runs = list(distinct)
        self.rows = np.concatenate([r.rows for r in runs])
        self.b = np.concatenate([r.b for r in runs])


def _slots(plan, p, radius):
    """The slots of K rays at p (K,).  Each ray's entries are counted once
    in `unique` slots: (length, first row, step, kind, wave, multiplicity),
    a run's layers top down; the down and up halves of a turn are the same
    layers, counted twice.  `full` lists the slots in the order the ray
    travels them: (unique slot, reversed, direction, the ray turns at its
    end).  Lengths, first rows, kinds and turns are numbers or arrays (K,).
    Also the rows and exponents the rays add to the plan's (their turning
    layers, cut, and their stretches along a boundary), and where each ray
    turns (the same for two sets of rays that cross the same layers)."""
    k = len(p)
    unique, full, extra_rows, extra_b, where = [], [], [], [], []
    at = len(plan.rows)
    own = np.arange(k)
    for piece in plan.pieces:
        if piece[0] == "along":
            _, depth, wave = piece
            rows = np.empty((k, 4))
            rows[:, 0] = rows[:, 2] = p
            rows[:, 1] = rows[:, 3] = depth
            extra_rows.append(rows)
            extra_b.append(np.ones(k))
            full.append((len(unique), False, 0, False))
            unique.append((1, at + own, 0, ALONG, wave, 1))
            at += k
            continue
        kind, run, base = piece
        m, w = run.m, run.wave
        if kind != phases.TURN:
            full.append((len(unique), kind == phases.UP, 1 if kind == phases.DOWN else -1, False))
            unique.append((m, base, 1, LAYER, w, 1))
            continue
        # Turning: the first layer the ray cannot cross is the one it turns
        # in, where eta falls to p inside it (at r_top (p / eta_top)^(1/B));
        # or, entered with p above its top slowness (a jump of speed), the
        # ray turns on the top of it.
        j = np.searchsorted(run.neg_least, -p, side="right")
        jc = np.minimum(j, m - 1)
        rows = run.rows[jc]
        b = run.b[jc]
        top = rows[:, 0]
        inside = (j < m) & (top > p) & (p > rows[:, 2])
        scale = np.power(p / top, 1.0 / b, out=np.ones(k), where=inside)
        rows[:, 3] = np.minimum(radius - (radius - rows[:, 1]) * scale, rows[:, 3])
        rows[:, 2] = p
        has = inside.copy()
        what = np.where(inside, TURNING, LAYER)
        if run.centre:
            ball = j >= m
            if ball.any():
                # The small ball at the centre, homogeneous: eta = r / v there.
                rows[ball, 0], rows[ball, 1] = run.ball_eta, radius - run.r_ball
                rows[ball, 3] = radius - run.r_ball * p[ball] / run.ball_eta
                has |= ball
                what[ball] = BALL
        flat = (j == 0) & ~has
        if flat.any():
            # Horizontal at the top of the run: it turns where it starts.
            rows[flat] = [run.top_eta, run.rows[0, 1], run.top_eta, run.rows[0, 1]]
            has |= flat
        n = has.astype(np.intp)
        extra_rows.append(rows)
        extra_b.append(np.where(inside, b, 1.0))
        where += [j, what]
        u = len(unique)
        unique += [(j, base, 1, LAYER, w, 2), (n, at + own, 0, what, w, 2)]
        full += [(u, False, 1, ~has), (u + 1, False, 1, has), (u + 1, False, -1, False),
                 (u, True, -1, False)]
        at += k
    return unique, full, extra_rows, extra_b, where


class Entries:
    """What many rays cross, each entry once (the two halves of a turn are
    one entry counted twice): layer rows (eta_top, depth_top, eta_bottom,
    depth_bottom), the layer's exponent, what each is, its wave, its ray and
    multiplicity, and its time and distance (rad) from the layer kernel.
    `groups` are (plan, first ray, count), the rays of each group
    consecutive."""

    def __init__(self, layers, groups, p):
        radius = layers.radius
        self._layout, self._moves = [], []
        # One source of rows for all the groups: each plan's runs, then its
        # rays' own rows; each block (one ray's part of one slot) a stretch
        # of it, forward or (for the rays' own rows) one row.
        source, source_b, own, cols = [], [], [], [[] for _ in range(7)]
        at = blocks = 0
        for plan, first, count in groups:
            unique, full, extra_rows, extra_b, where = _slots(plan, p[first:first + count],
                                                              radius)
            s = len(unique)
            if count == 1:
                lengths, firsts, kinds = (np.array([[int(slot[n]) for slot in unique]])
                                          for n in (0, 1, 3))
            else:
                lengths, firsts = np.empty((count, s), np.intp), np.empty((count, s), np.intp)
                kinds = np.empty((count, s), np.int8)
                for c, (length, first_row, _, kind, _, _) in enumerate(unique):
                    lengths[:, c], firsts[:, c], kinds[:, c] = length, first_row, kind
            steps, wave, mult = (np.array([slot[n] for slot in unique]) for n in (2, 4, 5))
            for col, values in zip(cols, (lengths.ravel(), firsts.ravel() + at, kinds.ravel(),
                                          np.tile(steps, count), np.tile(wave, count),
                                          np.tile(mult, count),
                                          np.repeat(np.arange(first, first + count), s))):
                col.append(values)
            n_own = sum(len(x) for x in extra_rows)
            source += [plan.rows] + extra_rows
            source_b += [plan.b] + extra_b
            own.append((at + len(plan.rows), n_own))
            self._layout.append([first, count, lengths, None, full, blocks, wave])
            self._moves.append((plan, first, count, where))
            at += len(plan.rows) + n_own
            blocks += count * s
        lengths, firsts, kinds, steps, waves, mults, rays = (np.concatenate(c) for c in cols)
        total = int(lengths.sum())
        seg = np.repeat(np.arange(blocks), lengths)
        start = np.cumsum(lengths) - lengths
        src = firsts[seg] + steps[seg] * (np.arange(total) - start[seg])
        self.rows = np.concatenate(source)[src]
        self.exp = np.concatenate(source_b)[src]
        self.kind, self.wave, self.mult, self.ray = kinds[seg], waves[seg], mults[seg], rays[seg]
        self.block, self.block_start, self.block_len = seg, start, lengths
        for entry in self._layout:
            n_u, boff = entry[2], entry[5]
            entry[3] = start[boff:boff + n_u.size].reshape(n_u.shape)
        # Where the rays' own rows went, for `move`.
        index, k = np.full(at, -1), 0
        for begin, n_own in own:
            index[begin:begin + n_own] = np.arange(k, k + n_own)
            k += n_own
        mine = index[src]
        self._own = np.flatnonzero(mine >= 0)
        self._own_src = mine[self._own]
        self.n, self.count, self.radius = len(self.ray), len(p), radius
        self.p = p[self.ray]
        self.dt, self.dx = np.empty(self.n), np.empty(self.n)
        self._integrate()

    def move(self, p):
        """The same rays at new ray parameters, if each turns in the same
        layer as before (only the turning layers' cuts change); else False."""
        rows, exps = [], []
        for plan, first, count, where in self._moves:
            _, _, extra_rows, extra_b, now = _slots(plan, p[first:first + count], self.radius)
            if not all(np.array_equal(a, b) for a, b in zip(where, now)):
                return False
            rows += extra_rows
            exps += extra_b
        if len(self._own):
            self.rows[self._own] = np.concatenate(rows)[self._own_src]
            self.exp[self._own] = np.concatenate(exps)[self._own_src]
        np.take(p, self.ray, out=self.p)
        self._integrate()
        return True

    def _integrate(self):
        """Each entry's time and distance (rad): the layer kernel for the
        layers, the ball in closed form; the stretches along a boundary are
        set by `stretch`."""
        n = self.n
        self.dt.fill(0.0)       # the kernel leaves layers of no thickness as they are
        self.dx.fill(0.0)
        rows = self.rows
        if n:
            sk._bullen(_ptr(rows), _ptr(self.p), _ptr(self.dt), _ptr(self.dx),
                       sk._double(self.radius), n)
        ball = np.flatnonzero(self.kind == BALL)
        if len(ball):
            eta, q = rows[ball, 0], self.p[ball]
            self.dt[ball] = np.sqrt(np.maximum(eta * eta - q * q, 0.0))
            self.dx[ball] = np.arccos(np.minimum(1.0, q / eta))
        self.along = np.flatnonzero(self.kind == ALONG)
        self.dx[self.along] = self.dt[self.along] = 0.0

    def stretch(self, lengths):
        """Set each ray's stretch along its boundary (rad): time p per radian."""
        a = self.along
        self.dx[a] = lengths[self.ray[a]]
        self.dt[a] = self.p[a] * self.dx[a]

    def distance(self):
        return np.bincount(self.ray, weights=self.dx * self.mult, minlength=self.count)

    def slope(self):
        """dX/dp of each ray: across a layer (1/S_bot - 1/S_top) / B, in the
        layer it turns in -1 / (B S_top), with S = sqrt(eta^2 - p^2)."""
        p, e = self.p, self.exp
        with np.errstate(all="ignore"):
            s_top = np.sqrt(self.rows[:, 0] ** 2 - p * p)
            s_bot = np.sqrt(self.rows[:, 2] ** 2 - p * p)
            per = np.where(self.kind == LAYER, (1.0 / s_bot - 1.0 / s_top) / e,
                           np.where(self.kind == TURNING, -1.0 / (e * s_top),
                                    np.where(self.kind == BALL, -1.0 / s_top, 0.0)))
        per[(self.kind == LAYER) & (self.dx == 0.0)] = 0.0      # layers of no thickness
        return np.bincount(self.ray, weights=np.nan_to_num(per) * self.mult,
                           minlength=self.count)

    def layout(self):
        """The entries of every ray end to end, in the order it travels them."""
        return Layout(self)


class Layout:
    """Entries of many rays end to end in the order each ray travels them:
    `ref` the entry of `entries` each is, its direction (1 down, -1 up, 0
    along a boundary), its ray, and whether the ray turns at its end; and
    each one's distance, time and depths at its top and bottom."""

    def __init__(self, e):
        cols = [[] for _ in range(5)]
        for first, count, lengths, ustart, full, boff, _ in e._layout:
            s_u, s = lengths.shape[1], len(full)
            u_of = np.array([f[0] for f in full])
            turn = np.zeros((count, s), bool)
            for c, f in enumerate(full):
                turn[:, c] = f[3]
            for col, values in zip(cols, (
                    (boff + np.arange(count)[:, None] * s_u + u_of).ravel(),
                    np.tile(np.array([f[1] for f in full]), count),
                    np.tile(np.array([f[2] for f in full], np.int8), count),
                    np.repeat(np.arange(first, first + count), s), turn.ravel())):
                col.append(values)
        block, rev, going, ray, turn = (np.concatenate(c) for c in cols)
        size = e.block_len[block]
        total = int(size.sum())
        seg = np.repeat(np.arange(len(block)), size)
        start = np.cumsum(size) - size
        i = np.arange(total) - start[seg]
        self.entries = e
        self.ref = ref = e.block_start[block][seg] + np.where(rev[seg], size[seg] - 1 - i, i)
        self.going, self.ray = going[seg], ray[seg]
        self.turn = np.zeros(total, bool)
        self.turn[(start + size - 1)[turn & (size > 0)]] = True
        self.n, self.count, self.radius = len(ref), e.count, e.radius
        self.dx, self.dt, self.kind = e.dx[ref], e.dt[ref], e.kind[ref]
        self.d_top, self.d_bot = e.rows[ref, 1], e.rows[ref, 3]
        self.first = np.searchsorted(self.ray, np.arange(self.count))

    def ends(self):
        """Distance, time and depth at the end of every entry, from its
        ray's start, and the depth at its start."""
        first, ray = self.first, self.ray
        cx, ct = np.cumsum(self.dx), np.cumsum(self.dt)
        base_x = np.where(first > 0, cx[first - 1], 0.0)
        base_t = np.where(first > 0, ct[first - 1], 0.0)
        down = self.going > 0
        return (cx - base_x[ray], ct - base_t[ray], np.where(down, self.d_bot, self.d_top),
                np.where(down, self.d_top, self.d_bot))

    def inside(self, k, frac_from_top):
        """Distance and time from the start of entries k (layers) to a point
        inside them, given by its fraction of the way in incidence angle
        from the layer's top; and the point's depth."""
        x_top, t_top, depth = _inside(self.entries, self.ref[k], frac=frac_from_top)
        down = self.going[k] > 0
        return (np.where(down, x_top, self.dx[k] - x_top),
                np.where(down, t_top, self.dt[k] - t_top), depth)


def grouped(layers, rays):
    """The rays reordered so that those of one plan are consecutive, the
    order that restores theirs, and the groups (plan, first, count)."""
    by = {}
    for n, ray in enumerate(rays):
        by.setdefault(ray.key, []).append(n)
    order = [n for members in by.values() for n in members]
    groups, first = [], 0
    for key, members in by.items():
        plan = layers.plans.get(key)
        if plan is None:
            if len(layers.plans) > 256:
                layers.plans.clear()
            plan = layers.plans[key] = Plan(rays[members[0]])
        groups.append((plan, first, len(members)))
        first += len(members)
    return [rays[n] for n in order], np.argsort(order), groups


def trace(layers, rays, groups):
    """(p, Entries): every ray at the ray parameter (s/rad) that lands on its
    distance, by Newton's method from the tables' value, each step kept
    within the range the ray's passes allow and halved back towards the best
    ray so far when it lands farther off.  Diffracted and head waves keep
    their boundary's slowness and run along it for the rest of the way."""
    p = np.array([min(max(r.p0, r.lo), r.hi) for r in rays])
    lo, hi = np.array([r.lo for r in rays]), np.array([r.hi for r in rays])
    target = np.array([r.target for r in rays])
    heads = np.array([r.head is not None for r in rays], bool)
    best_p, best_f = p.copy(), np.full(len(rays), np.inf)
    stretch = None
    e = None
    for _ in range(MAX_ITER):
        if e is None or not e.move(p):
            e = Entries(layers, groups, p)
        x = e.distance()
        if stretch is None:
            stretch = np.where(heads, np.maximum(target - x, 0.0), 0.0)
        f = np.where(heads, 0.0, x - target)
        better = np.abs(f) < best_f
        best_p[better], best_f[better] = p[better], np.abs(f[better])
        done = np.abs(f) <= SOLVE_TOL
        if done.all():
            e.stretch(stretch)
            return p, e
        with np.errstate(all="ignore"):
            step = p - f / e.slope()
        nxt = np.where(better & np.isfinite(step), step, 0.5 * (p + best_p))
        nxt = np.where(done, p, np.clip(nxt, lo, hi))
        if (nxt == p).all():
            break
        p = nxt
    # Some ray cannot land closer (at the fold of its curve): the best one.
    if not (p == best_p).all():
        p = best_p
        if not e.move(p):
            e = Entries(layers, groups, p)
    e.stretch(stretch)
    return p, e


# --- samples along the paths ----------------------------------------------------

def _pieces(e, tolerance_km):
    """How many chords each entry of `e` (Entries) is drawn with."""
    r_top = e.radius - e.rows[:, 1]
    sin_min = e.p / np.maximum(e.rows[:, 0], e.rows[:, 2])
    with np.errstate(all="ignore"):
        need = np.abs(e.dx) * np.sqrt(np.abs(1.0 - e.exp) * r_top / (4.0 * tolerance_km *
                                                                    sin_min))
    need = np.where((e.kind <= TURNING) & (sin_min > 0.0) & np.isfinite(need), need, 0.0)
    along = e.along
    if len(along):
        # Along a boundary of radius R a chord of angle a strays R (1 - cos(a/2)).
        r = e.radius - e.rows[along, 1]
        step = 2.0 * np.arccos(np.maximum(1.0 - tolerance_km / r, -1.0))
        need[along] = e.dx[along] / step
    return np.clip(np.ceil(need), 1, MAX_PIECES).astype(np.intp)


def samples(lay, tolerance_km=TOLERANCE_KM):
    """(ray, distance rad, depth km, time s) of every sample of every ray,
    rays in order, each from its source to its receiver."""
    x_end, t_end, d_end, d_start = lay.ends()
    n = _pieces(lay.entries, tolerance_km)[lay.ref]
    total = int(n.sum())
    of = np.repeat(np.arange(lay.n), n)
    j = np.arange(total) - np.repeat(np.cumsum(n) - n, n) + 1
    x, t, d = x_end[of], t_end[of], d_end[of]
    inner = np.flatnonzero(j < n[of])
    if len(inner):
        k = of[inner]
        f = j[inner] / n[k]
        x0, t0 = x_end[k] - lay.dx[k], t_end[k] - lay.dt[k]
        along = lay.kind[k] == ALONG
        # Along a boundary: evenly in distance.
        a = inner[along]
        x[a] = x0[along] + f[along] * lay.dx[k[along]]
        t[a] = t0[along] + f[along] * lay.dt[k[along]]
        # In a layer: evenly in the incidence angle, from the layer's top.
        m, km, fm = inner[~along], k[~along], f[~along]
        dx, dt, d[m] = lay.inside(km, np.where(lay.going[km] > 0, fm, 1.0 - fm))
        x[m], t[m] = x0[~along] + dx, t0[~along] + dt
    # Each ray's first sample, its source, goes before its first entry's.
    first = lay.first
    at = np.cumsum(n)[first] - n[first]
    ray = np.insert(lay.ray[of], at, np.arange(lay.count))
    x = np.insert(x, at, 0.0)
    t = np.insert(t, at, 0.0)
    d = np.insert(d, at, d_start[first])
    # Entries of no thickness (a ray turning just at a layer's top) repeat a sample.
    same = np.r_[False, (ray[1:] == ray[:-1]) & (x[1:] == x[:-1]) & (t[1:] == t[:-1]) &
                 (d[1:] == d[:-1])]
    keep = ~same
    return ray[keep], x[keep], d[keep], t[keep]


# --- pierce points ---------------------------------------------------------------

SOURCE, RECEIVER, TURN, REFLECT, DIFF, HEAD, CONVERT, CROSS, DEPTH = range(9)


def _member(values, targets):
    """Which values are among the sorted targets, exactly."""
    if not len(targets):
        return np.zeros(len(values), bool)
    return targets[np.minimum(np.searchsorted(targets, values), len(targets) - 1)] == values


def pierce_points(layers, rays, e, depth, add_depths=()):
    """(ray, distance rad, depth km, time s, kind) of the pierce points of
    every ray, each ray's in time order: its source, every end of an entry at
    a discontinuity (crossed, reflected, converted), every turning point,
    surface reflection and end of a stretch along a boundary, its receiver,
    and every crossing of the extra depths.

    Taken from the entries as the rays cross them once, without laying them
    end to end: each block (the entries of one slot of one ray) is travelled
    forward or backward by one or two slots of the ray, and the distance at
    any point is the distance before that slot plus a partial sum of its
    block."""
    disc = layers.discontinuities
    extra = np.array(sorted({float(x) for x in add_depths}), dtype=np.float64)
    targets = np.union1d(disc, extra)
    cx, ct = np.r_[0.0, np.cumsum(e.dx)], np.r_[0.0, np.cumsum(e.dt)]
    bs, bl = e.block_start, e.block_len
    bx, bt = cx[bs + bl] - cx[bs], ct[bs + bl] - ct[bs]
    # Every slot of every ray, in the order each ray travels them.
    cols = {n: [] for n in ("ray", "block", "ox", "ot", "going", "rev", "turn", "wave", "along")}
    for first, count, lengths, _, full, boff, wave in e._layout:
        s_u, s_f = lengths.shape[1], len(full)
        u_of = np.array([f[0] for f in full])
        block = boff + np.arange(count)[:, None] * s_u + u_of[None, :]
        ox, ot = bx[block], bt[block]
        turn = np.zeros((count, s_f), bool)
        for c, f in enumerate(full):
            turn[:, c] = f[3]
        going = np.array([f[2] for f in full], np.int8)
        cols["ray"].append(np.repeat(np.arange(first, first + count), s_f))
        cols["block"].append(block.ravel())
        cols["ox"].append((np.cumsum(ox, 1) - ox).ravel())
        cols["ot"].append((np.cumsum(ot, 1) - ot).ravel())
        cols["going"].append(np.tile(going, count))
        cols["rev"].append(np.tile(np.array([f[1] for f in full]), count))
        cols["turn"].append(turn.ravel())
        cols["wave"].append(np.tile(wave[u_of], count))
        cols["along"].append(np.tile(going == 0, count))
    f = {n: np.concatenate(v) for n, v in cols.items()}
    block, going, rev = f["block"], f["going"], f["rev"]
    size = bl[block]
    d_top, d_bot = e.rows[:, 1], e.rows[:, 3]
    # The end of every slot travelled, and what the ray does there.
    live = np.flatnonzero(size > 0)
    last_e = bs[block[live]] + np.where(rev[live], 0, size[live] - 1)
    g = going[live]
    end_d = np.where(g > 0, d_bot[last_e], d_top[last_e])
    ray = f["ray"][live]
    last = np.r_[ray[1:] != ray[:-1], True]
    nxt = np.minimum(np.arange(1, len(live) + 1), len(live) - 1)
    g_next = np.where(last, 0, g[nxt])
    at_disc = _member(end_d, disc)
    code = np.full(len(live), -1, np.int8)
    code[_member(end_d, extra)] = DEPTH
    code[at_disc] = CROSS
    code[at_disc & ~last & (f["wave"][live] != f["wave"][live][nxt])] = CONVERT
    along = f["along"][live] | (~last & f["along"][live][nxt])
    heads = np.array([r.head is not None and r.head[0] == "n" for r in rays], bool)
    code[along] = np.where(heads[ray[along]], HEAD, DIFF)
    code[(g * g_next < 0) & (at_disc | (end_d == 0.0))] = REFLECT
    code[f["turn"][live]] = TURN
    code[last] = RECEIVER
    keep = code >= 0
    inst = live[keep]
    out = [(ray[keep], inst, size[inst].astype(np.float64), f["ox"][inst] + bx[block[inst]],
            f["ot"][inst] + bt[block[inst]], end_d[keep], code[keep])]
    # Each ray's source, before its first slot.
    firsts = np.searchsorted(f["ray"], np.arange(e.count))
    out.append((np.arange(e.count), firsts - 1, np.zeros(e.count), np.zeros(e.count),
                np.zeros(e.count), np.full(e.count, float(depth)), np.full(e.count, SOURCE,
                                                                             np.int8)))
    # Ends of entries inside a slot at a discontinuity or an extra depth: once
    # for each way the entry's slot is travelled.
    down_of, up_of = np.full(len(bs), -1), np.full(len(bs), -1)
    down_of[block[going >= 0]] = np.flatnonzero(going >= 0)
    up_of[block[going < 0]] = np.flatnonzero(going < 0)
    start = bs[e.block]
    for hit, of, backward in ((_member(d_bot, targets), down_of, False),
                              (_member(d_top, targets), up_of, True)):
        k = np.flatnonzero(hit & (of[e.block] >= 0))
        if not len(k):
            continue
        i = of[e.block[k]]
        end = start[k] + bl[e.block[k]]
        pos = np.where(rev[i], end - 1 - k, k - start[k])
        inner = pos < bl[e.block[k]] - 1
        k, i, pos, end = k[inner], i[inner], pos[inner], end[inner]
        part_x = np.where(rev[i], cx[end] - cx[k], cx[k + 1] - cx[start[k]])
        part_t = np.where(rev[i], ct[end] - ct[k], ct[k + 1] - ct[start[k]])
        d = d_top[k] if backward else d_bot[k]
        out.append((f["ray"][i], i, pos.astype(np.float64), f["ox"][i] + part_x,
                    f["ot"][i] + part_t, d,
                    np.where(_member(d, disc), CROSS, DEPTH).astype(np.int8)))
    # The extra depths inside layers, by the layer's law.
    if len(extra):
        hit_e, hit_d = np.nonzero((e.kind <= TURNING)[:, None] & (d_top[:, None] < extra) &
                                  (extra < d_bot[:, None]))
        if len(hit_e):
            dx, dt, d = _inside(e, hit_e, depth=extra[hit_d])
            for of in (down_of, up_of):
                i = of[e.block[hit_e]]
                k, x_in, t_in, dd, i = hit_e[i >= 0], dx[i >= 0], dt[i >= 0], d[i >= 0], \
                    i[i >= 0]
                if not len(k):
                    continue
                end = start[k] + bl[e.block[k]]
                pos = np.where(rev[i], end - 1 - k, k - start[k])
                before_x = np.where(rev[i], cx[end] - cx[k + 1], cx[k] - cx[start[k]])
                before_t = np.where(rev[i], ct[end] - ct[k + 1], ct[k] - ct[start[k]])
                # Going up through an entry, the depth is met after the rest of it.
                fwd = going[i] > 0
                x_at = np.where(fwd, x_in, e.dx[k] - x_in)
                t_at = np.where(fwd, t_in, e.dt[k] - t_in)
                with np.errstate(all="ignore"):
                    frac = np.where(e.dt[k] > 0, t_at / e.dt[k], 0.5)
                out.append((f["ray"][i], i, pos - 1.0 + frac, f["ox"][i] + before_x + x_at,
                            f["ot"][i] + before_t + t_at, dd,
                            np.full(len(k), DEPTH, np.int8)))
    ray, inst, pos, x, t, d, code = (np.concatenate(c) for c in zip(*out))
    order = np.lexsort((pos, inst, ray))
    ray, x, d, t, code = ray[order], x[order], d[order], t[order], code[order]
    # One point reached twice (an entry of no thickness): the weightier kind.
    same = np.flatnonzero((ray[1:] == ray[:-1]) & (x[1:] == x[:-1]) & (d[1:] == d[:-1]) &
                          (t[1:] == t[:-1])) + 1
    if len(same):
        for s in same.tolist():
            code[s - 1] = min(code[s - 1], code[s])
        keep = np.ones(len(ray), bool)
        keep[same] = False
        ray, x, d, t, code = ray[keep], x[keep], d[keep], t[keep], code[keep]
    return ray, x, d, t, np.array(PIERCE_KINDS)[code]


def _inside(e, k, frac=None, depth=None):
    """Distance and time from the top of entries k of `e` (layers) to a point
    inside them, by the layer's law: given by its fraction of the way in
    incidence angle from the top, or by its depth; and the point's depth."""
    p, top, exp = e.p[k], e.rows[k, 0], e.exp[k]
    r_top = e.radius - e.rows[k, 1]
    i_top = np.arcsin(np.minimum(p / top, 1.0))
    if depth is None:
        i = i_top + frac * (np.arcsin(np.minimum(p / e.rows[k, 2], 1.0)) - i_top)
        eta = p / np.sin(i)
        depth = e.radius - r_top * (eta / top) ** (1.0 / exp)
    else:
        eta = top * ((e.radius - depth) / r_top) ** exp
        i = np.arcsin(np.minimum(p / eta, 1.0))
    return (i - i_top) / exp, (top * np.cos(i_top) - eta * np.cos(i)) / exp, depth


# --- the calls -------------------------------------------------------------------

def _coordinates(source, station):
    """(lat, lon) pairs of the source and stations, checked, as arrays."""
    out = []
    for name, value in (("source", source), ("station", station)):
        try:
            lat, lon = value
        except (TypeError, ValueError):
            raise TypeError(f"{name}: expected (latitude, longitude) in degrees, got "
                            f"{value!r}") from None
        out.append((lat, lon))
    return out


def _geo():
    from . import _geo as geo
    return geo


def resolve(tt, depth, distance, source, station):
    """The distances asked (deg, an array) and, with coordinates, the
    source's latitude and longitude and each distance's azimuth (deg)."""
    if (source is None) != (station is None):
        raise TypeError("source and station: give both coordinates, or neither")
    if source is None:
        if distance is None:
            raise TypeError("distance: give the epicentral distance in degrees, or the "
                            "source and station coordinates")
        return np.atleast_1d(_distances(distance)), None
    (slat, slon), (rlat, rlon) = _coordinates(source, station)
    geo = _geo()
    dist, az, _ = geo.distance_azimuth(slat, slon, rlat, rlon)
    dist, az = np.atleast_1d(dist).ravel(), np.atleast_1d(az).ravel()
    slat, slon = (np.broadcast_to(np.atleast_1d(np.asarray(v, float)), dist.shape)
                  for v in (slat, slon))
    if distance is not None:
        given = np.broadcast_to(np.atleast_1d(_distances(distance)), dist.shape)
        off = np.flatnonzero(np.abs(given - dist) > 1e-6)
        if len(off):
            k = off[0]
            raise ValueError(f"distance: {given[k]:g} deg does not match the {dist[k]:.6f} deg "
                             f"between the source and station coordinates (give one or the "
                             f"other)")
    return dist, (slat, slon, az)


def _distances(distance):
    from .traveltimes import _values
    a = np.asarray(distance) if not isinstance(distance, (int, float)) else distance
    if np.ndim(a) > 1:
        raise ValueError(f"distance: expected a number or a 1-D array of degrees, got an "
                         f"array of shape {np.shape(a)}")
    return _values(a, "distance", 180.0)


def arrivals_of(tt, depth, distances, phases_, exact, missing):
    """[(pair index, Arrival, passes, head)] of every distance, in order."""
    if missing not in ("raise", "skip"):
        raise ValueError(f"missing: expected 'raise' or 'skip', got {missing!r}")
    found = []
    for k, d in enumerate(distances.tolist()):
        rays = tt._rays(depth, d, phases_, exact)
        if not rays and missing == "raise":
            names = phases_ if isinstance(phases_, str) else ",".join(phases_)
            raise NoArrival(f"phases: no arrival of {names} at {d:g} deg from a source at "
                            f"{float(depth):g} km in {tt.name}")
        found += [(k, a, legs, head) for a, legs, head in rays]
    return found


def _traced(tt, depth, distance, phases_, exact, source, station, missing):
    """The arrivals asked for, traced: (found, p, entries, order, layers,
    rays, coordinates): `found` [(pair, Arrival, passes, head)], p and the
    rays in the order they are traced (grouped by plan), `order[n]` the place
    of the n-th arrival asked for among them, and, with coordinates, each
    traced ray's source latitude, longitude and azimuth of departure."""
    distances, where = resolve(tt, depth, distance, source, station)
    found = arrivals_of(tt, depth, distances, phases_, exact, missing)
    if not found:
        return None
    layers = layers_of(tt, tt.model)
    rays = [Ray(layers, legs, head, a.ray_param * 180.0 / math.pi, math.radians(a.travelled))
            for _, a, legs, head in found]
    rays, order, groups = grouped(layers, rays)
    found = [found[n] for n in np.argsort(order).tolist()]
    p, e = trace(layers, rays, groups)
    coords = None
    if where is not None:
        slat, slon, az = where
        pair = np.array([k for k, _, _, _ in found])
        # A ray that reaches the station the long way round leaves the other way.
        x = np.array([math.fmod(a.travelled, 360.0) for _, a, _, _ in found])
        asked = np.array([a.distance for _, a, _, _ in found])
        direct = np.abs(x - asked) <= np.abs(x - (360.0 - asked))
        coords = slat[pair], slon[pair], np.where(direct, az[pair], (az[pair] + 180.0) % 360.0)
    return found, p, e, order, layers, rays, coords


def _latlon(coords, ray, x_deg):
    slat, slon, az = coords
    return _geo().destination(slat[ray], slon[ray], np.mod(x_deg, 360.0), az[ray])


def paths(tt, depth, distance, phases_, exact, source, station, tolerance_km, missing):
    tolerance_km = _tolerance(tolerance_km)
    traced = _traced(tt, depth, distance, phases_, exact, source, station, missing)
    if traced is None:
        return []
    found, p, e, order, _, _, coords = traced
    ray, x, d, t = samples(e.layout(), tolerance_km)
    x = np.degrees(x)
    lat, lon = _latlon(coords, ray, x) if coords is not None else (None, None)
    bounds = np.searchsorted(ray, np.arange(len(found) + 1)).tolist()
    out = []
    for n in order.tolist():
        s = slice(bounds[n], bounds[n + 1])
        out.append(RayPath(found[n][1], float(p[n]) * math.pi / 180.0, x[s], d[s], t[s],
                           None if lat is None else lat[s], None if lon is None else lon[s]))
    return out


def pierce(tt, depth, distance, phases_, add_depths, exact, source, station, missing):
    extra = _add_depths(add_depths, tt.model.radius)
    traced = _traced(tt, depth, distance, phases_, exact, source, station, missing)
    if traced is None:
        return []
    found, p, e, order, layers, rays, coords = traced
    ray, x, d, t, kinds = pierce_points(layers, rays, e, float(depth), extra)
    x = np.degrees(x)
    fields = [("distance_deg", "f8"), ("depth_km", "f8"), ("time_s", "f8"), ("kind", "U8")]
    if coords is not None:
        fields += [("latitude", "f8"), ("longitude", "f8")]
    table = np.empty(len(ray), dtype=fields)
    table["distance_deg"], table["depth_km"], table["time_s"], table["kind"] = x, d, t, kinds
    if coords is not None:
        table["latitude"], table["longitude"] = _latlon(coords, ray, x)
    bounds = np.searchsorted(ray, np.arange(len(found) + 1)).tolist()
    return [Pierce(found[n][1], float(p[n]) * math.pi / 180.0, table[bounds[n]:bounds[n + 1]])
            for n in order.tolist()]


def _tolerance(value):
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"tolerance_km: expected a number of km, got "
                        f"{type(value).__name__}") from None
    if not (math.isfinite(v) and v > 0.0):
        raise ValueError(f"tolerance_km: {value!r} is not allowed: expected a positive number "
                         f"of km")
    return v


def _add_depths(values, radius):
    try:
        a = np.asarray(values, dtype=np.float64).ravel()
    except (TypeError, ValueError):
        raise TypeError(f"add_depths: expected depths in km, got {values!r}") from None
    bad = np.flatnonzero(~np.isfinite(a) | (a < 0.0) | (a > radius))
    if len(bad):
        raise ValueError(f"add_depths: {a[bad[0]]!r} is not allowed: expected depths from 0 to "
                         f"{radius:g} km")
    return a

