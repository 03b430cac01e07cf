"""seiskernels.segy on files written here byte by byte with struct: each
file a reader once misread, and every other file either read right or
refused with the bytes (counted from 1) and the reason."""
import os
import struct
import threading
import tracemalloc

import numpy as np
import pytest

from seiskernels import segy

RNG = np.random.default_rng(29)


def ibm_oracle(words):
    """float32 of big-endian-valued IBM words (uint32): F 16**(E-64) 2**-24
    exactly in float64, then one rounding to float32."""
    w = np.asarray(words, np.uint64)
    f = (w & 0xFFFFFF).astype(np.float64)
    e = ((w >> 24) & 0x7F).astype(np.int64)
    value = np.ldexp(f, 4 * (e - 64) - 24)
    with np.errstate(over="ignore"):
        return np.where(w >> 31, -value, value).astype(np.float32)


# Each format's samples as numpy reads them (format 1: the IBM words).
KINDS = {1: "u4", 2: "i4", 3: "i2", 5: "f4", 6: "f8", 8: "i1", 9: "i8", 10: "u4", 11: "u2",
         12: "u8", 16: "u1"}


def sgy(path, traces=4, ns=100, fmt=5, order=">", rev=None, mark=False, interval=2000,
        binary_ns=None, trace_ns=None, trace_interval=None, ext_ns=0, stated=0, first=0,
        extra_headers=0, trailer=0, ext_text=0, gap=b"", tail=b"", text=None, junk=()):
    """A SEG-Y file: `traces` traces of `ns` samples (format 1, 5, 2, 3 or 8)
    whose trace headers hold their number at bytes 37-40; returns the
    samples as the file holds them (IBM words as uint32)."""
    kind = KINDS[fmt]
    size = np.dtype(kind).itemsize
    if fmt == 1:
        values = RNG.integers(0x3E000000, 0x45000000, (traces, ns), dtype=np.uint32)
        values |= RNG.integers(0, 2, (traces, ns), dtype=np.uint32) << 31
    elif fmt in (5, 6):
        values = RNG.standard_normal((traces, ns)).astype(kind)
    else:
        info = np.iinfo(kind)
        values = RNG.integers(info.min, info.max, (traces, ns), kind, endpoint=True)
    b = bytearray(400)
    for at, code, v in [(16, "H", interval), (20, "H", ns if binary_ns is None else binary_ns),
                        (24, "h", fmt), (304, "h", ext_text), (68, "i", ext_ns),
                        (306, "i", extra_headers), (312, "Q", stated), (320, "Q", first),
                        (328, "i", trailer)]:
        struct.pack_into(order + code, b, at, v)
    if mark:
        struct.pack_into(order + "I", b, 96, 0x01020304)
    if rev is not None:
        b[300:302] = rev
    for at, data in junk:
        b[at:at + len(data)] = data
    with open(path, "wb") as f:
        f.write(text if text is not None else "".join(
            f"C{i:2d} CLIENT SEISKERNELS".ljust(80) for i in range(1, 41)).encode("cp037"))
        f.write(b + b"\x40" * 3200 * ext_text + gap)
        for t in range(traces):
            h = bytearray(240)
            struct.pack_into(order + "i", h, 36, t)
            struct.pack_into(order + "H", h, 114, ns if trace_ns is None else trace_ns)
            struct.pack_into(order + "H", h, 116, interval if trace_interval is None
                             else trace_interval)
            f.write(h + values[t].astype(order + kind if size > 1 else kind).tobytes())
        f.write(tail)
    return values


def decoded(values, fmt):
    return ibm_oracle(values) if fmt == 1 else values


# ---------------------------------------------------------------------------
# Files read wrongly before: each read right now.

def ascii_padded(p):
    text = "".join(f"C{i:2d} ASCII HEADER".ljust(80) for i in range(1, 31)).encode("ascii")
    return sgy(p, text=text + b"\0" * 800)


READ_RIGHT = [  # (what, how written -> samples, what the reader must say)
    ("ASCII text padded with NULs", ascii_padded,
     lambda s: s.text[0].splitlines()[:2] == ["C 1 ASCII HEADER", "C 2 ASCII HEADER"]),
    ("blank EBCDIC text", lambda p: sgy(p, text=b"\x40" * 3200),
     lambda s: s.text[0].strip() == ""),
    ("EBCDIC text", lambda p: sgy(p), lambda s: s.text[0].startswith("C 1 CLIENT")),
    ("little-endian revision 2.0 as two bytes, 70,000 samples in the extended count",
     lambda p: sgy(p, traces=2, ns=70000, order="<", rev=b"\2\0", binary_ns=0, ext_ns=70000,
                   mark=True, trace_ns=0), lambda s: s.shape == (2, 70000)),
    ("little-endian revision 2.0, first trace at byte 4040",
     lambda p: sgy(p, order="<", rev=b"\2\0", first=4040, gap=b"\0" * 440),
     lambda s: s.data_start == 4040 and s.traces == 4),
    ("little-endian revision 2.1, first trace at byte 4040",
     lambda p: sgy(p, order="<", rev=b"\2\1", first=4040, gap=b"\0" * 440),
     lambda s: s.revision == (2, 1) and s.data_start == 4040),
    ("little-endian revision 1 written as a 16-bit word", lambda p: sgy(p, order="<",
                                                                         rev=b"\0\1"),
     lambda s: s.revision == (1, 0)),
    ("revision 2, stated trace count and a trailer",
     lambda p: sgy(p, rev=b"\2\0", stated=4, trailer=1, tail=b"\x40" * 3200),
     lambda s: s.shape == (4, 100) and s.trailer_bytes == 3200),
    ("revision 2, stated trace count equal to the true one",
     lambda p: sgy(p, rev=b"\2\0", stated=4), lambda s: s.shape == (4, 100)),
    ("little-endian, no byte-order mark", lambda p: sgy(p, order="<"),
     lambda s: s.byteorder == "little"),
    ("little-endian IBM, no mark", lambda p: sgy(p, order="<", fmt=1),
     lambda s: s.byteorder == "little"),
    ("interval 0 in the binary header", lambda p: sgy(p, interval=0, trace_interval=2000),
     lambda s: s.sample_interval == 2000 and s.time_axis()[2] == 4.0),
    ("no traces", lambda p: sgy(p, traces=0), lambda s: s.shape == (0, 100)),
    ("revision 1, unassigned bytes set", lambda p: sgy(p, rev=b"\1\0", junk=[
        (60, RNG.integers(1, 256, 240, dtype=np.uint8).tobytes()),
        (306, RNG.integers(1, 256, 94, dtype=np.uint8).tobytes())]),
     lambda s: s.shape == (4, 100)),
    ("samples 0 in the binary header, 100 in the trace headers",
     lambda p: sgy(p, binary_ns=0), lambda s: s.shape == (4, 100)),
    ("2-byte integers", lambda p: sgy(p, fmt=3, order="<"), lambda s: s.dtype == np.int16),
    ("4-byte integers", lambda p: sgy(p, fmt=2), lambda s: s.dtype == np.int32),
    ("1-byte integers", lambda p: sgy(p, fmt=8), lambda s: s.dtype == np.int8),
] + [(f"format {f}", lambda p, f=f: sgy(p, fmt=f, order="<"),
      lambda s, f=f: s.dtype == np.dtype(KINDS[f])) for f in (6, 9, 10, 11, 12, 16)]


@pytest.mark.parametrize("make, check", [c[1:] for c in READ_RIGHT],
                         ids=[c[0] for c in READ_RIGHT])
def test_files_once_misread_are_read_right(tmp_path, make, check):
    path = tmp_path / "f.sgy"
    values = make(path)
    s = segy.SegyFile(path)
    assert check(s)
    want = decoded(values, s.format)
    assert s.read().tobytes() == want.tobytes()
    assert (s.headers()["offset"] == np.arange(len(values))).all()
    if s.format not in (1, 5):
        assert (s.read(dtype=np.float32) == want.astype(np.float32)).all()


def last_header_says_50(p):
    sgy(p, traces=8, trace_ns=0)
    with open(p, "r+b") as f:
        f.seek(3600 + 7 * 640 + 114)
        f.write(b"\0\x32")


REFUSED = [  # (what, how written, how opened, words of the message)
    ("extra trace headers", lambda p: sgy(p, rev=b"\2\0", extra_headers=1), {},
     "bytes 3507-3510, expected no additional trace headers"),
    ("stated trace count and bytes beyond", lambda p: sgy(p, rev=b"\2\0", stated=2), {},
     "bytes 3513-3520, expected 2 traces, then 0 trailer records"),
    ("stated trace count beyond the file", lambda p: sgy(p, rev=b"\2\0", stated=9), {},
     "bytes 3513-3520, expected 9 traces"),
    ("trace headers' sample count other than the binary header's",
     lambda p: sgy(p, traces=11, binary_ns=50), {}, "bytes 3715-3716, expected 50 samples"),
    ("the last trace header's sample count", last_header_says_50, {},
     "bytes 8195-8196, expected 100 samples per trace"),
    ("first trace inside the binary header", lambda p: sgy(p, rev=b"\2\0", first=3000), {},
     "bytes 3521-3528, expected the first trace at a byte offset from 3600"),
    ("first trace inside an extended textual header",
     lambda p: sgy(p, rev=b"\2\0", first=3600, ext_text=1), {},
     "bytes 3521-3528, expected the first trace at a byte offset from 6800"),
    ("little-endian file said to be big-endian", lambda p: sgy(p, order="<"),
     dict(endian="big"), "bytes 3225-3226, expected a sample format"),
    ("format 4", lambda p: sgy(p, junk=[(24, b"\0\4")]), {},
     "got format code 4 (4-byte fixed point with gain)"),
    ("format 15", lambda p: sgy(p, junk=[(24, b"\0\x0f")]), {},
     "got format code 15 (3-byte unsigned integer)"),
    ("format 7", lambda p: sgy(p, junk=[(24, b"\0\x07")]), {},
     "got format code 7 (3-byte two's complement integer)"),
    ("no SEG-Y format either way", lambda p: sgy(p, junk=[(24, b"\0\x2a")]), {},
     "format code 42, which is no SEG-Y format"),
]


@pytest.mark.parametrize("make, how, words", [c[1:] for c in REFUSED],
                         ids=[c[0] for c in REFUSED])
def test_files_not_described_exactly_are_refused(tmp_path, make, how, words):
    path = tmp_path / "f.sgy"
    make(path)
    with pytest.raises(ValueError, match=str(path)) as e:
        segy.SegyFile(path, **how)
    assert words in str(e.value)


def test_a_fifo_without_a_writer_is_refused_at_once(tmp_path):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(_attempt(fifo)), daemon=True)
    thread.start()
    thread.join(5)
    if thread.is_alive():  # unblock the reader before failing
        os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
    assert outcome and isinstance(outcome[0], OSError) and "FIFO" in str(outcome[0])


def _attempt(path):
    try:
        segy.SegyFile(path)
    except Exception as e:  # noqa: BLE001 -- the test looks at what it is
        return e


def held(a):
    """Bytes of memory an array keeps alive."""
    while isinstance(a.base, np.ndarray):
        a = a.base
    return a.nbytes


@pytest.mark.parametrize("key, expect", [
    (5, np.s_[5]), (slice(5, 7), np.s_[5:7]), ((slice(None, None, 500), slice(None)),
                                                np.s_[::500, :]),
    (np.array([1999, 3]), np.s_[[1999, 3]]), ((slice(None), 7), np.s_[:, 7])])
def test_a_few_traces_read_only_their_share_of_the_file(tmp_path, key, expect):
    path = tmp_path / "f.sgy"
    values = sgy(path, traces=2000, ns=1000)  # 8.5 MB
    s = segy.SegyFile(path)
    tracemalloc.start()
    got = s[key]
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert got.tobytes() == values[expect].tobytes()
    assert peak < 1.5e6 + values[expect].nbytes


def test_headers_and_fields_read_without_the_samples(tmp_path, monkeypatch):
    path = tmp_path / "f.sgy"
    sgy(path, traces=2000, ns=1000)
    s = segy.SegyFile(path)
    tracemalloc.start()
    heads = s.headers()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert (heads["offset"] == np.arange(2000)).all() and peak < 1.5e6 + heads.nbytes


def test_dask_chunks_hold_their_samples_alone(tmp_path):
    pytest.importorskip("dask.array")
    path = tmp_path / "f.sgy"
    values = sgy(path, traces=3000, ns=1)
    s = segy.SegyFile(path)
    x = s.to_dask(traces_per_chunk=1000)
    chunk = x.blocks[1].compute(scheduler="sync")
    assert chunk.flags.c_contiguous and held(chunk) == chunk.nbytes
    assert x.compute(scheduler="sync").tobytes() == values.tobytes()
    assert held(s.read(10, 20)) == 40


# ---------------------------------------------------------------------------
# Random damage: every outcome a right read or a refusal naming the bytes.

def _fuzz_cases(n=160):
    rng = np.random.default_rng(2029)
    for k in range(n):
        fmt, order, rev = [(1, ">", None), (5, "<", b"\2\0"), (3, ">", b"\1\0"),
                           (1, "<", b"\2\0")][k % 4]
        yield k, fmt, order, rev, rng.integers(0, 2 ** 31)


@pytest.mark.parametrize("k, fmt, order, rev, seed", list(_fuzz_cases()))
def test_damaged_files_are_read_right_or_refused(tmp_path, k, fmt, order, rev, seed):
    rng = np.random.default_rng(seed)
    path = tmp_path / "f.sgy"
    sgy(path, traces=5, ns=30, fmt=fmt, order=order, rev=rev, mark=rev == b"\2\0")
    raw = bytearray(path.read_bytes())
    damage = rng.integers(0, 3)
    if damage == 0:    # bytes of the binary header
        for at in rng.integers(3200, 3600, rng.integers(1, 6)):
            raw[at] = rng.integers(0, 256)
    elif damage == 1:  # a field that shapes the file set to a random small value
        at = rng.choice([3220, 3224, 3268, 3504, 3506, 3512, 3520, 3528, 3600 + 114])
        raw[at:at + 2] = struct.pack(order + "h", int(rng.integers(-3, 300)))
    else:              # cut or lengthened
        raw = raw[:rng.integers(0, len(raw))] if rng.random() < 0.5 else \
            raw + bytes(rng.integers(1, 5000))
    path.write_bytes(bytes(raw))
    try:
        s = segy.SegyFile(path)
        samples = s.read()
    except (ValueError, OSError) as e:
        assert str(path) in str(e) and ("bytes " in str(e) or "byte offset" in str(e))
        return
    # Read: the layout it describes accounts for every byte, and the
    # samples are what those bytes hold.
    tb = s.trace_bytes
    assert s.data_start >= 3600 + 3200 * s.extended_headers
    assert s.data_start + s.traces * tb + s.trailer_bytes == len(raw)
    block = np.frombuffer(bytes(raw), np.uint8, s.traces * tb, s.data_start)
    kind = KINDS[s.format]
    words = block.reshape(s.traces, tb)[:, 240:].copy().view(
        (">" if s.byteorder == "big" else "<") + kind)
    want = ibm_oracle(words.astype(np.uint32)) if s.format == 1 else words
    assert samples.tobytes() == np.asarray(want, samples.dtype).tobytes()
