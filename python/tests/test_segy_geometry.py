"""Indexing a SegyFile as numpy indexes the same array, and the 3-D
geometry (lines, slices, the cube) against a brute-force table of each
trace's inline, crossline and offset."""
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from seiskernels import segy

RNG = np.random.default_rng(3)
TRACES, NS = 37, 9
DATA = RNG.standard_normal((TRACES, NS)).astype(np.float32)


@pytest.fixture(scope="module")
def survey(tmp_path_factory):
    path = tmp_path_factory.mktemp("slicing") / "s.sgy"
    segy.write(path, DATA, format=5, endian="little")
    with segy.SegyFile(path) as s:
        yield s


def index_1d(n):
    ints = st.integers(-n, n - 1)
    steps = st.integers(-5, 5).filter(bool) | st.none()
    bounds = st.integers(-n - 3, n + 3) | st.none()
    return (ints | st.builds(slice, bounds, bounds, steps)
            | st.lists(ints, max_size=6).map(lambda v: np.array(v, dtype=np.int64))
            | st.lists(st.booleans(), min_size=n, max_size=n).map(np.array))


@settings(max_examples=150, deadline=None)
@given(first=index_1d(TRACES), second=index_1d(NS) | st.none(),
       chunk=st.sampled_from([1 << 20, 100, 600]), gap=st.sampled_from([20000, 0]))
def test_indexing_as_numpy_indexes(survey, first, second, chunk, gap):
    # Small chunks and no gap allowance send the reads down each path:
    # one trace per read, or each trace alone.
    key = first if second is None else (first, second)
    if isinstance(first, np.ndarray) and isinstance(second, np.ndarray):
        key = (first, slice(None))  # numpy pairs two arrays up: not a table
    want = DATA[key]
    saved = segy._CHUNK_BYTES, segy._GAP_BYTES
    segy._CHUNK_BYTES, segy._GAP_BYTES = chunk, gap
    try:
        got = survey[key]
    finally:
        segy._CHUNK_BYTES, segy._GAP_BYTES = saved
    assert np.shape(got) == want.shape and np.asarray(got).tobytes() == want.tobytes()


@pytest.mark.parametrize("key, error", [
    (TRACES, IndexError), (-TRACES - 1, IndexError), ((0, NS), IndexError),
    (np.array([0, TRACES]), IndexError), (np.ones(3, bool), IndexError),
    (np.array([0.5]), IndexError), ((0, 0, 0), IndexError)])
def test_indices_out_of_range_raise_as_numpy_does(survey, key, error):
    with pytest.raises(error):
        DATA[key]
    with pytest.raises(error):
        survey[key]


def test_numpy_protocols(survey):
    assert len(survey) == TRACES and survey.shape == DATA.shape
    assert np.asarray(survey).tobytes() == DATA.tobytes()
    assert np.asarray(survey, np.float64).dtype == np.float64
    assert survey.read().flags.c_contiguous
    for key in (np.s_[:0], np.s_[5:2], np.s_[2:5:-1], np.s_[[]], np.s_[3, 5:2]):
        assert survey[key].shape == DATA[key].shape


def survey_file(path, inlines, crosslines, offsets, order, endian="big"):
    """A survey of every (inline, crossline, offset), traces in `order` (a
    permutation); returns its samples and each trace's numbers."""
    grid = np.array(np.meshgrid(inlines, crosslines, offsets, indexing="ij")).reshape(3, -1).T
    grid = grid[order]
    data = RNG.standard_normal((len(grid), 6)).astype(np.float32)
    segy.write(path, data, format=5, endian=endian,
               headers={(9, "i4"): grid[:, 0], (13, "i4"): grid[:, 1], "offset": grid[:, 2],
                        "inline": grid[:, 0] * 3, "crossline": grid[:, 1] + 7})
    return data, grid


def brute(data, grid, il=None, xl=None, off=None):
    """Samples of the traces matching, found by scanning every trace, put
    in (inline, crossline, offset) order."""
    keep = np.ones(len(grid), bool)
    for column, value in enumerate((il, xl, off)):
        if value is not None:
            keep &= grid[:, column] == value
    rows = np.flatnonzero(keep)
    rows = rows[np.lexsort(grid[rows].T[::-1])]
    return data[rows]


INLINES, CROSSLINES = np.array([5, 6, 8, 20]), np.array([-3, 0, 1, 2, 9])
SORTS = {"inline": lambda n: np.arange(n),
         "crossline": lambda n: np.arange(n).reshape(4, 5, -1).transpose(1, 0, 2).ravel(),
         "unsorted": lambda n: RNG.permutation(n)}


@pytest.mark.parametrize("sorting", sorted(SORTS))
@pytest.mark.parametrize("offsets", [[0], [100, 200, 300]])
def test_lines_slices_and_the_cube_as_a_brute_force_scan_finds_them(tmp_path, sorting,
                                                                     offsets):
    n = 20 * len(offsets)
    order = SORTS[sorting](n)
    data, grid = survey_file(tmp_path / "s.sgy", INLINES, CROSSLINES, offsets, order,
                             endian="little" if sorting == "crossline" else "big")
    no = len(offsets)
    with segy.SegyFile(tmp_path / "s.sgy", inline=(9, "i4"), crossline=13) as s:
        g = s.geometry
        assert g.sorting == sorting and (g.inlines == INLINES).all()
        assert (g.crosslines == CROSSLINES).all() and (g.offsets == offsets).all()
        shape = (5, no, 6) if no > 1 else (5, 6)
        assert s.inline(8).tobytes() == brute(data, grid, il=8).reshape(shape).tobytes()
        shape = (4, no, 6) if no > 1 else (4, 6)
        assert s.crossline(0).tobytes() == brute(data, grid, xl=0).reshape(shape).tobytes()
        assert s.crossline(0, offset=offsets[-1]).tobytes() == \
            brute(data, grid, xl=0, off=offsets[-1]).tobytes()
        cube = s.cube()
        assert cube.data.tobytes() == brute(data, grid).tobytes()
        assert cube.data.shape == (4, 5) + ((no,) if no > 1 else ()) + (6,)
        assert (cube.inlines == INLINES).all() and len(cube.time) == 6
        assert s.depth_slice(-2).tobytes() == brute(data, grid)[:, -2].tobytes()
        if sorting != "unsorted":
            lazy = s.cube_to_dask(inlines_per_chunk=3)
            assert lazy.data.chunks[0] == (3, 1)
            assert lazy.data.compute(scheduler="sync").tobytes() == cube.data.tobytes()
        with pytest.raises(KeyError, match="inline 7 is not in the survey"):
            s.inline(7)
    with segy.SegyFile(tmp_path / "s.sgy") as s:  # the standard bytes, other numbers
        assert (s.geometry.inlines == INLINES * 3).all()
        assert s.inline(24).tobytes() == s.inline(24).tobytes() == \
            brute(data, grid, il=8).tobytes()


@pytest.mark.parametrize("damage, words", [
    (lambda g: g[:-1], "no trace has (inline, crossline, offset) from trace header bytes "
                       "189, 193 and 37 (20, 9, 0)"),
    (lambda g: np.vstack([g, g[3:4]]), "trace 20 repeats"),
])
def test_a_broken_grid_is_named(tmp_path, damage, words):
    grid = damage(np.array(np.meshgrid(INLINES, CROSSLINES, [0], indexing="ij"))
                  .reshape(3, -1).T)
    segy.write(tmp_path / "s.sgy", np.zeros((len(grid), 2)),
               headers={"inline": grid[:, 0], "crossline": grid[:, 1]})
    with segy.SegyFile(tmp_path / "s.sgy") as s, pytest.raises(ValueError, match="not a regular"
                                                               ) as e:
        s.inline(5)
    assert words in str(e.value)
