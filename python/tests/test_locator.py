"""What a locator relies on: the derivatives of every arrival against
finite differences of exact times, a receiver at depth against a source
there (reciprocity), on ak135."""

import math

import pytest

from seiskernels.traveltimes import TravelTimes


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
