#!/usr/bin/env python3
"""Ray paths and pierce points on ak135, one thread, beside the times alone:
the paths of the eleven default phases at one depth and distance, and the
pierce points at 410 and 660 km of P at 30-90 degrees every degree from one
depth, as arrays; with the goals (2 ms and 5 ms) and by how much each is met
or missed.

    PYTHONPATH=python python3 bench/paths.py [--repeat N]

(with TRAVELTIME_LIBRARY and IBMFLOAT_LIBRARY naming a build's libraries, or
the package installed).  Each figure is the median of the repetitions, with
the fastest and slowest beside it: on a busy machine the fastest is the
nearer to what an idle one gives.
"""

import argparse
import sys
import tempfile

import numpy as np

from seiskernels.traveltimes import DEFAULT_PHASES, TravelTimes
from timing import timing

DEPTH = 100.0
DISTANCE = 60.0
SWEEP = np.arange(30.0, 91.0)


def shown(seconds):
    return f"{seconds * 1e3:8.3f} ms"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=50, help="repetitions (default 50)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as cache:
        model = TravelTimes("ak135", cache=cache)
        n_paths = len(model.paths(DEPTH, DISTANCE, DEFAULT_PHASES))
        n_pierce = len(model.pierce(DEPTH, SWEEP, "P", add_depths=(410, 660)))
        rows = [
            (f"times alone, 11 phases, {DISTANCE:g} deg", None,
             timing(lambda: model.arrivals(DEPTH, DISTANCE, DEFAULT_PHASES), args.repeat, 20)),
            (f"paths, 11 phases ({n_paths} arrivals)", 2e-3,
             timing(lambda: model.paths(DEPTH, DISTANCE, DEFAULT_PHASES), args.repeat)),
            ("times alone, P, 30-90 deg every degree", None,
             timing(lambda: [model.arrivals(DEPTH, d, "P") for d in SWEEP], args.repeat)),
            (f"pierce points 410, 660 km, P ({n_pierce} arrivals)", 5e-3,
             timing(lambda: model.pierce(DEPTH, SWEEP, "P", add_depths=(410, 660)),
                    args.repeat)),
        ]
    print(f"ak135, source at {DEPTH:g} km, one thread; median (fastest - slowest) of "
          f"{args.repeat}")
    print(f"{'operation':<46} {'median':>11} {'fastest':>11} {'slowest':>11}  goal")
    ok = True
    for name, goal, (med, lo, hi) in rows:
        verdict = ""
        if goal is not None:
            verdict = f"{shown(goal).strip()}: " + ("met" if med <= goal else
                                                   f"missed by {(med / goal - 1) * 100:.0f}%")
            ok &= med <= goal
        print(f"{name:<46} {shown(med)} {shown(lo)} {shown(hi)}  {verdict}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
