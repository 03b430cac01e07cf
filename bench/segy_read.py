#!/usr/bin/env python3
"""Reading SEG-Y through seiskernels: the sample columns of a trace block
against the same samples laid out contiguously; a whole file read by
seiskernels.segy against segyio's trace.raw[:]; and on a survey of about
1 GB (250 inlines x 1,000 crosslines x 1,000 IBM samples), one header field
of every trace, a crossline and the cube, against segyio, side by side in
one run.

    /usr/bin/python3 bench/segy_read.py [--build build/release] [--quick] [--folder /tmp]

Needs numpy; segyio (Debian's python3-segyio) is run as a black box where
it is installed, and a plain read of the file stands in for it where not.
The files go to a temporary folder (under /tmp by default), removed
afterwards.  Each figure is the median of the rounds, with the lowest and
highest beside it; the contenders take turns.  The memory of the header
read is numpy's peak allocation during the call (tracemalloc).
"""

import argparse
import os
import statistics
import sys
import tempfile
import time
import tracemalloc

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
ap.add_argument("--build", default=os.path.join(ROOT, "build", "release"),
                help="build tree holding the libraries (default: %(default)s)")
ap.add_argument("--quick", action="store_true", help="small files and few rounds")
ap.add_argument("--dask", action="store_true",
                help="also stream the survey through a local Dask cluster of two workers "
                     "of 150 MB each, with the default chunks")
ap.add_argument("--folder", default=tempfile.gettempdir(),
                help="where the files are written (default: %(default)s)")
ARGS = ap.parse_args()
os.environ.setdefault("TRAVELTIME_LIBRARY", os.path.join(ARGS.build, "traveltime", "libtraveltime.so"))
os.environ.setdefault("IBMFLOAT_LIBRARY", os.path.join(ARGS.build, "ibmfloat", "libibmfloat.so"))
sys.path.insert(0, os.path.join(ROOT, "python"))

import numpy as np  # noqa: E402

import seiskernels as sk  # noqa: E402
from seiskernels import segy  # noqa: E402
from timing import taking_turns  # noqa: E402

try:
    import segyio
except ImportError:
    segyio = None

TRACES, SAMPLES = (2500, 1000) if ARGS.quick else (25000, 1000)
INLINES, CROSSLINES = (25, 1000) if ARGS.quick else (250, 1000)
ROUNDS = 3 if ARGS.quick else 7


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


def timed_ms(contenders, prepare=None):
    """ms of each contender over ROUNDS rounds, taking turns; `prepare(k)`
    (not timed) restores contender k's data before each of its runs."""
    return [[t * 1e3 for t in times] for times in taking_turns(contenders, ROUNDS, prepare)]


def row(name, ms, base=None, goal=None, note=""):
    """A line: median (lowest-highest), the ratio of medians to `base`'s,
    and whether it meets a goal on that ratio."""
    med = statistics.median(ms)
    ratio = f"{med / statistics.median(base):6.2f}x" if base is not None else " " * 7
    verdict = ""
    if goal is not None and base is not None:
        verdict = f"  goal <= {goal}x: " + ("meets it" if med <= goal * statistics.median(base)
                                            else "MISSES it")
    print(f"  {name:56} {med:8.1f} ms ({min(ms):7.1f}-{max(ms):7.1f}) {ratio}{verdict}{note}")


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

    flat, rows = timed_ms([lambda: sk.ibm2ieee(contiguous), lambda: sk.ibm2ieee(block[:, 60:])],
                          prepare)
    assert block[:, 60:].view(np.float32).tobytes() == contiguous.view(np.float32).tobytes()
    row("ibm2ieee(samples), contiguous", flat)
    row("ibm2ieee(block[:, 60:]), a kernel call per row", rows, flat, 1.3)


def file_headers():
    """A blank EBCDIC textual header and a big-endian binary header: 4 ms
    sampling, SAMPLES samples a trace, IBM floats."""
    binary = bytearray(400)
    binary[16:18], binary[20:22], binary[24:26] = (4000).to_bytes(2, "big"), \
        SAMPLES.to_bytes(2, "big"), (1).to_bytes(2, "big")
    return b"\x40" * 3200 + bytes(binary)


def whole_file(folder):
    path = os.path.join(folder, "survey.sgy")
    words = ibm_words((TRACES, SAMPLES))
    with open(path, "wb") as f:
        f.write(file_headers())
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
    times = timed_ms(contenders)
    base = times[3] if segyio is not None else times[0]
    label = "segyio's" if segyio is not None else "the plain read's (segyio is not installed)"
    for k, (name, ms) in enumerate(zip(names, times)):
        mine = k == (3 if segyio is not None else 0)
        row(name, ms, None if mine else base, 0.6 if k == 1 and segyio is not None else None)
    print(f"  (ratios are of {label} median)")


def survey(folder):
    """A 3-D survey written through seiskernels.segy, inline by inline."""
    path = os.path.join(folder, "survey3d.sgy")
    words = ibm_words((CROSSLINES, SAMPLES), seed=7)
    per = CROSSLINES * (240 + 4 * SAMPLES)
    with open(path, "wb") as f:
        f.write(file_headers())
        block = np.zeros((CROSSLINES, 60 + SAMPLES), ">u4")
        block[:, 60:] = words
        block[:, 28], block[:, 29] = SAMPLES, 4000 << 16   # bytes 115-116, 117-118
        block[:, 48] = np.arange(CROSSLINES) + 1000   # bytes 193-196: crossline
        for il in range(INLINES):
            block[:, 47] = il + 1                     # bytes 189-192: inline
            f.write(block.tobytes())
    assert os.path.getsize(path) == 3600 + INLINES * per
    return path


def survey_figures(folder):
    path = survey(folder)
    size = os.path.getsize(path)
    print(f"A 3-D survey: {size / 1e9:.2f} GB, {INLINES} inlines x {CROSSLINES:,} crosslines "
          f"x {SAMPLES:,} IBM samples, sorted by inline, from the page cache")
    with open(path, "rb", buffering=0) as f:  # into the page cache
        while f.read(1 << 24):
            pass
    ours = segy.SegyFile(path)
    ours.geometry  # read once, as segyio's open does
    theirs = segyio.open(path) if segyio is not None else None
    middle = CROSSLINES // 2 + 1000

    tracemalloc.start()
    field = ours.field("inline")
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    note = f"  peak {peak / field.nbytes:.2f}x the field's {field.nbytes / 1e6:.1f} MB " \
           f"(goal <= 2x: {'meets it' if peak <= 2 * field.nbytes else 'MISSES it'})"
    checks = [(lambda: ours.field("inline"), "SegyFile.field('inline'), every trace")]
    if theirs is not None:
        assert (theirs.attributes(189)[:] == field).all()
        assert ours.crossline(middle).tobytes() == theirs.xline[middle].tobytes()
        checks.append((lambda: theirs.attributes(189)[:], "segyio attributes(189)[:]"))
    times = timed_ms([c for c, _ in checks])
    row(checks[0][1], times[0], note=note)
    print(f"    goal <= 250 ms: "
          f"{'meets it' if statistics.median(times[0]) <= 250 else 'MISSES it'}")
    if theirs is not None:
        row(checks[1][1], times[1])
    if theirs is None:
        return
    pairs = [
        ("SegyFile.crossline(n)", lambda: ours.crossline(middle),
         "segyio xline[n]", lambda: theirs.xline[middle], 2.0),
        ("SegyFile.inline(n)", lambda: ours.inline(INLINES // 2),
         "segyio iline[n]", lambda: theirs.iline[INLINES // 2], None),
        ("SegyFile.depth_slice(k)", lambda: ours.depth_slice(SAMPLES // 2),
         "segyio depth_slice[k]", lambda: theirs.depth_slice[SAMPLES // 2], None),
    ]
    for ours_name, mine, their_name, other, goal in pairs:
        t = timed_ms([mine, other])
        row(ours_name, t[0], t[1], goal)
        row(their_name, t[1])
    cube_rounds = min(ROUNDS, 3)
    t = [[], []]
    for _ in range(cube_rounds):  # a gigabyte each: fewer rounds
        for k, fn in enumerate((lambda: ours.cube().data, lambda: segyio.tools.cube(theirs))):
            t0 = time.perf_counter()
            out = fn()
            t[k].append((time.perf_counter() - t0) * 1e3)
            del out
    row("SegyFile.cube().data", t[0], t[1], 1.0, f"  ({cube_rounds} rounds)")
    row("segyio.tools.cube(f)", t[1])
    theirs.close()
    if ARGS.dask:
        dask_limits(ours)
    ours.close()


def dask_limits(ours):
    """The samples' sum and a header field's maximum through two worker
    processes of 150 MB each (the file is ten times that), default chunks."""
    import dask
    import distributed

    want = float(np.sum(ours.read(0, 1000), dtype=np.float64))
    with dask.config.set({"distributed.worker.memory.terminate": False}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, memory_limit="150MB",
                                     processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        lazy = ours.to_dask()
        t0 = time.perf_counter()
        total = client.compute(lazy.sum(dtype=np.float64)).result(timeout=600)
        seconds = time.perf_counter() - t0
        first = client.compute(lazy[:1000].sum(dtype=np.float64)).result(timeout=60)
        top = client.compute(ours.field_to_dask("inline").max()).result(timeout=60)
        print(f"  Dask, 2 workers of 150 MB, chunks of {lazy.chunksize[0]:,} traces: the sum "
              f"of every sample in {seconds:.1f} s ({np.isfinite(total) and 'finite'}); the "
              f"first 1,000 traces' sum {'equal to' if first == want else 'OTHER THAN'} "
              f"numpy's; the largest inline {top}")


def main():
    print(f"CPU: {os.cpu_count()} logical cores; Python {sys.version.split()[0]}, numpy "
          f"{np.__version__}" + (f", segyio {segyio.__version__}" if segyio is not None and
                                 hasattr(segyio, "__version__") else ""))
    print()
    strided_rows()
    print()
    with tempfile.TemporaryDirectory(dir=ARGS.folder) as folder:
        whole_file(folder)
    print()
    with tempfile.TemporaryDirectory(dir=ARGS.folder) as folder:
        survey_figures(folder)


if __name__ == "__main__":
    main()
