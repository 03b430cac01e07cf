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


class Rays:
    """A model's layers per pass, cached, and the rays through them."""

    def __init__(self, model):
        self.model = model
        self._rows = {}
        self._ellipticity = None
        bounds = set(model.discontinuities) | {model.cmb, model.icb}
        self.bounds = bounds

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
            self._rows[key] = rows
        return self._rows[key]

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
        along = travelled - self._distance(legs, p) if head is not None else 0.0
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
            elif last_down is None:
                pass        # back up from a stretch along a boundary: no event there
            elif down != last_down and ps.kind != phases.TURN or (not last_down and down):
                events.append((len(depth) - 1, "reflect"))   # turned back at a boundary
            elif points[0] in self.bounds:
                events.append((len(depth) - 1, "transmit"))
            for k, (point, move) in enumerate(zip(points[1:], moves), 1):
                depth.append(point)
                phi.append(phi[-1] + move)
                wave.append(w)
                if k < len(points) - 1 and point in self.bounds:
                    bottom = ps.kind == phases.TURN and k == len(d) - 1
                    if not bottom:
                        events.append((len(depth) - 1, "transmit"))
                    elif not turned:
                        events.append((len(depth) - 1, "reflect"))    # at a jump below
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
        depths, steps, turned = [float(rows[0, 1])], [], False
        for top, top_d, bot, bot_d in rows.tolist():
            if p <= top and p <= bot:
                b = math.log(top / bot) / math.log((radius - top_d) / (radius - bot_d))
                steps.append((math.atan2(p, math.sqrt(bot * bot - p * p)) -
                              math.atan2(p, math.sqrt(top * top - p * p))) / b)
                depths.append(bot_d)
                continue
            if top > p > bot and ps.kind == phases.TURN:
                b = math.log(top / bot) / math.log((radius - top_d) / (radius - bot_d))
                steps.append((0.5 * math.pi - math.atan2(p, math.sqrt(top * top - p * p))) / b)
                depths.append(self._turning_depth(top_d, bot_d, p, ps))
                turned = True
            break
        else:
            if ps.kind == phases.TURN and ps.bottom >= radius:
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
        return self.rays.ellipticity.coefficients(self.rays.path(legs, head, p, travelled))

    def taus_many(self, depth, receiver, member, legs, p, travelled):
        """tau0, tau1, tau2 of many arrivals of one member at a source and a
        receiver depth: read off a table of the member's rays (the ray of
        one member is fixed by its ray parameter; a diffracted or head wave's
        by how far it runs), linear between nodes close enough to keep them
        within a millisecond of each ray's own."""
        key = (depth, receiver, member.phase.name, member.kind)
        if key not in self._tables:
            self._tables[key] = self._table(depth, receiver, member, legs)
        nodes, values, by_distance = self._tables[key]
        x = travelled if by_distance else p
        return tuple(_piecewise(nodes, v, x) for v in values)

    def _table(self, depth, receiver, member, legs):
        from ._exact import Earth
        head = member.phase.head
        earth = Earth(self.tt.model, depth, receiver=receiver)
        if head is not None:
            p_star = earth.head_p(member)
            (_,), (x0,) = earth.evaluate(legs, [p_star])
            reach = math.pi if head[0] == "diff" else \
                min(math.pi, x0 + math.radians(phases.HEAD_WAVE_DEG))
            nodes = [np.linspace(x0, reach, 41)]
            rays = [self.rays.path(legs, head, p_star, x) for x in nodes[0]]
            return nodes, self._values(rays, [41]), True
        lo, hi, cuts = earth.p_range(legs)
        bounds = [lo] + sorted(cuts) + [hi]
        nodes = []
        for a, b in zip(bounds, bounds[1:]):
            if b > a:
                # Closer towards the ends, where a ray leaves or grazes a layer.
                nodes.append(a + (b - a) * 0.5 * (1.0 - np.cos(np.linspace(0.0, math.pi, 65))))
        rays, counts = [], []
        for piece in nodes:
            inner = [self.rays.path(legs, None, float(p), 0.0) for p in piece]
            rays += inner
            counts.append(len(inner))
        return nodes, self._values(rays, counts), False

    def _values(self, rays, counts):
        t0, t1, t2 = self.rays.ellipticity.coefficients_many(rays)
        out, at = [[], [], []], 0
        for n in counts:
            for column, values in zip(out, (t0, t1, t2)):
                column.append(np.asarray(values[at:at + n]))
            at += n
        return out


def _piecewise(nodes, values, x):
    """Linear interpolation on pieces (each its nodes and values), each
    point on the piece that holds it (the nearest where none does)."""
    x = np.asarray(x, dtype=np.float64)
    out = np.full(x.shape, np.nan)
    lows = np.array([n[0] for n in nodes])
    which = np.clip(np.searchsorted(lows, x, side="right") - 1, 0, len(nodes) - 1)
    for k, (n, v) in enumerate(zip(nodes, values)):
        mine = which == k
        if mine.any():
            out[mine] = np.interp(x[mine], n, v)
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
    elevation = sta[:, 2] if sta.shape[1] > 2 else np.zeros(n)
    receiver = sta[:, 3] if sta.shape[1] > 3 else np.zeros(n)
    depth = src[:, 2]
    dist, az, baz = _geo.distance_azimuth(src[:, 0], src[:, 1], sta[:, 0], sta[:, 1],
                                          errors=errors)
    cmb = tt.tables.cmb
    bad = ~np.isfinite(dist)
    for name, values, allowed in (("depth", depth, f"0 to below {cmb:g} km"),
                                  ("receiver depth", receiver, f"0 to below {cmb:g} km"),
                                  ("elevation", elevation, "finite metres")):
        wrong = ~np.isfinite(values) | (((values < 0.0) | (values >= cmb))
                                        if name != "elevation" else False)
        if wrong.any() and errors == "raise":
            k = int(np.flatnonzero(wrong)[0])
            raise ValueError(f"{'sources' if name == 'depth' else 'stations'}: pair {k}: "
                             f"{name} {values[k]!r} is not allowed: expected {allowed}")
        bad |= wrong
    corrector = tt._corrector()
    colatitude = _geo.source_colatitude(np.where(bad, 0.0, src[:, 0]))
    parts = []
    for asked in ([(name,) for name in names] if first else [names]):
        ok = np.flatnonzero(~bad)
        if not len(ok):
            continue
        if (depth[ok] == depth[ok[0]]).all() and (receiver[ok] == receiver[ok[0]]).all():
            groups, found = [(depth[ok[0]], receiver[ok[0]])], [ok]    # one event, say
        else:
            keys = np.stack([depth[ok], receiver[ok]], axis=1)
            groups, inverse = np.unique(keys, axis=0, return_inverse=True)
            groups = groups.tolist()
            found = [ok[inverse.ravel() == k] for k in range(len(groups))]
        for (d, r), pairs in zip(groups, found):
            source = tt._source(d, asked, r)
            which, code, t, p, to, inc, x, g, dtdh, dpdx = source.many(dist[pairs])
            if first:
                keep = np.flatnonzero(np.r_[True, which[1:] != which[:-1]])
                which, code, t, p, to, inc, x, g, dtdh, dpdx = (
                    c[keep] for c in (which, code, t, p, to, inc, x, g, dtdh, dpdx))
            ph = source.plan.names[code]
            at = pairs[which]
            part = np.zeros(len(t), dtype=GEO_FIELDS)
            part["pair"], part["depth_km"], part["receiver_depth_km"] = at, d, r
            part["distance_deg"], part["azimuth_deg"] = dist[at], az[at]
            part["back_azimuth_deg"], part["phase"] = baz[at], ph
            part["ray_param_s_deg"] = p * PER_DEGREE
            part["takeoff_deg"], part["incidence_deg"], part["dtdh_s_km"] = to, inc, dtdh
            part["dpdd_s_deg2"] = dpdx * PER_DEGREE ** 2
            members = source.members
            elev = np.zeros(len(t))
            ell = np.zeros(len(t))
            for m in np.unique(g).tolist():
                mine = g == m
                _, member, legs = members[m]
                if elevation[at[mine]].any():
                    elev[mine] = _geo.elevation_correction(
                        p[mine], elevation[at[mine]], legs[-1].wave, model=tt.model)
                if ellipticity:
                    taus = corrector.taus_many(d, r, member, legs, p[mine], x[mine])
                    ell[mine] = _ellipticity.correction(*taus, colatitude[at[mine]],
                                                        az[at[mine]])
            part["time_s"] = t + elev + ell
            part["ellipticity_s"], part["elevation_s"] = ell, elev
            parts.append(part)
    if not parts:
        return np.zeros(0, dtype=GEO_FIELDS)
    if len(parts) == 1:
        return parts[0]     # one group: by pair, then time, as the engine gives it
    out = np.concatenate(parts)
    return out[np.lexsort((out["time_s"], out["pair"]))]
