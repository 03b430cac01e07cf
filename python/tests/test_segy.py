"""ibm2ieee on the layouts a SEG-Y reader meets (stated byte orders, memory
maps, the sample columns of a trace block), and seiskernels.segy against
segyio or raw bytes: samples, headers, bad files and the Dask form."""
import ctypes
import os
import struct
import sys
import types

import numpy as np
import pytest

import seiskernels as sk

IBM = ctypes.CDLL(os.environ["IBMFLOAT_LIBRARY"])
IBM.ibm2ieee.argtypes = [ctypes.POINTER(ctypes.c_float), ctypes.c_int]
IBM.ibm2ieee.restype = None
OTHER = ">" if sys.byteorder == "little" else "<"
RNG = np.random.default_rng(19)
# Words of every kind: signs, zeros, subnormal and infinite results, unnormalised.
WORDS = np.concatenate([RNG.integers(0, 2 ** 32, 2000, dtype=np.uint32),
                        np.array([0, 0x80000000, 0x41100000, 0x60000000, 0x1B100000,
                                  0x42010000, 0x5FFFFFFF, 0x21000001], np.uint32)])


def converted(words):
    """The kernel's float32 of host-order words, called directly."""
    out = words.astype(np.uint32).view(np.float32).copy()
    IBM.ibm2ieee(out.ctypes.data_as(ctypes.POINTER(ctypes.c_float)), out.size)
    return out


def block(dtype, rows=6, cols=40, head=3):
    b = np.zeros((rows, head + cols), dtype)
    b[:, :head] = 7
    b[:, head:] = WORDS[:rows * cols].reshape(rows, cols)
    return b


def memmapped(tmp_path, words):
    path = tmp_path / "words"
    words.astype(">u4").tofile(path)
    return np.memmap(path, ">u4", mode="r+")


# (layout, byteorder argument): each holds WORDS' values, as its dtype says.
LAYOUTS = {
    ">u4": (lambda t: WORDS.astype(">u4"), None),
    ">i4": (lambda t: WORDS.astype(">u4").view(">i4"), "big"),
    ">f4": (lambda t: WORDS.astype(">u4").view(">f4"), None),
    "host u4, little": (lambda t: WORDS.astype("<u4").view(np.uint32), "little"),
    "memmap >u4": (lambda t: memmapped(t, WORDS), None),
    "block >u4 columns": (lambda t: block(">u4")[:, 3:], None),
    "block host u4 columns": (lambda t: block(np.uint32)[:, 3:], sys.byteorder),
    "block bytes columns": (lambda t: block(">u4").view(np.uint8)[:, 12:], None),
    "2-D >f4": (lambda t: WORDS[:240].astype(">u4").view(">f4").reshape(6, 40), None),
}


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_stated_byte_orders_and_strided_rows_convert_in_place(layout, tmp_path):
    make, byteorder = LAYOUTS[layout]
    ibm = make(tmp_path)
    base = ibm.base if isinstance(ibm.base, np.ndarray) else ibm
    before = np.array(base, copy=True)
    got = sk.ibm2ieee(ibm, byteorder=byteorder)
    want = converted(WORDS[:got.size])
    assert got.dtype == np.float32 and got.dtype.isnative
    assert np.shares_memory(got, ibm) and got.shape == (ibm.shape[:-1] + (ibm.shape[-1] *
                                                                     ibm.itemsize // 4,))
    assert got.tobytes() == want.reshape(got.shape).tobytes()
    if base.ndim == 2:  # the trace headers between the rows are untouched
        assert (np.asarray(base)[:, :3] == before[:, :3]).all()


@pytest.mark.parametrize("ibm, kwargs, error, words", [
    (WORDS.astype(">u4"), dict(byteorder="little"), ValueError, "contradicts ibm"),
    (block(">u4")[:, 3:], dict(len=4), ValueError, "len: only for C-contiguous"),
    (block(">u4")[:, ::2], {}, TypeError, "rows of contiguous words"),
    (block(">u4")[::-1, 3:], {}, TypeError, "rows of contiguous words"),
    (block(np.uint8, cols=42)[:, 3:], {}, ValueError, "whole 4-byte words"),
    (np.frombuffer(bytearray(4 * 43 * 6 + 1), ">u4", offset=1).reshape(6, 43)[:, 3:], {},
     ValueError, "not aligned"),
])
def test_bad_layouts_raise_and_write_nothing(ibm, kwargs, error, words):
    ibm.flags.writeable = True
    before = np.array(ibm, copy=True)
    with pytest.raises(error, match=words):
        sk.ibm2ieee(ibm, **kwargs)
    assert (np.asarray(ibm) == before).all()


def test_plain_buffers_return_a_float_memoryview():
    trace = bytearray.fromhex("41100000 c276a000 42640000")
    assert sk.ibm2ieee(trace).tolist() == [1.0, -118.625, 100.0]
    assert sk.ibm2ieee(bytearray.fromhex("41100000 c276a000"), 1).tolist() == [1.0]


# ---------------------------------------------------------------------------
# seiskernels.segy on files written here, byte by byte.

segy = pytest.importorskip("seiskernels.segy")


def write(path, words, fmt=1, order=">", ext=0, ebcdic=True, revision=1, samples=None,
          stated_traces=0, tail=b""):
    """A SEG-Y file of `words` (traces, samples), each trace header holding
    its trace's number as its offset."""
    traces, ns = words.shape
    text = "".join(f"C{i:2d} seiskernels test".ljust(80) for i in range(1, 41))
    binary = bytearray(400)
    for at, code, value in [(16, "H", 2000), (20, "H", ns if samples is None else samples),
                            (24, "h", fmt), (96, "I", 0x01020304 if revision >= 2 else 0),
                            (300, "H", revision << 8), (304, "h", ext),
                            (312, "Q", stated_traces)]:
        struct.pack_into(order + code, binary, at, value)
    head = np.zeros((traces, 60), order + "u4")
    head.view(np.uint8)[:, 36:40] = np.arange(traces, dtype=order + "i4").view(np.uint8) \
        .reshape(-1, 4)
    with open(path, "wb") as f:
        f.write(text.encode("cp037" if ebcdic else "ascii") + binary)
        f.write(text.upper().encode("cp037" if ebcdic else "ascii") * ext)
        f.write(np.hstack([head, words]).astype(order + "u4").tobytes() + tail)
    return path


FLOATS = RNG.standard_normal(2000).astype(np.float32).view(np.uint32)


@pytest.mark.parametrize("fmt, order, ext, ebcdic, revision", [
    (1, ">", 0, True, 1), (1, "<", 1, False, 2), (5, ">", 2, True, 0), (5, "<", 0, True, 2)])
def test_samples_headers_and_text_of_each_form(tmp_path, fmt, order, ext, ebcdic, revision):
    words = (WORDS if fmt == 1 else FLOATS)[:1600].reshape(8, 200)
    path = write(tmp_path / "f.sgy", words, fmt, order, ext, ebcdic, revision)
    before = path.read_bytes()
    f = segy.SegyFile(path)
    want = converted(words) if fmt == 1 else words.view(np.float32)
    assert (f.traces, f.samples, f.format, f.sample_interval, f.extended_headers) == \
        (8, 200, fmt, 2000, ext)
    assert f.byteorder == ("little" if order == "<" else "big") and f.revision[0] == revision
    assert f.text[0].splitlines()[1] == "C 2 seiskernels test" and len(f.text) == 1 + ext
    assert f.read().tobytes() == want.tobytes()
    assert f.read(3, -2).tobytes() == want[3:-2].tobytes()
    samples, headers = f.traces_and_headers(5)
    assert samples.tobytes() == want[5:].tobytes() and list(headers["offset"]) == [5, 6, 7]
    assert f.headers()["offset"].tolist() == list(range(8))
    assert f.headers(2, 3)["raw"].tobytes() == before[3600 + 3200 * ext + 2 * 1040:][:240]
    assert path.read_bytes() == before


def test_segyio_files_read_as_segyio_reads_them(tmp_path):
    segyio = pytest.importorskip("segyio")
    data = (RNG.standard_normal((30, 250)) * 1e3).astype(np.float32)
    for fmt in (1, 5):
        layout = types.SimpleNamespace(format=fmt, samples=range(250), tracecount=30,
                                       endian="big", ext_headers=0, iline=189, xline=193,
                                       ilines=None, xlines=None, offsets=[1], sorting=None)
        with segyio.create(str(tmp_path / "s.sgy"), layout) as out:
            for i in range(30):
                out.header[i] = {segyio.su.offset: 7 * i, segyio.su.cdpy: -i}
                out.trace[i] = data[i]
        with segyio.open(str(tmp_path / "s.sgy"), ignore_geometry=True) as theirs:
            want = theirs.trace.raw[:]
        f = segy.SegyFile(tmp_path / "s.sgy")
        assert f.read().tobytes() == want.tobytes() and f.format == fmt
        assert (f.headers()["cdp_y"] == -np.arange(30)).all()


def patch(path, at, value):
    with open(path, "r+b") as f:
        f.seek(at)
        f.write(struct.pack(">h", value))


GOOD = WORDS[:400].reshape(4, 100)
BAD_FILES = [  # (what, how the file is written, words of the error)
    ("headers cut short", lambda p: p.write_bytes(b"\x40" * 3000),
     "bytes 1-3600, expected the 3200-byte textual"),
    ("fewer traces than the header says", lambda p: write(p, GOOD, revision=2, stated_traces=9),
     "bytes 3513-3520, expected 9 traces"),
    ("a trace count that does not divide the file", lambda p: write(p, GOOD, tail=b"x" * 100),
     "100 bytes are left over after 4 traces"),
    ("zero samples", lambda p: write(p, GOOD, samples=0), "bytes 3221-3222, expected a sample count"),
    ("absurd samples", lambda p: write(p, GOOD, samples=60000), "got 60000 samples per trace"),
    ("unknown format", lambda p: write(p, GOOD, fmt=42), "format code 42, which is no SEG-Y"),
    ("unsupported format", lambda p: write(p, GOOD, fmt=4),
     "got format code 4 (4-byte fixed point with gain), which this reader does not read"),
    ("textual headers past the end", lambda p: patch(write(p, GOOD), 3504, 100),
     "bytes 3505-3506, expected 100 extended textual headers"),
    ("a variable count of textual headers", lambda p: patch(write(p, GOOD), 3504, -1),
     "variable count"),
]


@pytest.mark.parametrize("make, words", [b[1:] for b in BAD_FILES], ids=[b[0] for b in BAD_FILES])
def test_bad_files_name_the_file_the_offset_and_what_was_expected(tmp_path, make, words):
    path = tmp_path / "bad.sgy"
    make(path)
    before = path.read_bytes()
    with pytest.raises(ValueError, match=str(path)) as e:
        segy.SegyFile(path)
    assert words in str(e.value) and path.read_bytes() == before


def test_a_cluster_streams_a_file_larger_than_its_memory_into_zarr(tmp_path):
    pytest.importorskip("dask.array")
    distributed = pytest.importorskip("distributed")
    zarr = pytest.importorskip("zarr")
    import dask
    words = RNG.integers(0x3E000000, 0x45000000, (6000, 1000), dtype=np.uint32)
    path = write(tmp_path / "survey.sgy", words)  # 25 MB
    want = segy.SegyFile(path).read()
    # Each worker may hold 4 MB of results before it spills them to disk.  A
    # Python process alone is larger than that, so the limits on the whole
    # process (pause, restart) are off.
    with dask.config.set({"distributed.worker.memory.spill": False,
                          "distributed.worker.memory.pause": False,
                          "distributed.worker.memory.terminate": False}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, memory_limit="4MB",
                                     processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        segy.SegyFile(path).to_dask(traces_per_chunk=250).to_zarr(str(tmp_path / "z"))
    assert zarr.open(str(tmp_path / "z"), mode="r")[:].tobytes() == want.tobytes()
