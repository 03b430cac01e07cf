#!/usr/bin/env python3
"""What a call through the seiskernels package costs beside a bare ctypes
call of the same kernel, side by side in one run.

    /usr/bin/python3 bench/python_calls.py [--build build/release] [--quick]

Needs numpy (Debian's python3-numpy).  Every figure is the best of several
rounds, the contenders of a line taking turns within each round.
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

ROUNDS = 3 if ARGS.quick else 25
TARGET_SECONDS = 0.002 if ARGS.quick else 0.02   # per timed loop


def best_ns(contenders):
    """ns per call of each contender (a zero-argument function), the best of
    ROUNDS rounds in which they take turns."""
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
        for _ in range(number):
            fn()
        return (time.perf_counter_ns() - t0) / number

    best = [math.inf] * len(contenders)
    for _ in range(ROUNDS):
        for k, fn in enumerate(contenders):
            best[k] = min(best[k], loop(fn))
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
    """Each contender converts its own copy of a trace in place, again and
    again: the contenders of a line make the same calls on the same data."""
    print("ibm2ieee on one trace of float32 samples (numpy), converted in place")
    big = ibm_trace(1000)
    native = big.view(np.uint32).byteswap().view(np.float32) if sys.byteorder == "little" else big
    works = [native.copy() for _ in range(3)]
    ptr = works[0].ctypes.data_as(P_FLOAT)
    order = sys.byteorder
    bare, usual, package = best_ns([
        lambda: bare_ibm(ptr, 1000),
        lambda: bare_ibm(works[1].ctypes.data_as(P_FLOAT), 1000),
        lambda: sk.ibm2ieee(works[2], byteorder=order),
    ])
    row("bare ctypes call, arguments cached", bare)
    row("usual ctypes call, a.ctypes.data_as(...)", usual, usual / bare)
    row("seiskernels.ibm2ieee(a, byteorder=sys.byteorder)", package, package / bare,
        f"goal <= 2x bare: {verdict(package <= 2 * bare)}")

    print()
    print("Big-endian samples as read from a file: byte swap and conversion in place")
    # The usual reader swaps with numpy, then makes the usual call.  The
    # issue measured segyio.tools.native against that same reader; its
    # figures give the share of the reader's time that segyio needs.
    segyio_share = {1000: 2272 / 2445, 4000: 6975 / 3916}
    for n in (1000, 4000):
        mine, theirs = ibm_trace(n), ibm_trace(n)
        as_words = theirs.view(np.uint32)

        def reader():
            as_words.byteswap(inplace=True)
            bare_ibm(theirs.ctypes.data_as(P_FLOAT), n)

        usual, package = best_ns([reader, lambda: sk.ibm2ieee(mine)])
        row(f"{n} samples: numpy byteswap + usual ctypes call", usual)
        share = package / usual
        row(f"{n} samples: seiskernels.ibm2ieee(a) (byteorder='big')", package, share,
            f"segyio at {segyio_share[n]:.2f}x of the reader: "
            f"{'faster' if share < segyio_share[n] else 'NOT faster'}")


def example_calls():
    """Every travel-time kernel call the package's exact solver makes on a
    Bullen planet (all default phases, the command's default distances),
    recorded as the arguments passed."""
    from seiskernels import _cli, _earthmodel, _exact, tau_kernels
    from seiskernels._phases import DEFAULT_PHASES
    calls = {name: [] for name in KERNELS}

    def recorder(name, kernel):
        def record(*args, **kwargs):
            calls[name].append((args, kwargs))
            return kernel(*args, **kwargs)
        return record

    kernels = {name: getattr(tau_kernels, name) for name in KERNELS}
    for name in KERNELS:
        setattr(tau_kernels, name, recorder(name, kernels[name]))
    model = _earthmodel.bullen_planet(6371.0, 3480.0, 1220.0, (8.0, 13.0), (9.0, 10.0),
                                      (11.0, 11.0))
    earth = _exact.Earth(model, 0.0)
    for phase in DEFAULT_PHASES:
        earth.arrivals(phase, [float(x) for x in _cli.DEFAULT_DISTANCES.split(",")])
    for name in KERNELS:
        setattr(tau_kernels, name, kernels[name])
    return calls


KERNELS = ("bullen_radial_slowness_inner_loop", "tau_branch_calc_time_dist_inner_loop",
           "seismic_phase_calc_time_inner_loop")


def as_host_wrote_it(name, args, kwargs):
    """The call as a host writes it without the package: ctypes arrays over
    each buffer, made for the call, through the declared prototype (as the
    calculator's example did before the package).  Returns (per call, cached): a
    function making the call as written, and one with every argument made
    beforehand."""
    def arr(buf, ctype=ctypes.c_double):
        return (ctype * len(buf)).from_buffer(buf)

    if name == KERNELS[0]:
        layer, p, time_, dist, radius = args
        per_call = lambda: bare_bullen(arr(layer), arr(p), arr(time_), arr(dist), radius, len(p))  # noqa: E731
        cached = [arr(layer), arr(p), arr(time_), arr(dist), radius, len(p)]
        return per_call, lambda: bare_bullen(*cached)
    if name == KERNELS[1]:
        ray_params, time_, dist, layer, td, max_ray_param, turn = args
        n_i, n_j = len(td) // 4, len(layer) // 4
        per_call = lambda: bare_branch(arr(ray_params), arr(time_), arr(dist), arr(layer),  # noqa: E731
                                       arr(td), n_i, n_j, max_ray_param, int(turn))
        cached = [arr(ray_params), arr(time_), arr(dist), arr(layer), arr(td), n_i, n_j,
                  max_ray_param, int(turn)]
        return per_call, lambda: bare_branch(*cached)
    degree, max_distance, dist, rays = args
    count = len(dist)
    size = max(1, 2 * (count - 1) * (math.floor(max_distance / (2 * math.pi)) + 2))

    def per_call():
        found_d, found_k = array.array("d", [0.0]) * size, array.array("i", [0]) * size
        hits = bare_search(degree, max_distance, arr(dist), arr(rays), arr(found_d),
                           arr(found_k, ctypes.c_int), count)
        return found_d[:hits], found_k[:hits]
    out_d, out_k = (ctypes.c_double * size)(), (ctypes.c_int * size)()
    cached = [degree, max_distance, arr(dist), arr(rays), out_d, out_k, count]
    return per_call, lambda: bare_search(*cached)


def travel_time():
    calls = example_calls()
    print()
    print("Travel-time kernels: every call the exact solver makes on a Bullen planet, replayed "
          "(time for all of them)")
    for name in KERNELS:
        recorded = calls[name]
        package = [(lambda a=a, k=k: getattr(sk, name)(*a, **k)) for a, k in recorded]
        bare = [as_host_wrote_it(name, a, k) for a, k in recorded]
        sizes = sorted(len(a[1] if name == KERNELS[0] else a[2 if name == KERNELS[2] else 1])
                       for a, _ in recorded)
        run = lambda fns: lambda: [f() for f in fns]  # noqa: E731
        written, cached, checked = best_ns([run([b[0] for b in bare]), run([b[1] for b in bare]),
                                            run(package)])
        what = {KERNELS[0]: "pairs", KERNELS[1]: "cells", KERNELS[2]: "samples"}[name]
        print(f"  {name}: {len(recorded)} calls, median {sizes[len(sizes) // 2]} {what}, "
              f"largest {sizes[-1]}")
        row("  bare ctypes, as a host writes the call", written)
        row("  bare ctypes, every argument made beforehand", cached, cached / written)
        row("  seiskernels", checked, checked / written,
            f"goal <= 1.5x the host's call: {verdict(checked <= 1.5 * written)}; "
            f"{checked / cached:.2f}x the cached one")


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


def main():
    with open("/proc/cpuinfo") as f:
        cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "?")
    print(f"CPU: {cpu}, {os.cpu_count()} logical cores; Python {sys.version.split()[0]}, "
          f"numpy {np.__version__}")
    print()
    conversion()
    travel_time()
    threads()


if __name__ == "__main__":
    main()
