"""Which rays a phase may take: faults a peer calculator's arrivals showed,
held by the times it gave and by physics, and the rules every arrival of
every phase obeys (angles, ray parameters, depth phases, a source on a
boundary), on ak135."""

import math
import re

import numpy as np
import pytest

from seiskernels.traveltimes import TravelTimes

EXTRA = ("PKJKP", "SKJKS", "PmP", "SmS", "PmS", "Pms", "P410s", "S660p", "Pv410P", "P^410P",
         "S^660S", "Pn", "Sn", "pPdiff", "sSdiff", "PKdiffP", "PKPdf", "SKSac", "SKSdf",
         "Pdiff", "Sdiff", "p", "s")


@pytest.fixture(scope="module")
def ak135(tmp_path_factory):
    return TravelTimes("ak135", cache=tmp_path_factory.mktemp("cache"))


PEER = [  # depth, distance, phase, time (s) and p (s/deg) of the peer's arrival
    (600.0, 19.0, "sP", 368.061, 13.637),      # its P leg turns above the source
    (600.0, 41.0, "SP", 749.362, 14.465),
    (300.0, 75.0, "SKS", 1248.523, 7.4246),     # two rays 0.2 ms apart
    (300.0, 75.0, "SKS", 1248.523, 7.4359),
    (100.0, 20.0, "pP", 283.541, 10.9775),
]


@pytest.mark.parametrize("depth, distance, phase, time, p", PEER)
@pytest.mark.parametrize("exact", [False, True])
def test_arrivals_a_peer_lists_are_found(ak135, depth, distance, phase, time, p, exact):
    found = ak135.arrivals(depth, distance, [phase], exact=exact)
    assert any(abs(a.time - time) < 0.005 and abs(a.ray_param - p) < 0.01 for a in found), \
        [(a.time, a.ray_param) for a in found]


def test_sp_exists_wherever_its_legs_meet(ak135):
    """From 600 km, sP at every degree from 7 to 19 (none was listed), and
    from 100 km from 1 to 13."""
    for depth, degrees in ((600.0, range(7, 20)), (100.0, range(1, 14))):
        rows = ak135.table([depth], np.array(degrees, float), ["sP"])
        assert sorted(set(rows["distance_deg"].tolist())) == list(degrees), depth


def test_depth_phases_leave_upwards_and_never_from_the_surface(ak135):
    """pP from 100 km at 20 deg leaves at 126.18 deg from the downward vertical
    in every mode; a source at the surface has no depth phase (they would only
    repeat P, S and PKP, pS with rays no P can carry)."""
    names = ["pP", "sP", "pS", "sS", "pPKP"]
    rows = ak135.table([0.0, 100.0], [20.0, 40.0, 150.0], names)
    assert not len(rows[rows["depth_km"] == 0.0])
    deep = rows[rows["depth_km"] == 100.0]
    assert len(deep) and (deep["takeoff_deg"] > 90.0).all()
    for exact in (False, True):
        assert not ak135.arrivals(0.0, 20.0, names, exact=exact)
        first = ak135.arrivals(100.0, 20.0, ["pP"], exact=exact)[0]
        assert abs(first.takeoff - 126.18) < 0.01


def test_small_loops_are_found_by_the_exact_solver_too(ak135):
    """S from the surface at 20.97 deg crosses a 0.2 deg loop near the 210 km
    discontinuity: both solvers give the same rays."""
    for depth, distance, phase in ((0.0, 20.97, "S"), (300.0, 75.0, "SKS")):
        tables = ak135.arrivals(depth, distance, [phase])
        exact = ak135.arrivals(depth, distance, [phase], exact=True)
        assert [a.phase for a in exact] == [a.phase for a in tables]
        assert np.allclose([a.time for a in exact], [a.time for a in tables], atol=1e-3)


def every_arrival(ak135, depths, distances):
    from seiskernels.traveltimes import ALL_PHASES
    return ak135.table(depths, distances, ALL_PHASES + EXTRA)


def family(name):
    """Pg, Pb, Pn as P; any other name as it is."""
    return re.sub("[gbn]$", "", name) if re.fullmatch("[PS][gbn]", name) else name


def test_every_arrival_leaves_and_arrives_as_its_legs_say(ak135):
    """A depth phase or a direct up-going ray leaves upwards (take-off over
    90 deg), every other ray downwards; no ray has a ray parameter above the
    slowness of its first wave at the source or its last at the surface; a
    source at the surface has no depth phase."""
    rows = every_arrival(ak135, [0.0, 0.001, 35.0, 100.0, 600.0], np.arange(0.5, 180.0, 7.25))
    model = ak135.model
    for r in rows:
        name = str(r["phase"]).replace("P'", "PKP").replace("S'", "SKS")
        first = "PS".index(name[0].upper())
        last = "PS".index(re.sub(r"(diff|ab|bc|df|ac|[gbn])$", "", name)[-1].upper())
        depth = float(r["depth_km"])
        up = name[0] in "ps" or (r["takeoff_deg"] > 90.0 and family(name) in ("P", "S"))
        assert (r["takeoff_deg"] > 90.0) == up or r["takeoff_deg"] == 90.0, r
        assert not (depth == 0.0 and name[0] in "ps"), r
        eta_surface = model.radius / model.speed(0.0, last) * math.pi / 180.0
        eta_source = max((model.radius - depth) / model.speed(depth - d, first)
                         for d in (0.0, 1e-9 if depth else 0.0)) * math.pi / 180.0
        assert r["ray_param_s_deg"] <= eta_surface * (1 + 1e-9), r
        assert r["ray_param_s_deg"] <= eta_source * (1 + 1e-9), r
        assert 0.0 <= r["incidence_deg"] <= 90.0, r


@pytest.mark.slow
def test_table_and_exact_agree_field_by_field(ak135):
    """Depth phases, conversions and up-going rays from depths on and beside
    the Moho: the same phases, times, ray parameters and angles whether
    interpolated from the tables or solved ray by ray."""
    names = ("P", "S", "pP", "sP", "sS", "pS", "ScP", "PcS", "SKP", "sPKP", "PmP", "Pms")
    for depth in (10.0, 35.0, 35.5, 300.0):
        for distance in (1.5, 33.0, 80.0):
            fast, exact = (sorted(ak135.arrivals(depth, distance, names, exact=e),
                                  key=lambda a: (round(a.time, 2), a.phase))
                           for e in (False, True))
            assert [a.phase for a in fast] == [a.phase for a in exact], (depth, distance)
            for a, b in zip(fast, exact):
                assert abs(a.time - b.time) < 2e-3 and abs(a.ray_param - b.ray_param) < 2e-3
                assert abs(a.takeoff - b.takeoff) < 0.05 and abs(a.incidence - b.incidence) < 0.05
                assert abs(a.travelled - b.travelled) < 1e-9


@pytest.mark.parametrize("distance", [1.0, 1.5, 3.0, 5.0, 7.0])
def test_a_source_on_a_boundary_radiates_into_both_layers(ak135, distance):
    """A source on the Moho sends up what a source just above it sends up,
    and down what one just below it sends down."""
    names = ("P", "S", "pP", "sS")
    on = ak135.arrivals(35.0, distance, names)
    for beside, upwards in ((34.999, True), (35.001, False)):
        for a in ak135.arrivals(beside, distance, names):
            if (a.takeoff > 90.0) != upwards or a.phase.endswith("n"):
                continue
            assert any(family(b.phase) == family(a.phase) and abs(b.time - a.time) < 0.01
                       for b in on), (beside, a)
