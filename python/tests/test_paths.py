"""Tests of ray paths and pierce points against oracles that do not share the
code: straight chords, Snell's law and time = length / speed in a planet of
constant speeds; the closed-form ray of a planet whose slowness is a power of
radius; a denser integration for the 1 km chord criterion; the crossings a
phase's passes require; great circles through the source and the station;
and every arrival of a grid of depths, distances and phase families on ak135
landing where and when the calculator says."""

import json
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from seiskernels import _cli, _earthmodel as em, _exact as tau, _geo as geo, _paths
from seiskernels import _phases as phases
from seiskernels._phases import ALL_PHASES
from seiskernels.traveltimes import TravelTimes

RADIUS = 6371.0


@pytest.fixture(scope="module")
def ak135(tmp_path_factory):
    return TravelTimes("ak135", cache=tmp_path_factory.mktemp("cache"))


# --- every arrival lands where and when the calculator says ----------------------

FAMILIES = ALL_PHASES + ("Pn", "Sn", "Pg", "Pdiff", "Sdiff", "pPdiff", "sPdiff", "PKdiffP",
                         "P410s", "P660s", "S660p", "PmP", "SmS", "PmS", "Pms", "Pv410P",
                         "P^410P", "S^660S", "Pv660p", "P410n", "p", "s", "PKPab", "PKPdf")
GRID = np.r_[0.0, 0.7, 2.5, 9.0, 17.3, 28.0, 44.4, 61.0, 83.3, 97.5, 112.0, 131.0, 144.2, 152.6,
             166.0, 177.7, 180.0]


@pytest.mark.parametrize("depth", [0.0, 10.0, 35.0, 120.0, 410.0, 650.0])
def test_every_arrival_lands_on_its_distance_and_time(ak135, depth):
    """The sum of the distance steps is the arrival's distance within 0.001
    deg and the last time its time within 1 ms, for every arrival of every
    family; each path goes from the source to the surface, forward in
    distance and time, inside the planet."""
    found = ak135.paths(depth, GRID, FAMILIES, missing="skip")
    for r in found:
        a, x, d, t = r.arrival, r.distance_deg, r.depth_km, r.time_s
        where = f"{a.phase} at {a.distance} deg from {depth} km"
        assert abs(np.diff(x).sum() - a.travelled) < 1e-3, where
        assert abs(t[-1] - a.time) < 1e-3, where
        assert x[0] == t[0] == 0.0 and d[0] == depth and d[-1] == 0.0, where
        assert (np.diff(x) >= 0).all() and (np.diff(t) >= 0).all(), where
        assert ((d >= 0) & (d <= RADIUS)).all(), where
        assert abs(r.ray_param - a.ray_param) < 1e-4 * a.ray_param + 1e-9, where
    seen = {r.arrival.phase for r in found}
    want = {"Pn", "PmP", "pP", "sP", "PKKP", "P410s", "P'P'", "Pdiff", "PKIKP", "SKKS",
            "PKJKP", "PcPPcP", "P^410P", "P410n"} if depth == 10.0 else {"P", "PKIKP", "SS"}
    assert want <= seen, want - seen


@settings(max_examples=25, deadline=None)
@given(st.floats(0.0, 700.0), st.floats(0.0, 180.0),
       st.sampled_from(["P", "S", "PcP", "ScS", "PKP", "SKS", "PP", "sS", "PKiKP", "ScP"]))
def test_random_rays_land_where_the_calculator_says(ak135, depth, distance, phase):
    for r in ak135.paths(depth, distance, phase, missing="skip"):
        assert abs(r.distance_deg[-1] - r.arrival.travelled) < 1e-3
        assert abs(r.time_s[-1] - r.arrival.time) < 1e-3


def test_exact_arrivals_give_the_same_paths(ak135):
    tables = ak135.paths(300, 95, ["PcP", "SKS", "PKiKP"])
    exact = ak135.paths(300, 95, ["PcP", "SKS", "PKiKP"], exact=True)
    assert [r.arrival.phase for r in tables] == [r.arrival.phase for r in exact]
    for a, b in zip(tables, exact):
        assert abs(a.ray_param - b.ray_param) < 1e-7 * b.ray_param
        assert abs(a.time_s[-1] - b.time_s[-1]) < 1e-5


# --- a planet of constant speeds: straight chords, Snell's law, time = L / v -----

UNIFORM = """0 10.0 5.5 3.0
2891 10.0 5.5 3.0
outer-core
2891 8.0 0 10.0
5150 8.0 0 10.0
inner-core
5150 11.0 3.5 12.0
6371 11.0 3.5 12.0
"""


@pytest.fixture(scope="module")
def uniform(tmp_path_factory):
    folder = tmp_path_factory.mktemp("uniform")
    path = folder / "uniform.nd"
    path.write_text(UNIFORM)
    return TravelTimes(str(path), cache=folder)


def cartesian(distance_deg, depth_km):
    theta, r = np.radians(distance_deg), RADIUS - depth_km
    return np.column_stack([r * np.sin(theta), r * np.cos(theta)])


def cross(a, b):
    return a[..., 0] * b[..., 1] - a[..., 1] * b[..., 0]


SPEEDS = {(0, 0): 10.0, (0, 1): 8.0, (0, 2): 11.0, (1, 0): 5.5, (1, 2): 3.5}


@pytest.mark.parametrize("phase, depth, distance, waves", [
    ("P", 0.0, 40.0, [0]), ("P", 500.0, 75.0, [0]), ("S", 200.0, 30.0, [1]),
    ("PcP", 0.0, 50.0, [0, 0]), ("ScS", 600.0, 20.0, [1, 1]), ("PcS", 100.0, 35.0, [0, 1]),
    ("PKIKP", 0.0, 170.0, [0, 0, 0, 0, 0]), ("SKS", 50.0, 110.0, [1, 0, 1]),
    ("PKJKP", 0.0, 160.0, [0, 0, 1, 0, 0]), ("PP", 0.0, 100.0, [0, 0]),
    ("pP", 300.0, 60.0, [0, 0]), ("sP", 300.0, 60.0, [1, 0]), ("PKiKP", 0.0, 30.0, [0] * 4),
])
def test_uniform_planet_paths_are_straight_chords(uniform, phase, depth, distance, waves):
    """Between boundaries every path is a straight line to 0.01 km; each
    line's distance from the centre over its speed is the ray parameter
    (Snell's law); and the time is the sum of the lengths over the speeds."""
    found = uniform.paths(depth, distance, phase)
    assert found
    for r in found:
        pts = cartesian(r.distance_deg, r.depth_km)
        d = r.depth_km
        cut = np.flatnonzero(np.isin(d, [0.0, 2891.0, 5150.0]))
        ends = np.unique(np.r_[0, cut[(cut > 0) & (cut < len(d) - 1)], len(d) - 1])
        regions = [0 if b <= 2891.0 else 1 if b <= 5150.0 else 2
                   for b in (d[i:j + 1].max() for i, j in zip(ends[:-1], ends[1:]))]
        assert len(ends) - 1 == len(waves) == len(regions)
        p = r.ray_param * 180.0 / math.pi
        time = 0.0
        for (i, j), wave, region in zip(zip(ends[:-1], ends[1:]), waves, regions):
            a, b, inner = pts[i], pts[j], pts[i:j + 1]
            length = np.hypot(*(b - a))
            assert np.abs(cross(b - a, inner - a)).max() / length < 0.01
            v = SPEEDS[wave, region]
            assert abs(abs(cross(a, b)) / length / v - p) < 1e-6 * p + 1e-9
            time += length / v
        assert abs(time - r.time_s[-1]) < 1e-6
        assert abs(time - r.arrival.time) < 1e-3


# --- a planet of power-law slowness: the closed form --------------------------------

@pytest.fixture(scope="module")
def bullen():
    return em.bullen_planet(RADIUS, 3480.0, 1220.0, (8.0, 13.0), (9.0, 10.0), (11.0, 11.0))


def exact_paths(model, depth, phase, degree, tolerance_km=1.0):
    """The paths of a phase's exact arrivals in any model, through the
    module's own steps."""
    found = tau.Earth(model, depth).arrivals(phase, [degree])[0]
    layers = _paths.Layers(model)
    rays = [_paths.Ray(layers, a.legs, a.head, a.p, a.travelled) for a in found]
    rays, order, groups = _paths.grouped(layers, rays)
    p, entries = _paths.trace(layers, rays, groups)
    ray, x, d, t = _paths.samples(entries.layout(), tolerance_km)
    return [(found[n], p[order[n]], x[ray == order[n]], d[ray == order[n]],
             t[ray == order[n]]) for n in range(len(found))]


@pytest.mark.parametrize("phase, degree, regions", [
    ("P", 40.0, "M"), ("P", 95.0, "M"), ("S", 70.0, "M"), ("PcP", 45.0, "M"),
    ("PKIKP", 165.0, "MKI"), ("PKIKP", 179.0, "MKI"), ("SKS", 100.0, "MK"),
    ("PKiKP", 60.0, "MK"), ("PKP", 150.0, "MK")])
def test_bullen_planet_paths_follow_the_closed_form(bullen, phase, degree, regions):
    """From a surface source the ray is symmetric about half its distance,
    and in each region of slowness A r^B the incidence angle grows with
    distance as i = i_entry + B (theta - theta_entry): every sample lies
    within 0.01 km of that curve."""
    found = exact_paths(bullen, 0.0, phase, degree)
    assert found
    shells = {"M": bullen.shells[0], "K": bullen.shells[1], "I": bullen.shells[2]}
    wave_of = {"P": (0, 0, 0), "S": (1, 0, 1)}[phase[0]] if phase != "PcP" else (0, 0, 0)
    for a, p, x, d, t in found:
        if a.head is not None:
            continue                    # Pdiff: along the core for part of the way
        theta, r = x, RADIUS - d          # samples() gives radians
        total = theta[-1]
        assert abs(total - a.travelled) < 1e-7
        half = np.where(theta <= total / 2, theta, total - theta)
        # The closed form, region by region from the surface down.
        start_theta, bounds = 0.0, []
        r_top = RADIUS
        for letter, wave in zip(regions, wave_of):
            shell = shells[letter]
            r_bot = RADIUS - shell.bottom
            eta = lambda rr, s=shell, w=wave: s.eta(rr, w)        # noqa: E731
            i_top = math.asin(p / eta(r_top))
            bottom = max(r_bot, 1e-9)
            i_bot = math.asin(min(1.0, p / eta(bottom))) if eta(bottom) > p else math.pi / 2
            end_theta = start_theta + (i_bot - i_top) / shell.b
            bounds.append((start_theta, end_theta, r_top, r_bot, i_top, shell, wave))
            start_theta, r_top = end_theta, r_bot
            if letter == "M" and phase == "PcP":
                break
        worst = 0.0
        for th, rr in zip(half, r):
            for t0, t1, rt, rb, i_top, shell, wave in bounds:
                if rb - 1e-9 <= rr <= rt + 1e-9 and t0 - 1e-12 <= th <= t1 + 1e-9:
                    i = i_top + shell.b * (th - t0)
                    r_at = (p / math.sin(i) / (shell.a * (shell.s_ratio if wave else 1.0))) \
                        ** (1.0 / shell.b) if i > 0 else rr
                    i_at = math.asin(min(1.0, p / shell.eta(rr, wave)))
                    th_at = t0 + (i_at - i_top) / shell.b
                    worst = max(worst, min(abs(rr - r_at), rr * abs(th - th_at)))
                    break
            else:
                pytest.fail(f"{phase}: sample at {math.degrees(th)} deg, r {rr} km is in no "
                            f"region the ray crosses")
        assert worst < 0.01, (phase, degree, worst)


# --- the 1 km criterion, against a denser integration ----------------------------------

def stray(coarse, dense):
    """The farthest any point of the dense path lies from the coarse path's
    chords (km), each point against the chord spanning its time."""
    a, b = cartesian(coarse.distance_deg, coarse.depth_km), cartesian(dense.distance_deg,
                                                                       dense.depth_km)
    k = np.clip(np.searchsorted(coarse.time_s, dense.time_s, side="right") - 1, 0, len(a) - 2)
    p, q = a[k], a[k + 1]
    seg = q - p
    length = np.maximum(np.hypot(seg[:, 0], seg[:, 1]), 1e-12)
    u = np.clip(((b - p) * seg).sum(1) / length ** 2, 0.0, 1.0)
    near = p + u[:, None] * seg
    return float(np.hypot(*(b - near).T).max())


@pytest.mark.parametrize("tolerance", [0.3, 1.0, 5.0])
@pytest.mark.parametrize("depth, distance, phases_", [
    (0.0, 30.0, "P,S,PP"), (10.0, 97.0, "P,Pdiff,PKiKP,SKS"), (600.0, 150.0, "PKP,PKIKP,SKKS"),
    (10.0, 12.0, "Pn,Sn,PmP"), (35.0, 179.0, "PKIKP,PKKP,P'P'")])
def test_chords_stay_within_the_tolerance(ak135, depth, distance, phases_, tolerance):
    coarse = ak135.paths(depth, distance, phases_, tolerance_km=tolerance)
    dense = ak135.paths(depth, distance, phases_, tolerance_km=tolerance / 50)
    for c, d in zip(coarse, dense):
        assert c.arrival == d.arrival
        assert stray(c, d) < tolerance
    assert sum(len(d.time_s) for d in dense) >= sum(len(c.time_s) for c in coarse)


# --- Fermat and Snell along the paths of ak135 -------------------------------------

@pytest.mark.parametrize("depth, distance, phase, wave", [
    (0.0, 35.0, "P", 0), (100.0, 80.0, "P", 0), (10.0, 55.0, "PcP", 0), (200.0, 45.0, "S", 1),
    (0.0, 40.0, "ScS", 1), (10.0, 100.0, "PKiKP", 0), (300.0, 170.0, "PKIKP", 0)])
def test_paths_obey_fermat_and_snell(ak135, depth, distance, phase, wave):
    """Each chord of a finely drawn path, against the model's own speeds (not
    the layers' law): the time is the sum of its lengths over the speed at
    its middle, and its direction keeps r sin(i) / v at the ray parameter."""
    model = ak135.model
    for r in ak135.paths(depth, distance, phase, tolerance_km=0.02):
        pts = cartesian(r.distance_deg, r.depth_km)
        seg = np.diff(pts, axis=0)
        length = np.hypot(seg[:, 0], seg[:, 1])
        mid = 0.5 * (pts[1:] + pts[:-1])
        r_mid = np.hypot(mid[:, 0], mid[:, 1])
        v = np.array([model.speed(RADIUS - x, wave if RADIUS - x < model.cmb or
                                  RADIUS - x > model.icb else 0) for x in r_mid])
        assert abs((length / v).sum() - r.time_s[-1]) < 2.5e-3
        ok = length > 1e-6
        sin_i = np.abs(cross(mid[ok] / r_mid[ok, None], seg[ok] / length[ok, None]))
        p = r.ray_param * 180.0 / math.pi
        assert np.abs(r_mid[ok] * sin_i / v[ok] - p).max() < 1e-4 * p + 1e-6


# --- pierce points --------------------------------------------------------------------

def required(model, passes, head, turn_depths):
    """The depths a ray of these passes must pierce, in order, from its passes
    alone: each discontinuity strictly inside what a pass crosses (down,
    then up), the boundary between two passes, and each turning point."""
    disc = sorted(set(model.discontinuities) | {model.cmb, model.icb})
    out, turns = [], iter(turn_depths)
    for n, ps in enumerate(passes):
        if ps.kind == phases.DOWN:
            out += [d for d in disc if ps.top < d < ps.bottom] + [ps.bottom]
        elif ps.kind == phases.UP:
            out += [d for d in reversed(disc) if ps.top < d < ps.bottom] + [ps.top]
        else:
            turn = next(turns)
            down = [d for d in disc if ps.top < d < turn]
            out += down + [turn] + down[::-1] + [ps.top]
    keep = [d for d in out if d in disc or d == 0.0 or d in turn_depths]
    return [d for n, d in enumerate(keep) if n == 0 or d != keep[n - 1] or d in turn_depths]


@pytest.mark.parametrize("phase, depth, distance", [
    ("P", 100.0, 60.0), ("PcP", 0.0, 40.0), ("PKIKP", 10.0, 160.0), ("PKiKP", 200.0, 90.0),
    ("SKS", 0.0, 100.0), ("P410s", 30.0, 60.0), ("S410p", 5.0, 80.0), ("PP", 0.0, 90.0),
    ("sP", 300.0, 50.0), ("PKKP", 0.0, 100.0), ("P^410P", 0.0, 140.0), ("PmP", 10.0, 5.0),
    ("Pn", 10.0, 9.0), ("Pdiff", 50.0, 120.0), ("PKJKP", 0.0, 150.0), ("ScSScS", 600.0, 40.0)])
def test_pierce_points_have_every_required_crossing(ak135, phase, depth, distance):
    rays = ak135._rays(depth, distance, [phase])
    found = ak135.pierce(depth, distance, [phase])
    assert len(found) == len(rays) > 0
    model = ak135.model
    disc = set(model.discontinuities) | {model.cmb, model.icb}
    for (a, passes, head), r in zip(rays, found):
        pts = r.points
        kinds = pts["kind"].tolist()
        assert r.arrival == a and kinds[0] == "source" and kinds[-1] == "receiver"
        assert (np.diff(pts["time_s"]) >= 0).all() and (np.diff(pts["distance_deg"]) >= 0).all()
        at = pts[(pts["kind"] != "source") & (pts["kind"] != "receiver")]
        for p in at[np.isin(at["kind"], ["cross", "convert", "reflect", "diff", "head"])]:
            assert p["depth_km"] in disc or p["depth_km"] == 0.0
        turns = at["depth_km"][at["kind"] == "turn"].tolist()
        middle = [float(d) for d in at["depth_km"]]
        want = required(model, passes, head, turns)
        if head is not None:                    # both ends of the stretch along it
            where = {"cmb": model.cmb, "icb": model.icb}.get(head[3], head[3])
            k = want.index(where)
            want = want[:k + 1] + [where] + want[k + 1:]
        assert middle == want[:-1], (phase, middle, want)
        assert pts["depth_km"][-1] == 0.0 and pts["depth_km"][0] == depth


@settings(max_examples=20, deadline=None)
@given(st.floats(0.0, 650.0), st.floats(0.0, 180.0),
       st.sampled_from(["P", "PP", "PcP", "PKP", "PKIKP", "SKS", "sS", "P410s", "PKKP", "Pn",
                        "Pdiff", "ScP"]))
def test_pierce_points_are_samples_of_the_path(ak135, depth, distance, phase):
    """The pierce points (found without laying the path out) are samples of
    the path (found by laying it out), in the same order."""
    paths = ak135.paths(depth, distance, phase, missing="skip")
    found = ak135.pierce(depth, distance, phase, missing="skip")
    assert [r.arrival for r in paths] == [r.arrival for r in found]
    for path, r in zip(paths, found):
        k = np.searchsorted(path.time_s, r.points["time_s"] - 1e-7)
        assert (np.diff(k) >= 0).all()
        for name, field in (("time_s", path.time_s), ("distance_deg", path.distance_deg),
                            ("depth_km", path.depth_km)):
            assert np.abs(field[np.minimum(k, len(field) - 1)] - r.points[name]).max() < 1e-6


def test_extra_depths_lie_on_the_path(ak135):
    """P at 30-90 deg every degree crosses 300 and 1000 km twice each (not
    discontinuities of ak135), on its own path, in time order."""
    distances = np.arange(30.0, 91.0)
    found = ak135.pierce(150.0, distances, "P", add_depths=[1000, 300])
    paths = ak135.paths(150.0, distances, "P")
    assert len(found) == len(paths) == len(distances)
    for r, path in zip(found, paths):
        extra = r.points[r.points["kind"] == "depth"]
        deep = path.depth_km.max() > 1000.0
        assert extra["depth_km"].tolist() == ([300.0, 1000.0, 1000.0, 300.0] if deep else
                                              [300.0, 300.0])
        # On the path: between the samples it falls between in time.
        k = np.searchsorted(path.time_s, extra["time_s"]) - 1
        for j, e in zip(k, extra):
            lo, hi = sorted(path.depth_km[j:j + 2])
            assert lo <= e["depth_km"] <= hi
            assert path.distance_deg[j] - 1e-9 <= e["distance_deg"] <= \
                path.distance_deg[j + 1] + 1e-9


def test_receiver_function_conversions(ak135):
    (pms,) = ak135.pierce(10.0, 65.0, ["P660s"], add_depths=[410])
    conv = pms.points[pms.points["kind"] == "convert"]
    assert conv["depth_km"].tolist() == [660.0]
    assert 60.0 < conv["distance_deg"][0] < 65.0       # under the station
    assert pms.points[pms.points["kind"] == "cross"]["depth_km"].tolist().count(410.0) == 2


# --- coordinates ------------------------------------------------------------------------

def unit(lat, lon):
    la, lo = np.radians(geo.geocentric_latitude(lat)), np.radians(lon)
    return np.stack([np.cos(la) * np.cos(lo), np.cos(la) * np.sin(lo), np.sin(la)], -1)


@pytest.mark.parametrize("source, station, phase", [
    ((35.7, 139.7), (51.5, -0.1), "P"), ((-20.0, -70.0), (60.0, 100.0), "PKIKP"),
    ((0.0, 0.0), (0.0, 120.0), "PKKP"), ((2.0, 178.0), (-3.0, -176.0), "Pn")])
def test_samples_lie_on_the_great_circle(ak135, source, station, phase):
    found = ak135.paths(10.0, None, phase, source=source, station=station)
    s, r = unit(*source), unit(*station)
    normal = np.cross(s, r)
    normal /= np.linalg.norm(normal)
    for path in found:
        u = unit(path.latitude, path.longitude)
        assert np.abs(u @ normal).max() < 1e-9
        assert abs(path.latitude[-1] - station[0]) < 1e-6
        assert abs((path.longitude[-1] - station[1] + 180) % 360 - 180) < 1e-6
        assert path.latitude[0] == pytest.approx(source[0], abs=1e-9)
        # The angle from the source, along the way the ray goes.
        angle = np.degrees(np.arctan2(np.linalg.norm(np.cross(s, u), axis=1), u @ s))
        x = np.mod(path.distance_deg, 360.0)
        assert np.allclose(angle, np.minimum(x, 360.0 - x), atol=1e-7)


def test_many_stations_at_once(ak135):
    lats, lons = np.array([40.0, 45.0, 50.0]), np.array([10.0, 20.0, 30.0])
    found = ak135.pierce(30.0, None, "P", add_depths=[410, 660], source=(0.0, 0.0),
                         station=(lats, lons))
    dist, _, _ = geo.distance_azimuth(0.0, 0.0, lats, lons)
    assert [r.arrival.distance for r in found] == pytest.approx(dist.tolist())
    for r, la, lo in zip(found, lats, lons):
        assert r.points["latitude"][-1] == pytest.approx(la) and \
            r.points["longitude"][-1] == pytest.approx(lo)


# --- bad input ---------------------------------------------------------------------------

BAD = [  # arguments of paths or pierce, the error, the words it must hold
    (dict(depth=-5, distance=30), ValueError, "depth"),
    (dict(depth=10, distance=181), ValueError, "distance"),
    (dict(depth=10, distance=[30, np.nan]), ValueError, "distance: nan"),
    (dict(depth=10, distance=30, phases="PXP"), ValueError, "PXP"),
    (dict(depth=10, distance=30, phases="PKIKP"), _paths.NoArrival, "no arrival of PKIKP at 30"),
    (dict(depth=10, distance=30, tolerance_km=0), ValueError, "tolerance_km: 0"),
    (dict(depth=10, distance=30, source=(0, 0)), TypeError, "source and station"),
    (dict(depth=10, source=(0, 0), station=(95, 0)), ValueError, "station_lat: 95.0"),
    (dict(depth=10, distance=50, source=(0, 0), station=(0, 30)), ValueError,
     "distance: 50 deg does not match"),
    (dict(depth=10, distance=30, missing="maybe"), ValueError, "missing: expected"),
    (dict(depth=10), TypeError, "distance: give"),
]


@pytest.mark.parametrize("kwargs, error, words", BAD)
def test_bad_input_is_named(ak135, kwargs, error, words):
    with pytest.raises(error, match=words):
        ak135.paths(**kwargs)


def test_bad_extra_depths_are_named(ak135):
    with pytest.raises(ValueError, match="add_depths: -1.0"):
        ak135.pierce(10, 30, "P", add_depths=[410, -1])
    assert ak135.paths(10, [30, 120], "PKIKP", missing="skip")[0].arrival.distance == 120


# --- the command line and the figures ---------------------------------------------------

def test_command_line(capsys, tmp_path):
    assert _cli.main(["pierce", "--model", "ak135", "--depth", "10", "--phases", "P410s",
                      "--depths", "300", "60"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == ",".join(_cli.PIERCE_HEADER)
    rows = [line.split(",") for line in lines[1:]]
    assert {r[0] for r in rows} == {"P410s"} and rows[-1][4] == "0.0000"
    assert sum(r[4] == "300.0000" for r in rows) == 2
    assert _cli.main(["path", "--model", "ak135", "--depth", "10", "--phases", "PcP",
                      "--format", "geojson", "--source", "0,0", "--station", "30,0"]) == 0
    doc = json.loads(capsys.readouterr().out)
    line = doc["features"][0]["geometry"]["coordinates"]
    assert doc["features"][0]["properties"]["phase"] == "PcP"
    assert line[-1][:2] == pytest.approx([0.0, 30.0], abs=1e-6)
    assert min(c[2] for c in line) == pytest.approx(-2891500.0)
    for argv, words in ((["path", "--model", "ak135", "--phases", "PKIKP", "30"],
                         "no arrival of PKIKP at 30 deg"),
                        (["path", "--model", "ak135", "--format", "geojson", "30"],
                         "--source and --station"),
                        (["pierce", "--model", "ak135", "--source", "0,0", "30"], "both")):
        assert _cli.main(argv) == 2
        err = capsys.readouterr().err
        assert words in err and "Traceback" not in err


def test_figures(ak135, tmp_path):
    pytest.importorskip("matplotlib")
    from seiskernels import _plots
    found = ak135.paths(0, [40.0, 150.0], "P,PKIKP,SKS")
    fig = _plots.ray_paths_figure(found, ak135)
    rays = [line for line in fig.axes[0].lines if len(line.get_xdata()) > 1]
    assert len(rays) == len(found)
    assert len({line.get_color() for line in rays}) == len({r.arrival.phase for r in found})
    with pytest.raises(ValueError, match="no ray path"):
        _plots.ray_paths_figure([], ak135)
    fig = _plots.travel_time_figure(ak135, 100.0, "P,S,PKP", [60.0], step=2.0)
    names = {t.get_text() for t in fig.axes[0].texts}
    assert {"P", "S", "PKPab"} <= names
    fig.savefig(tmp_path / "t.png")
    assert _cli.main(["path", "--model", "ak135", "--phases", "P,PcP", "--plot",
                      str(tmp_path / "rays.png"), "50"]) == 0
    assert (tmp_path / "rays.png").stat().st_size > 10000


def test_docstring_examples_run():
    import doctest
    from seiskernels import traveltimes
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    for f in (traveltimes.TravelTimes.paths, traveltimes.TravelTimes.pierce):
        for test in doctest.DocTestFinder().find(f, f.__name__, globs={}):
            runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


def test_figure_kinds(ak135):
    """A ray the long way round draws the whole disc; the travel-time curves
    give each phase its own colour and mark the distances asked."""
    pytest.importorskip("matplotlib")
    from seiskernels import _plots
    around = ak135.paths(0, 120, "PKKP")
    assert any(p.arrival.travelled > 180 for p in around)
    ax = _plots.ray_paths_figure(around, ak135).axes[0]
    assert ax.get_xlim()[0] < -6000
    ax = _plots.ray_paths_figure(ak135.paths(0, 60, "P"), ak135).axes[0]
    assert -0.5 * RADIUS < ax.get_xlim()[0] < 0
    fig = _plots.travel_time_figure(ak135, 0.0, "P,S,PcP,ScS,PP,SS,SKS,PKiKP", [30, 90],
                                    step=2.0)
    ax = fig.axes[0]
    curves = [line for line in ax.lines if len(line.get_xdata()) > 2]
    colours = [tuple(line.get_color()) for line in curves]
    assert len(set(colours)) == len(colours) == len({t.get_text() for t in ax.texts})
    marks = {line.get_xdata()[0] for line in ax.lines if len(set(line.get_xdata())) == 1 and
             line.get_linestyle() == "--"}
    assert marks == {30.0, 90.0}


def test_command_line_samples(capsys):
    assert _cli.main(["path", "--model", "ak135", "--depth", "50", "--phases", "ScS",
                      "--format", "json", "40"]) == 0
    (record,) = json.loads(capsys.readouterr().out)
    path = record["path"]
    assert record["phase"] == "ScS" and len(path["depth_km"]) == len(path["time_s"]) > 100
    assert max(path["depth_km"]) == 2891.5 and path["distance_deg"][-1] == pytest.approx(40)
    assert path["time_s"][-1] == pytest.approx(record["time_s"], abs=1e-3)
    assert _cli.main(["path", "--model", "ak135", "--depth", "50", "--phases", "ScS",
                      "40"]) == 0
    rows = capsys.readouterr().out.splitlines()
    assert rows[0] == ",".join(_cli.PATH_HEADER) and len(rows) - 1 == len(path["time_s"])
