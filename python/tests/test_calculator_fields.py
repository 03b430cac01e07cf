"""Every field of every arrival on every path (arrivals(), table() and
exact=True), against answers worked out without the calculator:

- a planet of constant-speed shells, where every ray is a straight chord in
  each shell, so that its time, distance, ray parameter and angles have a
  closed form: two crustal layers, a fast lid over a low-velocity zone,
  sources on and between the boundaries, up-going, reflected and converted
  rays;
- on ak135 and PREM, the names a user asks for and gets at fixed distances,
  each family and the branches it expands into, and the name each ray earns
  by where it bottoms, read from the model file's own speeds.
"""

import functools
import math
import os

import numpy as np
import pytest

import seiskernels
from seiskernels._phases import HEAD_WAVE_DEG
from seiskernels.traveltimes import TravelTimes

P, S = 0, 1
R = 6371.0
MOHO, CMB = 30.0, 2890.0
# Depth of the top and bottom (km), Vp, Vs (km/s); each shell of one speed.
# Upper and lower crust; a fast lid over a low-velocity zone from 60 to 150
# km (rays just under the lid's slowness dive through it and come back far
# away: the curve breaks there); a discontinuity at 300 km; a homogeneous
# lower mantle and core.
SHELLS = [(0.0, 15.0, 5.8, 3.4), (15.0, 30.0, 6.6, 3.8), (30.0, 60.0, 8.0, 4.5),
          (60.0, 150.0, 7.5, 4.2), (150.0, 300.0, 8.6, 4.8), (300.0, 2890.0, 11.0, 6.1),
          (2890.0, 5150.0, 9.0, 0.0), (5150.0, 6371.0, 11.0, 3.5)]
REGIONS = ((15.0, "g"), (30.0, "b"), (60.0, "n"))      # the Conrad, the Moho, the lid's base
LABELS = {30.0: "mantle", 2890.0: "outer-core", 5150.0: "inner-core"}


def step_model_text():
    lines = []
    for top, bottom, vp, vs in SHELLS:
        lines += [LABELS[top]] if top in LABELS else []
        lines += [f"{top:g} {vp:g} {vs:g} 3.0", f"{bottom:g} {vp:g} {vs:g} 3.0"]
    return "\n".join(lines) + "\n"


def speed(wave, depth, below):
    """The speed just below (or above) a depth."""
    return next(s[2 + wave] for s in SHELLS
                if (s[0] <= depth < s[1] if below else s[0] < depth <= s[1]))


def chords(legs, p):
    """(time, distance, bottom depth) of rays p (s/rad, an array) along legs
    (wave, top, bottom, turns): a leg crosses [top, bottom] once, or (turns)
    goes down from top until it turns inside a shell (where r = p v) or meets
    a shell it cannot enter, and back.  NaN where a ray cannot follow them.
    In a shell of speed v a ray is a chord at distance d = p v from the
    centre: from radius r1 to r2 it takes (sqrt(r1^2 - d^2) - sqrt(r2^2 - d^2)) / v
    and covers acos(d / r1) - acos(d / r2)."""
    time, dist = np.zeros(len(p)), np.zeros(len(p))
    ok = np.ones(len(p), bool)
    bottom = np.full(len(p), np.nan)
    for wave, top, bot, turns in legs:
        cut = np.array([(max(a, top), min(b, bot), v[wave]) for a, b, *v in SHELLS
                        if min(b, bot) > max(a, top)])
        if not len(cut):
            continue            # from the surface source to the surface
        v = cut[:, 2:]
        r1, r2, d = R - cut[:, :1], R - cut[:, 1:2], p[None, :] * v
        crossed = d <= r2
        before = np.vstack([np.ones((1, len(p)), bool), np.cumprod(crossed, axis=0)[:-1] > 0])
        entered = before & (d <= r1)
        s1 = np.sqrt(np.maximum(r1 * r1 - d * d, 0.0))
        s2 = np.where(crossed, np.sqrt(np.maximum(r2 * r2 - d * d, 0.0)), 0.0)
        a1 = np.arccos(np.minimum(d / r1, 1.0))
        a2 = np.where(crossed, np.arccos(np.minimum(d / r2, 1.0)), 0.0)
        n = 2.0 if turns else 1.0
        time += n * np.where(entered, (s1 - s2) / v, 0.0).sum(axis=0)
        dist += n * np.where(entered, a1 - a2, 0.0).sum(axis=0)
        if turns:
            stop = np.argmin(crossed, axis=0)
            ok &= ~crossed.all(axis=0) & entered[0]
            turned = entered[stop, np.arange(len(p))]
            bottom = np.where(turned, R - d[stop, np.arange(len(p))], cut[stop, 0])
        else:
            ok &= crossed.all(axis=0)
    return np.where(ok, time, np.nan), np.where(ok, dist, np.nan), bottom


ETAS = sorted({(R - d) / s[2 + w] for s in SHELLS for d in s[:2] for w in (P, S) if s[2 + w]})


def rays(legs, p_max, targets):
    """For each distance (rad), [(p, time, bottom)] of every ray reaching it
    with 0 < p <= p_max: X(p) sampled evenly and ever closer to each shell's
    slownesses (where it moves as a square root), each sign change bisected,
    a jump of X (a ray that cannot go on) left out."""
    ends = np.array(ETAS + [p_max])
    near = ends[:, None] * (1.0 + np.outer([-1, 1], 2.0 ** -np.arange(4, 50)).ravel())
    ps = np.unique(np.concatenate([np.linspace(0.0, p_max, 6001), ends, near.ravel()]))
    ps = ps[(ps > 0.0) & (ps <= p_max)]
    f = chords(legs, ps)[1][None, :] - targets[:, None]
    i, k = np.nonzero(np.isfinite(f[:, :-1]) & np.isfinite(f[:, 1:]) &
                      (f[:, :-1] * f[:, 1:] <= 0.0) & (f[:, :-1] != f[:, 1:]))
    lo, hi, f_lo, goal = ps[k], ps[k + 1], f[i, k], targets[i]
    for _ in range(45):
        mid = 0.5 * (lo + hi)
        f_mid = chords(legs, mid)[1] - goal
        left = np.sign(f_mid) == np.sign(f_lo)
        lo, f_lo, hi = np.where(left, mid, lo), np.where(left, f_mid, f_lo), np.where(left, hi, mid)
    p = 0.5 * (lo + hi)
    time, dist, bottom = chords(legs, p)
    out = [[] for _ in targets]
    for j, args in zip(i, zip(p, time + p * (goal - dist), bottom, np.abs(dist - goal))):
        if args[3] < 1e-9:
            out[j].append(args[:3])
    return out


def expected(phase, depth, degrees):
    """For each distance, the arrivals as (name, time, p s/deg, take-off,
    incidence) of the phases this file asks for on the shell planet."""
    targets = np.radians(degrees)
    found = [[] for _ in degrees]
    first, last = "PS".index(phase[0].upper()), "PS".index(phase[-1])

    def add(legs, up, name_of):
        if depth == 0.0 and up:
            return          # a source at the surface sends no ray upwards
        eta = (R - depth) / speed(first, depth, below=not up)
        for out, hits in zip(found, rays(legs, eta, targets)):
            for p, time, bottom in hits:
                takeoff = math.degrees(math.asin(min(1.0, p / eta)))
                out.append((name_of(bottom), time, math.radians(p),
                            180.0 - takeoff if up else takeoff,
                            math.degrees(math.asin(p * speed(last, 0.0, True) / R))))

    if phase in ("P", "S"):
        def name_of(bottom):
            # A ray bottoms where it turns, or on the boundary it cannot enter.
            return phase + next((letter for d, letter in REGIONS if bottom <= d), "")
        add([(first, depth, CMB, True), (first, 0.0, depth, False)], False, name_of)
        add([(first, 0.0, depth, False)], True, lambda _: name_of(depth))
        if depth <= MOHO:       # the head wave along the Moho, for 20 deg
            p_star = (R - MOHO) / speed(first, MOHO, True)
            t_star, x_star, _ = chords([(first, depth, MOHO, False), (first, 0.0, MOHO, False)],
                                       np.array([p_star]))
            eta = (R - depth) / speed(first, depth, True)
            for out, x in zip(found, targets):
                if x_star[0] <= x <= x_star[0] + math.radians(HEAD_WAVE_DEG):
                    out.append((phase + "n", t_star[0] + p_star * (x - x_star[0]),
                                math.radians(p_star), math.degrees(math.asin(p_star / eta)),
                                math.degrees(math.asin(p_star * speed(first, 0.0, True) / R))))
    elif phase[0].islower():    # a depth phase: up to the surface, then down and back
        add([(first, 0.0, depth, False), (last, 0.0, CMB, True)], True, lambda _: phase)
    elif depth < MOHO or phase[1] == "c":   # reflected at the CMB or the Moho, converted
        bound = CMB if phase[1] == "c" else MOHO
        add([(first, depth, bound, False), (last, 0.0, bound, False)], False, lambda _: phase)
    return found


@pytest.fixture(scope="module")
def shells(tmp_path_factory):
    folder = tmp_path_factory.mktemp("shells")
    path = folder / "shells.nd"
    path.write_text(step_model_text())
    return TravelTimes(path, cache=folder)


# Sources at the surface, in the upper crust, on the Conrad, in the lower
# crust, on the Moho, in the lid, on the top of the low-velocity zone, inside
# it under the fast lid (up-going rays of higher p are blocked), on its bottom.
DEPTHS = (0.0, 10.0, 15.0, 20.0, 30.0, 45.0, 60.0, 100.0, 150.0)
PHASES = ("P", "S", "pP", "sP", "pS", "sS", "ScP", "PcS", "PmS", "SmP")
DEGREES = (0.7, 2.5, 6.3, 9.1, 13.7, 17.2, 24.0, 41.0)
_EXPECTED = {}


def expected_at(phase, depth):
    key = (phase, depth)
    if key not in _EXPECTED:
        _EXPECTED[key] = expected(phase, depth, DEGREES)
    return _EXPECTED[key]


def assert_same(found, wanted, where):
    """Each arrival wanted matched by one found of its name at the nearest
    time: the same count, time to 2 ms, p to 0.005 s/deg, angles to 0.3 deg
    (the tables interpolate; p moves fastest where rays graze)."""
    assert sorted(f[0] for f in found) == sorted(w[0] for w in wanted), (where, found, wanted)
    left = list(found)
    for w in sorted(wanted, key=lambda w: w[1]):
        f = min((f for f in left if f[0] == w[0]), key=lambda f: abs(f[1] - w[1]))
        left.remove(f)
        assert abs(f[1] - w[1]) < 2e-3 and abs(f[2] - w[2]) < 5e-3, (where, f, w)
        assert abs(f[3] - w[3]) < 0.3 and abs(f[4] - w[4]) < 0.3, (where, f, w)


def fields(a):
    return (a.phase, a.time, a.ray_param, a.takeoff, a.incidence)


@pytest.mark.parametrize("phase", PHASES)
def test_shell_planet_arrivals_one_distance(shells, phase):
    for depth in DEPTHS:
        for degree, wanted in zip(DEGREES, expected_at(phase, depth)):
            found = shells.arrivals(depth, degree, [phase])
            assert_same([fields(a) for a in found], wanted, (phase, depth, degree))
            assert all(abs(a.travelled - degree) < 1e-9 and a.distance == degree for a in found)


@pytest.mark.parametrize("phase", PHASES)
def test_shell_planet_table(shells, phase):
    rows = shells.table(DEPTHS, DEGREES, [phase])
    for depth in DEPTHS:
        for degree, wanted in zip(DEGREES, expected_at(phase, depth)):
            mine = rows[(rows["depth_km"] == depth) & (rows["distance_deg"] == degree)]
            found = [(str(r["phase"]), r["time_s"], r["ray_param_s_deg"], r["takeoff_deg"],
                      r["incidence_deg"]) for r in mine]
            assert_same(found, wanted, (phase, depth, degree))




@pytest.mark.parametrize("phase", PHASES)
@pytest.mark.slow
def test_shell_planet_exact(shells, phase):
    for depth in (0.0, 15.0, 30.0, 60.0, 100.0):
        for degree, wanted in zip(DEGREES, expected_at(phase, depth)):
            if degree in (2.5, 9.1, 13.7, 41.0):
                found = shells.arrivals(depth, degree, [phase], exact=True)
                assert_same([fields(a) for a in found], wanted, (phase, depth, degree))


# --- ak135 and PREM ------------------------------------------------------------

@functools.lru_cache(maxsize=None)
def nodes(model):
    """(depth, Vp, Vs) of every node of a built-in model's file, read here."""
    with open(os.path.join(os.path.dirname(seiskernels.__file__), "models", model + ".nd")) as f:
        return [tuple(map(float, w[:3])) for w in map(str.split, f) if len(w) >= 4]


def eta_at(model, wave, depth, below):
    """Slowness r / v (s/rad) just below or above a depth, speeds linear
    between nodes, a repeated depth a jump."""
    rows = nodes(model)
    for (d1, *v1), (d2, *v2) in zip(rows, rows[1:]):
        if d1 < d2 and (d1 <= depth < d2 if below else d1 < depth <= d2):
            v = v1[wave] + (v2[wave] - v1[wave]) * (depth - d1) / (d2 - d1)
            return (R - depth) / v
    raise ValueError(depth)


@functools.lru_cache(maxsize=None)
def least_eta(model, wave, depth):
    """The least slowness from the surface to just below a depth: a ray of
    higher p cannot go deeper (the slowness is monotonic between nodes)."""
    return min((R - d) / v[wave] for d, *v in nodes(model) if d <= depth)


# The boundaries that name rays (reasoned from the files): ak135's Conrad at
# 20 km, Moho at 35, the next discontinuity at 210; PREM repeats 3 km without
# a jump, so its Conrad is the jump at 15 km, its Moho 24.4 and the next
# boundary 80 km.  A ray bottoming above the Conrad is Pg, above the Moho Pb,
# above the next boundary Pn (with the head wave); a ray going straight up
# is named by the source's region.
REGIONS_OF = {"ak135": ((20.0, "g"), (35.0, "b"), (210.0, "n")),
              "prem": ((15.0, "g"), (24.4, "b"), (80.0, "n"))}
CRUST_DEPTHS = {"ak135": (0.0, 10.0, 20.0, 27.0, 35.0, 100.0, 210.0),
                "prem": (0.0, 3.0, 10.0, 15.0, 20.0, 24.4, 50.0, 80.0, 100.0)}


def earned(model, family, depth, p, up):
    """The name a P, S, PP or SS arrival of ray parameter p (s/deg) earns."""
    wave = "PS".index(family[0])
    p_rad = p * 180.0 / math.pi
    letter = next((letter for d, letter in REGIONS_OF[model]
                   if (depth <= d if up else p_rad > least_eta(model, wave, d) * (1 + 1e-12))),
                  "")
    return (family[0] + letter) * len(family) if letter else family


@pytest.fixture(scope="module")
def builtin(tmp_path_factory):
    folder = tmp_path_factory.mktemp("builtin")
    return {m: TravelTimes(m, cache=folder) for m in ("ak135", "prem")}


def as_rows(arrivals):
    return [(a.phase, a.time, a.ray_param, a.takeoff, a.incidence) for a in arrivals]


def table_rows(rows, depth, degree):
    mine = rows[(rows["depth_km"] == depth) & (rows["distance_deg"] == degree)]
    return [(str(r["phase"]), r["time_s"], r["ray_param_s_deg"], r["takeoff_deg"],
             r["incidence_deg"]) for r in mine]


def assert_equal_rows(one, many, where):
    """arrivals() and table(): the same arrivals in the same order, every
    field the same to rounding."""
    assert [r[0] for r in one] == [r[0] for r in many], where
    assert np.allclose(np.reshape([r[1:] for r in one], (-1, 4)),
                       np.reshape([r[1:] for r in many], (-1, 4)), rtol=0, atol=1e-9), where


def assert_physics(model, depth, row, first, last):
    """Take-off from the first wave's speed at the source, on the side the
    ray leaves into; incidence from the last wave's speed at the surface."""
    name, _, p, takeoff, incidence = row
    p_rad = p * 180.0 / math.pi
    up = takeoff > 90.0
    source = eta_at(model, first, depth, below=not up)
    assert math.sin(math.radians(takeoff)) == pytest.approx(p_rad / source, abs=2e-6), row
    assert math.sin(math.radians(incidence)) == pytest.approx(
        p_rad / eta_at(model, last, 0.0, True), abs=2e-6), row
    assert incidence <= 90.0, row


@pytest.mark.parametrize("model", ["ak135", "prem"])
def test_crustal_names_and_angles_in_every_mode(builtin, model):
    """Every P, S, PP and SS arrival from sources in and under the crust, on
    and beside its boundaries: the name it earns by where it bottoms, its
    angles from the model's speeds, the same fields from arrivals() and
    table(), and the same arrivals solved ray by ray."""
    tt = builtin[model]
    degrees = np.arange(0.25, 30.0, 0.75)
    depths = CRUST_DEPTHS[model]
    rows = tt.table(depths, degrees, ["P", "S", "PP", "SS"])
    for depth in depths:
        for degree in degrees:
            one = as_rows(tt.arrivals(depth, degree, ["P", "S", "PP", "SS"]))
            assert_equal_rows(one, table_rows(rows, depth, degree), (depth, degree))
            for row in one:
                if row[0].endswith("diff"):
                    continue
                family = next(f for f in ("PP", "SS", "P", "S")
                              if row[0].replace("g", "").replace("b", "").replace("n", "") == f)
                wave = "PS".index(family[0])
                assert row[0] == earned(model, family, depth, row[2], row[3] > 90.0), \
                    (depth, degree, row)
                assert_physics(model, depth, row, wave, wave)


@pytest.mark.parametrize("depth, degree", [(0.0, 1.5), (3.0, 4.0), (10.0, 6.0), (15.0, 1.5),
                                           (15.0, 13.0), (24.4, 4.0), (24.4, 17.0),
                                           (80.0, 9.0), (100.0, 2.0)])
def test_prem_crust_exact_matches_the_tables(builtin, depth, degree):
    tt = builtin["prem"]
    exact = as_rows(tt.arrivals(depth, degree, ["P", "S"], exact=True))
    assert_same(exact, as_rows(tt.arrivals(depth, degree, ["P", "S"])), (depth, degree))
    for row in exact:
        wave = "PS".index(row[0][0])
        assert row[0] == earned("prem", row[0][0], depth, row[2], row[3] > 90.0), row
        assert_physics("prem", depth, row, wave, wave)


# What a user asking for a family gets at fixed distances, by where the rays
# go.  ak135 and PREM have upper crusts of one speed, so a ray bottoming above
# the Conrad (depth C) is a straight chord and Pg reaches, from depth h,
# acos((R - C) / (R - h)) + acos((R - C) / R): 9.08 deg from ak135's surface
# (C = 20 km), 7.75 from 10 km; 7.86 deg from PREM's (C = 15), 6.20 from 10 km.
NAMES = [  # model, depth, distance, family, the names of its arrivals
    ("ak135", 0.0, 4.0, "P", {"Pg", "Pb", "Pn"}),       # every crustal branch and the head wave
    ("ak135", 10.0, 8.0, "P", {"Pb", "Pn"}),            # past Pg's 7.75 deg
    ("ak135", 0.0, 8.0, "P", {"Pg", "Pb", "Pn"}),       # within Pg's 9.08 deg
    ("ak135", 0.0, 12.0, "P", {"Pn"}),                  # past the crust, before rays under 210 km
    ("ak135", 0.0, 18.0, "P", {"P", "Pn"}),
    ("ak135", 0.0, 60.0, "P", {"P"}),
    ("ak135", 300.0, 4.0, "P", {"P"}),                  # a source under every naming boundary
    ("ak135", 0.0, 99.0, "P", {"P"}),                   # the ray grazing the core lands further
    ("ak135", 300.0, 99.0, "P", {"Pdiff"}),             # than from a deeper source
    ("ak135", 0.0, 110.0, "P", {"Pdiff"}),
    ("ak135", 10.0, 4.0, "S", {"Sg", "Sb", "Sn"}),
    ("ak135", 0.0, 30.0, "S", {"S"}),
    ("ak135", 0.0, 110.0, "S", {"Sdiff"}),
    ("ak135", 0.0, 16.0, "PP", {"PgPg", "PbPb", "PnPn"}),   # PgPg: twice 9.08 deg
    ("ak135", 0.0, 24.0, "PP", {"PnPn"}),
    ("ak135", 0.0, 60.0, "PP", {"PP"}),
    ("ak135", 300.0, 16.0, "PP", set()),                # each leg turns under 300 km: further
    ("ak135", 0.0, 8.0, "SS", {"SgSg", "SbSb", "SnSn"}),
    ("ak135", 0.0, 120.0, "SS", {"SS"}),
    ("ak135", 0.0, 140.0, "PKP", set()),                # before the caustic
    ("ak135", 0.0, 150.0, "PKP", {"PKPab", "PKPbc"}),   # both sides of it
    ("ak135", 0.0, 170.0, "PKP", {"PKPab"}),            # past the end of bc
    ("ak135", 0.0, 100.0, "SKS", {"SKS"}),
    ("ak135", 0.0, 60.0, "SKS", set()),
    ("prem", 0.0, 4.0, "P", {"Pg", "Pb", "Pn"}),
    ("prem", 3.0, 1.0, "P", {"Pg", "Pb", "Pn"}),        # on the repeated node at 3 km: upper crust
    ("prem", 0.0, 8.0, "P", {"Pn"}),                    # past Pg's 7.86 deg and Pb's
    ("prem", 10.0, 12.0, "P", {"P", "Pn"}),
    ("prem", 50.0, 2.0, "P", {"Pn"}),                   # straight up from the uppermost mantle
    ("prem", 100.0, 2.0, "P", {"P"}),                   # straight up from under 80 km
    ("prem", 0.0, 99.0, "P", {"Pdiff"}),
    ("prem", 0.0, 8.0, "SS", {"SgSg", "SbSb", "SnSn"}),
    ("prem", 0.0, 16.0, "PP", {"PnPn"}),                # past PgPg's 15.7 deg
    ("prem", 10.0, 40.0, "PP", {"PP", "PnPn"}),
    ("prem", 0.0, 145.0, "PKP", set()),
    ("prem", 0.0, 150.0, "PKP", {"PKPab", "PKPbc"}),
    ("prem", 0.0, 155.0, "PKP", {"PKPab"}),
    ("prem", 0.0, 100.0, "SKS", {"SKS"}),
]
BRANCHES = {"P": ("Pg", "Pb", "Pn", "Pdiff"), "S": ("Sg", "Sb", "Sn", "Sdiff"),
            "PP": ("PgPg", "PbPb", "PnPn"), "SS": ("SgSg", "SbSb", "SnSn"),
            "PKP": ("PKPab", "PKPbc"), "SKS": ()}


@pytest.mark.parametrize("model, depth, degree, family, names", NAMES)
def test_names_a_family_gives_and_its_branches(builtin, model, depth, degree, family, names):
    """The names at a distance, from arrivals(), table() and exact=True; and
    each branch asked for alone gives exactly that family's arrivals of its
    name, field for field."""
    tt = builtin[model]
    whole = as_rows(tt.arrivals(depth, degree, [family]))
    assert {r[0] for r in whole} == names
    assert {r[0] for r in table_rows(tt.table([depth], [degree], [family]), depth, degree)} == names
    if family != "PKP":     # the exact PKP, slow, is held by its fold below
        assert {a.phase for a in tt.arrivals(depth, degree, [family], exact=True)} == names
    for branch in BRANCHES[family]:
        assert as_rows(tt.arrivals(depth, degree, [branch])) == [r for r in whole if r[0] == branch]


@pytest.mark.parametrize("model", ["ak135", "prem"])
def test_pkp_sides_of_the_fold(builtin, model):
    """PKPab has the larger ray parameter; both sides from the exact solver
    too, and PKPdf, SKSac and SKSdf are PKIKP, SKS and SKIKS by their names."""
    tt = builtin[model]
    exact = tt.arrivals(0.0, 150.0, ["PKP"], exact=True)
    for found in (exact, tt.arrivals(0.0, 150.0, ["PKP"])):
        ab, bc = (next(a for a in found if a.phase == n) for n in ("PKPab", "PKPbc"))
        assert ab.ray_param > bc.ray_param and ab.time > bc.time
    for alias, phase, degree in (("PKPdf", "PKIKP", 150.0), ("SKSac", "SKS", 100.0),
                                 ("SKSdf", "SKIKS", 130.0)):
        for exact in (False, True):
            named = tt.arrivals(0.0, degree, [alias], exact=exact)
            plain = tt.arrivals(0.0, degree, [phase], exact=exact)
            assert named and [a._replace(phase=phase) for a in named] == plain


@pytest.mark.parametrize("model, conrad", [("ak135", 20.0), ("prem", 15.0)])
@pytest.mark.parametrize("depth", [0.0, 10.0])
@pytest.mark.parametrize("family", ["P", "S", "PP"])
def test_pg_reaches_as_far_as_a_chord_to_the_conrad(builtin, model, conrad, depth, family):
    """Pg, Sg and PgPg end where their rays graze the Conrad, in every mode."""
    assert len({tuple(v) for d, *v in nodes(model) if d < conrad}) == 1    # one speed in each wave
    reach = math.acos((R - conrad) / (R - depth)) + math.acos((R - conrad) / R)
    if family == "PP":
        reach += 2.0 * math.acos((R - conrad) / R)
    name = (family[0] + "g") * len(family)
    for degree, there in ((math.degrees(reach) - 0.05, True), (math.degrees(reach) + 0.05, False)):
        for exact in (False, True):
            found = {a.phase for a in builtin[model].arrivals(depth, degree, [family], exact=exact)}
            assert (name in found) == there, (degree, exact, found)


CONVERTED = [("sP", S, P), ("pS", P, S), ("ScP", S, P), ("PcS", P, S), ("SKP", S, P),
             ("PKS", P, S), ("Pms", P, S), ("Smp", S, P), ("sPKP", S, P), ("PKiKS", P, S),
             ("sSKS", S, S), ("pPdiff", P, P)]
BOUNDARIES = {"ak135": (20.0, 35.0, 35.001, 209.999, 210.0, 410.0),
              "prem": (15.0, 24.399, 24.4, 220.0, 400.0, 670.0)}


@pytest.mark.parametrize("model", ["ak135", "prem"])
def test_converted_and_depth_phases_leave_and_arrive_as_their_waves(builtin, model):
    """A depth phase leaves upwards, any other converted phase downwards; the
    take-off angle is that of its first wave at the source, on the side it
    leaves into (sources on and beside boundaries), the incidence that of its
    last wave; arrivals() and table() agree field by field, and the exact
    solver finds the same rays."""
    tt = builtin[model]
    names = [c[0] for c in CONVERTED]
    waves = {name: (first, last) for name, first, last in CONVERTED}
    degrees = [5.0, 25.0, 60.0, 120.0, 140.0, 150.0]
    depths = BOUNDARIES[model]
    rows = tt.table(depths, degrees, names)
    seen = set()
    for depth in depths:
        for degree in degrees:
            one = as_rows(tt.arrivals(depth, degree, names))
            assert_equal_rows(one, table_rows(rows, depth, degree), (depth, degree))
            for row in one:
                assert (row[3] > 90.0) == row[0][0].islower(), (depth, degree, row)
                assert_physics(model, depth, row, *waves[row[0]])
                seen.add(row[0])
    assert seen == set(names)
    for depth, degree in ((depths[1], 25.0), (depths[4], 60.0)):
        exact = as_rows(tt.arrivals(depth, degree, names, exact=True))
        assert_same(exact, as_rows(tt.arrivals(depth, degree, names)), (depth, degree))
