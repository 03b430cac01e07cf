"""Each rule of the model reader and of the source depth, broken by one case
(those test_traveltimes.py does not hold already), and each such case
refused through the public calls with one clear error naming the file and
line, or the argument and its value, and no cache file written.  The cases
just inside each rule are accepted."""

import math

import numpy as np
import pytest

from seiskernels import _earthmodel as em
from seiskernels.traveltimes import ModelError, TravelTimes

# A small planet: crust, mantle with the Moho labelled, fluid outer core,
# solid inner core.
ND = """0 5.8 3.4 2.7
20 5.8 3.4 2.7
20 6.5 3.8 2.9
40 6.5 3.8 2.9
mantle
40 8.0 4.5 3.3
300 8.5 4.8 3.4
300 9.0 5.0 3.5
600 10.0 5.6 4.0
outer-core
600 8.0 0 9.9
800 9.0 0 12.1
inner-core
800 10.0 3.5 12.7
1000 10.5 3.7 13.0
"""
UNLABELLED = "".join(line + "\n" for line in ND.splitlines() if line[0].isdigit())
TVEL = "small planet\nP S\n" + UNLABELLED
FLUID_MANTLE = ("300 9.0 5.0 3.5\n", "300 9.0 5.0 3.5\n350 9.1 5.0 3.5\n350 9.1 0 3.5\n"
                "400 9.2 0 3.5\n400 9.2 5.1 3.5\n")

BAD_FILES = [  # name, text, what the error says
    ("m.tvel", "small planet\n", "starts with two header lines"),
    ("m.tvel", TVEL.replace("40 8.0 4.5 3.3", "40 8.0 4.5 3.3 1.0"), "found 5 fields"),
    ("m.nd", ND.replace("40 8.0 4.5 3.3", "40 8.0 4.5"), "found 3 fields"),
    ("m.nd", ND.replace("40 8.0 4.5 3.3", "40 8.0 4.5 3.3 600 300 9"), "found 7 fields"),
    ("m.nd", ND.replace("300 8.5", "300 nan"), "line 7: 'nan' is not a finite"),
    ("m.nd", ND.replace("300 8.5 4.8 3.4", "300 8.5 4.8 -3.4"), "density must not be negative"),
    ("m.nd", ND.replace("300 8.5", "300 -8.5"), "Vp must be positive"),
    ("m.nd", "0 5.8 3.4 2.7\n", "needs nodes from the surface down to the centre"),
    ("m.nd", "0 5.8 3.4 2.7\n0 6.8 3.9 2.9\n", "needs nodes from the surface down"),
    ("m.nd", "mantle\n" + UNLABELLED, "line 1: 'mantle' must stand between two nodes"),
    ("m.nd", ND.replace("mantle\n", "mantle\nmantle\n"), "line 6: 'mantle' must stand between"),
    ("m.nd", ND.replace("inner-core\n", "mantle\n"), "line 13: 'mantle' appears twice"),
    ("m.nd", ND.replace("inner-core\n", "") + "inner-core\n",
     "line 15: 'inner-core' must stand between two nodes"),
    ("m.nd", ND.replace("outer-core\n", ""), "needs both 'outer-core' and 'inner-core'"),
    ("m.nd", ND.replace("outer-core", "@").replace("inner-core", "outer-core").replace(
        "@", "inner-core"), "needs both 'outer-core' and 'inner-core', in that order"),
    ("m.nd", UNLABELLED.replace("0 5.8 3.4 2.7\n20 5.8 3.4", "0 1.5 0 1.0\n5 1.5 0 1.0\n"
                                "5 5.8 3.4 2.7\n20 5.8 3.4"), "ocean"),
    ("m.nd", UNLABELLED.replace(*FLUID_MANTLE), "more than one fluid region"),
    ("m.nd", UNLABELLED.replace("3.5 12.7\n1000 10.5 3.7", "0 12.7\n1000 10.5 0"),
     "no solid inner core"),
    ("m.nd", b"0 5.8 3.4 2.7\n\xff\xfe\n", "cannot read"),
]


def write(folder, name, text):
    path = folder / name
    (path.write_bytes if isinstance(text, bytes) else path.write_text)(text)
    return path


@pytest.mark.parametrize("name, text, message", BAD_FILES, ids=[c[2] for c in BAD_FILES])
def test_each_rule_of_the_reader_is_broken_by_a_file(tmp_path, name, text, message):
    path = write(tmp_path, name, text)
    with pytest.raises(ModelError, match=message):
        em.read_model(str(path))
    cache = tmp_path / "cache"
    with pytest.raises(ModelError) as caught:
        TravelTimes(path, cache=cache)
    assert str(path) in str(caught.value) and message.split(":")[-1].strip() in str(caught.value)
    assert not cache.exists()


@pytest.mark.parametrize("text", [
    ND.replace(*FLUID_MANTLE),
    ND.replace("600 8.0 0 9.9\n800 9.0 0 12.1", "600 8.0 4.0 9.9\n800 9.0 4.5 12.1"),
    ND.replace("mantle\n", "").replace("800 10.0 3.5 12.7", "800 10.0 3.5 12.7\n"
                                         "900 10.2 3.6 12.8\nmantle\n900 10.2 3.6 12.8"),
], ids=["fluid in the mantle", "solid outer core", "Moho in the core"])
def test_labels_that_contradict_the_speeds_are_refused(tmp_path, text):
    path = write(tmp_path, "m.nd", text)
    with pytest.raises(ModelError, match=str(path)):
        TravelTimes(path, cache=False).arrivals(10.0, 30.0, ["P", "S", "SKS"])


GOOD_FILES = [  # the same planet as the rules allow it to be written
    ("m.nd", ND),
    ("m.nd", UNLABELLED),                                   # core from the fluid shells
    ("m.tvel", TVEL),
    ("m.nd", "".join(line + " 1450 600\n" if line[0].isdigit() else line + "\n"
                     for line in ND.splitlines())),         # with Qp and Qs
    ("m.nd", ND.replace("40 8.0 4.5 3.3\n", "40 8.0 4.5 3.3 1450\n")),
    ("m.nd", ND.replace("\n300 9.0", "\n\n300 9.0")),         # a blank line
]


@pytest.mark.parametrize("name, text", GOOD_FILES, ids=["labelled", "unlabelled", "tvel",
                                                      "Q columns", "some Q", "blank line"])
def test_files_within_the_rules_read_the_same_planet(tmp_path, name, text):
    model = em.read_model(str(write(tmp_path, name, text)))
    assert (model.cmb, model.icb, model.radius, model.moho) == (600.0, 800.0, 1000.0, 40.0)
    assert model.discontinuities == [20.0, 40.0, 300.0, 600.0, 800.0]
    assert model.regions == [(20.0, "g"), (40.0, "b"), (300.0, "n")]


@pytest.fixture(scope="module")
def ak135(tmp_path_factory):
    return TravelTimes("ak135", cache=tmp_path_factory.mktemp("cache"))


CMB = 2891.5    # ak135's core-mantle boundary
BAD_DEPTHS = [  # depth, distance, error, what it names
    (CMB, 30.0, ModelError, "depth: 2891.5 km is outside the model's mantle"),
    (math.nextafter(CMB, math.inf), 30.0, ModelError, "depth: 2891.5"),
    (math.inf, 30.0, ValueError, "depth: inf is not allowed"),
    (-math.inf, 30.0, ValueError, "depth: -inf"),
    (math.nan, 30.0, ValueError, "depth: nan"),
    (-1e-300, 30.0, ValueError, "depth: -1e-300"),
    (None, 30.0, TypeError, "depth: expected a number, got NoneType"),
    (10.0, -1e-9, ValueError, "distance: -1e-09 is not allowed: expected a finite number, "
                              "0 to 180"),
    (10.0, math.nextafter(180.0, math.inf), ValueError, "distance: 180.00000000000003"),
    (10.0, math.inf, ValueError, "distance: inf"),
    (10.0, [30.0], TypeError, "distance: expected a number, got list"),
]


@pytest.mark.parametrize("depth, distance, error, named", BAD_DEPTHS)
@pytest.mark.parametrize("exact", [False, True])
def test_each_rule_of_the_source_depth_and_distance(ak135, depth, distance, error, named, exact):
    with pytest.raises(error, match=named.replace("(", r"\(").replace("+", r"\+")):
        ak135.arrivals(depth, distance, ["P"], exact=exact)


@pytest.mark.parametrize("depths, distances, error, named", [
    ([0.0, CMB], [30.0], ModelError, "depth: 2891.5 km"),
    ([0.0, math.nan], [30.0], ValueError, "depths: nan"),
    ([0.0, -5.0], [30.0], ValueError, "depths: -5"),
    ([10.0], [30.0, 180.5], ValueError, "distances: 180.5"),
    ([10.0], [30.0, -0.5], ValueError, "distances: -0.5"),
    ([10.0], ["far"], TypeError, "distances: expected numbers"),
    (["deep"], [30.0], TypeError, "depths: expected numbers"),
])
def test_each_rule_of_a_table_grid(ak135, depths, distances, error, named):
    with pytest.raises(error, match=named):
        ak135.table(depths, distances, ["P"])


def test_the_edges_the_rules_allow(ak135):
    """The surface, just above the core, the antipode and the source's own
    place are allowed; a source just above the core sends P down and up."""
    deepest = math.nextafter(CMB, 0.0)
    for exact in (False, True):
        assert ak135.arrivals(deepest, 60.0, ["P", "ScS"], exact=exact)
        assert ak135.arrivals(0.0, 180.0, ["PKIKP"], exact=exact)
        assert ak135.arrivals(0.0, 0.0, ["PcP"], exact=exact)
    rows = ak135.table(np.array([[0.0, deepest]]), np.array([0.0, 180.0]), ["PKIKP"])
    assert set(rows["depth_km"]) == {0.0, deepest} and set(rows["distance_deg"]) == {180.0}
