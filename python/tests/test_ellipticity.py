"""Tests of the ellipticity of the level surfaces (Clairaut's equation) and of
the travel-time coefficients tau0, tau1, tau2 against independent oracles:

- a homogeneous planet, where the flattened Earth's time between two points
  on its surface is a chord over v;
- the equatorial plane, where the flattened Earth is a sphere whose level
  surface a lies at r = a (1 + eps(a)/3): the time change there is the
  change of tau(p) = T - p Delta at fixed p in that stretched sphere,
  integrated here by a tau-p quadrature of its own;
- reciprocity on the globe, with points placed by the coordinate module.

Run as a script it prints tau0, tau1, tau2 of ak135 for a few rays."""

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from seiskernels import _earthmodel as em, _ellipticity as el, _geo as geo

R = 6371.0
GX, GW = np.polynomial.legendre.leggauss(8)
GX, GW = 0.5 * (GX + 1.0), 0.5 * GW


def homogeneous(v=8.0, rho=5.5, radius=R):
    return em.Model("homogeneous", [em.Shell(0.0, radius, (v, v), (v / 1.8, v / 1.8),
                                             (rho, rho))], radius / 2, 3 * radius / 4)


class Sphere:
    """A model's speeds as functions of the level-surface label a (km): in
    the sphere (stretch 0) or in the flattened Earth's equatorial plane,
    where the level surface a lies at r = a (1 + stretch eps(a) / 3)."""

    def __init__(self, model, ell=None, stretch=0.0):
        self.shells = [(R - s.top, R - s.bottom, s) for s in model.shells]
        self.ell, self.stretch = ell, stretch
        self.bounds = [R - d for d in model.discontinuities]

    def r(self, a):
        return a if not self.stretch else a * (1.0 + self.stretch * self.ell.epsilon(a) / 3.0)

    def dr(self, a):
        if not self.stretch:
            return np.ones_like(a)
        h = 1e-3
        return (self.r(a + h) - self.r(a - h)) / (2 * h)

    def zeta(self, shell, a, wave):          # r u = r / v
        return self.r(a) / shell.speed(R - a, wave)

    def leg(self, p, wave, hi, lo, turns, dmax):
        """Labels, distance and time of a leg from `hi` down to `lo` (or
        its turning point), by Gauss-Legendre in pieces of each shell; on a
        turning leg in y = sqrt(a - a_turn), which takes out the turning
        point's singularity in every shell, not only the one it lies in."""
        pieces = [(min(t, hi), max(b, lo), s) for t, b, s in self.shells
                  if min(t, hi) > max(b, lo)]
        a_t = 0.0
        if turns:
            k = next((k for k, (t, b, s) in enumerate(pieces)
                      if self.zeta(s, b, wave) <= p * (1 + 1e-9)), len(pieces) - 1)
            top, bot, shell = pieces[k]
            a0, a1 = bot, top                # bisect r u = p
            for _ in range(60):
                mid = 0.5 * (a0 + a1)
                a0, a1 = (mid, a1) if self.zeta(shell, mid, wave) < p else (a0, mid)
            a_t = a1 if self.zeta(shell, bot, wave) < p * (1 - 1e-9) else bot
            pieces = pieces[:k] + [(top, a_t, shell)]
        labels, dist, time = [pieces[0][0]], [0.0], [0.0]
        for top, bot, shell in pieces:
            count = math.ceil((top - bot) / dmax)
            if turns:
                y = np.linspace(math.sqrt(top - a_t), math.sqrt(bot - a_t),
                                count + 1 if bot > a_t else max(8, 2 * count) + 1)
                edges = a_t + y ** 2
            else:
                y = edges = np.linspace(top, bot, count + 1)
            y0, y1 = y[:-1, None], y[1:, None]
            yy = y0 + (y1 - y0) * GX
            a, jac = (a_t + yy ** 2, 2 * yy) if turns else (yy, np.ones_like(yy))
            rr, zz = self.r(a), self.zeta(shell, a, wave)
            eta = np.sqrt(np.maximum(zz * zz - p * p, 0.0))
            common = (y0 - y1) * GW * jac * self.dr(a) / (rr * eta)
            dist += list(dist[-1] + np.cumsum((p * common).sum(1)))
            time += list(time[-1] + np.cumsum((zz * zz * common).sum(1)))
            labels += list(edges[1:])
        return np.array(labels), np.array(dist), np.array(time)

    def ray(self, p, legs, dmax=10.0):
        """The RayPath (in the sphere's radii), its distance and time."""
        radius, dist, time, wave, events, t_end = [], [], [], [], [], 0.0
        last = None
        for leg in legs:
            if leg[0] == "diff":           # along the boundary below, r u = p
                phi = np.linspace(0.0, leg[1], 11)[1:]
                radius += [radius[-1]] * 10
                dist += list(dist[-1] + phi)
                wave += [wave[-1]] * 10
                t_end += p * leg[1]
                continue
            name, hi, lo, turns, up = leg
            a, d, t = self.leg(p, "PS".index(name), hi, lo, turns, dmax)
            if up:
                a, d, t = a[::-1], d[-1] - d[::-1], t[-1] - t[::-1]
            if radius:                     # no event where the ray turns
                if up == last[0]:
                    events.append((len(radius) - 1, "transmit"))
                elif not (up and last[1]):
                    events.append((len(radius) - 1, "reflect"))
                a, d = a[1:], d[1:] + dist[-1]
            radius += list(a)
            dist += list(d)
            wave += ["PS".index(name)] * (len(a) - (0 if len(radius) > len(a) else 1))
            t_end += t[-1]
            last = (up, turns)
        # Every other sample on a discontinuity that the ray goes through
        # is a crossing.
        radius = np.array(radius)
        through = np.r_[False, np.diff(radius)[:-1] * np.diff(radius)[1:] > 0, False]
        marked = {i for i, _ in events}
        events += [(int(i), "transmit") for i in np.flatnonzero(
            np.isin(radius, self.bounds) & through) if i not in marked]
        path = el.RayPath(p, radius, np.array(dist), np.array(wave), sorted(events))
        return path, dist[-1], t_end


def phases(model):
    """Legs (wave, top, bottom, turns, upwards) of a few phases; `h` the
    source's depth."""
    rc, ri = R - model.cmb, R - model.icb

    def down_up(wave, top, bottom, turns, h=0.0):
        return [(wave, top - h, bottom, turns, False), (wave, top, bottom, turns, True)]

    return {
        "P": lambda h: down_up("P", R, rc, True, h),
        "pP": lambda h: [("P", R, R - h, False, True)] + down_up("P", R, rc, True),
        "PcP": lambda h: down_up("P", R, rc, False, h),
        "PP": lambda h: down_up("P", R, rc, True, h) + down_up("P", R, rc, True),
        "PKIKP": lambda h: [("P", R - h, rc, False, False), ("P", rc, ri, False, False),
                            ("P", ri, 0.0, True, False), ("P", ri, 0.0, True, True),
                            ("P", rc, ri, False, True), ("P", R, rc, False, True)],
        "SKS": lambda h: [("S", R - h, rc, False, False), ("P", rc, ri, True, False),
                          ("P", rc, ri, True, True), ("S", R, rc, False, True)],
        "Pdiff": lambda h: [("P", R - h, rc, True, False), ("diff", 0.2),
                            ("P", R, rc, True, True)],
    }


@pytest.fixture(scope="module")
def ak135():
    model = em.load("ak135")
    return model, el.Ellipticity(model)


# -- the level surfaces -----------------------------------------------------------

@pytest.mark.parametrize("kind", ["homogeneous", "two layers", "prem", "ak135"])
def test_clairaut(kind):
    """eps against closed forms and published values, and Clairaut's
    theorem J2 = (2 eps_s - m) / 3 against J2 = (C - A) / M R^2 summed over
    the flattened level surfaces of the density."""
    if kind == "homogeneous":
        model = homogeneous()
    elif kind == "two layers":
        model = em.Model("two layers", [em.Shell(0, 3000, (8, 8), (4, 4), (4.0, 4.0)),
                                        em.Shell(3000, R, (8, 8), (4, 4), (11.0, 11.0))], 1, 2)
    else:
        model = em.load(kind)
    ell = el.Ellipticity(model, gm="model")
    if kind == "homogeneous":            # Maclaurin, to first order: 5 m / 4
        assert np.allclose(ell.epsilon([0.0, 3000.0, R]), 1.25 * ell.m, rtol=1e-9)
    if kind == "prem":                   # Huang et al. 2001: 0.002547 at the CMB
        earth = el.Ellipticity(model, gm="earth")
        assert abs(earth.epsilon(R - model.cmb) - 0.002547) < 1e-6
        assert abs(ell.epsilon(R - model.cmb) - 0.002547) < 1e-6
        # Darwin-Radau: C/MR^2 = 2/3 (1 - 2/5 sqrt(1 + eta_s)), near-exact for the Earth
        assert abs(2 / 3 * (1 - 0.4 * math.sqrt(1 + ell.surface_eta)) / ell.moment - 1) < 3e-4
    # Gauss-Legendre in each shell, where the density is linear.
    top, bot = (np.array([[R - getattr(s, k)] for s in model.shells]) for k in ("top", "bottom"))
    rho_top, rho_bot = (np.array([[s.rho[k]] for s in model.shells]) for k in (0, 1))
    a = bot + (top - bot) * GX
    rho = rho_bot + (rho_top - rho_bot) * GX
    mass = ((top - bot) * GW * rho * a * a).sum()
    c_a = 2 / 15 * ((top - bot) * GW * rho * a ** 4 * ell.epsilon(a) * (5 + ell.eta(a))).sum()
    j2 = c_a / (mass * R * R)
    assert abs(j2 / ((2 * ell.surface_epsilon - ell.m) / 3) - 1) < 2e-4


def test_surface_choices(ak135):
    model, ell = ak135
    flat = el.Ellipticity(model, surface="flattening")
    assert flat.surface_epsilon == pytest.approx(1 / 298.257223563)
    # The interior scales with the surface value.
    assert np.allclose(flat.epsilon([1000.0, 4000.0]) / ell.epsilon([1000.0, 4000.0]),
                       flat.surface_epsilon / ell.surface_epsilon)
    iasp = el.Ellipticity(em.load("iasp91"))
    assert iasp.density_model == "prem"


# -- the coefficients ---------------------------------------------------------------

def chord(distance, v=8.0, n=101):
    s = np.linspace(0.0, 1.0, n)[:, None]
    x = (1 - s) * [R, 0.0] + s * [R * math.cos(distance), R * math.sin(distance)]
    return el.RayPath(R * math.cos(distance / 2) / v, np.hypot(*x.T),
                      np.arctan2(x[:, 1], x[:, 0]), np.zeros(n - 1, int), [])


def chord_time(colatitude, azimuth, distance, eps, v=8.0):
    """Exact time along the chord between two points on the ellipsoid
    r = R [1 - (2/3) eps P2(cos theta)], less the sphere's."""
    th, ze = math.radians(colatitude), math.radians(azimuth)
    src = np.array([math.sin(th), 0.0, math.cos(th)])
    north = np.array([-math.cos(th), 0.0, math.sin(th)])
    sta = math.cos(distance) * src + math.sin(distance) * (
        math.cos(ze) * north + math.sin(ze) * np.array([0.0, 1.0, 0.0]))

    def on_surface(x):
        return R * (1 - 2 / 3 * eps * (1.5 * x[2] ** 2 - 0.5)) * x
    return (np.linalg.norm(on_surface(sta) - on_surface(src)) - 2 * R * math.sin(distance / 2)) / v


@pytest.mark.parametrize("colatitude, azimuth, distance", [
    (0.0, 0.0, 0.3), (30.0, 40.0, 0.5), (120.0, 200.0, 1.5), (75.0, 300.0, 2.5),
    (90.0, 90.0, 3.0), (170.0, 10.0, 1.0)])
def test_chord(colatitude, azimuth, distance):
    """Homogeneous planet: the first-order correction matches the exact
    chord to O(eps^2), and its centred difference to O(eps^3)."""
    path = chord(distance)
    errors = []
    for eps in (0.004, 0.002):
        ell = el.Ellipticity(homogeneous(), surface=eps)
        dt = el.correction(*ell.coefficients(path), colatitude, azimuth)
        exact = chord_time(colatitude, azimuth, distance, eps)
        centred = (exact - chord_time(colatitude, azimuth, distance, -eps)) / 2
        assert dt == pytest.approx(centred, rel=3 * eps ** 2, abs=1e-12)
        errors.append(dt - exact)
    # (On the equator the ellipsoid is a circle, and the error vanishes.)
    sphere = 2 * R * math.sin(distance / 2) / 8.0
    assert abs(errors[0]) < 0.004 ** 2 * sphere
    assert abs(errors[0] - 4 * errors[1]) < 1e-2 * abs(errors[0]) + 1e-12


EQUATOR = [  # phase, source depth (km), p (s/rad)
    ("P", 0.0, 500.0), ("P", 0.0, 760.0), ("P", 500.0, 600.0), ("pP", 500.0, 600.0),
    ("PcP", 0.0, 250.0), ("PP", 0.0, 700.0), ("PKIKP", 0.0, 100.0), ("PKIKP", 300.0, 40.0),
    ("SKS", 0.0, 300.0), ("Pdiff", 0.0, None)]


@pytest.mark.parametrize("phase, depth, p", EQUATOR)
def test_equator(ak135, phase, depth, p):
    """On the equator with an eastward ray the flattened Earth is the sphere
    stretched level by level; the correction is the change of tau at fixed
    p there (first-order Fermat), centred to cancel eps^2."""
    model, _ = ak135
    # The sphere stretched level by level carries a buried source with its
    # level surface.
    ell = el.Ellipticity(model, depths="level")
    legs = phases(model)[phase](depth)
    taus = []
    for stretch in (0.0, 1.0, -1.0):
        sphere = Sphere(model, ell, stretch)
        q = p
        if phase == "Pdiff":                 # grazing the core from above
            shell = model.shell_at(model.cmb - 1e-9)
            q = sphere.zeta(shell, R - model.cmb, 0)
        path, dist, time = sphere.ray(q, legs)
        if stretch == 0.0:
            ref, total = path, dist
        taus.append(time - q * dist + q * total)
    expected = (taus[1] - taus[2]) / 2
    dt = el.correction(*ell.coefficients(ref), 90.0, 90.0)
    assert dt == pytest.approx(expected, abs=1e-4)


def reverse(path):
    n = len(path.radius)
    return el.RayPath(path.p, path.radius[::-1], path.distance[-1] - path.distance[::-1],
                      path.wave[::-1], [(n - 1 - i, k) for i, k in path.events])


@settings(max_examples=40, deadline=None)
@given(st.floats(-89.9, 89.9), st.floats(-180, 180), st.floats(0, 360),
       st.sampled_from([("P", 500.0, 600.0), ("PcP", 0.0, 250.0), ("SKS", 0.0, 300.0),
                        ("PKIKP", 300.0, 40.0)]))
def test_reciprocity(ak135_paths, lat, lon, azimuth, case):
    """Swapping source and station (the ray run backwards, a source at depth
    becoming a receiver at depth) leaves the corrected time unchanged."""
    ell, path = ak135_paths[case]
    lat2, lon2 = geo.destination(lat, lon, math.degrees(path.distance[-1]), azimuth)
    _, az, baz = geo.distance_azimuth(lat, lon, lat2, lon2)
    there = el.correction(*ell.coefficients(path), geo.source_colatitude(lat), az)
    back = el.correction(*ell.coefficients(reverse(path)), geo.source_colatitude(lat2), baz)
    assert there == pytest.approx(back, abs=1e-9)


@pytest.fixture(scope="module")
def ak135_paths(ak135):
    model, ell = ak135
    return {case: (ell, Sphere(model).ray(case[2], phases(model)[case[0]](case[1]))[0])
            for case in [("P", 500.0, 600.0), ("PcP", 0.0, 250.0), ("SKS", 0.0, 300.0),
                         ("PKIKP", 300.0, 40.0)]}


def test_sampling_and_many(ak135):
    """Coarse paths give nearly the same coefficients (the quadrature along
    chords converges), and many paths at once give each path's own."""
    model, ell = ak135
    sphere = Sphere(model)
    fine = [sphere.ray(p, phases(model)[ph](0.0), dmax=5.0)[0]
            for ph, p in (("P", 500.0), ("PKIKP", 100.0), ("PP", 700.0))]
    coarse = [sphere.ray(p, phases(model)[ph](0.0), dmax=50.0)[0]
              for ph, p in (("P", 500.0), ("PKIKP", 100.0), ("PP", 700.0))]
    many = np.array(ell.coefficients_many((fine + coarse) * 4)).T     # in several chunks
    one = np.array([ell.coefficients(path) for path in fine + coarse])
    assert np.allclose(many, np.tile(one, (4, 1)), rtol=1e-12, atol=1e-15)
    assert np.allclose(one[:3], one[3:], atol=1e-4)


BAD_PATHS = [  # change to the path, error words
    (dict(p=-1.0), "p: expected a finite number >= 0"),
    (dict(wave=np.zeros(3, int)), "wave one shorter"),
    (dict(radius="abc"), "radius: expected a 1-D array"),
    (dict(events=[(0, "reflect")]), "index 0 is not an inner sample"),
    (dict(events=[(5, "bounce")]), "events: expected (index, 'transmit' or 'reflect')"),
    (dict(distance=None), "distance: expected a 1-D array"),
]


@pytest.mark.parametrize("change, words", BAD_PATHS)
def test_bad_paths(ak135, change, words):
    model, ell = ak135
    path = chord(1.0)._replace(**change)
    with pytest.raises((TypeError, ValueError)) as err:
        ell.coefficients(path)
    assert words in str(err.value)


def test_paths_that_do_not_fit(ak135):
    """A path that cannot be a ray of the model is named, with its sample."""
    model, ell = ak135
    sphere = Sphere(model)
    pkikp = sphere.ray(100.0, phases(model)["PKIKP"](0.0))[0]
    s_in_core = pkikp._replace(wave=np.ones(len(pkikp.wave), int))
    first = [i for i, _ in pkikp.events].index(np.argmax(pkikp.radius == R - model.cmb))
    cut = pkikp.events[first][0]             # the sample on the core-mantle boundary
    no_sample = pkikp._replace(
        radius=np.delete(pkikp.radius, cut), distance=np.delete(pkikp.distance, cut),
        wave=np.delete(pkikp.wave, cut),
        events=[(i - (i > cut), k) for i, k in pkikp.events if i != cut])
    cases = [
        (no_sample, "across a discontinuity without a sample"),
        (pkikp._replace(events=[e for e in pkikp.events if e[0] != cut]),
         "crosses the discontinuity at radius 3479.5"),
        (pkikp._replace(wave=np.ones(len(pkikp.wave), int)),
         "carries S in the shell 2891.5-2939.33 km deep"),
        (pkikp._replace(p=900.0), "p = 900 s/rad exceeds r/v"),
        (pkikp._replace(events=[(i, "reflect") for i, _ in pkikp.events]),
         "'reflect' at sample"),
    ]
    for path, words in cases:                # the 21st path, in a later chunk
        with pytest.raises(ValueError) as err:
            ell.coefficients_many([pkikp] * 20 + [path])
        assert str(err.value).startswith("paths[20]: ") and words in str(err.value)


def table(model_name="ak135"):
    """tau0, tau1, tau2 of P at 30, 60 and 90 degrees and PKIKP at 150 from
    the surface: p found by bisection on this file's own distances."""
    model = em.load(model_name)
    ell = el.Ellipticity(model)
    sphere = Sphere(model)
    rows = []
    for phase, degrees, lo, hi in (("P", 30.0, 255.0, 600.0), ("P", 60.0, 255.0, 600.0),
                                   ("P", 90.0, 255.0, 600.0), ("PKIKP", 150.0, 0.0, 160.0)):
        legs = phases(model)[phase](0.0)
        for _ in range(50):
            p = 0.5 * (lo + hi)
            if sphere.ray(p, legs, dmax=20.0)[1] > math.radians(degrees):
                lo = p
            else:
                hi = p
        path, dist, time = sphere.ray(p, legs, dmax=5.0)
        rows.append((phase, math.degrees(dist), p, time, *ell.coefficients(path)))
    return ell, rows


if __name__ == "__main__":
    ell, rows = table()
    print(f"ak135, surface source; eps(R) = {ell.surface_epsilon:.7f} (1/"
          f"{1 / ell.surface_epsilon:.2f}), density {ell.density_model}")
    print(f"{'phase':6} {'dist':>6} {'p s/rad':>9} {'T s':>9} {'tau0':>8} {'tau1':>8} {'tau2':>8}")
    for phase, dist, p, time, t0, t1, t2 in rows:
        print(f"{phase:6} {dist:6.2f} {p:9.3f} {time:9.3f} {t0:8.4f} {t1:8.4f} {t2:8.4f}")
