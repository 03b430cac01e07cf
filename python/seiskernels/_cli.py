"""The seiskernels command: travel times at one source depth (times) or on a
grid of depths and distances (table), printed as a table, CSV or JSON."""

import argparse
import csv
import json
import os
import sys

from ._earthmodel import BUILTIN as BUILTIN_MODELS
from ._earthmodel import ModelError
from ._phases import DEFAULT_PHASES, PhaseError

DEFAULT_DISTANCES = "20,40,60,80,100,120,140,145,150,160,170,179"
CSV_HEADER = ["depth_km", "distance_deg", "phase", "time_s", "ray_param_s_deg", "takeoff_deg",
              "incidence_deg", "dtdh_s_km", "dpdd_s_deg2"]


def numbers(text):
    """A comma-separated list of numbers, for argparse."""
    try:
        return [float(x) for x in text.split(",") if x.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a comma-separated list of "
                                         f"numbers") from None


def parser():
    top = argparse.ArgumentParser(prog="seiskernels", description="Seismic travel times "
                                  "through a spherical Earth model.")
    sub = top.add_subparsers(dest="command", required=True)
    model_help = (f"a built-in model ({', '.join(BUILTIN_MODELS)}) or a .tvel or .nd file "
                  f"(default: %(default)s)")
    phases_help = (f"comma-separated phases, or 'all' (default: {','.join(DEFAULT_PHASES)})")
    receiver_help = "receiver depth in km, for a borehole or ocean-bottom station (default: 0)"
    times = sub.add_parser("times", help="the arrivals at one source depth")
    times.add_argument("distances", nargs="*", type=float,
                       help=f"epicentral distances in degrees (default: {DEFAULT_DISTANCES})")
    times.add_argument("--model", default="iasp91", help=model_help)
    times.add_argument("--depth", type=float, default=0.0, help="source depth in km "
                       "(default: %(default)s)")
    times.add_argument("--phases", default=",".join(DEFAULT_PHASES), help=phases_help)
    times.add_argument("--exact", action="store_true", help="solve every arrival ray by ray")
    times.add_argument("--receiver-depth", type=float, default=0.0, help=receiver_help)
    times.add_argument("--plot", metavar="FILE", help="draw the travel-time curves into FILE "
                       "(needs matplotlib)")
    table = sub.add_parser("table", help="every arrival on a grid of depths and distances")
    table.add_argument("--model", default="iasp91", help=model_help)
    table.add_argument("--depths", type=numbers, required=True, help="source depths in km, "
                       "comma-separated")
    table.add_argument("--distances", type=numbers, required=True,
                       help="distances in degrees, comma-separated")
    table.add_argument("--phases", default=",".join(DEFAULT_PHASES), help=phases_help)
    table.add_argument("--format", choices=("csv", "json"), default="csv")
    table.add_argument("--receiver-depth", type=float, default=0.0, help=receiver_help)
    return top


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        try:
            from .traveltimes import TravelTimes
        except ImportError as e:
            if args.command == "table" or args.plot or getattr(e, "name", "") != "numpy":
                raise
            # Without numpy, each arrival is solved ray by ray.
            return times(_Exact(args.model), args)
        model = TravelTimes(args.model)
        if args.command == "times":
            return times(model, args)
        return table(model, args)
    except ImportError as e:
        print(f"seiskernels: {e}" + (" (Debian: apt-get install python3-numpy)"
                                     if getattr(e, "name", "") == "numpy" else ""),
              file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader left (| head): nothing more to say, and nothing left
        # for the interpreter to flush into the closed pipe at exit.
        sys.stdout = open(os.devnull, "w")
        return 0
    except (ModelError, PhaseError, ValueError, TypeError, OSError) as e:
        print(f"seiskernels: {e}", file=sys.stderr)
        return 2


class _Exact:
    """The calculator's exact path, for a Python without numpy."""

    def __init__(self, model):
        from . import _earthmodel
        self.model = _earthmodel.load(model)
        self.name = self.model.name

    def arrivals(self, depth, distance, phases, exact=True, receiver_depth=0.0):
        from . import _exact
        from ._phases import names_of
        depth, distance, receiver = _exact.checked(self.model.cmb, depth, distance,
                                                   receiver_depth)
        found = _exact.arrivals(self.model, depth, distance, names_of(phases), receiver)
        return [_exact.Result(*a) for a in found]


def times(model, args):
    distances = args.distances or [float(x) for x in DEFAULT_DISTANCES.split(",")]
    phases = args.phases.split(",")
    found = [model.arrivals(args.depth, d, phases, exact=args.exact,
                            receiver_depth=args.receiver_depth) for d in distances]
    at = f", receiver at {args.receiver_depth:g} km" if args.receiver_depth else ""
    print(f"Model {model.name}, source at {args.depth:g} km{at}")
    print(f"{'dist (deg)':>10} {'depth (km)':>10}  {'phase':<7} {'time (s)':>9} "
          f"{'p (s/deg)':>9} {'takeoff':>8} {'incidence':>9} {'dT/dh':>8} {'d2T/dD2':>8}")
    for degree, arrivals in zip(distances, found):
        if not arrivals:
            print(f"{degree:10.2f} {args.depth:10.1f}  no arrival of {args.phases}")
        for a in arrivals:
            line = (f"{degree:10.2f} {args.depth:10.1f}  {a.phase:<7} {a.time:9.2f} "
                    f"{a.ray_param:9.4f} {a.takeoff:8.2f} {a.incidence:9.2f} "
                    f"{a.dtdh:8.4f} {a.dpdd:8.4f}")
            if a.travelled > 180.0:
                line += f"  (the long way round, {a.travelled:.2f} deg)"
            print(line)
    if args.plot:
        plot(model, args.depth, phases, args.plot)
    return 0


def table(model, args):
    rows = model.table(args.depths, args.distances, args.phases.split(","),
                       receiver_depth=args.receiver_depth)
    if args.format == "csv":
        out = csv.writer(sys.stdout, lineterminator="\n")
        out.writerow(CSV_HEADER)
        for r in rows.tolist():
            out.writerow([f"{r[0]:g}", f"{r[1]:g}", r[2], f"{r[3]:.4f}", f"{r[4]:.6f}",
                          f"{r[5]:.4f}", f"{r[6]:.4f}", f"{r[7]:.6f}", f"{r[8]:.6f}"])
    else:
        json.dump([dict(zip(CSV_HEADER, r)) for r in rows.tolist()], sys.stdout, indent=1)
        print()
    return 0


def plot(model, depth, phases, path):
    """Travel-time curves from 0 to 180 degrees, one colour per phase."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(f"--plot: matplotlib is not installed, so {path} was not drawn.")
        return
    import numpy as np
    rows = model.table([depth], np.linspace(0.0, 180.0, 721), phases)
    fig, ax = plt.subplots(figsize=(10, 7))
    for n, name in enumerate(sorted(set(rows["phase"].tolist()))):
        mine = rows[rows["phase"] == name]
        ax.plot(mine["distance_deg"], mine["time_s"] / 60.0, ".", ms=2, color=f"C{n % 10}",
                label=name)
    ax.set_xlim(0.0, 180.0)
    ax.set_xlabel("epicentral distance (deg)")
    ax.set_ylabel("travel time (min)")
    ax.set_title(f"{model.name}, source at {depth:g} km")
    ax.grid(True, alpha=0.3)
    ax.legend(ncol=2, fontsize=8, markerscale=4, loc="upper left")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"Travel-time curves drawn in {path}")
