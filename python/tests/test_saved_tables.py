"""The saved tables under damage: every array of the file, and rows of the
big matrices at the top, in the middle and at the bottom, flipped one at a
time; each is rebuilt (the file written again as it was) and never used
(the arrivals are those of the undamaged tables).  A second load builds
nothing.  A small planet keeps each rebuild quick."""

import json
import shutil

import numpy as np
import pytest

from seiskernels import _tables
from seiskernels.traveltimes import TravelTimes
from test_model_rules import ND

# A planet of 1000 km: crust, mantle, fluid outer core and a solid inner
# core, so that P, S, K, I and J all have tables (the model rules' planet).
SMALL = ND
PHASES = ["P", "S", "PKP", "PKIKP", "PKJKP", "SKS", "SKIKS"]
# 300 km is the top of the middle row of the mantle's 60 layers.
DEPTHS, DEGREES = [0.0, 300.0], [60.0, 150.0]


def query(tt, first="table"):
    """Arrivals touching every array: the surface's row, the middle row, the
    last row (every turning ray), the outer and inner core's sums, P and S."""
    if first == "arrivals":
        one = [tt.arrivals(d, x, PHASES) for d in DEPTHS for x in DEGREES]
    rows = tt.table(DEPTHS, DEGREES, PHASES).tolist()
    if first == "table":
        one = [tt.arrivals(d, x, PHASES) for d in DEPTHS for x in DEGREES]
    return rows, one


@pytest.fixture
def builds(monkeypatch):
    """A counter of the tables built."""
    count = [0]
    real = _tables.build

    def build(model):
        count[0] += 1
        return real(model)
    monkeypatch.setattr(_tables, "build", build)
    return count


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    """(model path, saved file, its bytes, the arrivals of fresh tables)."""
    folder = tmp_path_factory.mktemp("saved")
    model = folder / "small.nd"
    model.write_text(SMALL)
    tt = TravelTimes(model, cache=folder)
    (path,) = folder.glob("*.tables")
    reference = query(TravelTimes(model, cache=False))
    assert len(reference[0]) > 20 and {r[2] for r in reference[0]} >= {
        "PKPab", "PKIKP", "PKJKP", "SKS", "SKIKS", "P", "S"}
    return model, path, path.read_bytes(), reference, tt


def layout(data):
    """{array name: (first byte, shape, item size)} from the file's header."""
    size = int.from_bytes(data[len(_tables.MAGIC):len(_tables.MAGIC) + 8], "little")
    # The header, then its own 4-byte checksum.
    header = json.loads(data[len(_tables.MAGIC) + 8:len(_tables.MAGIC) + 8 + size - 4])
    start = (len(_tables.MAGIC) + 8 + size + 63) // 64 * 64
    return {name: (start + e["offset"], tuple(e["shape"]), np.dtype(e["dtype"]).itemsize)
            for name, e in header["arrays"].items()}


def damages(data):
    """(what, damaged bytes): one bit of the middle element of every array,
    every byte of a big matrix's first, middle and last rows."""
    for name, (first, shape, item) in layout(data).items():
        count = int(np.prod(shape))
        if not count:
            continue
        if name in _tables.BIG:
            width = shape[1] * item
            for row in (0, shape[0] // 2, shape[0] - 1):
                bad = bytearray(data)
                at = first + row * width
                bad[at:at + width] = bytes(b ^ 0xFF for b in bad[at:at + width])
                yield f"{name} row {row}", bytes(bad)
        else:
            bad = bytearray(data)
            bad[first + count // 2 * item] ^= 0x01
            yield name, bytes(bad)


def reopen(saved, tmp_path, damaged):
    model, path, _, _, _ = saved
    folder = tmp_path / "cache"
    folder.mkdir(exist_ok=True)
    copy = folder / path.name
    copy.write_bytes(damaged)
    return TravelTimes(model, cache=folder), copy


def test_a_second_load_builds_nothing_and_loads_the_same_tables(saved, tmp_path, builds):
    model = tmp_path / "small.nd"
    model.write_text(SMALL)
    first = TravelTimes(model, cache=tmp_path)
    again = TravelTimes(model, cache=tmp_path)
    assert builds[0] == 1
    assert again.tables.meta == first.tables.meta
    assert again.tables.a.keys() == first.tables.a.keys()
    for name, array in first.tables.a.items():
        assert np.array_equal(again.tables.a[name], array, equal_nan=True), name
    assert query(again) == saved[3]
    assert builds[0] == 1


@pytest.mark.parametrize("first", ["table", "arrivals"])
def test_every_array_damaged_is_rebuilt_never_used(saved, tmp_path, builds, first):
    _, path, data, reference, _ = saved
    cases = list(damages(data))
    assert len(cases) > len(layout(data))      # every array, and rows of the big ones
    for what, damaged in cases:
        if first == "arrivals" and "row" not in what:
            continue            # refused at load, whatever is called first
        before = builds[0]
        tt, copy = reopen(saved, tmp_path, damaged)
        assert query(tt, first) == reference, what
        assert builds[0] == before + 1, what
        assert copy.read_bytes() == data, what


@pytest.mark.parametrize("damage", [
    lambda d: d[:len(_tables.MAGIC) + 4],                       # cut inside the header
    lambda d: d[:len(d) // 3],                                  # cut inside the big rows
    lambda d: d[:-1],                                           # a byte short
    lambda d: b"X" + d[1:],                                     # not this file type
    lambda d: d[:len(_tables.MAGIC)] + bytes([d[len(_tables.MAGIC)] ^ 1]) +
    d[len(_tables.MAGIC) + 1:],                                 # header one byte longer
    lambda d: d.replace(b'"offset": 0,', b'"offset": 8,', 1),   # an array read elsewhere
], ids=["header cut", "rows cut", "byte short", "magic", "header length", "offset"])
def test_damaged_file_structure_is_rebuilt(saved, tmp_path, builds, damage):
    _, _, data, reference, _ = saved
    tt, copy = reopen(saved, tmp_path, damage(data))
    assert query(tt) == reference
    assert builds[0] == 1 and copy.read_bytes() == data


@pytest.mark.parametrize("byte, bit", [(6, 7), (7, 7)])
def test_a_huge_header_length_is_rebuilt(saved, tmp_path, builds, byte, bit):
    _, _, data, reference, _ = saved
    bad = bytearray(data)
    bad[len(_tables.MAGIC) + byte] ^= 1 << bit
    tt, copy = reopen(saved, tmp_path, bytes(bad))
    assert query(tt) == reference and copy.read_bytes() == data


@pytest.mark.parametrize("old, new", [
    (b'"dtype": "<f8", "shape": [%d], "crc": %d', b'"dtype": ">f8", "shape": [%d], "crc": %d'),
    (b'"region_letters": "gbn"', b'"region_letters": "gbo"'),
], ids=["dtype", "region letters"])
def test_damaged_header_fields_are_rebuilt(saved, tmp_path, builds, old, new):
    _, _, data, reference, tt = saved
    if b"%d" in old:            # K_time's entry
        entry = (len(tt.tables.p), _crc_of(data, "K_time"))
        old, new = old % entry, new % entry
    assert data.count(old) == 1
    tt, copy = reopen(saved, tmp_path, data.replace(old, new))
    assert query(tt) == reference and copy.read_bytes() == data


def _crc_of(data, name):
    size = int.from_bytes(data[len(_tables.MAGIC):len(_tables.MAGIC) + 8], "little")
    return json.loads(data[len(_tables.MAGIC) + 8:len(_tables.MAGIC) + 8 + size - 4])[
        "arrays"][name]["crc"]


def test_a_changed_model_file_gets_tables_of_its_own(saved, tmp_path, builds):
    """The same file name with other speeds is another model: its tables are
    built and saved beside the first's, and each is then loaded, not built."""
    model = tmp_path / "small.nd"
    results = {}
    for text in (SMALL, SMALL.replace("300 9.0 5.0 3.5", "300 9.2 5.0 3.5"), SMALL):
        model.write_text(text)
        results.setdefault(text, []).append(query(TravelTimes(model, cache=tmp_path)))
    assert builds[0] == 2 and len(list(tmp_path.glob("*.tables"))) == 2
    assert results[SMALL] == [saved[3], saved[3]] and len(results) == 2
    assert next(r for t, r in results.items() if t != SMALL)[0] != saved[3]


def test_caches_that_cannot_be_written_or_are_not_wanted(saved, tmp_path, builds, monkeypatch):
    """A cache path that is a file costs each process a build and no error;
    cache=False writes nothing; cache=True uses $SEISKERNELS_CACHE."""
    model, _, _, reference, _ = saved
    blocked = tmp_path / "blocked"
    blocked.write_bytes(b"not a folder")
    for _ in range(2):
        assert query(TravelTimes(model, cache=blocked)) == reference
    assert builds[0] == 2 and blocked.read_bytes() == b"not a folder"
    own = tmp_path / "own"
    monkeypatch.setenv("SEISKERNELS_CACHE", str(own))
    TravelTimes(model, cache=False)
    assert not own.exists() and builds[0] == 3
    TravelTimes(model, cache=True)
    TravelTimes(model, cache=True)
    assert builds[0] == 4 and len(list(own.glob("small.nd-*.tables"))) == 1
    shutil.rmtree(own)
