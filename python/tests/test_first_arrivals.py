"""Tests of TravelTimes.first_arrivals: the interpolated first arrivals held
to the calculator's own arrivals at each pair's depth (and a few to the exact
solver), on the real grid's nodes over the regions where first arrivals are
hardest (discontinuities, the crust's crossovers, the 410's triplication, the
core's shadow and 180 degrees); bad input; the table saved and loaded."""

import os
import tempfile

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from seiskernels import _engine, _pairs
from seiskernels._phases import PhaseError
from seiskernels.traveltimes import TravelTimes

TOLERANCE = 5e-3        # s
# Regions of the real grid (its own nodes, so that the cells are the ones a
# full build makes there): (depths, distances) ranges.
REGIONS = {
    "crust": ((0.0, 40.0), (0.0, 25.0)),         # 20 and 35 km, Pg/Pb/Pn crossovers
    "410": ((380.0, 440.0), (10.0, 30.0)),       # the 410's triplication and crossovers
    "core": ((2700.0, 3000.0), (80.0, 180.0)),   # D'', the shadow, Pdiff, 180 degrees
}
DIFFRACTED = {("P", "Pdiff"), ("S", "Sdiff")}


@pytest.fixture(scope="module")
def models():
    """A model per region whose P and S tables are the real grid's nodes
    within the region."""
    out = {}
    for name, ((h0, h1), (x0, x1)) in REGIONS.items():
        tt = TravelTimes("ak135", cache=False)
        hs, xs = _pairs.depth_nodes(tt.tables), _pairs.distance_nodes()
        hs, xs = hs[(hs >= h0) & (hs <= h1)], xs[(xs >= x0) & (xs <= x1)]
        for phase in ("P", "S"):
            _pairs.dense_of(tt, phase, hs, xs)
        out[name] = (tt, hs, xs)
    return out


def calculator_first(tt, depths, distances, phase):
    """Time, p, dT/dh and name of the first arrival of `phase` at each pair,
    from the calculator's table() at each pair's own depth."""
    n = len(depths)
    time, p, dtdh = (np.full(n, np.nan) for _ in range(3))
    name = np.full(n, "", dtype=object)
    for i, (h, x) in enumerate(zip(depths.tolist(), distances.tolist())):
        rows = tt.table([h], [x], (phase,))
        if len(rows):
            r = rows[np.argmin(rows["time_s"])]
            time[i], p[i], dtdh[i], name[i] = (r["time_s"], r["ray_param_s_deg"],
                                                r["dtdh_s_km"], r["phase"])
    return time, p, dtdh, name


def region_pairs(hs, xs, n, seed):
    """Random pairs within the region's nodes, and pairs on its nodes, its
    discontinuities' two nodes, and its ends."""
    rng = np.random.default_rng(seed)
    h = rng.uniform(hs[0], hs[-1], n)
    x = rng.uniform(xs[0], xs[-1], n)
    on_h = rng.choice(hs[:-1], 60)
    on_x = rng.choice(xs, 60)
    h = np.concatenate([h, on_h, rng.uniform(hs[0], hs[-1], 60), on_h, [hs[0], hs[-1]] * 2])
    x = np.concatenate([x, rng.uniform(xs[0], xs[-1], 60), on_x, on_x,
                        [xs[0], xs[0], xs[-1], xs[-1]]])
    return h, x


@pytest.mark.parametrize("region", sorted(REGIONS))
@pytest.mark.parametrize("phase", ["P", "S"])
def test_first_arrivals_match_the_calculator(models, region, phase):
    tt, hs, xs = models[region]
    h, x = region_pairs(hs, xs, 700, seed=len(region) * 7 + len(phase))
    got = tt.first_arrivals(h, x, phases=[phase])[phase]
    time, p, dtdh, name = calculator_first(tt, h, x, phase)
    assert np.array_equal(np.isnan(got["time_s"]), np.isnan(time))
    err = np.abs(got["time_s"] - time)
    assert np.nanmax(err) <= TOLERANCE, (h[np.nanargmax(err)], x[np.nanargmax(err)])
    # The slopes are those of the time interpolated: close to the
    # calculator's but for a fold's or a joint's neighbourhood.
    assert np.nanpercentile(np.abs(got["ray_param_s_deg"] - p), 99) < 0.02
    assert np.nanpercentile(np.abs(got["dtdh_s_km"] - dtdh), 99) < 2e-3
    # Names agree but where one branch becomes the diffracted wave.
    differ = got["phase"] != name.astype(str)
    for g, c in zip(got["phase"][differ], name[differ]):
        assert (c, g) in DIFFRACTED or (g, c) in DIFFRACTED, (g, c)


def inside(dense, cells, per_cell, rng):
    """Random pairs inside the given cells of the grid's top level."""
    nx = len(dense.x)
    i, j = np.divmod(np.repeat(cells, per_cell), nx - 1)
    v, u = rng.random(len(i)), rng.random(len(i))
    return (dense.h[i] + v * (dense.h[i + 1] - dense.h[i]),
            dense.x[j] + u * (dense.x[j + 1] - dense.x[j]))


def pn_model():
    """Pn on a grid where it ends: cells without it."""
    tt = TravelTimes("ak135", cache=False)
    hs = _pairs.depth_nodes(tt.tables)
    return tt, hs[(hs >= 5.0) & (hs <= 15.0)], np.arange(0.0, 40.5, 0.5)


@pytest.mark.skipif(not _engine.HAS_PAIRS, reason="the engine library has no arrivals_pairs")
@pytest.mark.parametrize("region", sorted(REGIONS) + ["Pn"])
def test_the_engine_gives_the_bits_of_numpy(models, region):
    """The engine's evaluation of the tables is numpy's to the bit (time,
    slopes, name, the pairs left to the calculator): at random pairs, on
    the nodes and edges, and inside every split cell (their split and
    solved sub-cells too), into records of their own, the fields of wider
    ones, and a reversed view (which numpy takes)."""
    tt, hs, xs = pn_model() if region == "Pn" else models[region]
    rng = np.random.default_rng(17)
    hit = {"split": 0, "solved": 0, "none": 0}
    for phase in (("Pn",) if region == "Pn" else ("P", "S")):
        dense = _pairs.dense_of(tt, phase, hs, xs)
        top = (len(hs) - 1) * (len(xs) - 1)
        split = np.flatnonzero(dense.count[:top] == _pairs.CHILDREN)
        h, x = region_pairs(hs, xs, 4000, seed=3)
        hh, xx = inside(dense, split, 40, rng)
        h, x = np.concatenate([h, hh]), np.concatenate([x, xx])
        hit["split"] += len(split)
        fields = list(_pairs.FIELDS) + [("phase", "U8")]
        want = np.empty(len(h), fields)
        solved = _pairs.evaluate_many([dense], h, x, [want], compiled=False)[0]
        hit["solved"] += len(solved)
        hit["none"] += int(np.sum(want["phase"] == ""))
        wide = np.zeros(len(h), [("a", "i1"), ("P", fields), ("z", "f4")])
        backwards = np.empty(len(h), fields)[::-1]
        for out in (np.empty(len(h), fields), wide["P"], backwards):
            got = _pairs.evaluate_many([dense], h, x, [out])[0]
            assert np.array_equal(got, solved)
            assert np.ascontiguousarray(out).tobytes() == want.tobytes()
        assert (wide["a"] == 0).all() and (wide["z"] == 0).all()
    # The test reaches what it is about.
    assert hit["solved"] or region != "crust"
    assert hit["split"] or region != "crust"
    assert hit["none"] or region != "Pn"


def test_a_few_pairs_against_the_exact_solver(models):
    cases = [("crust", 19.99, 1.3), ("crust", 35.0, 14.2), ("410", 409.0, 18.7),
             ("410", 410.0, 21.3), ("core", 2890.0, 101.0), ("core", 2750.0, 180.0)]
    for region, h, x in cases:
        tt = models[region][0]
        got = tt.first_arrivals(h, x)
        for phase in ("P", "S"):
            exact = min(a.time for a in tt.arrivals(h, x, [phase], exact=True))
            assert abs(got[phase]["time_s"] - exact) <= TOLERANCE, (region, h, x, phase)


def test_slopes_are_the_derivatives_of_the_time_returned(models):
    """p and dT/dh are the slopes of the interpolated time itself (in split
    cells too, whose units differ): central differences of the times agree."""
    for region in ("crust", "410"):
        tt, hs, xs = models[region]
        rng = np.random.default_rng(11)
        h = rng.uniform(hs[0] + 0.01, hs[-1] - 0.01, 400)
        x = rng.uniform(xs[0] + 0.01, xs[-1] - 0.01, 400)
        dx, dh = 1e-3, 1e-2     # the float32 part of the times rounds to some 1e-6 s
        at = tt.first_arrivals(h, x)
        for phase in ("P", "S"):
            right = tt.first_arrivals(h, x + dx)[phase]["time_s"]
            left = tt.first_arrivals(h, x - dx)[phase]["time_s"]
            below = tt.first_arrivals(h + dh, x)[phase]["time_s"]
            above = tt.first_arrivals(h - dh, x)[phase]["time_s"]
            p = (right - left) / (2 * dx)
            q = (below - above) / (2 * dh)
            # Not where the first arrival changes branch within the step.
            smooth = (np.abs(right + left - 2 * at[phase]["time_s"]) < 5e-5) & \
                (np.abs(below + above - 2 * at[phase]["time_s"]) < 5e-5)
            assert smooth.mean() > 0.95
            assert np.allclose(at[phase]["ray_param_s_deg"][smooth], p[smooth], atol=2e-3)
            assert np.allclose(at[phase]["dtdh_s_km"][smooth], q[smooth], atol=2e-4)


def synthetic(sheets, hs, xs):
    """The dense table of sheets given in closed form, (T, p, q) of (h, x)
    or None where a sheet does not reach, over the nodes hs x xs."""
    nodes = [[], [], [], []]
    for h in hs:
        for x in xs:
            got = sorted(s(h, x) for s in sheets if s(h, x) is not None)
            row = got + [(np.nan, np.nan, np.nan)] * (len(sheets) - len(got))
            for k in range(3):
                nodes[k].append([r[k] for r in row])
            nodes[3].append([0 if not np.isnan(r[0]) else -1 for r in row])
    nodes = tuple(np.array(n, dtype=np.int16 if k == 3 else np.float64)
                  for k, n in enumerate(nodes))
    nx = len(xs)
    i, j = np.divmod(np.arange((len(hs) - 1) * (nx - 1)), nx - 1)
    corners = np.stack([i * nx + j, i * nx + j + 1, (i + 1) * nx + j, (i + 1) * nx + j + 1], -1)
    out = _pairs._cell_patches(nodes, corners, xs[j + 1] - xs[j], hs[i + 1] - hs[i])
    return _pairs._finish(out, hs, xs, ["X"], "X", "synthetic"), out


def sheet(t0, p, q, pq, pp, reach=None):
    """T = t0 + p x + q h + pq x h + pp x^2 (Hermite patches hold it
    exactly), where x <= reach."""
    def at(h, x):
        if reach is not None and x > reach(h):
            return None
        return (t0 + p * x + q * h + pq * x * h + pp * x * x, p + pq * h + 2 * pp * x, q + pq * x)
    return at


def test_crossing_sheets_each_interpolated_on_its_own():
    """Two sheets that cross inside cells: the earlier of the two exact
    patches at every point, kinks and all, never a patch across both."""
    hs, xs = np.array([0.0, 10.0, 20.0]), np.array([0.0, 1.0, 2.0, 3.0])
    a = sheet(10.0, 8.0, -0.05, 0.002, 0.1)
    b = sheet(11.0, 7.0, -0.08, -0.001, 0.1)
    dense, out = synthetic([a, b], hs, xs)
    assert (out["count"] >= 1).all()
    rng = np.random.default_rng(5)
    h, x = rng.uniform(0.0, 20.0, 2000), rng.uniform(0.0, 3.0, 2000)
    part = np.empty(len(h), dtype=list(_pairs.FIELDS) + [("phase", "U1")])
    assert not len(_pairs.evaluate(dense, h, x, part))
    both = np.array([[a(*hx), b(*hx)] for hx in zip(h, x)])       # (n, 2 sheets, 3)
    first = np.argmin(both[:, :, 0], axis=1)
    want = both[np.arange(len(h)), first]
    assert (first == 0).any() and (first == 1).any()
    assert np.allclose(part["time_s"], want[:, 0], atol=1e-4)
    assert np.allclose(part["ray_param_s_deg"], want[:, 1], atol=1e-4)
    assert np.allclose(part["dtdh_s_km"], want[:, 2], atol=1e-5)


@pytest.mark.parametrize("offset, solved", [(-0.5, True), (3.0, False)])
def test_a_sheet_ending_in_a_cell_is_solved_only_if_it_can_be_first(offset, solved):
    """A sheet reaching only some corners: its cells are left to the
    calculator if it could be first there, ignored if it is surely later."""
    hs, xs = np.array([0.0, 10.0]), np.array([0.0, 1.0, 2.0])
    main = sheet(10.0, 8.0, -0.05, 0.0, 0.0)
    short = sheet(10.0 + offset, 8.0, -0.05, 0.0, 0.0, reach=lambda h: 1.0 + h / 20.0)
    _, out = synthetic([main, short], hs, xs)
    assert (out["count"][1] == _pairs.SOLVE) == solved and out["count"][0] >= 1


def test_the_grid_rules():
    tt = TravelTimes("ak135", cache=False)
    hs, xs = _pairs.depth_nodes(tt.tables), _pairs.distance_nodes()
    cmb = tt.tables.cmb
    assert hs[0] == 0.0 and hs[-1] == np.nextafter(cmb, 0.0) and np.all(np.diff(hs) > 0)
    assert xs[0] == 0.0 and xs[-1] == 180.0 and np.diff(xs).max() == 0.25
    for d in tt.tables.meta["discontinuities"]:
        if d < cmb:     # a node on it, the last float above it, and finer steps beside
            i = np.searchsorted(hs, d)
            assert hs[i] == d and hs[i - 1] == np.nextafter(d, 0.0)
            assert hs[i + 1] - d <= 0.5 and hs[i - 1] - hs[i - 2] <= 0.5
    assert np.diff(hs).max() <= 20.0


BAD = [  # depths, distances, message (errors="raise"), rows NaN (errors="nan")
    ([10.0, np.nan], [30.0, 40.0], "depths[1]: nan is not allowed", [1]),
    ([10.0, -0.5], 30.0, "depths[1]: -0.5 is not allowed", [1]),
    ([[10.0], [2891.5]], [30.0, 40.0], "depths[1, 0]: 2891.5 is not allowed", [2, 3]),
    ([np.inf, 5.0], [30.0, 40.0], "depths[0]: inf is not allowed", [0]),
    (10.0, [30.0, 180.5, 20.0], "distances[1]: 180.5 is not allowed", [1]),
    ([10.0, 20.0], [-1e-9, 40.0], "distances[0]: -1e-09 is not allowed", [0]),
    (10.0, [[1.0, -np.inf]], "distances[0, 1]: -inf is not allowed", [1]),
]


@pytest.mark.parametrize("depths, distances, message, rows", BAD)
def test_bad_pairs(models, depths, distances, message, rows):
    tt = models["crust"][0]
    with pytest.raises(ValueError, match=message.replace("[", r"\[").replace("]", r"\]")):
        tt.first_arrivals(depths, distances)
    got = tt.first_arrivals(depths, distances, errors="nan")
    flat = got.ravel()
    bad = np.zeros(len(flat), bool)
    bad[rows] = True
    for phase in ("P", "S"):
        for field in ("time_s", "ray_param_s_deg", "dtdh_s_km"):
            assert np.all(np.isnan(flat[phase][field][bad]))
            assert not np.any(np.isnan(flat[phase][field][~bad]))
        assert np.all(flat[phase]["phase"][bad] == "") and np.all(flat[phase]["phase"][~bad] != "")


@pytest.mark.parametrize("call, error, message", [
    (lambda tt: tt.first_arrivals([1.0, 2.0], [1.0, 2.0, 3.0]), ValueError,
     r"depths and distances: shapes \(2,\) and \(3,\) do not broadcast"),
    (lambda tt: tt.first_arrivals("deep", 30.0), TypeError, "depths: expected numbers"),
    (lambda tt: tt.first_arrivals(10.0, [[1.0], ["x"]]), TypeError, "distances: expected"),
    (lambda tt: tt.first_arrivals(10.0, 30.0, errors="ignore"), ValueError,
     "errors: 'ignore' is not allowed"),
    (lambda tt: tt.first_arrivals(10.0, 30.0, phases=["Q"]), PhaseError, "Q"),
])
def test_bad_arguments(models, call, error, message):
    with pytest.raises(error, match=message):
        call(models["crust"][0])


def test_a_phase_without_an_arrival_gives_nan_in_either_mode():
    # Pn from the crust reaches some 20 degrees; beyond, no Pn arrives.
    tt = TravelTimes("ak135", cache=False)
    hs = _pairs.depth_nodes(tt.tables)
    _pairs.dense_of(tt, "Pn", hs[(hs >= 5.0) & (hs <= 15.0)], np.arange(0.0, 40.5, 0.5))
    h, x = np.array([6.3, 9.9, 14.2, 12.0]), np.array([5.2, 12.1, 30.0, 39.9])
    for errors in ("raise", "nan"):
        got = tt.first_arrivals(h, x, phases=["Pn"], errors=errors)["Pn"]
        time = calculator_first(tt, h, x, "Pn")[0]
        assert np.array_equal(np.isnan(got["time_s"]), np.isnan(time))
        assert np.isnan(time[2:]).all() and (got["phase"][2:] == "").all()
        assert np.nanmax(np.abs(got["time_s"] - time)) <= TOLERANCE


def test_out_is_written_and_returned_or_refused_untouched(models):
    tt, hs, xs = models["410"]
    h, x = np.array([[390.0], [420.5]]), np.array([12.0, 18.25, 29.0])
    want = tt.first_arrivals(h, x)
    out = np.empty_like(want)
    assert tt.first_arrivals(h, x, out=out) is out and np.array_equal(out, want)
    for bad in (np.empty(6, want.dtype), np.empty((2, 3), want.dtype["P"]),
                np.empty((3, 2), want.dtype), np.empty_like(want).T, [[0.0] * 3] * 2):
        before = bad.copy() if isinstance(bad, np.ndarray) else None
        with pytest.raises(ValueError, match="out: expected a writeable C-contiguous array"):
            tt.first_arrivals(h, x, out=bad)
        if before is not None:
            assert before.tobytes() == bad.tobytes()


def test_a_shadow_narrower_than_the_grid_gives_no_arrival():
    """iasp91's change of gradient at 2740 km leaves P a shadow some 0.1
    degree wide between the nodes (all of which have P): checked against
    the calculator inside each cell, its cells are split, and the pairs in
    it get NaN as the calculator finds no ray there, not a time across (but
    within a split cell's width of its edges, where the edge passes between
    the nodes)."""
    tt = TravelTimes("iasp91", cache=False)
    hs, xs = _pairs.depth_nodes(tt.tables), _pairs.distance_nodes()
    _pairs.dense_of(tt, "P", hs[(hs >= 2640.0) & (hs <= 2700.0)], xs[(xs >= 53.0) & (xs <= 56.0)])
    h, x = 2670.062614008215, np.linspace(54.3, 54.9, 61)
    got = tt.first_arrivals(h, x, phases=["P"])["P"]
    time = calculator_first(tt, np.full(len(x), h), x, "P")[0]
    shadow = np.isnan(time)
    assert shadow.sum() >= 5
    inside = shadow & (np.abs(x[:, None] - x[~shadow][None, :]).min(1) > 0.02)
    assert np.isnan(got["time_s"][inside]).all() and inside.sum() >= 3
    assert not np.isnan(got["time_s"][~shadow]).any()
    assert np.nanmax(np.abs(got["time_s"] - time)) <= TOLERANCE


@settings(max_examples=30, deadline=None)
@given(st.lists(st.integers(1, 3), min_size=0, max_size=3),
       st.lists(st.integers(1, 3), min_size=0, max_size=2), st.integers(0, 2 ** 31))
def test_broadcasting_as_numpy(models, depth_shape, distance_shape, seed):
    """Any shapes numpy broadcasts give its shape, each element the pair's
    own first arrival."""
    tt, hs, xs = models["410"]
    rng = np.random.default_rng(seed)
    depth_shape = tuple(depth_shape)
    distance_shape = tuple(distance_shape[-len(depth_shape):] if depth_shape else distance_shape)
    distance_shape = tuple(1 if rng.random() < 0.3 else n for n in distance_shape)
    try:
        shape = np.broadcast_shapes(depth_shape, distance_shape)
    except ValueError:
        return
    h = rng.uniform(hs[0], hs[-1], depth_shape)
    x = rng.uniform(xs[0], xs[-1], distance_shape)
    got = tt.first_arrivals(h, x)
    assert got.shape == shape
    hb, xb = np.broadcast_arrays(h, x)
    one = tt.first_arrivals(hb.ravel(), xb.ravel())
    assert np.array_equal(got.ravel(), one)


def test_the_table_is_saved_and_loaded_not_rebuilt(monkeypatch):
    hs, xs = np.array([0.0, 5.0, 10.0]), np.arange(0.0, 10.5, 0.5)
    with tempfile.TemporaryDirectory() as cache:
        tt = TravelTimes("ak135", cache=cache)
        first = _pairs.dense_of(tt, "P", hs, xs)
        saved = [f for f in os.listdir(cache) if f.endswith(".pairs")]
        assert len(saved) == 1
        want = tt.first_arrivals([3.3, 7.1], [4.4, 9.2], phases=["P"])

        def no_build(*args):
            raise AssertionError("built again")
        later = TravelTimes("ak135", cache=cache)
        with monkeypatch.context() as m:
            m.setattr(_pairs, "build", no_build)
            again = _pairs.dense_of(later, "P", hs, xs)
        for name in first.a:
            assert np.array_equal(first.a[name], again.a[name]), name
        assert np.array_equal(later.first_arrivals([3.3, 7.1], [4.4, 9.2], phases=["P"]), want)
        # A damaged file, or one of another grid, is built again, never used.
        path = os.path.join(cache, saved[0])
        with open(path, "r+b") as f:
            f.seek(os.path.getsize(path) - 100)
            byte = f.read(1)
            f.seek(-1, os.SEEK_CUR)
            f.write(bytes([byte[0] ^ 0x40]))
        built = []
        real = _pairs.build
        with monkeypatch.context() as m:
            m.setattr(_pairs, "build", lambda *a: built.append(a) or real(*a))
            _pairs.dense_of(TravelTimes("ak135", cache=cache), "P", hs, xs)
            _pairs.dense_of(TravelTimes("ak135", cache=cache), "P", hs, xs[:-1])
        assert len(built) == 2
