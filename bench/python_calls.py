#!/usr/bin/env python3
"""What a call through the seiskernels package costs beside a bare ctypes
call of the same kernel, side by side in one run.

    /usr/bin/python3 bench/python_calls.py [--build build/release] [--quick]

Needs numpy (Debian's python3-numpy).  Every figure is the best of several
rounds, the contenders of a line taking turns within each round.  Where a
kernel converts in place, each call first restores its input from a copy,
and the restore alone is timed in the same round and subtracted.
"""

import argparse
import array
import ctypes
import math
import os
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def parse_args():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "release"),
                    help="build tree holding the libraries (default: %(default)s)")
    ap.add_argument("--quick", action="store_true", help="fewer rounds, for a smoke test")
    return ap.parse_args()


ARGS = parse_args()
os.environ.setdefault("TRAVELTIME_LIBRARY", os.path.join(ARGS.build, "traveltime", "libtraveltime.so"))
os.environ.setdefault("IBMFLOAT_LIBRARY", os.path.join(ARGS.build, "ibmfloat", "libibmfloat.so"))
sys.path.insert(0, os.path.join(ROOT, "python"))

import numpy as np  # noqa: E402

import seiskernels as sk  # noqa: E402

ROUNDS = 3 if ARGS.quick else 15
TARGET_SECONDS = 0.002 if ARGS.quick else 0.02   # per timed loop


def best_ns(contenders, setup=None):
    """ns per call of each contender (a zero-argument function), the best of
    ROUNDS rounds in which they take turns; minus the cost of `setup` alone
    when given (the setup runs before every call of every contender)."""
    probe = contenders[0]
    number = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(number):
            probe()
        if time.perf_counter() - t0 > TARGET_SECONDS / 4:
            break
        number *= 2
    number = max(1, int(number * 4 * TARGET_SECONDS / (time.perf_counter() - t0 + 1e-9) / 4))

    def loop(fn):
        t0 = time.perf_counter_ns()
        if setup is None:
            for _ in range(number):
                fn()
        else:
            for _ in range(number):
                setup()
                fn()
        return (time.perf_counter_ns() - t0) / number

    runs = list(contenders) + ([lambda: None] if setup is not None else [])
    best = [math.inf] * len(runs)
    for _ in range(ROUNDS):
        for k, fn in enumerate(runs):
            best[k] = min(best[k], loop(fn))
    if setup is not None:
        base = best.pop()
        best = [b - base for b in best]
    return best


def row(name, ns, ratio=None, goal=""):
    r = f"{ratio:8.2f}x" if ratio is not None else " " * 9
    print(f"  {name:58} {ns:10.0f} ns {r}  {goal}")


def verdict(ok):
    return "meets it" if ok else "MISSES it"


# ---------------------------------------------------------------------------
P_FLOAT = ctypes.POINTER(ctypes.c_float)
P_DOUBLE = ctypes.POINTER(ctypes.c_double)
P_INT = ctypes.POINTER(ctypes.c_int)
ibm_lib = ctypes.CDLL(os.environ["IBMFLOAT_LIBRARY"])
bare_ibm = ibm_lib.ibm2ieee
bare_ibm.argtypes, bare_ibm.restype = [P_FLOAT, ctypes.c_int], None
tt_lib = ctypes.CDLL(os.environ["TRAVELTIME_LIBRARY"])
bare_bullen = tt_lib.bullen_radial_slowness_inner_loop
bare_bullen.argtypes = [P_DOUBLE, P_DOUBLE, P_DOUBLE, P_DOUBLE, ctypes.c_double, ctypes.c_int]
bare_bullen.restype = None
bare_branch = tt_lib.tau_branch_calc_time_dist_inner_loop
bare_branch.argtypes = [P_DOUBLE] * 5 + [ctypes.c_int, ctypes.c_int, ctypes.c_double, ctypes.c_int]
bare_branch.restype = None
bare_search = tt_lib.seismic_phase_calc_time_inner_loop
bare_search.argtypes = [ctypes.c_double, ctypes.c_double, P_DOUBLE, P_DOUBLE, P_DOUBLE, P_INT,
                        ctypes.c_int]
bare_search.restype = ctypes.c_int


def ibm_trace(n, seed=7):
    """n samples of a trace as big-endian IBM words (as in a file), in a
    float32 array: a decaying wavelet over noise, a few exact zeros."""
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    x = 800.0 * np.exp(-t / (0.3 * n)) * np.sin(t / 7.0) + rng.normal(0, 5.0, n)
    x[rng.random(n) < 0.03] = 0.0
    m, e = np.frexp(np.abs(x))
    k = (e + 3) // 4
    frac = np.ldexp(m, 24 + e - 4 * k).astype(np.uint64) & 0xFFFFFF
    words = np.where(x == 0, 0, (np.signbit(x).astype(np.uint64) << 31) | ((k + 64).astype(np.uint64) << 24) | frac)
    return words.astype(">u4").view(np.float32).copy()


def conversion():
    print("ibm2ieee on one trace of float32 samples (numpy), converted in place")
    big = ibm_trace(1000)
    native = big.view(np.uint32).byteswap().view(np.float32) if sys.byteorder == "little" else big.copy()
    work = np.empty_like(native)
    ptr = work.ctypes.data_as(P_FLOAT)
    restore = lambda: np.copyto(work, native)  # noqa: E731
    order = sys.byteorder
    bare, usual, package = best_ns([
        lambda: bare_ibm(ptr, 1000),
        lambda: bare_ibm(work.ctypes.data_as(P_FLOAT), 1000),
        lambda: sk.ibm2ieee(work, byteorder=order),
    ], setup=restore)
    row("bare ctypes call, arguments cached", bare)
    row("usual ctypes call, a.ctypes.data_as(...)", usual, usual / bare)
    row("seiskernels.ibm2ieee(a, byteorder=sys.byteorder)", package, package / bare,
        f"goal <= 2x bare: {verdict(package <= 2 * bare)}")
    lines = {"checked / bare": package / bare}

    print()
    print("Big-endian samples as read from a file: byte swap and conversion in place")
    # The usual reader swaps with numpy, then makes the usual call.  The
    # issue measured segyio.tools.native against that same reader; its
    # figures give the share of the reader's time that segyio needs.
    segyio_share = {1000: 2272 / 2445, 4000: 6975 / 3916}
    for n in (1000, 4000):
        raw = ibm_trace(n)
        work = np.empty_like(raw)
        restore = lambda: np.copyto(work, raw)  # noqa: E731
        as_words = work.view(np.uint32)

        def reader():
            as_words.byteswap(inplace=True)
            bare_ibm(work.ctypes.data_as(P_FLOAT), n)

        usual, package = best_ns([reader, lambda: sk.ibm2ieee(work)], setup=restore)
        row(f"{n} samples: numpy byteswap + usual ctypes call", usual)
        share = package / usual
        row(f"{n} samples: seiskernels.ibm2ieee(a) (byteorder='big')", package, share,
            f"segyio at {segyio_share[n]:.2f}x of the reader: "
            f"{'faster' if share < segyio_share[n] else 'NOT faster'}")
        lines[f"big-endian {n} / reader"] = share
    return lines


def bullen_branch(n_rays, n_layers, radius=6371.0):
    """A mantle-like branch: slowness falling with depth, as a host builds
    it, crossed with n_rays ray parameters."""
    depths = np.linspace(0.0, 2890.0, n_layers + 1)
    eta = (radius - depths) / np.linspace(8.0, 13.6, n_layers + 1)
    branch = np.empty((n_layers, 4))
    branch[:, 0], branch[:, 1], branch[:, 2], branch[:, 3] = eta[:-1], depths[:-1], eta[1:], depths[1:]
    rays = np.linspace(eta[0], eta[-1], n_rays)
    layer = np.tile(branch, (n_rays, 1))
    p = np.repeat(rays, n_layers)
    return branch, layer, p


def travel_time(n_rays, n_layers, n_samples):
    print()
    print(f"Travel-time kernels at the example's sizes ({n_rays} rays x {n_layers} layers; a "
          f"{n_samples}-sample folded curve)")
    branch, layer, p = bullen_branch(n_rays, n_layers)
    time_, dist = np.zeros(p.size), np.zeros(p.size)
    td = np.zeros((n_rays, 4))
    args = [x.ctypes.data_as(P_DOUBLE) for x in (layer, p, time_, dist, branch, td)]
    lay, pp, tt, dd, br, tdp = args
    bare, package = best_ns([
        lambda: bare_bullen(lay, pp, tt, dd, 6371.0, p.size),
        lambda: sk.bullen_radial_slowness_inner_loop(layer, p, time_, dist, 6371.0),
    ])
    lines = {}
    row(f"layer integrals, {p.size} pairs: bare", bare)
    row("  seiskernels", package, package / bare, f"goal <= 1.5x: {verdict(package <= 1.5 * bare)}")
    lines["layer integrals"] = package / bare
    bare, package = best_ns([
        lambda: bare_branch(pp, tt, dd, br, tdp, n_rays, n_layers, branch[0, 0], 1),
        lambda: sk.tau_branch_calc_time_dist_inner_loop(p, time_, dist, branch, td, branch[0, 0]),
    ])
    row(f"branch sums, {n_rays} x {n_layers}: bare", bare)
    row("  seiskernels", package, package / bare, f"goal <= 1.5x: {verdict(package <= 1.5 * bare)}")
    lines["branch sums"] = package / bare

    # A distance curve that rises, folds back and rises again, as PKP does.
    k = np.arange(n_samples)
    curve = 2.0 + 0.4 * np.sin(k * 3.0 / n_samples) + 0.2 * k / n_samples
    rays = np.linspace(4.0, 1.0, n_samples)
    bound = 2 * (n_samples - 1) * (math.floor(curve.max() / (2 * math.pi)) + 2)
    sd, rn = np.zeros(bound), np.zeros(bound, np.intc)
    c, r, s, q = (x.ctypes.data_as(P) for x, P in ((curve, P_DOUBLE), (rays, P_DOUBLE),
                                                    (sd, P_DOUBLE), (rn, P_INT)))
    top = float(curve.max())
    search = sk.seismic_phase_calc_time_inner_loop
    bare, given, made = best_ns([
        lambda: bare_search(135.0, top, c, r, s, q, n_samples),
        lambda: search(135.0, top, curve, rays, sd, rn),
        lambda: search(135.0, top, curve, rays),
    ])
    row(f"phase search, {n_samples} samples: bare", bare)
    row("  seiskernels, result arrays passed", given, given / bare,
        f"goal <= 1.5x: {verdict(given <= 1.5 * bare)}")
    row("  seiskernels, result arrays made for the call", made, made / bare,
        f"goal <= 1.5x: {verdict(made <= 1.5 * bare)}")
    lines["phase search"] = max(given, made) / bare

    a_curve, a_rays = array.array("d", curve), array.array("d", rays)
    bare_a, made_a = best_ns([
        lambda: bare_search(135.0, top, c, r, s, q, n_samples),
        lambda: search(135.0, top, a_curve, a_rays),
    ])
    row("  seiskernels, array.array curve, results made", made_a, made_a / bare_a)
    return lines


def threads(n_samples=1 << 18, calls=200):
    print()
    print(f"Two threads, each converting its own {4 * n_samples >> 20} MiB buffer {calls} times, "
          f"against one thread doing both")
    buffers = [ibm_trace(n_samples, seed) for seed in (1, 2)]
    order = sys.byteorder

    def work(buf):
        for _ in range(calls):
            sk.ibm2ieee(buf, byteorder=order)

    def one():
        for buf in buffers:
            work(buf)

    def two():
        ts = [threading.Thread(target=work, args=(buf,)) for buf in buffers]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    single, double = best_ns([one, two])
    row("one thread, both buffers", single)
    row("two threads, a buffer each", double, single / double,
        f"speed-up (2 cores): {'clearly faster' if single / double > 1.5 else 'NOT clearly faster'}")
    return {"two threads speed-up": single / double}


def main():
    with open("/proc/cpuinfo") as f:
        cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "?")
    print(f"CPU: {cpu}, {os.cpu_count()} logical cores; Python {sys.version.split()[0]}, "
          f"numpy {np.__version__}")
    print()
    conversion()
    travel_time(600, 90, 600)
    threads()


if __name__ == "__main__":
    main()
