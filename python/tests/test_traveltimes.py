"""Tests of the travel-time calculator: model files, phase names, the Bullen
planet's closed form, the exact solver against a direct quadrature of the
velocity model, the tables against exact rays, the saved tables and the
command line."""

import math
import os
import tempfile
import unittest

import numpy as np
import pytest

from seiskernels import _cli, _exact as tau, _earthmodel as em, _phases as phases
from seiskernels._phases import PhaseError
from seiskernels.traveltimes import DEFAULT_PHASES, ModelError, TravelTimes
from at_once import at_once

HERE = os.path.dirname(os.path.abspath(__file__))
MODELS = os.path.join(HERE, os.pardir, os.pardir, os.pardir, "shared", "validation", "models")

# Crust, a low-velocity zone, a repeated depth without a jump, a fluid core.
SYNTHETIC = """0 5.8 3.4 2.7
20 5.8 3.4 2.7
20 6.6 3.8 2.9
35 6.6 3.8 2.9
mantle
35 8.1 4.5 3.3
120 7.9 4.4 3.3
220 8.05 4.45 3.35
220 8.5 4.65 3.4
660 10.2 5.6 4.0
660 10.8 5.95 4.4
1500 12.0 6.6 4.9
1500 12.0 6.6 4.9
2890 13.7 7.3 5.5
outer-core
2890 8.0 0 9.9
5150 10.3 0 12.1
inner-core
5150 11.0 3.5 12.7
6371 11.3 3.7 13.0
"""
HEADER = "test model\nP S\n0 5.8 3.4 2.7\n"     # and the node at the surface


def write(folder, name, text):
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


class ModelFiles(unittest.TestCase):
    BAD = [  # file, text, the error expected
        ("m.tvel", HEADER + "x 5.8 3.4 2.7\n", "line 4: 'x' is not a number"),
        ("m.tvel", HEADER + "10 5.8 3.4\n", "line 4: expected depth, Vp, Vs"),
        ("m.tvel", HEADER + "20 6 3 3\n10 6 3 3\n", "line 5: depth 10 km lies above"),
        ("m.tvel", HEADER + "9 6 3 3\n9 7 3 3\n9 8 3 3\n", "line 6: depth 9 km appears"),
        ("m.tvel", HEADER + "10 0 3 3\n", "line 4: Vp must be positive"),
        ("m.tvel", HEADER + "10 6 -1 3\n", "line 4: Vs must not be negative"),
        ("m.tvel", "test model\nP S\n5 5.8 3.4 2.7\n", "line 3: the first node must lie at"),
        ("m.tvel", HEADER + "10 6 inf 3\n", "line 4: 'inf' is not a finite"),
        ("m.tvel", HEADER + "100 6 3 3\n6371 9 4 4\n", "no fluid outer core"),
        ("m.tvel", HEADER + "100 6 0 3\n6371 9 4 4\n", "Vs reaches 0 inside"),
        ("m.nd", SYNTHETIC.replace("outer-core", "outer_core"), "line 15: 'outer_core' is not"),
        ("m.nd", SYNTHETIC.replace("mantle\n35 8.1", "mantle\n36 8.1"), "line 5: 'mantle' must"),
        ("m.nd", SYNTHETIC.replace("inner-core\n", ""), "needs both 'outer-core' and"),
        ("m.txt", SYNTHETIC, "unknown model format '.txt'"),
    ]

    def test_malformed_files_name_the_line_and_the_reason(self):
        with tempfile.TemporaryDirectory() as folder:
            for name, text, message in self.BAD:
                with self.subTest(message=message):
                    with self.assertRaises(em.ModelError) as caught:
                        em.read_model(write(folder, name, text))
                    self.assertIn(message, str(caught.exception))

    def test_nd_labels_and_repeated_depths(self):
        with tempfile.TemporaryDirectory() as folder:
            model = em.read_model(write(folder, "m.nd", SYNTHETIC))
        self.assertEqual((model.cmb, model.icb, model.radius), (2890.0, 5150.0, 6371.0))
        self.assertEqual(len(model.shells), 9)      # 1500 km repeats with no jump: no shell

    def test_crust_and_uppermost_mantle_from_labels_or_speeds(self):
        # The .nd file labels its Moho; the same nodes as .tvel leave it to
        # the jump to mantle speed.  Either way: Conrad, Moho, 220 km.
        tvel = "test model\nP S\n" + SYNTHETIC.replace("mantle\n", "").replace(
            "outer-core\n", "").replace("inner-core\n", "")
        with tempfile.TemporaryDirectory() as folder:
            for name, text in (("m.nd", SYNTHETIC), ("m.tvel", tvel)):
                model = em.read_model(write(folder, name, text))
                self.assertEqual(model.regions, [(20.0, "g"), (35.0, "b"), (220.0, "n")], name)


def gauss_legendre(n):
    """Nodes and weights on [-1, 1], by Newton's method on P_n."""
    rule = []
    for k in range(n):
        x = math.cos(math.pi * (k + 0.75) / (n + 0.5))
        for _ in range(50):
            p0, p1 = 1.0, x
            for j in range(2, n + 1):
                p0, p1 = p1, ((2 * j - 1) * x * p1 - (j - 1) * p0) / j
            slope = n * (x * p1 - p0) / (x * x - 1.0)
            x -= p1 / slope
        rule.append((x, 2.0 / ((1.0 - x * x) * slope * slope)))
    return rule


RULE = gauss_legendre(24)


def quadrature(model, legs, p):
    """Time and distance of ray p along legs (top, bottom, wave, count) by
    Gauss-Legendre in u, depth = bottom - u^2 (smooth at a turning point)."""
    time = dist = 0.0
    for top, bottom, wave, count in legs:
        for shell in model.shells:
            a, b = max(shell.top, top), min(shell.bottom, bottom)
            eta = lambda d: (model.radius - d) / shell.speed(d, wave)  # noqa: E731
            if b <= a:
                continue
            if eta(a) < p:
                break
            turns = eta(b) < p
            if turns:
                lo, hi = a, b
                for _ in range(100):
                    lo, hi = ((lo + hi) / 2, hi) if eta((lo + hi) / 2) >= p else (lo, (lo + hi) / 2)
                b = lo
            u_max = math.sqrt(b - a)
            for x, w in RULE:
                u = 0.5 * u_max * (1.0 + x)
                d, r = b - u * u, model.radius - b + u * u
                q = math.sqrt(max(eta(d) ** 2 - p * p, 1e-300))
                jac = count * w * u * u_max
                time, dist = time + jac * eta(d) ** 2 / (r * q), dist + jac * p / (r * q)
            if turns:
                break
        else:
            if bottom >= model.radius:      # through the centre
                dist += count * math.pi / 2.0
    return time, dist


def legs_of(arrival):
    """The passes of an exact arrival as (top, bottom, wave, times)."""
    return [(ps.top, ps.bottom, ps.wave, 2 if ps.kind == phases.TURN else 1)
            for ps in arrival.legs]


def closed_form(earth, arrival):
    """Time and distance of an arrival's ray along its passes on the Bullen
    planet, by exact integration of each region's law."""
    time = dist = 0.0
    p = arrival.p
    for top_d, bottom_d, wave, count in legs_of(arrival):
        shell = earth.model.shell_at(0.5 * (top_d + bottom_d))
        radius = earth.model.radius
        top, lower = shell.eta(radius - top_d, wave), shell.eta(radius - bottom_d, wave)
        lower = max(lower, p)           # the ray turns where eta = p
        arc = math.acos(p / lower) if lower else 0.0
        dist += count * (math.acos(p / top) - arc) / shell.b
        time += count * (math.sqrt(top * top - p * p) - math.sqrt(lower * lower - p * p)) / shell.b
    return time, dist


class Arrivals(unittest.TestCase):
    def assert_quadrature(self, model, cases, tolerance_ms):
        for phase, depth, degree in cases:
            earth = tau.Earth(model, depth)
            arrivals = earth.arrivals(phase, [degree])[0]
            self.assertTrue(arrivals, f"no {phase} at {degree} deg from {depth} km")
            for a in arrivals:
                with self.subTest(phase=a.phase, depth=depth, degree=degree, time=a.time):
                    time, dist = quadrature(model, legs_of(a), a.p)
                    miss = a.travelled - dist
                    if a.head is None:      # a head wave runs on along its boundary
                        self.assertLess(abs(miss), 2e-4)
                    self.assertLess(abs(a.time - (time + a.p * miss)) * 1e3, tolerance_ms)

    def test_synthetic_model_against_quadrature(self):
        with tempfile.TemporaryDirectory() as folder:
            model = em.read_model(write(folder, "m.nd", SYNTHETIC))
        cases = [("P", 0.0, 12), ("P", 0.0, 25), ("P", 300.0, 3), ("P", 300.0, 60),
                 ("S", 100.0, 30), ("PcP", 300.0, 40), ("ScS", 0.0, 70), ("PKP", 0.0, 150),
                 ("PKiKP", 100.0, 120), ("PKIKP", 600.0, 175), ("SKS", 0.0, 100),
                 ("SKIKS", 300.0, 140), ("PP", 0.0, 90), ("SS", 600.0, 170)]
        self.assert_quadrature(model, cases, 3.0)

    @unittest.skipUnless(os.path.isdir(MODELS), f"validation models not found at {MODELS}")
    def test_iasp91_against_quadrature(self):
        model = em.read_model(os.path.join(MODELS, "iasp91.tvel"))
        cases = [("P", 100.0, 87), ("S", 500.0, 21), ("PKiKP", 200.0, 140),
                 ("PKP", 150.0, 175), ("SKS", 450.0, 143), ("PP", 550.0, 172),
                 ("SS", 650.0, 44), ("PKIKP", 0.0, 180)]
        self.assert_quadrature(model, cases, 3.0)

    def test_branches_are_named_where_their_rays_bottom(self):
        with tempfile.TemporaryDirectory() as folder:
            model = em.read_model(write(folder, "m.nd", SYNTHETIC))
        names = set()
        for depth in (10.0, 100.0, 300.0):
            earth = tau.Earth(model, depth)
            for phase in ("P", "SS"):
                for arrivals in earth.arrivals(phase, [2, 5, 9, 14, 20, 40]):
                    for a in arrivals:
                        if a.phase.endswith("diff"):
                            continue
                        # A ray reflected at a boundary bottoms on it, and stays above.
                        named = {phase}
                        for test in (float.__lt__, float.__le__):
                            letter = next((x for d, x in model.regions if test(a.bottom, d)), "")
                            named.add((phase[0] + letter) * len(phase) if letter else phase)
                        with self.subTest(phase=a.phase, depth=depth, bottom=a.bottom):
                            self.assertIn(a.phase, named)
                            self.assertTrue(a.bottom >= 220.0 if a.phase == phase
                                            else a.bottom <= 220.0)
                        names.add(a.phase)
        self.assertTrue({"Pg", "Pb", "Pn", "P", "SnSn", "SS"} <= names, names)

    def test_bullen_planet_closed_form(self):
        model = em.bullen_planet(6371.0, 3480.0, 1220.0, (8.0, 13.0), (9.0, 10.0), (11.0, 11.0))
        for depth in (0.0, 400.0):
            earth = tau.Earth(model, depth)
            for phase in DEFAULT_PHASES:
                for arrivals in earth.arrivals(phase, [0, 5, 30, 75, 100, 145, 150, 175, 180]):
                    for a in arrivals:
                        with self.subTest(phase=a.phase, depth=depth, degree=a.degree):
                            time, dist = closed_form(earth, a)
                            miss = a.travelled - dist
                            if not a.phase.endswith("diff"):
                                self.assertLess(abs(miss), 1e-6)
                            self.assertLess(abs(a.time - (time + a.p * miss)), 1e-5)

D, U, T = phases.DOWN, phases.UP, phases.TURN
PHASE_PASSES = [  # name: its passes from a source at 100 km to the surface, ak135
    ("P", [(0, "M", 100, 2891.5, T), (0, "M", 0, 100, U)]),
    ("PP", [(0, "M", 100, 2891.5, T), (0, "M", 0, 100, U), (0, "M", 0, 2891.5, T)]),
    ("PcS", [(0, "M", 100, 2891.5, D), (1, "M", 0, 2891.5, U)]),
    ("SKKS", [(1, "M", 100, 2891.5, D), (0, "K", 2891.5, 5153.5, T), (0, "K", 2891.5, 5153.5, T),
              (1, "M", 0, 2891.5, U)]),
    ("PKJKP", [(0, "M", 100, 2891.5, D), (0, "K", 2891.5, 5153.5, D), (1, "I", 5153.5, 6371, T),
               (0, "K", 2891.5, 5153.5, U), (0, "M", 0, 2891.5, U)]),
    ("sP", [(1, "M", 0, 100, U), (0, "M", 0, 2891.5, T)]),
    ("P410s", [(0, "M", 100, 410, D), (0, "M", 410, 2891.5, T), (1, "M", 0, 410, U)]),
    ("P^410P", [(0, "M", 100, 410, D), (0, "M", 410, 2891.5, T), (0, "M", 410, 2891.5, T),
                (0, "M", 0, 410, U)]),
    ("Pms", [(0, "M", 100, 2891.5, T), (0, "M", 35, 100, U), (1, "M", 0, 35, U)]),
    ("PmP", None), ("Pn", None),       # the source is below the Moho
    ("Pv660p", [(0, "M", 100, 660, D), (0, "M", 0, 660, U)]),
    ("P'P'", [(0, "M", 100, 2891.5, D), (0, "K", 2891.5, 5153.5, T), (0, "M", 0, 2891.5, U),
              (0, "M", 0, 2891.5, D), (0, "K", 2891.5, 5153.5, T), (0, "M", 0, 2891.5, U)]),
]


@pytest.mark.parametrize("name, expected", PHASE_PASSES)
def test_phase_names_as_passes(name, expected):
    model = em.load("ak135")
    phase = phases.parse(name, phases.bounds_of(model))
    found = phases.passes(phase, 100.0, 0.0, model.cmb, model.icb, model.radius)
    assert (found and [tuple(x) for x in found]) == (expected and [tuple(x) for x in expected])


@pytest.fixture(scope="module")
def ak135(tmp_path_factory):
    return TravelTimes("ak135", cache=tmp_path_factory.mktemp("cache"))


@pytest.mark.slow
def test_tables_against_exact_rays(ak135):
    """Every interpolated arrival, traced again as an exact ray: it lands
    within 0.01 deg of the distance asked, at the time given to 5 ms; and the
    tables find every arrival the exact solver finds."""
    distances = np.array([0.0, 7.5, 21.0, 33.3, 101.0, 144.0, 155.5, 180.0])
    for depth in (0.0, 35.0, 412.5):
        earth = tau.Earth(ak135.model, depth)
        rows = ak135.table([depth], distances)
        for distance in distances:
            mine = rows[rows["distance_deg"] == distance]
            for r in mine:
                if r["phase"].endswith("diff"):
                    continue
                p = r["ray_param_s_deg"] * 180.0 / math.pi
                miss, t = earth.trace(r["phase"], r["takeoff_deg"] > 90.0, p, distance)
                assert abs(math.degrees(miss)) < 0.01 and abs(r["time_s"] - t) < 5e-3
            exact = ak135.arrivals(depth, distance, exact=True)
            for name in {a.phase for a in exact}:
                assert (mine["phase"] == name).sum() >= sum(a.phase == name for a in exact)


def test_one_distance_and_grid_agree(ak135):
    """The kernel's search at one distance and the sorted search of a grid."""
    distances = np.linspace(0.0, 180.0, 37)
    grid = ak135.table([0.0, 200.0], distances, ["P", "PKP", "SS", "pP"])
    for depth in (0.0, 200.0):
        for distance in distances:
            one = ak135.arrivals(depth, distance, ["P", "PKP", "SS", "pP"])
            mine = grid[(grid["depth_km"] == depth) & (grid["distance_deg"] == distance)]
            assert [(a.phase, a.time) for a in one] == list(zip(mine["phase"], mine["time_s"]))


def test_a_long_grid_of_distances_in_one_call(ak135):
    """Thousands of distances at once (arrays the allocator puts far up in
    memory): the same arrivals as one distance at a time."""
    distances = np.linspace(0.0, 180.0, 2001)
    grid = ak135.table([0.0], distances)
    for distance in distances[::97]:
        one = ak135.arrivals(0.0, distance)
        mine = grid[grid["distance_deg"] == distance]
        assert [(a.phase, a.time) for a in one] == list(zip(mine["phase"], mine["time_s"]))


def test_threads_sharing_one_model_get_what_one_thread_gets(ak135):
    """Several threads asking one model for arrivals at once (each source's
    curves are shared, each thread searches on its own)."""
    cases = [(depth, distance) for depth in (10.0, 300.0) for distance in range(0, 181, 9)]
    expected = [ak135.arrivals(*c) for c in cases]

    def ask():
        return [[ak135.arrivals(*c) for c in cases] for _ in range(3)]
    for rounds in at_once(ask, [()] * 4):
        assert all(found == expected for found in rounds)


def test_saved_tables_damaged_or_stale_are_rebuilt(tmp_path):
    first = TravelTimes("iasp91", cache=tmp_path)
    expected = first.arrivals(150.0, 60.0)
    (saved,) = tmp_path.glob("*.tables")
    data = bytearray(saved.read_bytes())
    for damage in (lambda d: d[:len(d) // 2],                          # cut short
                   lambda d: d[:-8] + bytes(x ^ 0xFF for x in d[-8:]),  # a big row's bytes
                   lambda d: d.replace(b'"key": "v', b'"key": "w', 1)):  # another version
        saved.write_bytes(damage(data))
        again = TravelTimes("iasp91", cache=tmp_path)
        assert again.arrivals(150.0, 60.0) == expected
        assert saved.read_bytes() == data      # rebuilt and saved again


BAD_CALLS = [  # arguments of arrivals, the error and what it names
    (dict(depth=-1, distance=30), ValueError, "depth"),
    (dict(depth=3000, distance=30), ModelError, "depth: 3000 km"),
    (dict(depth=10, distance=math.nan), ValueError, "distance: nan"),
    (dict(depth=10, distance=200), ValueError, "distance"),
    (dict(depth=10, distance=30, phases=["PXP"]), PhaseError, "PXP"),
    (dict(depth=10, distance=30, phases=["KP"]), PhaseError, "KP"),
    (dict(depth="ten", distance=30), TypeError, "depth"),
]


@pytest.mark.parametrize("kwargs, error, named", BAD_CALLS)
def test_bad_input_is_named(ak135, kwargs, error, named):
    with pytest.raises(error, match=named):
        ak135.arrivals(**kwargs)


def test_command_line(capsys):
    assert _cli.main(["table", "--model", "ak135", "--depths", "0,100", "--distances",
                      "30,60", "--phases", "P,S"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == ",".join(_cli.CSV_HEADER) and len(lines) == 9
    for argv, named in ((["times", "--model", "mars"], "mars"),
                        (["times", "--depth", "inf", "30"], "depth"),
                        (["times", "--model", "/no/such.nd", "30"], "/no/such.nd")):
        assert _cli.main(argv) == 2
        err = capsys.readouterr().err
        assert named in err and "Traceback" not in err
