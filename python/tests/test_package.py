"""seiskernels against direct ctypes calls of the same kernels, bit for bit;
every bad input refused before anything is written; the package without
numpy; the library search."""
import array
import ctypes
import os
import struct
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import seiskernels as sk
import seiskernels.ibmfloat

# Direct calls, with prototypes written here from the C headers.
DP, IP = ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_int)
TT = ctypes.CDLL(os.environ["TRAVELTIME_LIBRARY"])
IBM = ctypes.CDLL(os.environ["IBMFLOAT_LIBRARY"])
TT.bullen_radial_slowness_inner_loop.argtypes = [DP, DP, DP, DP, ctypes.c_double, ctypes.c_int]
TT.tau_branch_calc_time_dist_inner_loop.argtypes = [DP] * 5 + [ctypes.c_int, ctypes.c_int,
                                                               ctypes.c_double, ctypes.c_int]
TT.seismic_phase_calc_time_inner_loop.argtypes = [ctypes.c_double, ctypes.c_double, DP, DP, DP,
                                                  IP, ctypes.c_int]
IBM.ibm2ieee.argtypes = [ctypes.POINTER(ctypes.c_float), ctypes.c_int]
for f in (TT.bullen_radial_slowness_inner_loop, TT.tau_branch_calc_time_dist_inner_loop,
          IBM.ibm2ieee):
    f.restype = None
TT.seismic_phase_calc_time_inner_loop.restype = ctypes.c_int

NAN, INF = float("nan"), float("inf")


def ptr(a, ctype=ctypes.c_double):
    return a.ctypes.data_as(ctypes.POINTER(ctype))


# The same doubles as each kind of buffer a caller may hold.
CONTAINERS = {
    "numpy": lambda v: np.array(v, dtype=np.float64),
    "array": lambda v: array.array("d", v),
    "memoryview": lambda v: memoryview(bytearray(struct.pack(f"={len(v)}d", *v))).cast("d"),
}
container = st.sampled_from(sorted(CONTAINERS))
special = st.sampled_from([0.0, -0.0, 1e-10, 5e-11, -1.0, 6371.0, 900.0, NAN, INF, -INF])
value = st.one_of(st.floats(0.0, 2000.0), special)


def same(got, want):
    return np.asarray(got, dtype=np.float64).tobytes() == np.asarray(want).tobytes()


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(value, value, value, value, value), max_size=40), container)
def test_layer_integrals_match_the_kernel(pairs, kind):
    layer = np.array([x[:4] for x in pairs], dtype=np.float64).reshape(-1)
    p = np.array([x[4] for x in pairs], dtype=np.float64)
    fill = np.arange(len(pairs), dtype=np.float64) + 0.5  # skipped pairs keep it
    want_t, want_d = fill.copy(), -fill
    TT.bullen_radial_slowness_inner_loop(ptr(layer), ptr(p), ptr(want_t), ptr(want_d), 6371.0,
                                         len(p))
    make = CONTAINERS[kind]
    time, dist = make(fill), make(-fill)
    sk.bullen_radial_slowness_inner_loop(make(layer), make(p), time, dist, 6371.0)
    assert same(time, want_t) and same(dist, want_d)


@settings(max_examples=150, deadline=None)
@given(st.integers(0, 12), st.integers(0, 12), st.data(), st.booleans(), container)
def test_branch_sums_match_the_kernel(max_i, max_j, data, allow_turn, kind):
    etas = data.draw(st.lists(st.floats(100.0, 1000.0), min_size=max_j + 1, max_size=max_j + 1))
    layer = np.array([[etas[j], j, etas[j + 1], j + 1] for j in range(max_j)], dtype=np.float64)
    rays = data.draw(st.lists(st.one_of(st.sampled_from(etas), value), min_size=max_i,
                              max_size=max_i))
    cells = st.lists(value, min_size=max_i * max_j, max_size=max_i * max_j)
    ray_params = np.repeat(np.array(rays, dtype=np.float64), max_j)
    time, dist = np.array(data.draw(cells)), np.array(data.draw(cells))
    max_ray_param = data.draw(value)
    want = np.arange(4.0 * max_i)
    if max_i and max_j:
        TT.tau_branch_calc_time_dist_inner_loop(ptr(ray_params), ptr(time), ptr(dist), ptr(layer),
                                                ptr(want), max_i, max_j, max_ray_param,
                                                int(allow_turn))
    elif max_i:
        want[1::4] = want[2::4] = 0.0  # empty branch: every row gets sums of zero
    make = CONTAINERS[kind]
    got = make(np.arange(4.0 * max_i))
    sk.tau_branch_calc_time_dist_inner_loop(make(ray_params), make(time), make(dist),
                                            make(layer.reshape(-1)), got, max_ray_param,
                                            allow_turn, max_i=max_i)
    assert same(got, want)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(st.one_of(st.floats(0.0, 7.0), st.sampled_from([0.5 * np.pi, NAN])),
                          st.sampled_from([3.0, 2.0, 2.0, 1.0])), max_size=40),
       st.one_of(st.floats(-1000.0, 1000.0), st.sampled_from([0.0, 90.0, 180.0, 540.0, NAN, INF])),
       st.one_of(st.floats(-1.0, 40.0), st.sampled_from([NAN, INF])), container, st.booleans())
def test_phase_search_matches_the_kernel(samples, degree, max_distance, kind, pass_results):
    dist = np.array([s[0] for s in samples], dtype=np.float64)
    rays = np.array([s[1] for s in samples], dtype=np.float64)
    size = 2 * max(len(samples) - 1, 0) * max(int(np.floor(max_distance / (2 * np.pi))) + 2, 0) \
        if np.isfinite(max_distance) else 0
    want_d, want_k = np.zeros(size + 1), np.zeros(size + 1, dtype=np.intc)
    n = TT.seismic_phase_calc_time_inner_loop(degree, max_distance, ptr(dist), ptr(rays),
                                              ptr(want_d), ptr(want_k, ctypes.c_int), len(dist))
    make = CONTAINERS[kind]
    if pass_results:
        out_d, out_k = np.full(size, -1.0), np.full(size, -7, dtype=np.intc)
        got_d, got_k = sk.seismic_phase_calc_time_inner_loop(degree, max_distance, make(dist),
                                                             make(rays), out_d, out_k)
        assert (out_d[n:] == -1.0).all() and (out_k[n:] == -7).all()
    else:
        got_d, got_k = sk.seismic_phase_calc_time_inner_loop(degree, max_distance, make(dist),
                                                             make(rays))
    assert same(got_d, want_d[:n]) and list(got_k) == want_k[:n].tolist()


WORD_CONTAINERS = {
    "bytearray": bytearray,
    "float32": lambda b: np.frombuffer(b, np.float32).copy(),
    "uint32 2-D": lambda b: np.frombuffer(b, np.uint32).copy().reshape(-1, 1),
    "array('f')": lambda b: array.array("f", b),
}


@settings(max_examples=150, deadline=None)
@given(st.lists(st.integers(0, 2 ** 32 - 1), max_size=64), st.sampled_from(["big", "little"]),
       st.sampled_from(sorted(WORD_CONTAINERS)))
def test_conversion_matches_the_kernel(words, byteorder, kind):
    raw = struct.pack(f"{'>' if byteorder == 'big' else '<'}{len(words)}I", *words)
    want = np.array(words, dtype=np.uint32).view(np.float32)  # host order
    IBM.ibm2ieee(ptr(want, ctypes.c_float), len(words))
    got = WORD_CONTAINERS[kind](raw)
    sk.ibm2ieee(got, byteorder=byteorder)
    assert memoryview(got).tobytes() == want.tobytes()


def test_long_buffers_convert_in_pieces(monkeypatch):
    words = np.arange(0x41100000, 0x41100000 + 11, dtype=np.uint32)
    want = words.view(np.float32).copy()
    IBM.ibm2ieee(ptr(want, ctypes.c_float), 11)
    monkeypatch.setattr(seiskernels.ibmfloat, "INT_MAX", 4)
    got = words.view(np.float32).copy()
    sk.ibm2ieee(got, byteorder=sys.byteorder)
    assert got.tobytes() == want.tobytes()


def test_buffers_stay_pinned_for_the_call():
    trace = bytearray(16)
    pinned = seiskernels._buffers.pin(trace, "ibm", seiskernels._buffers.WORDS, True)
    with pytest.raises(BufferError):
        trace.extend(b"1234")  # a resize would move the memory under the kernel
    del pinned
    trace.extend(b"1234")


# ---------------------------------------------------------------------------
# Bad input: (kernel, argument replaced, error, words of the message).  Each
# call must raise before the kernel runs, leaving every buffer as it was.

def read_only(a):
    a.flags.writeable = False
    return a


def misaligned(n):
    return np.frombuffer(bytearray(8 * n + 1), np.float64, n, offset=1)


def phase_args():
    dist = np.array([0.0, 0.4, 0.8, 1.2])
    return dict(degree=30.0, max_distance=1.2, dist=dist, ray_param=np.array([9.0, 8, 7, 6]),
                search_dist_results=np.full(12, -1.0), ray_num_results=np.full(12, -7, np.intc))


def bullen_args():
    return dict(layer=np.tile([800.0, 0.0, 700.0, 600.0], 3), p=np.zeros(3), time=np.ones(3),
                dist=np.ones(3), radius=6371.0)


def branch_args():
    return dict(ray_params=np.zeros((2, 3)), time=np.ones((2, 3)), dist=np.ones((2, 3)),
                layer=np.tile([800.0, 0.0, 700.0, 600.0], 3), time_dist=np.full((2, 4), 5.0),
                max_ray_param=900.0)


def ibm_args():
    return dict(ibm=bytearray.fromhex("41100000 c276a000"))


KERNELS = {"phase": (phase_args, sk.seismic_phase_calc_time_inner_loop),
           "bullen": (bullen_args, sk.bullen_radial_slowness_inner_loop),
           "branch": (branch_args, sk.tau_branch_calc_time_dist_inner_loop),
           "ibm": (ibm_args, sk.ibm2ieee)}

BAD = [
    ("phase", "dist", [0.0, 0.4, 0.8, 1.2], TypeError, "dist: expected a buffer"),
    ("phase", "dist", np.zeros(4, np.float32), TypeError, "dist: expected float64"),
    ("phase", "ray_param", np.zeros(3), ValueError, "ray_param: expected 4"),
    ("phase", "search_dist_results", np.zeros(11), ValueError, "at least 12 hits"),
    ("phase", "ray_num_results", np.zeros(12, np.int64), TypeError, "ray_num_results: expected int32"),
    ("phase", "search_dist_results", np.zeros(24)[::2], TypeError, "C-contiguous"),
    ("phase", "search_dist_results", read_only(np.zeros(12)), TypeError, "writable"),
    ("phase", "search_dist_results", np.zeros(12).astype(">f8"), TypeError, "byte order"),
    ("phase", "count", 5, ValueError, "dist: expected at least 5"),
    ("phase", "count", 2 ** 31, ValueError, "count: 2147483648 does not fit in a C int"),
    ("phase", "max_distance", 1e10, ValueError, "more than a C int counts"),
    ("phase", "degree", "30", TypeError, "degree: expected a real number"),
    ("bullen", "time", np.ones(2), ValueError, "time: expected 3"),
    ("bullen", "layer", np.zeros((3, 3)), ValueError, "layer: expected slowness-layer rows"),
    ("bullen", "dist", bytes(24), TypeError, "dist: expected float64"),
    ("bullen", "time", read_only(np.ones(3)), TypeError, "time: expected a writable"),
    ("bullen", "max_i", 4, ValueError, "layer: expected at least 4"),
    ("bullen", "max_i", -2 ** 31 - 1, ValueError, "max_i: -2147483649 does not fit"),
    ("bullen", "max_i", 2.0, TypeError, "max_i: expected an integer"),
    ("bullen", "radius", None, TypeError, "radius: expected a real number"),
    ("bullen", "dist", misaligned(3), ValueError, "not aligned"),
    ("branch", "time_dist", np.zeros((2, 3)), ValueError, "time_dist: expected time-distance"),
    ("branch", "time", np.ones((3, 2)), ValueError, "time: expected shape (2, 3)"),
    ("branch", "dist", np.ones(5), ValueError, "dist: expected 6 doubles"),
    ("branch", "max_j", 4, ValueError, "layer: expected at least 4 rows"),
    ("branch", "allow_turn", 0.5, TypeError, "allow_turn: expected an integer"),
    ("ibm", "ibm", bytearray(7), ValueError, "whole number of 4-byte words"),
    ("ibm", "ibm", bytes(8), TypeError, "writable"),
    ("ibm", "ibm", np.ones(2), TypeError, "ibm: expected 32-bit words"),
    ("ibm", "ibm", np.ones(4, np.float32)[::2], TypeError, "C-contiguous"),
    ("ibm", "byteorder", "network", ValueError, "byteorder: expected 'big' or 'little'"),
    ("ibm", "len", 3, ValueError, "len: 3 words asked for, but ibm holds 2"),
    ("ibm", "len", "2", TypeError, "len: expected an integer"),
]


def snapshot(args):
    return {k: memoryview(v).tobytes() for k, v in args.items()
            if isinstance(v, (np.ndarray, bytearray))}


@pytest.mark.parametrize("kernel, name, bad, error, words", BAD,
                         ids=[f"{k}-{n}-{i}" for i, (k, n, *_) in enumerate(BAD)])
def test_bad_input_raises_and_writes_nothing(kernel, name, bad, error, words):
    make, call = KERNELS[kernel]
    args = make()
    args[name] = bad
    before = snapshot(args)
    with pytest.raises(error, match=pytest.importorskip("re").escape(words)):
        call(**args)
    assert snapshot(args) == before


@pytest.mark.parametrize("kernel, output", [("phase", "search_dist_results"),
                                            ("bullen", "time"), ("branch", "time_dist")])
def test_outputs_overlapping_inputs_are_refused(kernel, output):
    make, call = KERNELS[kernel]
    args = make()
    first_input = {"phase": "dist", "bullen": "layer", "branch": "time"}[kernel]
    shared = np.zeros(64)
    shared[:args[first_input].size] = args[first_input].reshape(-1)
    args[first_input] = shared[:args[first_input].size].reshape(args[first_input].shape)
    args[output] = shared[1:1 + args[output].size].reshape(args[output].shape)
    before = snapshot({"shared": shared})
    with pytest.raises(ValueError, match="overlap"):
        call(**args)
    assert snapshot({"shared": shared}) == before


# ---------------------------------------------------------------------------

def run_python(script, **env):
    environ = dict(os.environ, **env)
    return subprocess.run([sys.executable, "-c", script], env=environ, capture_output=True,
                          text=True)


def test_works_without_numpy():
    run = run_python(r'''
import array, sys
class NoNumpy:
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] == "numpy":
            raise ImportError("numpy is hidden")
sys.meta_path.insert(0, NoNumpy())
import seiskernels as sk
trace = bytearray.fromhex("41100000 c276a000") * 5000  # swapped in more than one slice
sk.ibm2ieee(trace)
assert memoryview(trace).cast("f")[-2:].tolist() == [1.0, -118.625]
hits = sk.seismic_phase_calc_time_inner_loop(30.0, 1.2, array.array("d", [0, .4, .8, 1.2]),
                                             array.array("d", [9, 8, 7, 6]))
assert hits == ([0.5235987755982988], [1]), hits
time, dist = array.array("d", [0.0]), array.array("d", [0.0])
sk.bullen_radial_slowness_inner_loop(array.array("d", [800, 0, 700, 600]),
                                     array.array("d", [0.0]), time, dist, 6371.0)
assert time[0] > 0 and dist[0] == 0.0
assert "numpy" not in sys.modules
''')
    assert run.returncode == 0, run.stderr


@pytest.mark.parametrize("variable, value, words", [
    ("TRAVELTIME_LIBRARY", "/nonexistent/libtraveltime.so", "/nonexistent/libtraveltime.so"),
    ("TRAVELTIME_LIBRARY", os.environ["IBMFLOAT_LIBRARY"], "does not export"),
])
def test_a_library_that_cannot_be_used_is_named(variable, value, words):
    run = run_python("import seiskernels", **{variable: value})
    assert run.returncode != 0 and "ImportError" in run.stderr and words in run.stderr


def test_a_missing_library_names_every_place_tried():
    env = {k: v for k, v in os.environ.items() if k != "IBMFLOAT_LIBRARY"}
    env["LD_LIBRARY_PATH"] = ""
    run = subprocess.run([sys.executable, "-c", "import seiskernels"], env=env,
                         capture_output=True, text=True)
    if run.returncode == 0:
        pytest.skip("libibmfloat.so.1 is installed where the loader finds it")
    for place in ("IBMFLOAT_LIBRARY: not set", "seiskernels/libibmfloat.so.1: no such file",
                  "libibmfloat.so.1 (the dynamic loader's search path)"):
        assert place in run.stderr


@pytest.mark.parametrize("platform, file", [
    ("linux", "libibmfloat.so.1"), ("darwin", "libibmfloat.1.dylib"), ("win32", "ibmfloat.dll"),
])
def test_each_platform_looks_for_its_file_in_the_package_then_the_loader(
        monkeypatch, platform, file):
    def refuse(path):
        raise OSError(f"not loaded: {path}")
    monkeypatch.setattr(sys, "platform", platform)
    monkeypatch.setattr(ctypes, "CDLL", refuse)  # whatever this machine has installed
    monkeypatch.delenv("IBMFLOAT_LIBRARY")
    with pytest.raises(ImportError) as e:
        seiskernels._native._open("ibmfloat")
    bundled = os.path.join(os.path.dirname(seiskernels._native.__file__), file)
    assert (f"  IBMFLOAT_LIBRARY: not set\n  {bundled}: no such file\n"
            f"  {file} (the dynamic loader's search path): not loaded: {file}\n") in str(e.value)
