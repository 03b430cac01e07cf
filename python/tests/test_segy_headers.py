"""Trace and binary header fields read by seiskernels.segy: every field in
both byte orders at the bytes segyio names, across read chunks and the
two ways traces are read, scaled, by byte position, through Dask."""
import struct

import numpy as np
import pytest

from seiskernels import segy

RNG = np.random.default_rng(2525)


def trace_values(traces):
    """A distinct value for every field of every trace, each byte of it
    significant and the signed ones negative: a field read one byte off,
    or as unsigned, reads another value."""
    out = {}
    for k, (name, at, size) in enumerate(segy.TRACE_FIELDS):
        if name == "samples":
            continue
        base = 0x01020304 + 0x01010101 * (k % 7) if size == 4 else 0x0102 + 0x0101 * (k % 7)
        sign = 1 if name == "sample_interval" else -1
        out[name] = sign * (base + np.arange(traces) * 3) + (0x8000 if sign > 0 else 0)
    return out


def write_fields(path, values, traces, ns, order, fmt=8):
    """A file whose trace headers hold `values` (name -> per-trace), each
    packed with struct at the byte segyio gives the field, or ours where
    segyio has none."""
    positions = {name: at for name, at, _ in segy.TRACE_FIELDS}
    sizes = {name: size for name, _, size in segy.TRACE_FIELDS}
    binary = bytearray(400)
    for at, code, value in [(16, "H", 1000), (20, "H", ns), (24, "h", fmt)]:
        struct.pack_into(order + code, binary, at, value)
    with open(path, "wb") as f:
        f.write(b"\x40" * 3200 + binary)
        for t in range(traces):
            h = bytearray(240)
            struct.pack_into(order + "H", h, 114, ns)
            for name, v in values.items():
                code = {2: "h", 4: "i"}[sizes[name]]
                if name == "sample_interval":
                    code = "H"
                struct.pack_into(order + code, h, positions[name] - 1, int(v[t]))
            f.write(h + bytes(ns * {8: 1, 5: 4}[fmt]))


def test_the_fields_tile_the_header_at_segyios_positions():
    segyio = pytest.importorskip("segyio")
    starts = [at for _, at, _ in segy.TRACE_FIELDS]
    ends = [at + size for _, at, size in segy.TRACE_FIELDS]
    assert starts[0] == 1 and starts[1:] == ends[:-1] and ends[-1] == 233
    for at, name in segy.SEGYIO_TRACE_NAMES.items():
        assert int(getattr(segyio.TraceField, name)) == at, name
    for name, theirs in segy.SEGYIO_BINARY_NAMES.items():
        ours = [at for n, at, _, _ in segy.BINARY_FIELDS if n == name][0]
        assert int(getattr(segyio.BinField, theirs)) == ours, name


@pytest.mark.parametrize("order", [">", "<"])
@pytest.mark.parametrize("chunk, ns, fmt", [(1 << 20, 40000, 8), (700, 100, 8),
                                            (1 << 20, 6000, 5)])
def test_every_trace_header_field_in_both_byte_orders(tmp_path, monkeypatch, order, chunk,
                                                      ns, fmt):
    # Small chunks split the traces across many reads; traces of 24 kB are
    # read one header at a time.  40,000 samples need the count unsigned.
    monkeypatch.setattr(segy, "_CHUNK_BYTES", chunk)
    monkeypatch.setattr(segy, "_HEADER_CHUNK_BYTES", chunk)
    traces = 7
    values = trace_values(traces)
    path = tmp_path / "f.sgy"
    write_fields(path, values, traces, ns, order, fmt)
    with segy.SegyFile(path) as s:
        heads = s.headers()
        assert s.samples == ns and (heads["samples"] == ns).all()
        for name, v in values.items():
            assert heads[name].tolist() == v.tolist(), name
        some = s.fields(list(values)[::5], 2, 6)
        for name in some.dtype.names:
            assert some[name].tolist() == values[name][2:6].tolist(), name
        assert s.field("INLINE_3D", traces=[6, 0]).tolist() == values["inline"][[6, 0]].tolist()
        assert heads["raw"].tobytes() == b"".join(
            path.read_bytes()[3600 + t * s.trace_bytes:][:240] for t in range(traces))


def test_fields_by_byte_position_and_type(tmp_path):
    path = tmp_path / "f.sgy"
    values = {"inline": np.arange(5) + 1000, "crossline": -np.arange(5)}
    write_fields(path, values, 5, 10, ">")
    raw = bytearray(path.read_bytes())
    for t in range(5):  # bytes 233-240, unassigned: a float and a 2-byte unsigned
        struct.pack_into(">fH", raw, 3600 + t * 250 + 232, t / 4, 60000 + t)
    path.write_bytes(bytes(raw))
    with segy.SegyFile(path) as s:
        got = s.fields([(233, "f4"), (237, "u2"), 189, (193, "i4"), (189, "i2")])
        assert got.dtype.names == ("byte233_f4", "byte237_u2", "inline", "byte193_i4",
                                   "byte189_i2")
        assert got["byte233_f4"].tolist() == [0, 0.25, 0.5, 0.75, 1.0]
        assert got["byte237_u2"].tolist() == list(range(60000, 60005))
        assert (got["inline"] == values["inline"]).all()
        assert (got["byte193_i4"] == values["crossline"]).all()
        assert (got["byte189_i2"] == 0).all()  # the high half of the inline


@pytest.mark.parametrize("key, error, words", [
    ("no_such", ValueError, "no trace header field is named 'no_such'"),
    (190, ValueError, "no standard trace header field starts at byte 190"),
    ((239, "i4"), ValueError, "bytes 239-242 are not within"),
    ((1, ">i4"), ValueError, "without a byte order"),
    ((1, "U4"), ValueError, "an integer or float type"),
    (1.5, TypeError, "expected a field name"),
])
def test_bad_field_keys_say_what_is_allowed(tmp_path, key, error, words):
    path = tmp_path / "f.sgy"
    write_fields(path, {}, 2, 10, ">")
    with segy.SegyFile(path) as s, pytest.raises(error, match=words):
        s.field(key)


def test_scalars_applied_on_request(tmp_path):
    path = tmp_path / "f.sgy"
    scalars = np.array([-100, 10, 0, 1, -1])
    write_fields(path, {"cdp_x": np.arange(5) * 1000 + 7, "coordinate_scalar": scalars,
                        "source_elevation": np.full(5, 50), "elevation_scalar": -scalars,
                        "delay_time": np.full(5, 3), "time_scalar": np.full(5, 10)}, 5, 10, "<")
    with segy.SegyFile(path) as s:
        x = s.field("cdp_x", scale=True)
        assert x.dtype == np.float64
        assert x.tolist() == [0.07, 10070.0, 2007.0, 3007.0, 4007.0]
        assert s.field("source_elevation", scale=True).tolist() == [5000, 5, 50, 50, 50]
        assert s.field("cdp_x").tolist() == [7, 1007, 2007, 3007, 4007]
        assert s.time_axis().tolist()[:3] == [30.0, 31.0, 32.0]


def test_binary_header_fields_at_segyios_positions(tmp_path):
    segyio = pytest.importorskip("segyio")
    path = tmp_path / "f.sgy"
    write_fields(path, {}, 1, 10, ">")
    raw = bytearray(path.read_bytes())
    want = {}
    for k, (name, theirs) in enumerate(sorted(segy.SEGYIO_BINARY_NAMES.items())):
        if name in ("format", "samples", "extended_headers", "revision_major"):
            continue
        at = int(getattr(segyio.BinField, theirs)) - 1
        want[name] = 0x0102 + k if name in ("sample_interval", "original_sample_interval",
                                            "original_samples") else -(0x0102 + k)
        size = [n for f, _, n, _ in segy.BINARY_FIELDS if f == name][0]
        struct.pack_into(">" + {2: "h", 4: "i"}[size], raw, at, want[name])
    path.write_bytes(bytes(raw))
    with segy.SegyFile(path) as s:
        assert {k: s.binary[k] for k in want} == want
        assert s.sample_interval == want["sample_interval"]


def test_fields_through_dask(tmp_path):
    pytest.importorskip("dask.array")
    path = tmp_path / "f.sgy"
    values = {"offset": RNG.integers(-1000, 1000, 50), "coordinate_scalar": np.full(50, -10),
              "group_x": np.arange(50)}
    write_fields(path, values, 50, 3, ">")
    with segy.SegyFile(path) as s:
        lazy = s.field_to_dask("offset", traces_per_chunk=7)
        assert lazy.chunks == ((7,) * 7 + (1,),)
        assert (lazy.compute(scheduler="sync") == values["offset"]).all()
        x = s.field_to_dask((81, "i4"), 16, scale=False).compute(scheduler="sync")
        assert (x == values["group_x"]).all()
        scaled = s.field_to_dask("group_x", 16, scale=True).compute(scheduler="sync")
        assert np.allclose(scaled, values["group_x"] / 10)
