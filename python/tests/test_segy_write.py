"""Writing SEG-Y: IEEE -> IBM against an integer-only nearest-value oracle
over every exponent, exact round trips through ibm2ieee, and files that
segyio and this reader read back as written (and the other way)."""
import types

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import seiskernels as sk
from seiskernels import segy

RNG = np.random.default_rng(6)


def nearest_ibm(bits):
    """The IBM word nearest to the float32 of `bits`, by integer arithmetic
    alone: ties to the even fraction, infinities to the largest value."""
    sign, e, m = bits >> 31, (bits >> 23) & 0xFF, bits & 0x7FFFFF
    if e == 255:
        return sign << 31 | 0x7FFFFFFF
    big, k = (m, -149) if e == 0 else (m | 1 << 23, e - 150)   # |x| = big 2**k
    if big == 0:
        return sign << 31
    top = k + big.bit_length()                 # 2**(top-1) <= |x| < 2**top
    exp = -(-top // 4)                         # 16**(exp-1) <= |x| < 16**exp
    shift = k + 24 - 4 * exp
    if shift >= 0:
        f = big << shift
    else:
        f, rest = divmod(big, 1 << -shift)
        half = 1 << (-shift - 1)
        f += rest > half or (rest == half and f & 1)
    if f == 1 << 24:
        f, exp = 1 << 20, exp + 1
    return sign << 31 | (exp + 64) << 24 | f


def every_exponent():
    """float32 bits: each of the 256 exponents with fractions at the edges,
    at and beside the halfway points of each rounding, and at random."""
    fractions = [0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 0x7FFFFF, 0x7FFFFE, 0x7FFFF8, 0x7FFFFC,
                 0x400000, 0x3FFFFF, 0x000004, 0x00000C, 0x7FFFF4] + \
        RNG.integers(0, 1 << 23, 24).tolist()
    bits = [s << 31 | e << 23 | f for e in range(255) for f in fractions for s in (0, 1)]
    return np.array(bits + [0x7F800000, 0xFF800000], np.uint32)


def test_every_exponent_rounds_to_the_nearest_ibm_value():
    bits = every_exponent()
    got = segy.ieee2ibm(bits.view(np.float32))
    want = np.array([nearest_ibm(int(b)) for b in bits], np.uint32)
    assert got.dtype == ">u4"
    bad = np.flatnonzero(got != want)
    assert not bad.size, [(hex(bits[i]), hex(got[i]), hex(want[i])) for i in bad[:5]]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.floats(width=32, allow_nan=False), min_size=1, max_size=40),
       st.sampled_from(["big", "little"]))
def test_any_float32_rounds_to_the_nearest_ibm_value(values, byteorder):
    x = np.array(values, np.float32)
    got = segy.ieee2ibm(x, byteorder)
    assert got.dtype == np.dtype(">u4" if byteorder == "big" else "<u4")
    assert got.astype(np.uint32).tolist() == [nearest_ibm(int(b)) for b in x.view(np.uint32)]
    back = sk.ibm2ieee(got.copy(), byteorder=byteorder).astype(np.float64)
    finite = np.isfinite(x)
    assert (back[~finite] == x[~finite]).all()
    assert (np.abs(back[finite] - x[finite]) <= np.abs(x[finite]) * 2.0 ** -21).all()


def test_every_float32_ibm_holds_comes_back_bit_for_bit():
    # Normalised IBM words of the float32 range: those whose value a float32
    # holds exactly must be what ieee2ibm gives that float32.
    n = 1 << 20
    exponent = RNG.integers(64 - 32, 64 + 32, n, dtype=np.uint32)
    fraction = RNG.integers(1 << 20, 1 << 24, n, dtype=np.uint32)
    # Clear low bits at random so that many words fit a float32's 24 bits
    # even where IBM's leading digit leaves 21 to 24.
    fraction &= ~((np.uint32(1) << RNG.integers(0, 4, n, dtype=np.uint32)) - np.uint32(1))
    words = RNG.integers(0, 2, n, dtype=np.uint32) << np.uint32(31) | exponent << np.uint32(24) \
        | fraction
    value = np.ldexp(fraction.astype(np.float64), 4 * (exponent.astype(np.int64) - 64) - 24)
    value = np.where(words >> np.uint32(31), -value, value)
    single = value.astype(np.float32)
    fits = (single.astype(np.float64) == value) & (np.abs(single) >= np.finfo(np.float32).tiny)
    assert fits.mean() > 0.5
    x = single[fits]
    assert (segy.ieee2ibm(x).astype(np.uint32) == words[fits]).all()
    assert sk.ibm2ieee(segy.ieee2ibm(x)).tobytes() == x.tobytes()


@pytest.mark.parametrize("x, words", [
    ([0.0, -0.0], [0, 0x80000000]), ([np.inf, -np.inf], [0x7FFFFFFF, 0xFFFFFFFF]),
    ([1.0, -118.625], [0x41100000, 0xC276A000]),
    ([2.0 ** -149, -(2.0 ** -126)], [0x1B800000, 0xA1400000]),
])
def test_special_values(x, words):
    got = segy.ieee2ibm(np.array(x, np.float32))
    assert got.tolist() == words
    assert sk.ibm2ieee(got.copy()).tolist()[:1] == np.array(x, np.float32).tolist()[:1]


@pytest.mark.parametrize("call, error, words", [
    (lambda: segy.ieee2ibm(np.array([1, np.nan, 2], np.float32)), ValueError,
     r"NaN at index \(1,\)"),
    (lambda: segy.ieee2ibm([1.0], "network"), ValueError, "byteorder"),
    (lambda: segy.ieee2ibm(["a"]), TypeError, "real numbers"),
    (lambda: segy.ieee2ibm(np.ones(3), out=np.empty(2, np.uint32)), ValueError, "shape"),
    (lambda: segy.ieee2ibm(np.ones(3), out=np.empty(3, np.uint16)), TypeError, "4-byte"),
])
def test_bad_conversions_say_why(call, error, words):
    with pytest.raises(error, match=words):
        call()


def written(path, data, **kw):
    segy.write(path, data, **kw)
    return sk.ibm2ieee(segy.ieee2ibm(data)) if kw.get("format", 1) == 1 else data


FORMS = [(fmt, endian, rev) for fmt in (1, 5) for endian in ("big", "little")
         for rev in (1, 2)]


@pytest.mark.parametrize("fmt, endian, rev", FORMS)
def test_files_written_here_read_back_here_and_by_segyio(tmp_path, fmt, endian, rev):
    path = tmp_path / "w.sgy"
    data = (RNG.standard_normal((12, 33)) * 1e3).astype(np.float32)
    data[3, :5] = [0.0, -0.0, 1e-30, -3e38, 2.0 ** -140]
    head = {"offset": np.arange(12) * 25 - 100, "inline": 1000 + np.arange(12) // 4,
            "crossline": 20 + np.arange(12) % 4, "cdp_x": np.arange(12) * 10 ** 6}
    want = written(path, data, format=fmt, endian=endian, revision=rev, headers=head,
                   sample_interval=1500, text=["C 1 ROUND TRIP", "C 2 SECOND LINE"],
                   binary={"job_id": 77, "sorting": 2})
    with segy.SegyFile(path) as s:
        assert (s.format, s.byteorder, s.revision, s.sample_interval) == (fmt, endian,
                                                                         (rev, 0), 1500)
        assert s.read().tobytes() == want.tobytes()
        assert s.text[0].splitlines()[:2] == ["C 1 ROUND TRIP", "C 2 SECOND LINE"]
        assert (s.binary["job_id"], s.binary["sorting"]) == (77, 2)
        for name, v in head.items():
            assert (s.field(name) == v).all(), name
        assert (s.field("samples") == 33).all() and (s.field("sample_interval") == 1500).all()
    segyio = pytest.importorskip("segyio")
    with segyio.open(str(path), ignore_geometry=True, endian=endian) as theirs:
        assert theirs.bin[segyio.BinField.Format] == fmt and theirs.tracecount == 12
        # segyio reads IBM's minus zero as plus zero, and subnormal values
        # as zeros: those compared as such.
        if fmt == 1:
            want = np.where(np.abs(want) < 2.0 ** -126, 0, want)
        assert (theirs.trace.raw[:] == want).all()
        for name, field in [("offset", segyio.su.offset), ("inline", segyio.su.iline),
                            ("cdp_x", segyio.su.cdpx)]:
            assert theirs.attributes(field)[:].tolist() == head[name].tolist()


@pytest.mark.parametrize("fmt, endian", [(1, "big"), (1, "little"), (5, "big"),
                                         (5, "little")])
def test_files_segyio_wrote_read_here(tmp_path, fmt, endian):
    segyio = pytest.importorskip("segyio")
    path = str(tmp_path / "s.sgy")
    data = (RNG.standard_normal((6, 40)) * 100).astype(np.float32)
    layout = types.SimpleNamespace(format=fmt, samples=range(40), tracecount=6, endian=endian,
                                 ext_headers=0, iline=189, xline=193, ilines=None,
                                 xlines=None, offsets=[1], sorting=None)
    with segyio.create(path, layout) as out:
        for i in range(6):
            out.header[i] = {segyio.su.iline: 10 + i // 3, segyio.su.xline: 5 + i % 3,
                             segyio.su.cdpy: -7 * i}
            out.trace[i] = data[i]
    with segyio.open(path, endian=endian) as theirs:
        want = theirs.trace.raw[:]
        cube = segyio.tools.cube(theirs)
    with segy.SegyFile(path) as s:
        assert s.byteorder == endian and s.format == fmt
        assert s.read().tobytes() == want.tobytes()
        assert s.field("cdp_y").tolist() == [-7 * i for i in range(6)]
        assert s.cube().data.tobytes() == cube.tobytes()


def test_headers_updated_in_place_touch_nothing_else(tmp_path):
    path = tmp_path / "u.sgy"
    segy.write(path, np.ones((10, 5)), headers={"offset": np.arange(10)}, endian="little")
    before = bytearray(path.read_bytes())
    segy.update_headers(path, {"cdp_x": np.arange(3) - 5, "gap_size": 9}, 2, 5)
    segy.update_headers(path, {"offset": 44}, traces=[0, 9])
    after = path.read_bytes()
    with segy.SegyFile(path) as s:
        assert s.field("cdp_x").tolist() == [0, 0, -5, -4, -3, 0, 0, 0, 0, 0]
        assert s.field("gap_size").tolist() == [0, 0, 9, 9, 9, 0, 0, 0, 0, 0]
        assert s.field("offset").tolist() == [44] + list(range(1, 9)) + [44]
    for t, (at, size) in [(t, f) for t in range(10) for f in ((180, 4), (176, 2), (36, 4))]:
        at += 3600 + t * 260
        before[at:at + size] = after[at:at + size]
    assert after == bytes(before)


BAD_WRITES = [  # (arguments, error, words)
    (dict(samples=np.array([[1.0, np.nan]])), ValueError, r"NaN at \(0, 1\)"),
    (dict(headers={"offset": [2 ** 31]}), ValueError, "2147483648 does not fit bytes 37-40"),
    (dict(headers={"offset": [1.5]}), ValueError, "expected integers"),
    (dict(headers={"offset": [1, 2]}), ValueError, "expected 1 values"),
    (dict(headers={(189, "i4"): 1, (191, "i2"): 1}), ValueError, "overlaps"),
    (dict(text="x" * 81 + "\n"), ValueError, "at most 40 lines of at most 80"),
    (dict(text="\u00e9t\u00e9", encoding="ascii"), ValueError, "has no ASCII code"),
    (dict(format=3), ValueError, "format: expected 1"),
    (dict(sample_interval=1e5), ValueError, "needs revision 2"),
    (dict(samples=np.ones((1, 70000))), ValueError, "more need revision 2"),
    (dict(binary={"format": 5}), ValueError, "set by write"),
    (dict(binary={"job_idx": 5}), ValueError, "no binary header field"),
    (dict(endian="middle"), ValueError, "endian"),
]


@pytest.mark.parametrize("kw, error, words", [b for b in BAD_WRITES],
                         ids=[b[2] for b in BAD_WRITES])
def test_bad_writes_touch_no_file(tmp_path, kw, error, words):
    path = tmp_path / "w.sgy"
    path.write_bytes(b"before")
    kw = {"samples": np.ones((1, 4))} | kw
    with pytest.raises(error, match=words):
        segy.write(path, **kw)
    assert path.read_bytes() == b"before"


def test_bad_updates_touch_no_file(tmp_path):
    path = tmp_path / "u.sgy"
    segy.write(path, np.ones((3, 5)))
    before = path.read_bytes()
    for fields, words in [({"offset": [1, 2 ** 40, 3]}, "does not fit"),
                          ({"samples": 6}, "sample count"), ({(113, "i4"): 0}, "sample count")]:
        with pytest.raises(ValueError, match=words):
            segy.update_headers(path, fields)
    assert path.read_bytes() == before
