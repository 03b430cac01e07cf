"""Ellipticity corrections to travel times, for any ray in any model, by
first-order perturbation theory (Dziewonski & Gilbert 1976; Kennett &
Gudmundsson 1996; Russell, Rudge, Irving & Cottaar 2022).

The rotating Earth's surfaces of equal density are ellipsoids

    r(theta) = a [1 - (2/3) eps(a) P2(cos theta)],

labelled by the radius a they have in the spherical model, with eps(a) from
Clairaut's equation integrated with the model's density.  A ray's time in
the flattened Earth differs from its time in the sphere, to first order in
eps, by

    dt = 1/4 (1 + 3 cos 2 theta0) tau0 + (sqrt 3 / 2) sin 2 theta0 cos zeta tau1
         + (sqrt 3 / 2) sin^2 theta0 cos 2 zeta tau2,

theta0 the source's geocentric colatitude, zeta the azimuth from source to
station.  tau0, tau1, tau2 are three sums over the unperturbed ray (the
slowness change along it, the moving discontinuities it crosses or reflects
at, and the moving source and receiver), independent of where the source
and station are.  docs/ellipticity.md derives them.
"""

import math
from typing import NamedTuple

import numpy as np

LENGTH_OF_DAY = 86164.1                 # s, sidereal
OMEGA = 2.0 * math.pi / LENGTH_OF_DAY   # rad/s
G = 6.67430e-11                         # m^3 kg^-1 s^-2 (CODATA 2018)
GM_EARTH = 3.986004418e14               # m^3 s^-2 (WGS84, with the atmosphere)
WGS84_F = 1.0 / 298.257223563

SQ3_2 = math.sqrt(3.0) / 2.0
GL3_T = 0.5 + np.array([-1.0, 0.0, 1.0]) * math.sqrt(0.15)     # Gauss-Legendre on [0, 1]
GL3_W = np.array([5.0, 8.0, 5.0]) / 18.0
KINDS = ("transmit", "reflect")
CHUNK = 1024                            # samples per pass of coefficients_many
NUDGE = 1e-6                            # km: which side of a node a sample is looked up on
SLACK = 1e-6                            # relative: how far p may exceed r/v (rounding)
P_SLACK = 1e-9                          # s/rad: and absolutely, for rays near p = 0


class _PathError(Exception):
    """(index of the path in the list, message, exception class)."""


class RayPath(NamedTuple):
    """One ray, sampled from the source to the receiver.

    p : float
        Ray parameter, s/rad.
    radius : array of float, km
        Samples from the source (0) to the receiver (-1), dense along each
        leg, with a sample at every discontinuity the ray crosses or
        reflects at and at every turning point.
    distance : array of float, rad
        Angle along the ray from the source, same length, non-decreasing.
    wave : array of int
        One per segment between consecutive samples: 0 P, 1 S (the outer
        core is P).
    events : sequence of (int, str)
        (sample index, "transmit" or "reflect") where the ray meets a
        discontinuity, or reflects at the free surface (radius = the
        model's radius).  A diffracted leg (samples at one radius along a
        boundary) carries no event at its ends.
    """
    p: float
    radius: np.ndarray
    distance: np.ndarray
    wave: np.ndarray
    events: list


def correction(tau0, tau1, tau2, colatitude, azimuth):
    """Ellipticity correction (s) from the coefficients of a ray.

    Parameters
    ----------
    tau0, tau1, tau2 : array_like
        Seconds, from `Ellipticity.coefficients`.
    colatitude : array_like
        The source's geocentric colatitude theta0, degrees
        (`_geo.source_colatitude`).
    azimuth : array_like
        Azimuth zeta from source to station, degrees from north.

    Returns
    -------
    ndarray
        Seconds to add to the spherical model's time.  All arguments
        broadcast against each other.
    """
    th, ze = np.radians(colatitude), np.radians(azimuth)
    return (0.25 * (1.0 + 3.0 * np.cos(2.0 * th)) * tau0
            + SQ3_2 * np.sin(2.0 * th) * np.cos(ze) * tau1
            + SQ3_2 * np.sin(th) ** 2 * np.cos(2.0 * ze) * tau2)


def angular_weights(phi):
    """f0, f1, f2 of the angle phi (rad) along the ray: the addition theorem
    P2(cos theta) = P2(cos theta0) f0 + (sqrt3/2) sin 2theta0 cos zeta f1
    + (sqrt3/2) sin^2 theta0 cos 2zeta f2, theta the colatitude of the ray's
    point at phi."""
    c, s = np.cos(phi), np.sin(phi)
    return 1.5 * c * c - 0.5, 2.0 * SQ3_2 * s * c, SQ3_2 * s * s


class _Speeds:
    """The model's shells as arrays, for slowness and its radial derivative
    at many points at once.  Shells run from the surface down; a radius on
    a node belongs to the shell above it (the side a diffracted wave runs
    on)."""

    def __init__(self, model):
        shells = model.shells
        self.radius = R = float(model.radius)
        self.top = R - np.array([s.top for s in shells], float)
        self.bottom = R - np.array([s.bottom for s in shells], float)
        self.bottoms_up = self.bottom[::-1].copy()
        ends = np.array([s.ends for s in shells], float)        # (n, wave, top/bottom)
        self.v_top, self.v_bottom = ends[:, :, 0].copy(), ends[:, :, 1].copy()
        # Speeds linear in depth: slope[2 k + wave] = dv/d(depth) in shell k.
        self.slope = ((self.v_bottom - self.v_top)
                      / (self.top - self.bottom)[:, None]).ravel()
        # Bullen's law u = A r^(B-1) (S slower by s_ratio) where a shell has it.
        self.bullen = np.array([hasattr(s, "eta") for s in shells])
        self.a = np.array([getattr(s, "a", 1.0) for s in shells], float)
        self.b = np.array([getattr(s, "b", 1.0) for s in shells], float)
        self.s_ratio = np.array([getattr(s, "s_ratio", 1.0) for s in shells], float)

        # Speed jumps (either wave) between shell k and k+1, counted from
        # the top, and their radii with the free surface's.
        jump = np.any(self.v_bottom[:-1] != self.v_top[1:], axis=1)
        self.jumps = np.r_[0, np.cumsum(jump)]
        self.jump_radii = np.r_[self.bottom[:-1][jump][::-1], R]

    def jumps_between(self, i, k):
        """Whether a speed jump lies between shells i and k."""
        return self.jumps[np.maximum(i, k)] > self.jumps[np.minimum(i, k)]

    def at_jump(self, r):
        """Whether radius r lies on a speed jump or the surface (to 1e-6 km)."""
        x = self.jump_radii
        k = np.clip(np.searchsorted(x, r), 1, len(x) - 1) if len(x) > 1 else np.zeros(len(r), int)
        return np.minimum(abs(x[k] - r), abs(x[k - 1] - r)) <= NUDGE

    def locate(self, r):
        n = len(self.top)
        return n - np.searchsorted(self.bottoms_up, r, side="right")

    def slowness(self, i, r, wave):
        """u (s/km) and du/dr (s/km^2); inf where the wave cannot travel."""
        k = 2 * i + wave
        slope = self.slope.take(k)                      # dv/d(depth) = -dv/dr
        v = self.v_top.ravel().take(k) + slope * (self.top.take(i) - r)
        with np.errstate(divide="ignore", invalid="ignore"):
            u = np.where(v > 0.0, 1.0 / v, np.inf)
            du = slope * u * u
            if self.bullen.any():
                bul = self.bullen.take(i)
                ratio = np.where(wave == 1, self.s_ratio.take(i), 1.0)
                ub = np.where(ratio > 0.0, self.a[i] * r ** (self.b[i] - 1.0) * ratio, np.inf)
                u = np.where(bul, ub, u)
                du = np.where(bul, (self.b[i] - 1.0) * ub / r, du)
        return u, du


class Ellipticity:
    """The ellipticity of a model's level surfaces, and the coefficients
    tau0, tau1, tau2 of its rays.

    Parameters
    ----------
    model : Model
        From `_earthmodel.load`.
    surface : {"rotation", "flattening"} or float
        The surface value eps(R).  "rotation" (default): from the Earth's
        rotation (sidereal day 86164.1 s) and the model's own density,
        eps(R) = 5 m / (2 (2 + eta(R))), m = Omega^2 R^3 / GM, the hydrostatic
        value; "flattening": WGS84's f = 1/298.257223563; a number: that.
        The interior follows from Clairaut's equation in all cases.
    gm : {"earth", "model"} or float
        GM for m: the Earth's (WGS84, 3.986004418e14 m^3/s^2, default), G
        times the model's mass (within 0.06% of it for PREM and ak135), or
        a value in m^3/s^2.
    density : Model, optional
        The model whose density to use.  Default: the model's own; where
        the model gives none (iasp91), PREM's at the same fraction of the
        radius.
    depths : {"ellipsoid", "level"}
        Where a source or receiver below the surface sits in the flattened
        Earth: at its depth below the ellipsoid's surface (default, moving
        by -(2/3) R eps(R) P2 with the surface above it: catalogue depths
        are measured from the surface), or on the level surface through its
        depth (moving by -(2/3) r eps(r) P2).  Points at the surface are the
        same in both.
    step : float
        km, the largest step of the Clairaut integration.

    Attributes
    ----------
    radius (km), mass (kg, of the density used), gm (m^3/s^2), m,
    surface_epsilon, hydrostatic_epsilon (the "rotation" value whatever
    `surface` says), surface_eta, moment (C / M R^2 of the density),
    density_model (the name of the model the density came from).
    """

    def __init__(self, model, surface="rotation", gm="earth", density=None,
                 depths="ellipsoid", step=5.0):
        if not (hasattr(model, "shells") and hasattr(model, "radius")):
            raise TypeError(f"model: expected a Model (_earthmodel.load), got "
                            f"{type(model).__name__}")
        if depths not in ("level", "ellipsoid"):
            raise ValueError(f"depths: expected 'level' or 'ellipsoid', got {depths!r}")
        if not (isinstance(step, (int, float)) and 0.01 <= step <= 100.0):
            raise ValueError(f"step: expected 0.01..100 km, got {step!r}")
        self.depths = depths
        self.speeds = _Speeds(model)
        self.radius = R = self.speeds.radius
        layers, self.density_model = _density_layers(model, density)
        radii, eta, log_eps, mass, inertia = _clairaut(layers, step)
        self.mass = 4.0 * math.pi * mass * 1e12                      # kg
        self.moment = (2.0 / 3.0) * inertia / (mass * R * R)         # C / M R^2
        self.gm = _choose_gm(gm, self.mass)
        self.m = OMEGA ** 2 * (R * 1e3) ** 3 / self.gm
        self.surface_eta = eta[-1]
        self.hydrostatic_epsilon = 2.5 * self.m / (2.0 + eta[-1])
        if surface == "rotation":
            eps_s = self.hydrostatic_epsilon
        elif surface == "flattening":
            eps_s = WGS84_F
        elif (isinstance(surface, (int, float)) and not isinstance(surface, bool)
              and 0.0 <= surface < 0.1):
            eps_s = float(surface)
        else:
            raise ValueError(f"surface: expected 'rotation', 'flattening' or a number "
                             f"0..0.1, got {surface!r}")
        self.surface_epsilon = eps_s
        self._r, self._eta = radii, eta
        self._eps = eps_s * np.exp(log_eps - log_eps[-1])

    def epsilon(self, r):
        """eps at radius r (km, array_like): the level surface through r is
        r(theta) = r [1 - (2/3) eps P2(cos theta)]."""
        return np.interp(r, self._r, self._eps)

    def eta(self, r):
        """Radau's eta = d ln eps / d ln r at radius r (km)."""
        return np.interp(r, self._r, self._eta)

    def coefficients(self, path):
        """tau0, tau1, tau2 (s) of one `RayPath`, as floats."""
        t0, t1, t2 = self._coefficients([path], "path")
        return float(t0[0]), float(t1[0]), float(t2[0])

    def coefficients_many(self, paths):
        """tau0, tau1, tau2 (s) of many `RayPath`s (e.g. one phase at the
        distances of a table, to interpolate), as three arrays."""
        paths = list(paths)
        if not paths:
            return np.zeros(0), np.zeros(0), np.zeros(0)
        # In chunks of about a thousand samples, whose temporaries stay in
        # the cache: 0.7-0.9 us a sample, against 2 us in chunks of 2000 or
        # more and 1.2 us path by path (ak135, P and PKIKP paths).
        sizes = np.cumsum([len(getattr(p, "radius", ())) for p in paths])
        cuts = np.searchsorted(sizes, np.arange(CHUNK, sizes[-1], CHUNK), side="right")
        parts = [self._coefficients(paths[a:b], "paths", a)
                 for a, b in zip(np.r_[0, cuts], np.r_[cuts, len(paths)]) if b > a]
        return tuple(np.concatenate(part) for part in zip(*parts))

    # -- the sums over the ray ------------------------------------------------

    def _coefficients(self, paths, name, first=0):
        try:
            return self._sums(*_gather(paths, self.radius))
        except _PathError as e:            # name the path by its place in the caller's list
            k, kind, message = e.args
            raise kind(f"{name}[{k + first}]: {message}" if name == "paths"
                       else f"{name}: {message}") from None

    def _sums(self, r, phi, wave, path, p, starts, events):
        ends = np.r_[starts[1:], len(r)] - 1
        sp = self.speeds
        n = len(r)
        ra, rb = r[:-1], r[1:]
        inside = path[:-1] == path[1:]                     # segment within one path
        step = np.where(inside, rb - ra, 0.0)
        nudge = NUDGE * np.sign(step)
        ia, ib = sp.locate(ra + nudge), sp.locate(rb - nudge)
        w = wave[:-1]
        ua, dua = sp.slowness(ia, ra, w)
        ub, dub = sp.slowness(ib, rb, w)
        pw = p[path[:-1]]
        self._check_rays(path, starts, inside, ra, rb, ua, ub, pw, ia, ib, w)
        self._check_events(r, path, starts, inside, ia, ib, ua, pw, events)
        dphi = np.where(inside, phi[1:] - phi[:-1], 0.0)
        vol, vol_phi = self._volume(ra, rb, phi[:-1], dphi, ua, ub, ia, w, pw, inside)
        node = np.zeros(n)

        def q(u, rr, pp):
            return np.sqrt(np.maximum(u * u - (pp / rr) ** 2, 0.0))

        def shift(rr):
            # Radial shift of the level surface through rr, over -P2.
            return (2.0 / 3.0) * rr * self.epsilon(rr)

        # Discontinuities: a boundary moved up by dr turns a slab dr thick
        # from the medium above into the one below: +q_below dr for each of
        # the two legs that meet there on the lower side, -q_above dr for
        # each on the upper side.  Transmission gives q_below - q_above,
        # a reflection from above -2q, from below (the free surface) +2q.
        if len(events[0]):
            i, reflect = events
            qa, qb = q(ub[i - 1], r[i], p[path[i]]), q(ua[i], r[i], p[path[i]])
            side_in = np.where(r[i - 1] < r[i], 1.0, -1.0)
            side_out = np.where(r[i + 1] < r[i], 1.0, -1.0)
            wrong = (side_in == side_out) != reflect
            if wrong.any():
                k = int(np.flatnonzero(wrong)[0])
                j = int(path[i[k]])
                how = "crosses" if side_in[k] != side_out[k] else "stays on one side of"
                raise _PathError(j, ValueError, f"events: {KINDS[int(reflect[k])]!r} at sample "
                                 f"{int(i[k] - starts[j])} (radius {r[i[k]]:g} km) but the "
                                 f"ray {how} the boundary there")
            np.add.at(node, i, -shift(r[i]) * (side_in * qa + side_out * qb))
        # The source and receiver ride their level surfaces (or the
        # ellipsoid's surface): moving the receiver up by dr adds q dr for
        # a ray arriving from below, moving the source up takes q dr off a
        # ray leaving upwards.
        for at, u, sgn, leg in ((starts, ua[starts], -1.0, r[starts + 1] - r[starts]),
                                (ends, ub[ends - 1], 1.0, r[ends] - r[ends - 1])):
            dr = shift(r[at]) if self.depths == "level" else \
                np.full(len(at), shift(self.radius))
            node[at] += sgn * np.sign(leg) * q(u, r[at], p[path[at]]) * -dr
        count = len(starts)
        at_vol = np.broadcast_to(path[:-1], vol.shape).ravel()
        return tuple(np.bincount(path, weights=node * f, minlength=count)
                     + np.bincount(at_vol, weights=(vol * fv).ravel(), minlength=count)
                     for f, fv in zip(angular_weights(phi), angular_weights(vol_phi)))

    def _volume(self, ra, rb, phi, dphi, ua, ub, ia, w, pw, inside):
        """The slowness change integrated along each segment: weights and
        angles of three Gauss-Legendre points per segment.

        The ray between two samples is taken as the cubic Hermite curve
        through them with the ray's own directions there (sin i = p / r u),
        not the chord: near a turning point the ray lingers at the bottom
        of its segment, which a chord's trapezoid overweights (6 ms on PP
        with a sample only at each of ak135's nodes)."""
        sp = self.speeds
        with np.errstate(divide="ignore", invalid="ignore"):
            sa = np.where(ra * ua > 0.0, np.minimum(pw / (ra * ua), 1.0), 0.0)
            sb = np.where(rb * ub > 0.0, np.minimum(pw / (rb * ub), 1.0), 0.0)
        sign = np.sign(rb - ra)
        ca, cb = sign * np.sqrt(1.0 - sa * sa), sign * np.sqrt(1.0 - sb * sb)
        # In the segment's plane, the start on the x axis.
        cd, sd = np.cos(dphi), np.sin(dphi)
        ex, ey = rb * cd - ra, rb * sd
        chord = np.hypot(ex, ey)
        t0x, t0y = ca, sa
        t1x, t1y = cb * cd - sb * sd, cb * sd + sb * cd
        with np.errstate(divide="ignore", invalid="ignore"):
            ux, uy = ex / chord, ey / chord          # at the centre, no direction but this
        t0x, t0y = np.where(ra > NUDGE, t0x, ux), np.where(ra > NUDGE, t0y, uy)
        t1x, t1y = np.where(rb > NUDGE, t1x, ux), np.where(rb > NUDGE, t1y, uy)
        t = GL3_T[:, None]
        h10, h01, h11 = t ** 3 - 2 * t * t + t, 3 * t * t - 2 * t ** 3, t ** 3 - t * t
        d10, d01, d11 = 3 * t * t - 4 * t + 1, 6 * t - 6 * t * t, 3 * t * t - 2 * t
        x = ra + h01 * ex + chord * (h10 * t0x + h11 * t1x)
        y = h01 * ey + chord * (h10 * t0y + h11 * t1y)
        ds = np.hypot(d01 * ex + chord * (d10 * t0x + d11 * t1x),
                      d01 * ey + chord * (d10 * t0y + d11 * t1y)) * GL3_W[:, None]
        r = np.hypot(x, y)
        # Each point in the segment's own shells: inside its radial range.
        lo, hi = np.minimum(ra, rb), np.maximum(ra, rb)
        wide = hi - lo > 2 * NUDGE
        inner = np.where(wide, np.clip(r, lo + NUDGE, hi - NUDGE), 0.5 * (lo + hi))
        flat = inside & (rb == ra) & (ra * ua <= pw * (1.0 + SLACK))
        shell = np.where(flat, ia, sp.locate(inner))
        u, du = sp.slowness(shell, inner, w)
        eps = self.epsilon(inner)
        # Inside a shell the level surface through a point is (2/3) r eps P2
        # below the point's label, so u changes by u'(r) r (2/3) eps P2.  A
        # diffracted leg rides its boundary instead: r u dphi with r moving
        # by -(2/3) r eps P2, i.e. -(2/3) eps u P2 per km of arc.  (A segment
        # at one radius is such a leg only where the ray runs horizontally
        # at both ends, r u = p; a chord across a turning point that was
        # not sampled has equal ends too, but steep ones.)
        g = np.where(flat, -eps * u, inner * eps * du) * (2.0 / 3.0)
        return np.where(inside, g * ds, 0.0), phi + np.arctan2(y, x)

    def _check_events(self, r, path, starts, inside, ia, ib, ua, pw, events):
        """Every sample where the ray crosses a speed jump, or turns back at
        one (or at the surface) with q > 0, needs an event: its boundary
        term would be lost without one."""
        sp = self.speeds
        j = np.flatnonzero(inside[:-1] & inside[1:]) + 1       # inner samples
        cross = sp.jumps_between(ib[j - 1], ia[j])
        back = (r[j] - r[j - 1]) * (r[j + 1] - r[j]) < 0.0
        at = sp.at_jump(r[j])
        u = ua[j]
        # (A ray through the centre, p = 0, has a sample at r = 0.)
        steep = u * u - (pw[j] / np.where(r[j] > 0.0, r[j], 1.0)) ** 2 > 1e-6 * u * u
        missing = (cross | (back & at & steep)) & ~np.isin(j, events[0])
        if missing.any():
            k = int(j[np.flatnonzero(missing)[0]])
            m = int(path[k])
            how = "turns back at" if back[missing][0] else "crosses"
            raise _PathError(m, ValueError, f"events: the ray {how} the discontinuity at "
                             f"radius {r[k]:g} km at sample {k - int(starts[m])}, and no "
                             f"event marks it")

    def _check_rays(self, path, starts, inside, ra, rb, ua, ub, pw, ia, ib, w):
        """A wave where it cannot travel (S in the fluid core), a sample
        where p exceeds r/v, or a discontinuity crossed between two samples
        means the path does not belong to this model."""
        sp = self.speeds
        deep = ~np.isfinite(ua) | ~np.isfinite(ub)
        # (Relative, and absolute near p = 0: a ray through the centre
        # passes r = p v, where r/v and p are both rounded near nothing.)
        least = pw * (1 - SLACK) - P_SLACK
        over = (ra * ua < least) | (rb * ub < least)
        jumps = sp.jumps_between(ia, ib)
        bad = inside & (deep | over | jumps)
        if not bad.any():
            return
        j = int(np.flatnonzero(bad)[0])
        k = int(path[j])
        seg = j - int(starts[k])
        if deep[j]:
            shell = ia[j] if not np.isfinite(ua[j]) else ib[j]
            raise _PathError(k, ValueError, f"wave: segment {seg} carries {'PS'[w[j]]} in "
                             f"the shell {sp.radius - sp.top[shell]:g}-"
                             f"{sp.radius - sp.bottom[shell]:g} km deep, where it cannot travel")
        if over[j]:
            rr, uu = (ra[j], ua[j]) if ra[j] * ua[j] < least[j] else (rb[j], ub[j])
            raise _PathError(k, ValueError, f"p = {pw[j]:g} s/rad exceeds r/v = {rr * uu:g} "
                             f"s/rad of {'PS'[w[j]]} at radius {rr:g} km (segment {seg}): "
                             f"no such ray there")
        raise _PathError(k, ValueError, f"radius: segment {seg} runs from {ra[j]:g} to "
                         f"{rb[j]:g} km across a discontinuity without a sample on it")


def _gather(paths, radius):
    """Check the paths and concatenate them into one set of samples."""
    rs, phis, waves, ps, starts, ev_i, ev_r = [], [], [], [], [], [], []
    start = 0
    for k, path in enumerate(paths):
        if not isinstance(path, RayPath):
            raise _PathError(k, TypeError, f"expected a RayPath, got {type(path).__name__}")
        p = path.p
        if isinstance(p, bool) or not isinstance(p, (int, float, np.integer, np.floating)) \
                or not math.isfinite(p) or p < 0.0:
            raise _PathError(k, ValueError, f"p: expected a finite number >= 0 (s/rad), "
                             f"got {p!r}")
        r = _array(k, "radius", path.radius, "f")
        phi = _array(k, "distance", path.distance, "f")
        wave = _array(k, "wave", path.wave, "i")
        n = len(r)
        if n < 2 or len(phi) != n or len(wave) != n - 1:
            raise _PathError(k, ValueError, f"expected radius and distance of one length "
                             f">= 2 and wave one shorter, got {n}, {len(phi)} and {len(wave)}")
        try:
            events = [(int(i), KINDS.index(kind)) for i, kind in path.events]
        except (TypeError, ValueError):
            raise _PathError(k, ValueError, f"events: expected (index, 'transmit' or "
                             f"'reflect') pairs, got {path.events!r}") from None
        for i, kind in events:
            if not 0 < i < n - 1:
                raise _PathError(k, ValueError, f"events: index {i} is not an inner sample "
                                 f"(1..{n - 2})")
            ev_i.append(start + i)
            ev_r.append(kind == 1)
        rs.append(r), phis.append(phi), waves.append(wave), waves.append(np.zeros(1, int))
        ps.append(float(p)), starts.append(start)
        start += n
    r, phi, wave = np.concatenate(rs), np.concatenate(phis), np.concatenate(waves)
    starts = np.array(starts)
    path = np.repeat(np.arange(len(starts)), np.diff(np.r_[starts, start]))
    for what, bad in (("radius", ~(np.isfinite(r) & (r >= 0) & (r <= radius * (1 + 1e-12)))),
                      ("distance", ~np.isfinite(phi)),
                      ("wave", (wave != 0) & (wave != 1))):
        if bad.any():
            j = int(np.flatnonzero(bad)[0])
            k = int(path[min(j, len(path) - 1)])
            value = {"radius": r, "distance": phi, "wave": wave}[what][j]
            allowed = {"radius": f"0..{radius:g} km", "distance": "finite (rad)",
                       "wave": "0 (P) or 1 (S)"}[what]
            raise _PathError(k, ValueError, f"{what}[{j - starts[k]}] = {float(value)!r}: "
                             f"expected {allowed}")
    back = (np.diff(phi) < 0) & (path[:-1] == path[1:])
    if back.any():
        j = int(np.flatnonzero(back)[0])
        k = int(path[j])
        raise _PathError(k, ValueError, f"distance decreases at sample {j + 1 - starts[k]} "
                         f"({float(phi[j])!r} -> {float(phi[j + 1])!r} rad): it must not")
    events = (np.array(ev_i, int), np.array(ev_r, bool))
    return r, phi, wave, path, np.array(ps), starts, events


def _array(k, what, value, kind):
    a = np.asarray(value)
    if a.ndim != 1 or a.dtype.kind not in ("iu" if kind == "i" else "iuf"):
        raise _PathError(k, TypeError, f"{what}: expected a 1-D array of "
                         f"{'integers' if kind == 'i' else 'numbers'}, got "
                         f"{a.ndim}-D {a.dtype}")
    return a.astype(int if kind == "i" else float, copy=False)


def _choose_gm(gm, mass):
    if gm == "model":
        return G * mass
    if gm == "earth":
        return GM_EARTH
    if isinstance(gm, (int, float)) and not isinstance(gm, bool) and 1e13 < gm < 1e16:
        return float(gm)
    raise ValueError(f"gm: expected 'model', 'earth' or m^3/s^2 (1e13..1e16), got {gm!r}")


def _density_layers(model, density):
    """(r_bottom, r_top, rho_bottom, rho_top) from the centre up, km and
    g/cm3, and the name of the model they come from."""
    source = model if density is None else density
    rho = np.array([s.rho for s in source.shells], float)
    if density is None and not rho.any():
        from . import _earthmodel
        source = _earthmodel.load("prem")
        rho = np.array([s.rho for s in source.shells], float)
    if (rho <= 0.0).any():
        raise ValueError(f"density: the model {source.name!r} gives no density in some "
                         f"shells; give a model that has it everywhere")
    scale = model.radius / source.radius
    layers = [(scale * (source.radius - s.bottom), scale * (source.radius - s.top), rb, rt)
              for s, (rt, rb) in zip(source.shells, rho)]
    return layers[::-1], source.name


def _clairaut(layers, step):
    """Radau's form of Clairaut's equation, from the centre out:

        a deta/da = 6 - eta (eta - 1) - 6 (rho / rhobar) (eta + 1),  eta(0) = 0,
        d ln eps / da = eta / a,

    rhobar the mean density inside a.  eta is continuous across density
    jumps (eps and eps' are).  RK4 in steps of at most `step` km inside each
    layer, where the density is linear in r.  Returns the radii (both sides
    of every boundary), eta and ln eps up to a constant there, and the
    integrals of rho r^2 and rho r^4 (g/cm3 km^3, km^5)."""
    radii, etas, logs = [0.0], [0.0], [0.0]
    eta = log = mass = inertia = 0.0
    for r0, r1, q0, q1 in layers:
        beta = (q1 - q0) / (r1 - r0)
        alpha = q0 - beta * r0

        def rates(a, eta):
            if a == 0.0:
                return 0.0, 0.0
            inner = mass + alpha * (a ** 3 - r0 ** 3) / 3.0 + beta * (a ** 4 - r0 ** 4) / 4.0
            ratio = (alpha + beta * a) * a ** 3 / (3.0 * inner)
            return (6.0 - eta * (eta - 1.0) - 6.0 * ratio * (eta + 1.0)) / a, eta / a

        n = max(2, math.ceil((r1 - r0) / step))
        h = (r1 - r0) / n
        for k in range(n):
            a = r0 + k * h
            k1 = rates(a, eta)
            k2 = rates(a + h / 2, eta + h / 2 * k1[0])
            k3 = rates(a + h / 2, eta + h / 2 * k2[0])
            k4 = rates(a + h, eta + h * k3[0])
            eta += h / 6 * (k1[0] + 2 * k2[0] + 2 * k3[0] + k4[0])
            log += h / 6 * (k1[1] + 2 * k2[1] + 2 * k3[1] + k4[1])
            radii.append(r0 + (k + 1) * h), etas.append(eta), logs.append(log)
        mass += alpha * (r1 ** 3 - r0 ** 3) / 3.0 + beta * (r1 ** 4 - r0 ** 4) / 4.0
        inertia += alpha * (r1 ** 5 - r0 ** 5) / 5.0 + beta * (r1 ** 6 - r0 ** 6) / 6.0
        radii[-1] = r1
    return np.array(radii), np.array(etas), np.array(logs), mass, inertia
