#!/usr/bin/env python3
"""Reading SEG-Y samples through seiskernels: the sample columns of a trace
block against the same samples laid out contiguously, and a whole file read
by seiskernels.segy against segyio's trace.raw[:], side by side in one run.

    /usr/bin/python3 bench/segy_read.py [--build build/release] [--quick]

Needs numpy; segyio (Debian's python3-segyio) is run as a black box where
it is installed, and a plain read of the file stands in for it where not.
Every figure is the best of several rounds, the contenders taking turns.
"""

import argparse
import os
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
ap.add_argument("--build", default=os.path.join(ROOT, "build", "release"),
                help="build tree holding the libraries (default: %(default)s)")
ap.add_argument("--quick", action="store_true", help="a small file and few rounds")
ARGS = ap.parse_args()
os.environ.setdefault("TRAVELTIME_LIBRARY", os.path.join(ARGS.build, "traveltime", "libtraveltime.so"))
os.environ.setdefault("IBMFLOAT_LIBRARY", os.path.join(ARGS.build, "ibmfloat", "libibmfloat.so"))
sys.path.insert(0, os.path.join(ROOT, "python"))

import numpy as np  # noqa: E402

import seiskernels as sk  # noqa: E402
from seiskernels import segy  # noqa: E402

try:
    import segyio
except ImportError:
    segyio = None

TRACES, SAMPLES = (2500, 1000) if ARGS.quick else (25000, 1000)
ROUNDS = 2 if ARGS.quick else 7


def ibm_words(shape, seed=19):
    """Big-endian IBM words of trace-like samples: normally distributed
    over four decades, a few percent exact zeros."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(shape) * 10.0 ** rng.uniform(-1, 3, shape)
    x[rng.random(shape) < 0.03] = 0.0
    m, e = np.frexp(np.abs(x))
    k = (e + 3) // 4                                  # |x| < 16**k
    fraction = np.ldexp(m, 24 + e - 4 * k).astype(np.uint64)   # truncated: fine here
    words = (np.signbit(x).astype(np.uint64) << 31) | ((k + 64).astype(np.uint64) << 24) \
        | fraction
    return np.where(x == 0.0, 0, words).astype(">u4")


def best_ms(contenders, prepare=None):
    """ms of each contender, the best of ROUNDS rounds; `prepare(k)` (not
    timed) restores contender k's data before each of its runs."""
    best = [float("inf")] * len(contenders)
    for _ in range(ROUNDS):
        for k, fn in enumerate(contenders):
            if prepare:
                prepare(k)
            t0 = time.perf_counter()
            fn()
            best[k] = min(best[k], (time.perf_counter() - t0) * 1e3)
    return best


def row(name, ms, ratio=None, goal=""):
    r = f"{ratio:7.2f}x" if ratio is not None else " " * 8
    print(f"  {name:62} {ms:8.1f} ms {r}  {goal}".rstrip())


def strided_rows():
    print(f"Sample columns of a trace block against the same samples contiguous: "
          f"{TRACES:,} rows of {SAMPLES:,} big-endian IBM words ('>u4'), swapped and "
          f"converted in place")
    pristine = np.zeros((TRACES, 60 + SAMPLES), ">u4")
    pristine[:, 60:] = ibm_words((TRACES, SAMPLES))
    block = pristine.copy()
    contiguous = pristine[:, 60:].copy()

    def prepare(k):
        np.copyto(block if k else contiguous, pristine if k else pristine[:, 60:])

    flat, rows = best_ms([lambda: sk.ibm2ieee(contiguous), lambda: sk.ibm2ieee(block[:, 60:])],
                         prepare)
    assert block[:, 60:].view(np.float32).tobytes() == contiguous.view(np.float32).tobytes()
    row("ibm2ieee(samples), contiguous", flat)
    row("ibm2ieee(block[:, 60:]), a kernel call per row", rows, rows / flat,
        f"goal <= 1.3x: {'meets it' if rows <= 1.3 * flat else 'MISSES it'}")


def whole_file(folder):
    path = os.path.join(folder, "survey.sgy")
    words = ibm_words((TRACES, SAMPLES))
    with open(path, "wb") as f:
        f.write(b"\x40" * 3200)
        binary = bytearray(400)
        binary[16:18], binary[20:22], binary[24:26] = (4000).to_bytes(2, "big"), \
            SAMPLES.to_bytes(2, "big"), (1).to_bytes(2, "big")
        f.write(binary)
        headers = np.zeros((TRACES, 60), ">u4")
        f.write(np.hstack([headers, words]).astype(">u4").tobytes())
    size = os.path.getsize(path)
    print(f"A whole file: {size / 1e6:.0f} MB, {TRACES:,} traces of {SAMPLES:,} IBM samples "
          f"(format 1), from the page cache")

    def plain():
        with open(path, "rb", buffering=0) as f:
            f.readinto(np.empty(size, np.uint8))

    def ours():
        return segy.SegyFile(path).read()

    def by_hand():  # the recipe before the reader: fromfile, copy the columns, convert
        block = np.fromfile(path, ">u4", offset=3600).reshape(TRACES, 60 + SAMPLES)
        return sk.ibm2ieee(block[:, 60:].copy())

    names = ["plain read of the file into memory", "seiskernels.segy.SegyFile(path).read()",
             "np.fromfile, .copy() of the sample columns, ibm2ieee"]
    contenders = [plain, ours, by_hand]
    if segyio is not None:
        def theirs():
            with segyio.open(path, ignore_geometry=True) as f:
                return f.trace.raw[:]
        names.append("segyio.open(path).trace.raw[:]")
        contenders.append(theirs)
        # The same bits, apart from the special words segyio reads otherwise:
        # trace-like samples have none.
        assert ours().tobytes() == theirs().tobytes()
    plain()  # into the page cache
    times = best_ms(contenders)
    base = times[3] if segyio is not None else times[0]
    label = "segyio's" if segyio is not None else "the plain read's (segyio is not installed)"
    for k, (name, ms) in enumerate(zip(names, times)):
        goal = ""
        if k == 1:
            goal = f"goal <= 0.5x segyio: {'meets it' if ms <= 0.5 * base else 'MISSES it'}" \
                if segyio is not None else ""
        row(name, ms, ms / base if k != (3 if segyio is not None else 0) else None, goal)
    print(f"  (ratios are of {label} time)")


def main():
    print(f"CPU: {os.cpu_count()} logical cores; Python {sys.version.split()[0]}, numpy "
          f"{np.__version__}" + (f", segyio {segyio.__version__}" if segyio is not None and
                                 hasattr(segyio, "__version__") else ""))
    print()
    strided_rows()
    print()
    with tempfile.TemporaryDirectory() as folder:
        whole_file(folder)


if __name__ == "__main__":
    main()
