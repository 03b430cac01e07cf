#!/usr/bin/env python3
"""First P and S for many (depth, distance) pairs, each at its own depth:
speed of TravelTimes.first_arrivals and its accuracy against the calculator.

    PYTHONPATH=python python3 bench/first_arrivals.py [--model ak135] [--quick]

(with TRAVELTIME_LIBRARY and IBMFLOAT_LIBRARY naming a build's libraries, or
the package installed).  It measures, one thread:

- the one-time build of the dense tables of P and S (into a fresh cache
  folder), and the model ready with them from their saved form;
- 10^6 random pairs (depths 0 to the core, distances 0 to 180), first P and
  S: the whole call (median, lowest and highest of several), and the CPU
  time of the process over the same calls (the machine may be shared);
- the error of the times against the calculator's table() at each depth
  (itself within 0.25 ms of the exact solver): 1,000 random depths x 1,000
  random distances per phase, the largest error, the 99.9th and 99th
  percentiles, and the pairs the table could not interpolate (solved by the
  calculator instead); and a spot check of some pairs against exact=True.

It prints a table for the README.
"""

import argparse
import os
import statistics
import tempfile
import time

import numpy as np

from seiskernels import _engine, _pairs
from seiskernels.traveltimes import TravelTimes

PHASES = ("P", "S")


def first_of(tt, depth, distances, phase):
    """Time of the first arrival at each distance, from table() at one depth."""
    rows = tt.table([depth], distances, (phase,))
    j = np.searchsorted(distances, rows["distance_deg"])
    time_ = np.full(len(distances), np.inf)
    np.minimum.at(time_, j, rows["time_s"])
    time_[np.isinf(time_)] = np.nan
    return time_


def accuracy(tt, n_depths, n_distances, seed):
    """{phase: (errors, solved, extra, missing)}: |interpolated - table()|
    over random pairs where both give an arrival, the pairs solved by the
    calculator instead, the pairs with an interpolated arrival where table()
    has none (a shadow narrower than the grid), and the reverse."""
    rng = np.random.default_rng(seed)
    cmb = tt.tables.cmb
    depths = rng.uniform(0.0, cmb, n_depths)
    out = {}
    for phase in PHASES:
        dense = _pairs.dense_of(tt, phase)
        errors, solved, extra, missing = [], 0, 0, 0
        for depth in depths.tolist():
            x = np.sort(rng.uniform(0.0, 180.0, n_distances))
            ref = first_of(tt, depth, x, phase)
            part = np.empty(len(x), dtype=list(_pairs.FIELDS) + [("phase", "U8")])
            solve = _pairs.evaluate(dense, np.full(len(x), depth), x, part)
            got = part["time_s"]
            if len(solve):      # as first_arrivals does
                got[solve] = _pairs._solve(tt, phase, np.full(len(solve), depth), x[solve])[0]
                solved += len(solve)
            extra += int(np.sum(np.isnan(ref) & ~np.isnan(got)))
            missing += int(np.sum(~np.isnan(ref) & np.isnan(got)))
            both = ~np.isnan(ref) & ~np.isnan(got)
            errors.append(np.abs(got - ref)[both])
        out[phase] = (np.concatenate(errors), solved, extra, missing)
    return out


def exact_check(tt, n, seed):
    """Largest |first_arrivals - exact=True| over n random pairs, s."""
    rng = np.random.default_rng(seed)
    h, x = rng.uniform(0.0, tt.tables.cmb, n), rng.uniform(0.0, 180.0, n)
    got = tt.first_arrivals(h, x)
    worst = 0.0
    for i in range(n):
        for phase in PHASES:
            times = [a.time for a in tt.arrivals(h[i], x[i], [phase], exact=True)]
            if times and not np.isnan(got[phase]["time_s"][i]):
                worst = max(worst, abs(got[phase]["time_s"][i] - min(times)))
    return worst


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--model", default="ak135")
    ap.add_argument("--quick", action="store_true", help="fewer pairs and repetitions")
    args = ap.parse_args()
    n_pairs = 10 ** 5 if args.quick else 10 ** 6
    side = 200 if args.quick else 1000
    repeat = 3 if args.quick else 7

    with tempfile.TemporaryDirectory() as cache:
        tt = TravelTimes(args.model, cache=cache)
        builds = {}
        for phase in PHASES:
            start = time.perf_counter()
            _pairs.dense_of(tt, phase)
            builds[phase] = time.perf_counter() - start
        ready = []
        for _ in range(5):
            start = time.perf_counter()
            fresh = TravelTimes(args.model, cache=cache)
            for phase in PHASES:
                _pairs.dense_of(fresh, phase)
            ready.append(time.perf_counter() - start)
        solved_tables = {p: int(np.sum(_pairs.dense_of(tt, p).count == _pairs.SOLVE))
                         for p in PHASES}

        rng = np.random.default_rng(1)
        h, x = rng.uniform(0.0, tt.tables.cmb, n_pairs), rng.uniform(0.0, 180.0, n_pairs)
        tt.first_arrivals(h[:1000], x[:1000])           # tables ready
        walls, cpus = [], []
        for _ in range(repeat):
            wall, cpu = time.perf_counter(), time.process_time()
            got = tt.first_arrivals(h, x)
            walls.append(time.perf_counter() - wall)
            cpus.append(time.process_time() - cpu)
        # The same pairs into one array kept between calls (no new memory:
        # what a loop over batches of an associator sees), through the
        # method's out=, and the tables alone.
        kept = got.copy()           # its pages in memory already, as in such a loop
        out_walls = []
        for _ in range(repeat):
            wall = time.perf_counter()
            tt.first_arrivals(h, x, out=kept)
            out_walls.append(time.perf_counter() - wall)
        keep = {p: np.zeros(n_pairs, dtype=list(_pairs.FIELDS) + [("phase", "U8")])
                for p in PHASES}
        for p in PHASES:
            keep[p]["time_s"] = 0.0   # its pages in memory already
        into, numpy_into = [], []
        for compiled, times in ((True, into), (False, numpy_into)):
            for _ in range(repeat if compiled else 2):
                wall = time.perf_counter()
                for phase in PHASES:
                    _pairs.evaluate_many([_pairs.dense_of(tt, phase)], h, x, [keep[phase]],
                                         compiled=compiled)
                times.append(time.perf_counter() - wall)

        acc = accuracy(tt, side, side, seed=2)
        worst_exact = exact_check(tt, 10 if args.quick else 40, seed=3)

    def spread(values):
        return (f"{statistics.median(values):.3f} s ({min(values):.3f}–{max(values):.3f})")

    print(f"first_arrivals on {args.model}, one thread, {n_pairs:,} random pairs "
          f"(depth 0–{tt.tables.cmb:g} km, distance 0–180°); load average "
          f"{' '.join(f'{a:.2f}' for a in os.getloadavg())} at the end, engine "
          f"{'compiled' if _engine.HAS_PAIRS else 'absent: numpy'}\n")
    print("| figure | P | S |")
    print("|---|---|---|")
    print(f"| dense table built (once per model) | {builds['P']:.1f} s | {builds['S']:.1f} s |")
    print(f"| model and both tables ready from their saved form | "
          f"{1e3 * statistics.median(ready):.0f} ms (both) | |")
    print(f"| first P and S, {n_pairs:,} pairs, one call (median, lowest–highest) | "
          f"{spread(walls)} | CPU {spread(cpus)} |")
    print(f"| the same into an array kept between calls (out=) | {spread(out_walls)} | |")
    print(f"| the tables alone into arrays kept between calls, by the engine | {spread(into)} "
          f"| by numpy (its reference) {spread(numpy_into)} |")
    n = {p: len(acc[p][0]) for p in PHASES}
    print(f"| pairs compared with table() | {n['P']:,} | {n['S']:,} |")
    print("| largest error | " + " | ".join(f"{1e3 * acc[p][0].max():.2f} ms"
                                           for p in PHASES) + " |")
    print("| 99.9th percentile | " + " | ".join(f"{1e3 * np.percentile(acc[p][0], 99.9):.3f} ms"
                                               for p in PHASES) + " |")
    print("| 99th percentile | " + " | ".join(f"{1e3 * np.percentile(acc[p][0], 99):.3f} ms"
                                             for p in PHASES) + " |")
    print("| pairs solved by the calculator instead | " +
          " | ".join(f"{acc[p][1]} ({solved_tables[p]} small cells)" for p in PHASES) + " |")
    print("| pairs with an arrival where table() has none, and the reverse | " +
          " | ".join(f"{acc[p][2]}, {acc[p][3]}" for p in PHASES) + " |")
    print(f"| largest error against exact=True (spot check) | {1e3 * worst_exact:.2f} ms "
          f"(P and S) | |")


if __name__ == "__main__":
    main()
