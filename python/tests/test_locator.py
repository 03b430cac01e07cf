"""What a locator relies on: the derivatives of every arrival against
finite differences of exact times, a receiver at depth against a source
there (reciprocity), on ak135."""

import math
import os
import warnings

import numpy as np

import pytest
from hypothesis import given, settings, strategies as st

from seiskernels import _corrections
from seiskernels.traveltimes import TravelTimes

from at_once import at_once


@pytest.fixture(scope="module")
def ak135(tmp_path_factory):
    return TravelTimes("ak135", cache=tmp_path_factory.mktemp("cache"))


def nearest(arrivals, phase, p):
    same = [a for a in arrivals if a.phase == phase]
    return min(same, key=lambda a: abs(a.ray_param - p)) if same else None


DERIVATIVES = [  # phase, source depths (km), distances (deg), away from branch ends
    ("P", (10.0, 100.0, 400.0), (40.0, 50.0, 70.0, 90.0)),
    ("S", (10.0, 400.0), (35.0, 60.0, 85.0)),
    ("pP", (100.0, 400.0), (40.0, 75.0)),
    ("sS", (100.0,), (50.0,)),
    ("PcP", (10.0, 400.0), (20.0, 60.0)),
    ("ScS", (100.0,), (40.0,)),
    ("PKIKP", (10.0, 400.0), (130.0, 160.0)),
    ("SKS", (10.0, 400.0), (90.0, 110.0)),
    ("PP", (10.0,), (80.0, 120.0)),
    ("PKiKP", (100.0,), (50.0,)),
]


@pytest.mark.slow
@pytest.mark.parametrize("phase, depths, distances, exact",
                         [case + (False,) for case in DERIVATIVES] +
                         [case + (True,) for case in DERIVATIVES[:2] + DERIVATIVES[6:7]])
def test_derivatives_against_finite_differences(ak135, phase, depths, distances, exact):
    """dT/dh within 1% and d2T/dD2 within 5% of centred differences of the
    exact solver's times (steps of 1 km and 0.2 deg); p = dT/dD within 0.2%."""
    for depth in depths:
        for distance in distances:
            for a in ak135.arrivals(depth, distance, [phase], exact=exact):
                around = {}
                for dh, dd in ((1.0, 0.0), (-1.0, 0.0), (0.0, 0.2), (0.0, -0.2), (0.0, 0.0)):
                    b = nearest(ak135.arrivals(depth + dh, distance + dd, [phase], exact=True),
                                a.phase, a.ray_param)
                    around[dh, dd] = b.time if b else math.nan
                dtdh = (around[1.0, 0.0] - around[-1.0, 0.0]) / 2.0
                dtdd = (around[0.0, 0.2] - around[0.0, -0.2]) / 0.4
                d2tdd2 = (around[0.0, 0.2] - 2.0 * around[0.0, 0.0] + around[0.0, -0.2]) / 0.04
                where = (phase, depth, distance, a.time)
                assert abs(a.dtdh - dtdh) <= 0.01 * abs(dtdh), where
                assert abs(a.ray_param - dtdd) <= 2e-3 * abs(dtdd), where
                assert abs(a.dpdd - d2tdd2) <= 0.05 * abs(d2tdd2) + 2e-4, where


RECIPROCAL = [  # phase from the source, phase read backwards, distances (deg)
    ("P", "P", (3.0, 25.0, 60.0)), ("S", "S", (10.0, 45.0)), ("PcP", "PcP", (15.0, 50.0)),
    ("PKIKP", "PKIKP", (140.0, 170.0)), ("ScS", "ScS", (30.0,)), ("PS", "SP", (85.0, 100.0)),
    ("PcS", "ScP", (40.0,)), ("PP", "PP", (70.0,)), ("SKS", "SKS", (100.0,)),
]


@pytest.mark.slow
@pytest.mark.parametrize("phase, backwards, distances", RECIPROCAL)
@pytest.mark.parametrize("exact", [False, True])
@pytest.mark.parametrize("depth", [12.5, 35.0, 250.0])
def test_reciprocity(ak135, phase, backwards, distances, exact, depth):
    """A source at depth h heard at the surface, and a source at the surface
    heard at depth h along the same ray read backwards: the same times to
    1 ms, the ray parameters equal, take-off and incidence swapped."""
    for distance in distances:
        there = ak135.arrivals(depth, distance, [phase], exact=exact)
        back = ak135.arrivals(0.0, distance, [backwards], exact=exact, receiver_depth=depth)
        assert there, (phase, depth, distance)
        assert len(there) == len(back), (phase, depth, distance)
        for a, b in zip(there, back):
            assert abs(a.time - b.time) < 1e-3, (phase, depth, distance, a, b)
            assert abs(a.ray_param - b.ray_param) < 1e-3 * a.ray_param + 1e-6
            assert abs(a.takeoff - b.incidence) < 0.05 and abs(a.incidence - b.takeoff) < 0.05


INDEPENDENT_TAUS = [  # phase, distance (deg), source at the surface: tau0, tau1, tau2 (s) on
    # ak135 from an integration of the model's own speeds along rays of its
    # own (test_ellipticity.py's integrator), not the calculator's layers
    ("P", 30.0, (-0.6492, -0.2806, -0.1525)), ("P", 60.0, (-0.5398, -0.3482, -0.5330)),
    ("P", 90.0, (-0.4684, 0.2539, -0.8113)), ("PKIKP", 150.0, (-2.1808, 1.0138, -0.2654)),
]


@pytest.mark.parametrize("phase, distance, taus", INDEPENDENT_TAUS)
def test_ellipticity_coefficients_along_each_ray(ak135, phase, distance, taus):
    """The coefficients the calculator takes along an arrival's own ray
    agree with an independent integration, and the correction it adds is
    the standard form of them for the source's colatitude and azimuth."""
    (a, legs, head), = ak135._rays(0.0, distance, [phase])
    p = a.ray_param * 180.0 / math.pi
    got = ak135._corrector().taus(legs, head, p, math.radians(a.travelled))
    assert np.allclose(got, taus, atol=2e-3), got
    # A source on the equator, a station due east: theta0 = 90, zeta = 90.
    lat, lon = 0.0, 10.0
    b, = ak135.arrivals(0.0, phases=[phase], source=(lat, lon), station=(lat, lon + distance),
                        ellipticity=True)
    expected = -0.5 * taus[0] - math.sqrt(3.0) / 2.0 * taus[2]
    assert abs(b.ellipticity - expected) < 3e-3 and abs(b.time - a.time - b.ellipticity) < 1e-9


def test_table_geo_is_arrivals_at_each_pair(ak135):
    """Many pairs at once: the same distances, azimuths, arrivals and
    corrections as one pair at a time (the coefficients from tables of each
    phase's rays, within 5 ms of each ray's own); first=True
    keeps each phase's earliest."""
    event = (35.7, 139.7, 33.0)
    stations = [(51.5, -0.1, 45.0), (-33.9, 151.2, 2000.0), (64.1, -21.9, 30.0), (35.7, 139.7)]
    rows = ak135.table_geo(event, [s + (0.0,) * (3 - len(s)) for s in stations], ["P", "S"])
    firsts = ak135.table_geo(event, [s + (0.0,) * (3 - len(s)) for s in stations], ["P", "S"],
                             first=True)
    for k, station in enumerate(stations):
        one = ak135.arrivals(33.0, phases=["P", "S"], source=event[:2], station=station[:2],
                             station_elevation=station[2] if len(station) > 2 else 0.0,
                             ellipticity=True)
        mine = rows[rows["pair"] == k]
        assert [a.phase for a in one] == mine["phase"].tolist()
        assert np.allclose([a.time for a in one], mine["time_s"], atol=5e-3)
        assert np.allclose([a.elevation for a in one], mine["elevation_s"], atol=1e-9)
        assert np.allclose([a.azimuth for a in one], mine["azimuth_deg"], atol=1e-9)
        for family in ("P", "S"):
            first = firsts[(firsts["pair"] == k) & np.char.startswith(firsts["phase"], family)]
            mine_family = mine[np.char.startswith(mine["phase"], family)]
            assert len(first) == 1 and first["time_s"][0] == mine_family["time_s"].min()


TABLE_ELLIPTICITY = [  # source depth (km), phases: the branch ends the tables must hold
    (0.0, ["P", "S", "SS"]),      # Pn/Sn rays just below the Moho: many degrees for little p
    (0.0, ["PKP", "SKS", "SKKS", "PKIKP"]),   # rays grazing the core's and inner core's tops
    (10.0, ["Pn", "Sn", "PcP", "ScS", "pP"]),
    (410.0, ["P", "S", "PKiKP"]),  # a source on a discontinuity
]


@pytest.mark.parametrize("depth, phases", TABLE_ELLIPTICITY)
def test_table_geo_ellipticity_is_each_ray_s_own(ak135, depth, phases):
    """The ellipticity correction table_geo reads from tables of each
    phase's rays is within 5 ms of the one integrated along each arrival's
    own ray, for random stations, on every branch, at grazing rays and
    along head waves; and the tables build where a ray grazes a boundary."""
    rng = np.random.default_rng(int(depth) + len(phases))
    source = (rng.uniform(-60.0, 60.0), rng.uniform(-180.0, 180.0), depth)
    stations = random_stations(40, seed=int(depth) + 7)[:, :2]
    rows = ak135.table_geo(source, stations, phases)
    assert rows["ellipticity_s"].any()
    for k, station in enumerate(stations):
        own = ak135.arrivals(depth, phases=phases, source=source[:2], station=station,
                             ellipticity=True)
        mine = rows[rows["pair"] == k]
        assert len(own) == len(mine), k
        # by ray: both are in time order, and corrections may swap two
        by_ray = sorted((a.phase, round(a.ray_param, 9), a.ellipticity) for a in own)
        mine_by_ray = sorted(zip(mine["phase"].tolist(), mine["ray_param_s_deg"].round(9).tolist(),
                                 mine["ellipticity_s"].tolist()))
        for a, b in zip(by_ray, mine_by_ray):
            assert a[:2] == b[:2] and abs(a[2] - b[2]) < 5e-3, (k, a, b)


@settings(max_examples=40, deadline=None)
@given(st.floats(-16.0, -9.0), st.sampled_from(["SKS", "PKIKP", "SKKS"]),
       st.booleans())
def test_rays_grazing_a_boundary_have_the_limit_s_coefficients(ak135, exponent, phase, top):
    """Near either end of a phase's rays, where p is the slowness at the
    top of the layer its leg would turn in (the core for SKS, the inner
    core for PKIKP) or zero (the ray through the centre), the coefficients
    tend to those of the end ray itself: a ray that only grazes the layer,
    or passes the centre; none raises or warns."""
    from seiskernels._exact import Earth
    corrector = ak135._corrector()
    (_, member, legs), = ak135._source(0.0, (phase,)).members
    lo, hi, _ = Earth(ak135.model, 0.0, receiver=0.0).p_range(legs)
    end, inside = (hi, hi - 10.0 ** exponent * (hi - lo)) if top else \
        (lo, lo + 10.0 ** exponent * (hi - lo))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        at, near = corrector.taus(legs, None, end, 0.0), corrector.taus(legs, None, inside, 0.0)
    assert np.allclose(at, near, atol=1e-3), (phase, end, inside, at, near)


def random_stations(n, seed):
    rng = np.random.default_rng(seed)
    return np.stack([rng.uniform(-89.0, 89.0, n), rng.uniform(-180.0, 180.0, n),
                     rng.uniform(0.0, 3000.0, n)], axis=1)


def test_threads_asking_for_many_pairs_at_once_get_what_one_thread_gets(ak135):
    """table_geo from four threads at once on one model, each at depths of
    its own (the engine's first arrivals and the ellipticity tables built
    while other threads read them): the rows one thread alone gets.  (The
    ellipticity is numpy's sums, whose last bit may follow where the
    allocator put an array: a sanitizer's differs from thread to thread.)"""
    stations = random_stations(60, seed=3)
    events = [(10.0, 20.0, depth) for depth in (15.0, 120.0, 33.0, 250.0)]
    expected = [ak135.table_geo(e, stations, ["P", "S"], first=True) for e in events]
    fresh = TravelTimes("ak135", cache=ak135._saved and os.path.dirname(ak135._saved))
    got = at_once(lambda e: fresh.table_geo(e, stations, ["P", "S"], first=True),
                  [(e,) for e in events])
    summed = ("ellipticity_s", "time_s")
    for mine, alone in zip(got, expected):
        assert mine.dtype == alone.dtype and len(mine) == len(alone)
        for field in alone.dtype.names:
            if field in summed:
                assert np.allclose(mine[field], alone[field], rtol=0.0, atol=1e-9), field
            else:
                assert mine[field].tobytes() == alone[field].tobytes(), field


@pytest.mark.parametrize("phase", ["P", "S"])
def test_table_geo_first_is_each_pair_s_first_arrival(ak135, phase):
    """first=True for 200 random stations of two events at their own depths
    (in one call): each pair's row is the earliest of arrivals() for that
    pair alone (earliest before the corrections, as first=True takes it),
    with the same name, ray, derivatives, geometry and elevation correction.
    (The ellipticity correction from tables of rays, against each ray's
    own: test_table_geo_is_arrivals_at_each_pair.)"""
    n = 200
    stations = random_stations(n, seed=len(phase))
    events = np.array([(35.7, 139.7, 33.0), (-20.0, -70.0, 410.0)])[np.arange(n) % 2]
    rows = ak135.table_geo(events, stations, [phase], first=True, ellipticity=False)
    assert np.array_equal(rows["pair"], np.arange(n))     # one each, in order
    assert not rows["ellipticity_s"].any()
    for k, row in enumerate(rows):
        found = ak135.arrivals(events[k, 2], phases=[phase], source=events[k, :2],
                               station=stations[k, :2], station_elevation=stations[k, 2])
        a = min(found, key=lambda a: a.time - a.elevation)
        assert row["phase"] == a.phase, (k, row, a)
        for field, value in (("distance_deg", a.distance), ("azimuth_deg", a.azimuth),
                             ("back_azimuth_deg", a.back_azimuth),
                             ("ray_param_s_deg", a.ray_param), ("takeoff_deg", a.takeoff),
                             ("incidence_deg", a.incidence), ("dtdh_s_km", a.dtdh),
                             ("dpdd_s_deg2", a.dpdd), ("elevation_s", a.elevation),
                             ("time_s", a.time)):
            assert abs(row[field] - value) <= 1e-9 * max(1.0, abs(value)), (k, field)


def test_table_geo_in_chunks_is_table_geo_in_one(ak135, monkeypatch):
    """The pairs are worked on in chunks: chunks of a few pairs give the
    bits of one chunk for all, with several events and depths split across
    chunks, pairs without an arrival, bad pairs (errors="nan"), and every
    arrival or the first of each phase."""
    rng = np.random.default_rng(5)
    n = 400
    stations = np.concatenate([random_stations(n, seed=9), rng.choice([0.0, 1.5], (n, 1))], 1)
    sources = np.stack([rng.uniform(-60.0, 60.0, n), rng.uniform(-180.0, 180.0, n),
                        rng.choice([33.0, 300.0], n)], axis=1)
    sources[7, 0], stations[11, 2], sources[12, 2] = 95.0, np.nan, -1.0
    for first, phases, ellipticity in ((True, ["P", "S", "PKiKP"], False),
                                       (True, ["P", "S"], True), (False, ["P", "pP"], False)):
        whole = ak135.table_geo(sources, stations[:, :3] if ellipticity else stations, phases,
                                first=first, errors="nan", ellipticity=ellipticity)
        monkeypatch.setattr(_corrections, "CHUNK", 23)
        parts = ak135.table_geo(sources, stations[:, :3] if ellipticity else stations, phases,
                                first=first, errors="nan", ellipticity=ellipticity)
        monkeypatch.undo()
        assert whole.tobytes() == parts.tobytes()
        assert whole["ellipticity_s"].any() == ellipticity
        assert not {7, 11, 12} & set(whole["pair"].tolist())
        assert len(set(whole["pair"].tolist())) > 0.9 * n


@settings(max_examples=200, deadline=None)
@given(st.lists(st.floats(-1e3, 1e3), min_size=1, max_size=40),
       st.integers(0, 2 ** 32 - 1))
def test_interpolation_is_numpy_s_to_the_bit(nodes, seed):
    """The coefficients' interpolation finds each point's interval once for
    all three and does numpy's arithmetic: np.interp's bits, on nodes (some
    repeated), between them, beyond both ends, at NaN, with values that
    jump, repeat or are NaN."""
    rng = np.random.default_rng(seed)
    xp = np.sort(np.array(nodes))
    fps = [rng.normal(0.0, 10.0, len(xp)), np.repeat(rng.normal(), len(xp)),
           np.where(rng.random(len(xp)) < 0.2, np.nan, rng.normal(0.0, 1e3, len(xp)))]
    x = np.concatenate([rng.uniform(xp[0] - 5.0, xp[-1] + 5.0, 300), xp, [np.nan, -np.inf]])
    for got, fp in zip(_corrections._interp(x, xp, fps), fps):
        assert got.tobytes() == np.interp(x, xp, fp).tobytes()


def test_station_elevation_at_the_ray_s_own_slant(ak135):
    """2 km up a mountain: h sqrt(1/v^2 - (p/R)^2) through the top layer,
    about 0.35 s for P; the vertical time for p = 0."""
    v, radius = ak135.model.speed(0.0, 0), ak135.model.radius
    for distance in (30.0, 80.0):
        a, = ak135.arrivals(10.0, distance, ["P"], station_elevation=2000.0)
        p = a.ray_param * 180.0 / math.pi
        assert abs(a.elevation - 2.0 * math.sqrt(1.0 / v ** 2 - (p / radius) ** 2)) < 1e-9
        assert 0.3 < a.elevation < 2.0 / v
    assert ak135.arrivals(10.0, 30.0, ["P"], station_elevation=-500.0)[0].elevation < 0.0


BAD_PAIRS = [  # arguments, the error and what it names
    (dict(depth=10, source=(91.0, 0.0), station=(0.0, 0.0)), ValueError, "lat"),
    (dict(depth=10, source=(10.0, math.nan), station=(0.0, 0.0)), ValueError, "nan"),
    (dict(depth=10, source=(10.0, 0.0)), TypeError, "station"),
    (dict(depth=10, distance=30, source=(10.0, 0.0), station=(0.0, 0.0)), TypeError, "distance"),
    (dict(depth=10, distance=30, ellipticity=True), ValueError, "ellipticity"),
    (dict(depth=10, distance=30, receiver_depth=3000.0), ValueError, "receiver_depth"),
    (dict(depth=10, distance=30, station_elevation=math.inf), ValueError, "elevation"),
]


@pytest.mark.parametrize("kwargs, error, named", BAD_PAIRS)
def test_bad_coordinates_are_named(ak135, kwargs, error, named):
    with pytest.raises(error, match=named):
        ak135.arrivals(phases=["P"], **kwargs)


def test_bad_pairs_among_many(ak135):
    """A bad pair is named by its index; with errors="nan" it has no
    arrivals and the others are as they would be alone."""
    stations = [(10.0, 20.0), (95.0, 20.0), (-10.0, 60.0)]
    with pytest.raises(ValueError, match="1"):
        ak135.table_geo((0.0, 0.0, 10.0), stations, ["P"])
    rows = ak135.table_geo((0.0, 0.0, 10.0), stations, ["P"], errors="nan")
    assert sorted(set(rows["pair"].tolist())) == [0, 2]
    good = ak135.table_geo((0.0, 0.0, 10.0), [stations[0], stations[2]], ["P"])
    assert rows["time_s"].tolist() == good["time_s"].tolist()
    with pytest.raises(ValueError, match="depth"):
        ak135.table_geo([(0.0, 0.0, 10.0), (0.0, 0.0, -5.0)], stations[::2], ["P"])
