#!/usr/bin/env python3
"""Travel-time calculator speed and accuracy on ak135, one thread: the model
built from its file and ready from its saved tables, a new source depth, one
distance (the names as a tuple and as a list), and a grid of
40 depths x 207 distances, for the eleven default phases and for P alone; then
every arrival of the grid against the exact solver on the same layers.

    PYTHONPATH=python python3 bench/traveltimes.py [--quick]

(with TRAVELTIME_LIBRARY and IBMFLOAT_LIBRARY naming a build's libraries, or
the package installed).  Each figure is the median of several repetitions,
with the lowest and highest.
"""

import argparse
import math
import sys
import tempfile

import numpy as np

from seiskernels import _exact
from seiskernels.traveltimes import DEFAULT_PHASES, TravelTimes
from timing import timing

DEPTHS = np.linspace(0.0, 700.0, 40)
DISTANCES = np.linspace(0.0, 180.0, 207)


def speed(cache):
    rows = [("model built from its file", timing(
        lambda: TravelTimes("ak135", cache=False), 5), None)]
    TravelTimes("ak135", cache=cache)           # built and saved once
    rows.append(("model ready from its saved form",
                 timing(lambda: TravelTimes("ak135", cache=cache), 20), None))
    model = TravelTimes("ak135", cache=cache)
    distance = iter(np.linspace(0.5, 179.5, 100000))
    model.arrivals(300.0, 50.0, list(DEFAULT_PHASES))
    rows.append(("one distance, 11 phases as a list",
                 timing(lambda: model.arrivals(300.0, next(distance),
                                                    list(DEFAULT_PHASES)), 15, 200), None))
    for phases, label in ((DEFAULT_PHASES, "11 phases"), (("P",), "P only")):
        depth = iter(np.linspace(1.0, 699.0, 10000))

        def new_depth():
            model._sources.clear()
            model.arrivals(next(depth), 50.0, phases)
        rows.append((f"new source depth, {label} ready", timing(new_depth, 30), None))
        model.arrivals(300.0, 50.0, phases)
        distance = iter(np.linspace(0.5, 179.5, 100000))
        rows.append((f"one distance, {label}",
                     timing(lambda: model.arrivals(300.0, next(distance), phases), 15, 200),
                     None))

        def grid():
            model._sources.clear()
            return model.table(DEPTHS, DISTANCES, phases)
        n = len(grid())
        rows.append((f"40 x 207 grid, {label}, one call", timing(grid, 5), n))
    print(f"{'operation (ak135, one thread)':<40} {'median':>12}  {'lowest-highest':>22}  "
          f"arrivals")
    for name, (median, lo, hi), n in rows:
        scale, unit = (1e3, "ms") if median >= 1e-3 else (1e6, "us")
        spread = f"{lo * scale:.3f}-{hi * scale:.3f} {unit}"
        print(f"{name:<40} {median * scale:9.3f} {unit}  {spread:>22}  "
              f"{n if n is not None else ''}")


def accuracy(cache, quick):
    """Each arrival of the grid traced again as an exact ray on the same layers:
    how far it lands from the distance asked, and how far its time lies from
    the exact ray's, carried to that distance with dT/dX = p; and the arrivals
    the exact solver finds that the grid does not."""
    model = TravelTimes("ak135", cache=cache)
    depths = DEPTHS[::8] if quick else DEPTHS
    fast = model.table(depths, DISTANCES)
    dt, dx, missing = [], [], 0
    for depth in depths:
        earth = _exact.Earth(model.model, depth)
        rows = fast[(fast["depth_km"] == depth) & ~np.char.endswith(fast["phase"], "diff")]
        for r in rows:
            p = r["ray_param_s_deg"] * 180.0 / math.pi
            miss, t = earth.trace(r["phase"], r["takeoff_deg"] > 90.0, p, r["distance_deg"])
            dx.append(math.degrees(miss))
            dt.append(abs(r["time_s"] - t))
        for distance in DISTANCES[::6]:
            mine = rows[rows["distance_deg"] == distance]["phase"].tolist()
            exact = [a.phase for a in model.arrivals(depth, distance, exact=True)
                     if not a.phase.endswith("diff")]
            missing += sum(max(0, exact.count(n) - mine.count(n)) for n in set(exact))
    dt, dx = np.array(dt), np.array(dx)
    print(f"\nevery arrival of {len(depths)} depths x {len(DISTANCES)} distances, 11 phases, "
          f"traced as an exact ray on the same layers ({len(dt)} arrivals):\n"
          f"  time: largest {dt.max() * 1e3:.3f} ms, median {np.median(dt) * 1e3:.4f} ms, "
          f"over 5 ms: {(dt > 5e-3).sum()}\n"
          f"  distance: largest {dx.max():.4f} deg, median {np.median(dx):.6f} deg, "
          f"over 0.01 deg: {(dx > 0.01).sum()}\n"
          f"  arrivals of the exact solver not in the grid (every 6th distance): {missing}")
    return dt.max() <= 5e-3 and np.median(dt) <= 1e-3 and dx.max() <= 0.01 and not missing


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="accuracy on 5 depths, not 40")
    parser.add_argument("--no-accuracy", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as cache:
        speed(cache)
        ok = args.no_accuracy or accuracy(cache, args.quick)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
