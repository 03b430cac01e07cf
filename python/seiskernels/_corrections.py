"""Corrections of a spherical model's travel times for the real Earth, and
its coordinates: the ellipticity of the rotating Earth along each arrival's
own ray, a station's elevation, and distances and azimuths from latitudes
and longitudes.

An arrival's ray is rebuilt from its passes on the very layers of the
tables (each layer's law eta = A r^B gives the distance a ray covers in it
in closed form), sampled at every layer boundary and turning point, with
an event where it crosses or is reflected at a discontinuity: the form the
ellipticity integrals take (_ellipticity.RayPath).  A turning point is put
where the model's own speeds give eta = p, so that the ray belongs to the
model the integrals read.
"""

import math

import numpy as np

from . import _ellipticity, _geo
from . import _phases as phases
from ._exact import CENTRE_GAP, STEP_KM, layer_rows

DIFFRACTION_STEP = math.radians(0.5)     # samples along a diffracted or head wave's boundary
HEAD_BELOW = 1e-5                        # km: how far below its boundary a head wave runs
GRAZE_KM = 1e-5                          # km: a ray turning closer to a layer's top turns on it
# Tables of a phase's ellipticity coefficients by ray parameter: FIRST_NODES
# per piece between the slownesses where its rays change branch, halved
# where the line between two nodes strays more than TAU_TOLERANCE (s) from
# the ray between them, at most REFINE_ROUNDS times.
FIRST_NODES = 17
TAU_TOLERANCE = 1e-3
REFINE_ROUNDS = 8


class Rays:
    """A model's layers per pass, cached, and the rays through them."""

    def __init__(self, model):
        self.model = model
        self._rows = {}
        self._ellipticity = None
        bounds = set(model.discontinuities) | {model.cmb, model.icb}
        self.bounds = bounds
        self.bound_list = sorted(bounds)

    @property
    def ellipticity(self):
        if self._ellipticity is None:
            self._ellipticity = _ellipticity.Ellipticity(self.model)
        return self._ellipticity

    def rows(self, ps):
        """The layer rows (n x 4) of a pass, as the tables cut them."""
        key = tuple(ps)
        if key not in self._rows:
            model = self.model
            bottom = ps.bottom
            if bottom >= model.radius:
                bottom = model.radius * (1.0 - CENTRE_GAP)
            rows = np.array(layer_rows(model, ps.wave, ps.top, bottom, STEP_KM)).reshape(-1, 4)
            # Each layer's power law, slowness r/v ~ r^b:
            # b = ln(eta_top / eta_bottom) / ln(r_top / r_bottom).
            top, top_d, bot, bot_d = rows.T
            radius = model.radius
            b = np.log(top / bot) / np.log((radius - top_d) / (radius - bot_d))
            self._rows[key] = rows, b
        return self._rows[key][0]

    def exponents(self, ps):
        """Each layer's b in the rows of a pass (see rows)."""
        self.rows(ps)
        return self._rows[tuple(ps)][1]

    def speed(self, depth, wave, region):
        """The model's speed at a depth, in the region a pass lies in."""
        model = self.model
        for shell in model.shells:
            if shell.top <= depth <= shell.bottom:
                # A node belongs to the shell on the pass's side of it.
                inside = {phases.MANTLE: depth < model.cmb or shell.bottom <= model.cmb,
                          phases.OUTER: model.cmb <= shell.top and shell.bottom <= model.icb,
                          phases.INNER: shell.top >= model.icb}[region]
                if inside:
                    return shell.speed(depth, wave)
        return model.speed(depth, wave)

    def path(self, legs, head, p, travelled):
        """The RayPath of ray p (s/rad) along the passes, from the source to
        the receiver; a diffracted or head wave runs along its boundary for
        whatever of `travelled` (rad) its legs leave."""
        model = self.model
        radius = model.radius
        head_depth = None
        if head is not None:
            head_depth = {"cmb": model.cmb, "icb": model.icb}.get(head[3], head[3])
        depth, phi, wave, events = [], [], [], []
        # (Not below zero: at the head of its branch, travelled and the
        # legs' distance differ by rounding alone.)
        along = max(0.0, travelled - self._distance(legs, p)) if head is not None else 0.0
        last_down = False
        stretched = False
        for n, ps in enumerate(legs):
            w = 0 if ps.region == phases.OUTER else ps.wave
            d, steps, turned = self._down(self.rows(ps), p, ps)
            if head_depth is not None and not stretched and ps.kind == phases.UP and \
                    ps.bottom == head_depth:
                # A source on the boundary: the wave runs along it first.
                if not depth:
                    depth.append(head_depth)
                    phi.append(0.0)
                self._along(depth, phi, wave, events, head_depth, along, w, head[0] == "n")
                stretched, last_down = True, None
            if ps.kind == phases.DOWN:
                points, moves = d, steps
            elif ps.kind == phases.UP:
                points, moves = d[::-1], steps[::-1]
            else:
                points, moves = d + d[-2::-1], steps + steps[::-1]
            down = ps.kind != phases.UP
            if not depth:
                depth.append(points[0])
                phi.append(0.0)
            elif ps.kind == phases.TURN and len(points) == 1:
                # The ray grazes the top of the pass (p is the slowness
                # there) and cannot enter it: in the limit it turns on the
                # boundary, where a transmission's q below is zero and
                # its correction that of a reflection from above.
                events.append((len(depth) - 1, "reflect"))
                last_down = None
                continue
            elif last_down is None:
                pass        # back up from a stretch along a boundary: no event there
            elif down != last_down and ps.kind != phases.TURN or (not last_down and down):
                events.append((len(depth) - 1, "reflect"))   # turned back at a boundary
            elif points[0] in self.bounds:
                events.append((len(depth) - 1, "transmit"))
            start = len(depth) - 1
            # phi summed one step after another, as the ray goes.
            phi += np.cumsum([phi[-1]] + moves)[1:].tolist()
            depth += points[1:]
            wave += [w] * (len(points) - 1)
            inner = np.asarray(points[1:-1])
            for k in (np.flatnonzero(np.isin(inner, self.bound_list)) + 1).tolist():
                bottom = ps.kind == phases.TURN and k == len(d) - 1
                if not bottom:
                    events.append((start + k, "transmit"))
                elif not turned:
                    events.append((start + k, "reflect"))    # at a jump below
            last_down = ps.kind == phases.DOWN
            if ps.kind == phases.TURN:
                last_down = False
            if head_depth is not None and not stretched and ps.kind == phases.DOWN and \
                    ps.bottom == head_depth:
                # Along the boundary for the rest of the way, then back up.
                self._along(depth, phi, wave, events, head_depth, along, w, head[0] == "n")
                stretched, last_down = True, None
        events = sorted({i: kind for i, kind in events if 0 < i < len(depth) - 1}.items())
        return _ellipticity.RayPath(float(p), radius - np.array(depth), np.array(phi),
                                    np.array(wave, int), events)

    @staticmethod
    def _along(depth, phi, wave, events, head_depth, along, w, below):
        """Samples along a boundary for a distance `along` (rad): on it for a
        diffracted wave, which grazes the layer above; a hair below it for a
        head wave, which runs in the faster layer below, entering and
        leaving it through the boundary."""
        count = max(1, int(math.ceil(along / DIFFRACTION_STEP)))
        run_at = head_depth + HEAD_BELOW if below else head_depth
        if below:
            if len(depth) > 1:
                events.append((len(depth) - 1, "transmit"))
            depth.append(run_at)
            phi.append(phi[-1])
            wave.append(w)
        for _ in range(count):
            depth.append(run_at)
            phi.append(phi[-1] + along / count)
            wave.append(w)
        if below:
            depth.append(head_depth)
            phi.append(phi[-1])
            wave.append(w)
            events.append((len(depth) - 1, "transmit"))

    def _distance(self, legs, p):
        """Distance (rad) ray p covers along the passes."""
        total = 0.0
        for ps in legs:
            _, steps, _ = self._down(self.rows(ps), p, ps)
            total += (2.0 if ps.kind == phases.TURN else 1.0) * sum(steps)
        return total

    def _down(self, rows, p, ps):
        """(depths, steps, turned): ray p going down the rows from their top,
        every boundary it crosses and, in a turning pass, where it stops:
        its turning point inside a layer (turned, put where the model's own
        speed gives r/v = p), the top of a layer it cannot enter (reflected
        there), or the centre's small ball, crossed as a straight chord;
        steps[k] the distance (rad) between depths k and k + 1."""
        radius = self.model.radius
        top, top_d, bot, bot_d = rows.T
        b = self.exponents(ps)
        through = (p <= top) & (p <= bot)
        n = len(rows) if through.all() else int(np.argmin(through))
        # Across a layer: the integral of p dr / (r sqrt(eta^2 - p^2)) with
        # eta ~ r^b is (arctan(p / sqrt(eta_bot^2 - p^2)) - same at the top) / b.
        steps = ((np.arctan2(p, np.sqrt(bot[:n] * bot[:n] - p * p)) -
                  np.arctan2(p, np.sqrt(top[:n] * top[:n] - p * p))) / b[:n]).tolist()
        depths = [float(rows[0, 1])] + bot_d[:n].tolist()
        turned = False
        if n < len(rows):
            t, t_d, u, u_d = rows[n].tolist()
            if t > p > u and ps.kind == phases.TURN:
                step = (0.5 * math.pi - math.atan2(p, math.sqrt(t * t - p * p))) / float(b[n])
                turn = self._turning_depth(t_d, u_d, p, ps)
                if turn - t_d > GRAZE_KM:
                    steps.append(step)
                    depths.append(turn)
                    turned = True
                elif steps:
                    # It turns on the layer's top, to within GRAZE_KM: the
                    # limit of a ray that meets the boundary there and goes
                    # back (q below is zero), not a sample a hair from it.
                    steps[-1] += step
        elif ps.kind == phases.TURN and ps.bottom >= radius:
            edge, r_edge = float(rows[-1, 2]), radius - float(rows[-1, 3])
            steps.append(math.acos(min(1.0, p / edge)))
            depths.append(radius - min(1.0, p / edge) * r_edge)
            turned = True
        return depths, steps, turned

    def _turning_depth(self, top_d, bot_d, p, ps):
        """Depth in [top_d, bot_d] where the model's r / v equals p."""
        radius = self.model.radius

        def eta(d):
            return (radius - d) / self.speed(d, ps.wave, ps.region)
        lo, hi = top_d, bot_d
        for _ in range(60):
            mid = 0.5 * (lo + hi)
            lo, hi = (mid, hi) if eta(mid) >= p else (lo, mid)
        return lo


def geometry(source, station, distance):
    """(distance, azimuth, back azimuth) in degrees between a source and a
    station given as (lat, lon), on the sphere of geocentric latitudes
    (WGS84); None where neither is given."""
    if source is None and station is None:
        if distance is None:
            raise TypeError("distance: give the epicentral distance in degrees, or the "
                            "coordinates with source= and station=")
        return None
    if source is None or station is None:
        raise TypeError(f"{'source' if source is None else 'station'}: give both source= and "
                        f"station= as (latitude, longitude), or neither")
    if distance is not None:
        raise TypeError("distance: give either the distance or source= and station=, not both")
    (slat, slon), (rlat, rlon) = _pair(source, "source"), _pair(station, "station")
    d, az, baz = _geo.distance_azimuth(slat, slon, rlat, rlon)
    return float(d), float(az), float(baz)


def _pair(point, name):
    try:
        lat, lon = point[0], point[1]
    except (TypeError, IndexError, KeyError):
        raise TypeError(f"{name}: expected (latitude, longitude) in degrees, got "
                        f"{point!r}") from None
    return lat, lon


class Corrector:
    """The corrections of one model's arrivals: each ray's ellipticity
    coefficients, and tables of them for many arrivals at once."""

    def __init__(self, tt):
        self.tt, self.rays = tt, Rays(tt.model)
        self._tables = {}

    def correct(self, found, geo, source, elevation, ellipticity):
        """Arrivals [(Arrival, passes, head)] with their corrections added
        to their times, sorted by time again."""
        model = self.tt.model
        out = []
        for a, legs, head in found:
            p = a.ray_param * 180.0 / math.pi
            elev = 0.0
            if elevation != 0.0:
                elev = float(_geo.elevation_correction(p, elevation, legs[-1].wave, model=model))
            ell = 0.0
            if ellipticity:
                taus = self.taus(legs, head, p, math.radians(a.travelled))
                ell = float(_ellipticity.correction(*taus, _geo.source_colatitude(source[0]),
                                                    geo[1]))
            out.append(a._replace(time=a.time + ell + elev, ellipticity=ell, elevation=elev,
                                  azimuth=None if geo is None else float(geo[1]),
                                  back_azimuth=None if geo is None else float(geo[2])))
        return sorted(out, key=lambda a: a.time)

    def taus(self, legs, head, p, travelled):
        """tau0, tau1, tau2 (s) of one ray: p (s/rad), distance travelled
        (rad)."""
        return tuple(float(t[0]) for t in self._coefficients([self.rays.path(legs, head, p,
                                                                             travelled)]))

    def taus_many(self, depth, receiver, member, legs, p, travelled):
        """tau0, tau1, tau2 of many arrivals of one member at a source and a
        receiver depth: read off a table of the member's rays (the ray of
        one member is fixed by its ray parameter; a diffracted or head wave's
        by how far it runs), linear between nodes close enough to keep them
        within a few milliseconds of each ray's own (see _refined)."""
        key = (depth, receiver, member.phase.name, member.kind)
        if key not in self._tables:
            self._tables[key] = self._table(depth, receiver, member, legs)
        nodes, values, by_distance = self._tables[key]
        return _piecewise(nodes, values, travelled if by_distance else p)

    def _table(self, depth, receiver, member, legs):
        from ._exact import Earth
        head = member.phase.head
        earth = Earth(self.tt.model, depth, receiver=receiver)
        if head is not None:
            p_star = earth.head_p(member)
            (_,), (x0,) = earth.evaluate(legs, [p_star])
            reach = math.pi if head[0] == "diff" else \
                min(math.pi, x0 + math.radians(phases.HEAD_WAVE_DEG))
            along = np.linspace(x0, reach, 41)
            taus = np.array(self._coefficients([self.rays.path(legs, head, p_star, x)
                                                for x in along]))
            return [along], [[row] for row in taus], True
        lo, hi, cuts = earth.p_range(legs)
        # Rays turning on either side of a jump in speed belong to different
        # branches, and between the jump's two slownesses no ray turns: no
        # piece of the table spans one.
        jumps = set()
        for ps in legs:
            if ps.kind == phases.TURN:
                rows = self.rays.rows(ps)
                at = np.flatnonzero(rows[:-1, 2] != rows[1:, 0])
                jumps.update(rows[at, 2].tolist())
                jumps.update(rows[at + 1, 0].tolist())
        bounds = sorted({lo, hi, *cuts, *(u for u in jumps if lo < u < hi)})
        nodes, values = [], [[], [], []]
        for a, b in zip(bounds, bounds[1:]):
            piece, taus = self._refined(legs, a, b)
            nodes.append(piece)
            for column, row in zip(values, taus):
                column.append(row)
        return nodes, values, False

    def _refined(self, legs, a, b):
        """Nodes in [a, b] of p and the coefficients there, enough that
        linear interpolation between them stays within TAU_TOLERANCE of each
        ray's own: an interval is halved while its midpoint's ray is
        farther than that from the line.  (Rays that turn just below a
        boundary of a slight gradient cover many degrees for a small change
        of p: there the nodes crowd.)"""
        # Closer towards the ends, where a ray leaves or grazes a layer.
        p = a + (b - a) * 0.5 * (1.0 - np.cos(np.linspace(0.0, math.pi, FIRST_NODES)))
        # The ends are limits: a ray at the slowness of a boundary grazes
        # it (or, at the surface, has no length at all).  Take rays a hair
        # inside, as a + (b - a) may also round past b, whose values are
        # the limits to far below a millisecond.
        hair = 1e-7 * (b - a)
        p[0], p[-1] = a + hair, b - hair
        taus = self._taus_at(legs, p)
        active = np.arange(len(p) - 1)
        for _ in range(REFINE_ROUNDS):
            if not len(active):
                break
            mid = 0.5 * (p[active] + p[active + 1])
            at_mid = self._taus_at(legs, mid)
            line = 0.5 * (taus[:, active] + taus[:, active + 1])
            bad = np.abs(at_mid - line).max(axis=0) > TAU_TOLERANCE
            p = np.concatenate([p, mid])
            taus = np.concatenate([taus, at_mid], axis=1)
            order = np.argsort(p, kind="stable")
            p, taus = p[order], taus[:, order]
            halves = np.searchsorted(p, mid[bad])
            active = np.unique(np.concatenate([halves - 1, halves]))
        return p, taus

    def _taus_at(self, legs, ps):
        """tau0, tau1, tau2 (3 x n) of the rays of the p in `ps`."""
        rays = [self.rays.path(legs, None, float(p), 0.0) for p in ps]
        return np.array(self._coefficients(rays), dtype=np.float64)

    def _coefficients(self, rays):
        """tau0, tau1, tau2 of each ray, as three arrays; zero for a ray of
        no length (one sample: it grazes the surface it leaves from)."""
        some = [k for k, ray in enumerate(rays) if len(ray.radius) > 1]
        if len(some) == len(rays):
            return self.rays.ellipticity.coefficients_many(rays)
        out = np.zeros((3, len(rays)))
        out[:, some] = self.rays.ellipticity.coefficients_many([rays[k] for k in some])
        return tuple(out)


def _piecewise(nodes, values, x):
    """Linear interpolation on pieces (each its nodes), of each of `values`
    (each a list of the pieces' values), each point on the piece that holds
    it (the nearest where none does): a tuple, one array per entry of
    `values`."""
    x = np.asarray(x, dtype=np.float64)
    out = [np.full(x.shape, np.nan) for _ in values]
    lows = np.array([n[0] for n in nodes])
    which = np.clip(np.searchsorted(lows, x, side="right") - 1, 0, len(nodes) - 1)
    for k, n in enumerate(nodes):
        mine = np.flatnonzero(which == k) if len(nodes) > 1 else slice(None)
        at = x[mine]
        if len(at):
            for o, got in zip(out, _interp(at, n, [v[k] for v in values])):
                o[mine] = got
    return tuple(out)


def _interp(x, xp, fps):
    """np.interp(x, xp, fp) for each fp of `fps`, the interval of each x
    found once for all: inside an interval, numpy's own arithmetic, slope
    (fp[j + 1] - fp[j]) / (xp[j + 1] - xp[j]) times (x - xp[j]) plus fp[j];
    the rest (on a node, beyond the ends, NaN) by np.interp itself."""
    if len(xp) < 2:
        return [np.interp(x, xp, fp) for fp in fps]
    j = np.searchsorted(xp, x, side="right") - 1
    np.clip(j, 0, len(xp) - 2, out=j)
    start = xp[j]
    step = x - start
    # x == xp[j] (on a node), j past an end, or x NaN: not inside.
    other = np.flatnonzero(~((step > 0.0) & (x < xp[j + 1])))
    out = []
    for fp in fps:
        fp = np.asarray(fp, dtype=np.float64)
        with np.errstate(all="ignore"):     # as np.interp, quietly
            slope = (fp[1:] - fp[:-1]) / (xp[1:] - xp[:-1])
            got = slope[j] * step + fp[j]
        redo = other
        if np.isnan(got).any():     # numpy tries the other end, then the value
            redo = np.union1d(other, np.flatnonzero(np.isnan(got)))
        if len(redo):
            got[redo] = np.interp(x[redo], xp, fp)
        out.append(got)
    return out


GEO_FIELDS = [("pair", "i8"), ("depth_km", "f8"), ("receiver_depth_km", "f8"),
              ("distance_deg", "f8"), ("azimuth_deg", "f8"), ("back_azimuth_deg", "f8"),
              ("phase", "U16"), ("time_s", "f8"), ("ray_param_s_deg", "f8"),
              ("takeoff_deg", "f8"), ("incidence_deg", "f8"), ("dtdh_s_km", "f8"),
              ("dpdd_s_deg2", "f8"), ("ellipticity_s", "f8"), ("elevation_s", "f8")]
PER_DEGREE = math.pi / 180.0


def _columns(values, name, widths, labels):
    """An (N, k) array of floats from rows of `widths` values each."""
    try:
        a = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name}: expected numbers ({', '.join(labels)}) per row") from None
    if a.ndim == 1:
        a = a[None, :]
    if a.ndim != 2 or a.shape[1] not in widths:
        raise ValueError(f"{name}: expected rows of {' or '.join(map(str, widths))} numbers "
                         f"({', '.join(labels)}), got an array of shape {np.shape(values)}")
    return a


def table_geo(tt, sources, stations, names, ellipticity, first, errors):
    """TravelTimes.table_geo's work: see there."""
    if errors not in ("raise", "nan"):
        raise ValueError(f"errors: expected 'raise' or 'nan', got {errors!r}")
    src = _columns(sources, "sources", (3,), ("latitude", "longitude", "depth km"))
    sta = _columns(stations, "stations", (2, 3, 4),
                   ("latitude", "longitude", "elevation m", "depth km"))
    try:
        n = np.broadcast_shapes((len(src),), (len(sta),))[0]
    except ValueError:
        raise ValueError(f"sources, stations: {len(src)} sources and {len(sta)} stations do "
                         f"not pair up (give as many of each, or one of either)") from None
    src, sta = np.broadcast_to(src, (n, 3)), np.broadcast_to(sta, (n, sta.shape[1]))
    none = np.broadcast_to(np.float64(0.0), (n,))
    elevation = sta[:, 2] if sta.shape[1] > 2 else none
    receiver = sta[:, 3] if sta.shape[1] > 3 else none
    depth = src[:, 2]
    coordinates = (src[:, 0], src[:, 1], sta[:, 0], sta[:, 1])
    if errors == "raise":
        # The first bad coordinate of all the pairs named, as
        # distance_azimuth names it, before any pair is worked on.
        _geo._check([(name, a, *limits) for name, a, limits in zip(
            ("source_lat", "source_lon", "station_lat", "station_lon"), coordinates,
            (_geo.LAT, _geo.LON, _geo.LAT, _geo.LON))], errors)
    cmb = tt.tables.cmb
    refused = np.zeros(n, bool)
    for name, values, allowed in (("depth", depth, f"0 to below {cmb:g} km"),
                                  ("receiver depth", receiver, f"0 to below {cmb:g} km"),
                                  ("elevation", elevation, "finite metres")):
        wrong = ~np.isfinite(values) | (((values < 0.0) | (values >= cmb))
                                        if name != "elevation" else False)
        if wrong.any() and errors == "raise":
            k = int(np.flatnonzero(wrong)[0])
            raise ValueError(f"{'sources' if name == 'depth' else 'stations'}: pair {k}: "
                             f"{name} {values[k]!r} is not allowed: expected {allowed}")
        refused |= wrong
    corrector = tt._corrector()
    # CHUNK pairs at a time, from their coordinates to their rows: the
    # arrays of a chunk stay in the cache and their memory is used again,
    # not asked of the system anew for each step of 10^6 pairs.  Each
    # chunk's rows are by pair then time, so the chunks' rows in turn are
    # the whole's.
    out = np.empty(len(names) * n, dtype=GEO_FIELDS) if first else None
    if first:
        # Its pages written once first, in one pass: a page's first write
        # is a fault (costly on a virtual machine), and taken between a
        # chunk's steps it also drives the chunk's arrays out of the cache.
        out.view(np.uint8)[::PAGE] = 0
    pieces, filled = [], 0
    for s in range(0, n, CHUNK):
        e = min(n, s + CHUNK)
        dist, az, baz = _geo.distance_azimuth(*(c[s:e] for c in coordinates), errors=errors)
        bad = ~np.isfinite(dist) | refused[s:e]
        colatitude = _geo.source_colatitude(np.where(bad, 0.0, src[s:e, 0]))
        geo = (elevation[s:e], colatitude, dist, az, baz)
        parts = _chunk(tt, corrector, names, first, ellipticity, depth[s:e], receiver[s:e], bad,
                       geo, s)
        size = sum(len(code) for _, code, _ in parts)
        if first:
            _assemble(parts, out[filled:filled + size])
            filled += size
        elif size:
            pieces.append(_assemble(parts, np.empty(size, dtype=GEO_FIELDS)))
    if first:
        if filled < len(out):
            # Pairs without an arrival of some phase: give back the rest of
            # the memory (realloc shrinks in place), not a view that keeps
            # it all.
            try:
                out.resize(filled)
            except ValueError:          # referenced elsewhere (a debugger)
                out = out[:filled].copy()
        return out
    return np.concatenate(pieces) if len(pieces) > 1 else pieces[0] if pieces else \
        np.zeros(0, dtype=GEO_FIELDS)


CHUNK = 1 << 14             # pairs worked on at once
PAGE = 4096                 # bytes: a memory page, at most


def _chunk(tt, corrector, names, first, ellipticity, depth, receiver, bad, geo, offset):
    """The parts (see _part) of the pairs of one chunk, `offset` the first's
    index: a part per phase asked (first) or one for all, and per source
    and receiver depth."""
    n = len(depth)
    # The pairs by source and receiver depth: each group one source of the
    # engine (pairs None: every pair, one event say).
    ok = np.flatnonzero(~bad) if bad.any() else None
    if ok is not None and not len(ok):
        return []
    if ok is None and (depth == depth[0]).all() and (receiver == receiver[0]).all():
        groups, found = [(depth[0], receiver[0])], [None]
    else:
        ok = np.arange(n) if ok is None else ok
        keys = np.stack([depth[ok], receiver[ok]], axis=1)
        groups, inverse = np.unique(keys, axis=0, return_inverse=True)
        groups = groups.tolist()
        found = [ok[inverse.ravel() == k] for k in range(len(groups))]
    dist = geo[2]
    parts = []
    for asked in ([(name,) for name in names] if first else [names]):
        for (d, r), pairs in zip(groups, found):
            source = tt._source(d, asked, r)
            degrees = dist if pairs is None else dist[pairs]
            columns = source.first(degrees) if first else source.many(degrees)
            # first: a row per distance in order, so where every distance
            # has one, row k is pair k.
            every = first and pairs is None and len(columns[0]) == n
            parts.append(_part(tt, corrector, source, columns, pairs, every, d, r, geo,
                               ellipticity, offset))
    return parts


def _part(tt, corrector, source, columns, pairs, every, depth, receiver, geo, ellipticity,
          offset):
    """The rows of one source's arrivals as columns, their corrections added:
    (columns by field, name codes, the source's names); pairs numbered from
    `offset`."""
    which, code, t, p, to, inc, x, g, dtdh, dpdx = columns
    elevation, colatitude, dist, az, baz = geo
    at = which if pairs is None else pairs[which]

    def of(a):
        """a's value at each row's pair."""
        return a if every else a[at]

    elev = np.zeros(len(t))
    ell = np.zeros(len(t))
    present = np.flatnonzero(np.bincount(g)).tolist() if len(g) else []
    for m in present:
        # Each member's rows, as index arrays (all of them where one member
        # gives every row: no copy).
        mine = slice(None) if len(present) == 1 else np.flatnonzero(g == m)
        _, member, legs = source.members[m]
        where = at[mine]
        if elevation[where].any():
            elev[mine] = _geo.elevation_correction(
                p[mine], elevation[where], legs[-1].wave, model=tt.model)
        if ellipticity:
            taus = corrector.taus_many(depth, receiver, member, legs, p[mine], x[mine])
            ell[mine] = _ellipticity.correction(*taus, colatitude[where], az[where])
    columns = {"pair": at + offset, "depth_km": depth, "receiver_depth_km": receiver,
               "distance_deg": of(dist), "azimuth_deg": of(az), "back_azimuth_deg": of(baz),
               "time_s": t + elev + ell, "ray_param_s_deg": p * PER_DEGREE,
               "takeoff_deg": to, "incidence_deg": inc, "dtdh_s_km": dtdh,
               "dpdd_s_deg2": dpdx * PER_DEGREE ** 2, "ellipticity_s": ell,
               "elevation_s": elev}
    return columns, code, source.plan.names


def _assemble(parts, out):
    """The parts' rows into `out` (of GEO_FIELDS, as many rows), by pair then
    time (lexsort's order of the parts laid end to end), each field written
    once where it belongs; returns out."""
    if not parts:
        return out
    sizes = [len(code) for _, code, _ in parts]
    if len(parts) == 1:
        rows = [slice(None)]     # one group: by pair, then time, as the engine gives it
    else:
        order = np.lexsort((np.concatenate([c["time_s"] for c, _, _ in parts]),
                            np.concatenate([c["pair"] for c, _, _ in parts])))
        place = np.empty_like(order)
        place[order] = np.arange(len(order))
        ends = np.cumsum(sizes)
        rows = [place[e - k:e] for e, k in zip(ends, sizes)]
    phase = out["phase"].view(np.dtype((np.void, out.dtype["phase"].itemsize)))
    for (columns, code, names), where in zip(parts, rows):
        for field, values in columns.items():
            out[field][where] = values
        # The names as the bytes of their fixed-width strings (numpy copies
        # strings one character at a time).
        names = np.ascontiguousarray(names, dtype=out.dtype["phase"])
        phase[where] = names.view(phase.dtype)[code]
    return out
