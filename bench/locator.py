#!/usr/bin/env python3
"""What a locator asks of the calculator, on ak135, one thread: the first P
of 10^6 source-station pairs given by their coordinates, one source depth,
with the distance and azimuths on the sphere of geocentric latitudes, the
derivatives (p, dT/dh, d2T/dD2), the station elevation and the ellipticity
correction along each ray; and one pair with every phase.

    PYTHONPATH=python python3 bench/locator.py [--pairs N]

(with the libraries' variables set, or the package installed).  Each figure
is the median of several runs, with the fastest and slowest.
"""

import argparse
import os
import statistics
import tempfile
import time

import numpy as np

from seiskernels.traveltimes import TravelTimes


def timed(fn, repeat):
    """Median, fastest and slowest wall time, and the median CPU time of the
    process (the machine may be shared)."""
    times, cpus = [], []
    for _ in range(repeat):
        start, cpu = time.perf_counter(), time.process_time()
        fn()
        times.append(time.perf_counter() - start)
        cpus.append(time.process_time() - cpu)
    return statistics.median(times), min(times), max(times), statistics.median(cpus)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pairs", type=int, default=10 ** 6)
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    n = args.pairs
    stations = np.stack([rng.uniform(-89.0, 89.0, n), rng.uniform(-180.0, 180.0, n),
                         rng.uniform(0.0, 3000.0, n)], axis=1)
    event = (35.7, 139.7, 33.0)
    with tempfile.TemporaryDirectory() as cache:
        model = TravelTimes("ak135", cache=cache)
        start = time.perf_counter()
        model.table_geo(event, stations[:1000], ["P"], first=True)
        once = time.perf_counter() - start
        rows = []
        rows.append((f"{n} pairs, first P, coordinates, derivatives, elevation, ellipticity",
                     *timed(lambda: model.table_geo(event, stations, ["P"], first=True), 5)))
        rows.append((f"{n} pairs, the same without ellipticity",
                     *timed(lambda: model.table_geo(event, stations, ["P"], first=True,
                                                    ellipticity=False), 5)))
        rows.append((f"{n} pairs, first P and first S, every correction",
                     *timed(lambda: model.table_geo(event, stations, ["P", "S"], first=True),
                            3)))
        one = lambda: model.arrivals(33.0, phases=["P", "S", "pP", "sP"],  # noqa: E731
                                     source=event[:2], station=(51.5, -0.1),
                                     station_elevation=45.0, ellipticity=True)
        rows.append(("one pair, P, S, pP, sP, every correction", *timed(one, 20)))
    print(f"first call at this depth (the tables of the rays' ellipticity): {once:.3f} s")
    print(f"load average {' '.join(f'{a:.2f}' for a in os.getloadavg())}")
    print(f"{'operation (ak135, one thread)':<70} {'median':>10} {'fastest':>10} {'slowest':>10}"
          f" {'CPU':>10}")
    for name, med, lo, hi, cpu in rows:
        print(f"{name:<70} {med:9.4f}s {lo:9.4f}s {hi:9.4f}s {cpu:9.4f}s")


if __name__ == "__main__":
    main()
