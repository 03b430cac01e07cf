"""The ray shooter (the travel-time oracle) against closed forms and physics
that need no solver: straight chords in a homogeneous sphere, a planet whose
slowness is a power of the radius, reciprocity, the depth phase's vertical
time, and a brute-force count of a small triplication loop."""

import math
import os

import numpy as np
import pytest

import ray_shooter as rs

HERE = os.path.dirname(os.path.abspath(__file__))
AK135 = os.path.join(HERE, os.pardir, "seiskernels", "models", "ak135.nd")
R = 6371.0
V = 8.0


def core(top):
    """A fluid outer core and a solid inner core below depth `top`."""
    return [(top, 9.0, 0.0), (top + 500.0, 9.5, 0.0), (top + 500.0, 11.0, 3.5), (R, 11.2, 3.6)]


@pytest.fixture(scope="module")
def sphere():
    """Speed 8 km/s down to 5371 km: rays are straight chords above the core."""
    return rs.planet_from_nodes([(0.0, V, 4.5), (5371.0, V, 4.5)] + core(5371.0), "sphere")


@pytest.fixture(scope="module")
def power():
    """Slowness eta = eta_R (r / R)**2 (v = 8 R / r), as nodes 1 km apart:
    the speeds linear in depth between them stand about 1e-6 off the power
    law in distance (2 km apart, 3e-6), which bounds the tolerances below."""
    depth = np.linspace(0.0, R / 2, 3186)
    nodes = [(d, V * R / (R - d), 0.55 * V * R / (R - d)) for d in depth]
    return rs.planet_from_nodes(nodes + core(R / 2), "power")


@pytest.fixture(scope="module")
def ak135():
    return rs.read_model(AK135)


def chord(a, b, angle):
    return math.sqrt(a * a + b * b - 2 * a * b * math.cos(angle))


@pytest.mark.parametrize("depth", [0.0, 150.0, 1200.0])
def test_homogeneous_sphere_rays_are_chords(sphere, depth):
    """Every P arrival, up-going or diving, takes the straight chord: one ray
    per distance, at the time chord / v, with p = R sin(incidence) / v."""
    shooter = rs.Shooter.of(sphere, depth)
    distances = np.array([0.3, 1.0, 7.0, 45.0, 90.0, 140.0])
    found = shooter.arrivals("P", distances)
    assert [a.distance for a in found] == list(distances)
    for a in found:
        length = chord(R - depth, R, math.radians(a.distance))
        assert a.time == pytest.approx(length / V, abs=1e-9)
        # the chord meets the surface at sin(i) = (R - h) sin(D) / length
        sin_i = (R - depth) * math.sin(math.radians(a.distance)) / length
        assert a.p == pytest.approx(R * sin_i / V, rel=1e-9)
        assert a.incidence == pytest.approx(math.degrees(math.asin(sin_i)), abs=1e-6)
        assert a.member == ("up" if a.takeoff > 90 else "diving")


def test_homogeneous_sphere_surface_source_closed_form(sphere):
    distances = np.linspace(1.0, 150.0, 12)
    found = rs.Shooter.of(sphere, 0.0).arrivals("P", distances)
    expected = 2 * R * np.sin(np.radians(distances) / 2) / V
    assert np.allclose([a.time for a in found], expected, rtol=0, atol=1e-9)


@pytest.mark.parametrize("depth", [0.0, 400.0])
def test_power_law_slowness_closed_forms(power, depth):
    """eta = c r**2: a ray from radius a up to the surface, turning or not,
    has X = (acos(p / eta_R) +- acos(p / eta_a)) / 2 and
    T = (sqrt(eta_R**2 - p**2) +- sqrt(eta_a**2 - p**2)) / 2 (+ once it turned)."""
    shooter = rs.Shooter.of(power, depth)
    eta_r, eta_a = R / V, (R - depth) ** 2 / (R * V)
    p = eta_a * np.array([0.35, 0.6, 0.9, 0.999])
    for member, sign in (("diving", 1.0), ("up", -1.0))[:2 if depth else 1]:
        path = next(x for x in shooter.paths("P") if x.member == member)
        T, X = shooter.evaluate(path, p)
        assert np.allclose(X, (np.arccos(p / eta_r) + sign * np.arccos(p / eta_a)) / 2,
                           rtol=0, atol=1.5e-6)
        assert np.allclose(T, (np.sqrt(eta_r**2 - p**2) + sign * np.sqrt(eta_a**2 - p**2)) / 2,
                           rtol=0, atol=6e-4)


# phase, the phases whose sum it is at every ray parameter: (other, factor);
# the range of p (s/rad) where all of them have rays from the surface
SUMS = [
    ("PP", [("P", 2.0)], (260.0, 1000.0)),
    ("PcP", [("PcS", 2.0), ("ScS", -1.0)], (1.0, 250.0)),         # P down = P up
    ("SKKS", [("SKS", 2.0), ("ScS", -1.0)], (120.0, 430.0)),
    ("PKKP", [("PKP", 2.0), ("PcP", -1.0)], (120.0, 250.0)),
    ("PKIKP", [("PKiKP", 1.0), ("PKIIKP", 0.5), ("PKiKP", -0.5)], (1.0, 110.0)),
    ("SKJKS", [("SKiKS", 1.0), ("SKJJKS", 0.5), ("SKiKS", -0.5)], (1.0, 100.0)),
]


@pytest.mark.parametrize("name, parts, bounds", SUMS)
def test_phase_is_the_sum_of_its_legs(ak135, name, parts, bounds):
    """Times and distances of compound phases add up from simpler ones at one
    ray parameter: each leg is integrated on its own, whatever the name."""
    shooter = rs.Shooter.of(ak135, 0.0)
    p = np.linspace(*bounds, 17)

    def one(phase):
        path = next(x for x in shooter.paths(phase) if x.member in ("ray", "diving"))
        return np.array(shooter.evaluate(path, p))

    assert np.allclose(one(name), sum(k * one(other) for other, k in parts), rtol=0, atol=1e-9)


def test_depth_phase_is_its_up_leg_plus_the_phase_from_the_surface(ak135):
    """sP from 300 km, S turning above the source included: the s leg from the
    source to the surface, then P from the surface."""
    deep, surface = rs.Shooter.of(ak135, 300.0), rs.Shooter.of(ak135, 0.0)
    q = np.linspace(300.0, 1000.0, 15)
    sp = deep.evaluate(deep.paths("sP")[0], q)
    up = deep.leg_times([rs.Leg("S", 300.0, 0.0, "up", False)], q)
    p0 = surface.evaluate(next(x for x in surface.paths("P") if x.member == "diving"), q)
    assert np.all(np.isfinite(sp))
    assert np.allclose(sp, [up[0][0] + p0[0], up[1][0] + p0[1]], rtol=0, atol=1e-9)


@pytest.mark.parametrize("depth", [0.0, 35.0, 300.0, 600.0])
def test_depth_phase_at_zero_distance_adds_twice_the_vertical_time(ak135, depth):
    """pPcP - PcP and sScS - ScS at 0 deg: both rays vertical, the depth phase
    goes up to the surface and back down to the source first."""
    shooter = rs.Shooter.of(ak135, depth)
    for wave, phase in (("P", "PcP"), ("S", "ScS")):
        direct = shooter.arrivals(phase, [0.0])
        depth_phase = shooter.arrivals(wave.lower() + phase, [0.0])
        if depth == 0.0:
            assert depth_phase == []          # no ray leaves a surface source upward
            continue
        (a,), (b,) = direct, depth_phase
        assert a.p == b.p == 0.0
        assert b.time - a.time == pytest.approx(2 * ak135.vertical_time(wave, 0.0, depth),
                                                abs=1e-9)


RECIPROCAL = [("P", "P"), ("S", "S"), ("PcP", "PcP"), ("PcS", "ScP"), ("PKP", "PKP"),
              ("SKS", "SKS"), ("PKS", "SKP"), ("PP", "PP"), ("PKIKP", "PKIKP")]


@pytest.mark.parametrize("depth", [35.0, 250.0])
@pytest.mark.slow
def test_reciprocity(ak135, depth):
    """A source at depth h and a receiver at the surface, against a source at
    the surface and a receiver at h, with the phase read backwards."""
    distances = np.array([2.0, 15.0, 23.0, 47.0, 95.0, 143.0, 160.0])
    down = rs.Shooter.of(ak135, depth, 0.0)
    up = rs.Shooter.of(ak135, 0.0, depth)
    for there, back in RECIPROCAL:
        a = [(x.distance, round(x.time, 6), round(x.ray_param, 6)) for x in down.arrivals(there, distances)]
        b = [(x.distance, round(x.time, 6), round(x.ray_param, 6)) for x in up.arrivals(back, distances)]
        assert a == b, there


def test_finds_the_small_loop_of_s_at_210_km(ak135):
    """S from the surface at 21 deg in ak135: the 210 km discontinuity's
    jump in Vs (4.518 to 4.523 km/s) makes a loop of about 0.2 deg.  Every
    ray a dense uniform scan of p finds there, the shooter finds."""
    shooter = rs.Shooter.of(ak135, 0.0)
    path = next(x for x in shooter.paths("S") if x.member == "diving")
    p = np.linspace(23.5, 24.0, 20001) * rs.DEG
    _, X = shooter.evaluate(path, p)
    f = np.degrees(X) - 21.0
    scan = p[:-1][f[:-1] * f[1:] < 0] / rs.DEG
    found = [a.ray_param for a in shooter.arrivals("S", [21.0])
             if a.member == "diving" and 23.5 < a.ray_param < 24.0]
    assert len(scan) == 3 and len(found) == 3
    assert np.allclose(sorted(found), scan, atol=1e-4)
    assert max(shooter.ends("S")[(shooter.ends("S") > 20.5) & (shooter.ends("S") < 21.5)]) > 21.0


# name, source depth, legs as (wave, start, end, direction, turning)
LEGS = [
    ("PcP", 100.0, [("P", 100, 2891.5, "down", 0), ("P", 2891.5, 0, "up", 0)]),
    ("sP", 100.0, [("S", 100, 0, "up", 0), ("P", 0, 0, "down", 1)]),
    ("P410s", 100.0, [("P", 100, 410, "down", 1), ("S", 410, 0, "up", 0)]),
    ("P410s", 600.0, [("P", 600, 410, "down", 1), ("S", 410, 0, "up", 0)]),
    ("P^410P", 0.0, [("P", 0, 410, "down", 1), ("P", 410, 0, "down", 1)]),
    ("Pv410P", 0.0, [("P", 0, 410, "down", 0), ("P", 410, 0, "up", 0)]),
    ("Pv410P", 600.0, None),                   # cannot reach the 410 from above
    ("P410S", 0.0, [("P", 0, 410, "down", 0), ("S", 410, 0, "down", 1)]),
    ("PmS", 10.0, [("P", 10, 35, "down", 0), ("S", 35, 0, "up", 0)]),
    ("PmP", 100.0, None),                      # a source below the Moho
    ("PmP", 35.0, None),                       # a source on it leaves downward below it
    ("Pms", 100.0, [("P", 100, 35, "down", 1), ("S", 35, 0, "up", 0)]),
    ("PKJKP", 0.0, [("P", 0, 2891.5, "down", 0), ("K", 2891.5, 5153.5, "down", 0),
                    ("J", 5153.5, 5153.5, "down", 1), ("K", 5153.5, 2891.5, "up", 0),
                    ("P", 2891.5, 0, "up", 0)]),
    ("P'P'", 0.0, [("P", 0, 2891.5, "down", 0), ("K", 2891.5, 2891.5, "down", 1),
                   ("P", 2891.5, 0, "up", 0)] * 2),
    ("pPdiff", 50.0, [("P", 50, 0, "up", 0), ("P", 0, 2891.5, "down", 0),
                      ("P", 2891.5, 0, "up", 0)]),
]


@pytest.mark.parametrize("name, depth, legs", LEGS)
def test_phase_names_as_legs(ak135, name, depth, legs):
    got = rs.Phase(name, ak135).paths(depth)
    want = legs and [rs.Leg(w, float(a), float(b), d, bool(t)) for w, a, b, d, t in legs]
    assert (got and list(got[0].legs)) == (want or [])


@pytest.mark.parametrize("name, message", [
    ("PXP", "unknown letter"), ("KP", "entered from the mantle"), ("PK", "end in the mantle"),
    ("PcK", "between mantle legs"), ("P300P", "no discontinuity within 10 km"),
    ("Pp", "lower-case"), ("P^410p", "goes down"), ("pdiff", "cannot be diffracted"),
    ("PIP", "cannot meet"),
])
def test_impossible_names_are_errors(ak135, name, message):
    with pytest.raises(rs.PhaseError, match=message):
        rs.Phase(name, ak135)


def test_readers_agree(ak135, tmp_path):
    """.tvel (no labels: the core from Vs, the Moho from Vp >= 7.6) and .nd."""
    rows = [(d, a, b) for d, a, b in zip(ak135.depth, ak135.vp, ak135.vs)]
    tvel = tmp_path / "m.tvel"
    tvel.write_text("m - P\nm - S\n" + "".join(f"{d} {a} {b} 3.0\n" for d, a, b in rows))
    other = rs.read_model(str(tvel))
    for field in ("cmb", "icb", "moho", "discontinuities"):
        assert getattr(other, field) == getattr(ak135, field)
    assert other.discontinuity(405) == 410.0 and other.discontinuity(15) == 20.0
    assert ak135.vertical_time("P", 0.0, 35.0) == pytest.approx(20 / 5.8 + 15 / 6.5, abs=1e-12)
