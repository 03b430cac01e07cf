#!/usr/bin/env python3
"""Travel times of seismic phases through a spherical Earth model, computed
with libtraveltime.

    cmake --workflow --preset release
    python3 examples/travel_times.py
    python3 examples/travel_times.py --model iasp91.tvel --depth 300 30 60 145

With no model file it builds a planet of three regions (mantle, fluid outer
core, inner core) whose slowness eta = r / v follows Bullen's law A r^B in
each, and checks every arrival against the closed-form solution of that
planet: the program exits with status 1 if one differs by more than a
millisecond.  With --model it reads a .tvel or .nd file.

For each distance it prints every arrival of each phase (the branches of a
triplication or a caustic each give their own): distance, source depth,
phase, time, ray parameter, take-off angle (from the downward vertical) and
incidence angle at the receiver.  Only the Python standard library is
needed; --plot draws the travel-time curves with matplotlib.
"""

import argparse
import math
import os
import sys

from earth_model import ModelError, bullen_planet, read_model

DEFAULT_DISTANCES = [20, 40, 60, 80, 100, 120, 140, 145, 150, 160, 170, 179]
DEFAULT_PHASES = "P,S,PcP,ScS,PKP,PKiKP,PKIKP,SKS,SKIKS,PP,SS"
TOLERANCE_MS = 1.0              # arrivals must match the closed form this well
MISS_TOLERANCE = 1e-6           # rad: and land this close to where they are asked for
PER_DEGREE = math.pi / 180.0


def closed_form(earth, phase, p, going_up):
    """Time and distance of ray p along a phase of the Bullen planet, by
    exact integration of each region's law over the phase's branches."""
    import tau
    legs = tau.PHASES[tau.base(phase)][0]
    time = dist = 0.0
    for name, wave, count in legs[:1] if going_up else legs:
        branch = earth.branches[name, wave]
        if branch.bottom <= branch.top:
            continue
        shell = earth.model.shell_at(0.5 * (branch.top + branch.bottom))
        radius = earth.model.radius
        top, lower = shell.eta(radius - branch.top, wave), shell.eta(radius - branch.bottom, wave)
        lower = max(lower, p)           # the ray turns where eta = p
        arc = math.acos(p / lower) if lower else 0.0
        dist += count * (math.acos(p / top) - arc) / shell.b
        time += count * (math.sqrt(top * top - p * p) - math.sqrt(lower * lower - p * p)) / shell.b
    return time, dist


def check(earth, arrival):
    """Difference (ms) from the closed form of the planet at the arrival's
    own ray, carried to its distance with dT/dDistance = p; None if that ray
    does not land where it should."""
    time, dist = closed_form(earth, arrival.phase, arrival.p, arrival.takeoff > 90.0)
    miss = arrival.travelled - dist
    if abs(miss) > MISS_TOLERANCE and not arrival.phase.endswith("diff"):
        return None
    return (arrival.time - (time + arrival.p * miss)) * 1e3


def print_model(model, earth, phases):
    print(f"Model {model.name}: radius {model.radius:g} km, core-mantle boundary at "
          f"{model.cmb:g} km, inner-core boundary at {model.icb:g} km depth; "
          f"source at {earth.depth:g} km")
    for name in "PS":
        graze = earth.graze(name) if name in phases else None
        if graze:
            print(f"  {name} grazes the core at {math.degrees(graze[2]):.2f} deg; "
                  f"{name}diff beyond")
    if "PKP" in phases:
        fold = earth.caustic("PKP")
        if fold is not None:
            print(f"  PKP folds back at {math.degrees(fold):.2f} deg (the caustic): "
                  f"PKPab and PKPbc beyond it")
    print()


def table(earth, phases, distances, closed):
    print(f"{'dist (deg)':>10} {'depth (km)':>10}  {'phase':<7} {'time (s)':>9} "
          f"{'p (s/deg)':>9} {'takeoff':>8} {'incidence':>9}"
          + (f" {'closed form (s)':>15} {'diff (ms)':>9}" if closed else ""))
    found = [[] for _ in distances]
    for phase in phases:
        for row, arrivals in zip(found, earth.arrivals(phase, distances)):
            row += arrivals
    worst = 0.0
    for degree, arrivals in zip(distances, found):
        if not arrivals:
            print(f"{degree:10.2f} {earth.depth:10.1f}  no arrival of {', '.join(phases)}")
        for a in sorted(arrivals, key=lambda a: a.time):
            line = (f"{degree:10.2f} {earth.depth:10.1f}  {a.phase:<7} {a.time:9.2f} "
                    f"{a.p * PER_DEGREE:9.4f} {a.takeoff:8.2f} {a.incidence:9.2f}")
            if closed:
                diff = check(earth, a)
                worst = max(worst, math.inf if diff is None else abs(diff))
                line += (f" {a.time - (diff or 0.0) * 1e-3:15.3f} "
                         + ("    MISSED" if diff is None else f"{diff:9.4f}"))
            if a.travelled > math.pi:
                line += f"  (the long way round, {math.degrees(a.travelled):.2f} deg)"
            print(line)
    return worst


def plot(path, earth, phases, title):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(f"--plot: matplotlib is not installed, so {path} was not drawn.")
        return
    pkp = [t / 60.0 for c in earth.curves("PKP") for t in c.time] if "PKP" in phases else []
    fig, axes = plt.subplots(1, 2 if pkp else 1, figsize=(14 if pkp else 10, 7), squeeze=False,
                             gridspec_kw={"width_ratios": [2, 1] if pkp else [1]})
    ax = axes[0][0]
    draw(ax, earth, phases, True)
    ax.set_xlim(0.0, 180.0)
    ax.set_title(title)
    ax.legend(ncol=2, fontsize=9, loc="upper left")
    if pkp:
        # The core phases around the caustic, where PKP folds back.
        zoom = axes[0][1]
        draw(zoom, earth, phases, False)
        zoom.set_xlim(138.0, 180.0)
        zoom.set_ylim(min(pkp) - 0.4, max(pkp) + 0.4)
        zoom.set_title("around the PKP caustic")
    for a in fig.axes:
        a.set_xlabel("epicentral distance (deg)")
        a.set_ylabel("travel time (min)")
        a.grid(True, alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"Travel-time curves drawn in {path}")


def draw(ax, earth, phases, labels):
    for n, phase in enumerate(phases):
        colour = f"C{n % 10}"
        for k, curve in enumerate(earth.curves(phase)):
            for near, style in ((True, "-"), (False, "--")):
                xs, ys = folded(curve, near)
                ax.plot(xs, ys, style, color=colour, lw=1.2,
                        label=phase if labels and k == 0 and near else None)
        graze = earth.graze(phase)
        if graze:
            p, t, d = graze
            ax.plot([math.degrees(d), 180.0], [t / 60.0, (t + p * (math.pi - d)) / 60.0],
                    ":", color=colour, lw=1.2, label=f"{phase}diff" if labels else None)


def folded(curve, near):
    """The curve's points (deg, min) within 180 deg, or (near False) those
    beyond, folded back onto 0-180; a NaN breaks the line between runs."""
    xs, ys = [], []
    for d, t in zip(curve.dist, curve.time):
        if (d <= math.pi) == near:
            xs.append(math.degrees(d if near else 2.0 * math.pi - d))
            ys.append(t / 60.0)
        elif xs and not math.isnan(xs[-1]):
            xs.append(math.nan)
            ys.append(math.nan)
    return xs, ys


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("distances", nargs="*", type=float, default=DEFAULT_DISTANCES,
                        help="epicentral distances in degrees (default: %(default)s)")
    parser.add_argument("--model", metavar="FILE",
                        help="Earth model, .tvel or .nd (default: the Bullen planet below)")
    parser.add_argument("--depth", type=float, default=0.0,
                        help="source depth in km (default: %(default)s)")
    parser.add_argument("--phases", default=DEFAULT_PHASES,
                        help="comma-separated phases (default: %(default)s); P and S go "
                             "on as Pdiff and Sdiff past the core, PKP is labelled PKPab "
                             "or PKPbc")
    parser.add_argument("--plot", metavar="FILE",
                        help="draw the travel-time curves into FILE (needs matplotlib)")
    parser.add_argument("--radius", type=float, default=6371.0,
                        help="Bullen planet: radius in km (default: %(default)s)")
    parser.add_argument("--cmb", type=float, default=3480.0,
                        help="Bullen planet: radius of the core-mantle boundary, km "
                             "(default: %(default)s)")
    parser.add_argument("--icb", type=float, default=1220.0,
                        help="Bullen planet: radius of the inner-core boundary, km "
                             "(default: %(default)s)")
    parser.add_argument("--mantle-speeds", type=float, nargs=2, default=[8.0, 13.0],
                        metavar=("TOP", "BOTTOM"),
                        help="Bullen planet: mantle P speed at the surface and at the core, km/s")
    parser.add_argument("--outer-core-speeds", type=float, nargs=2, default=[9.0, 10.0],
                        metavar=("TOP", "BOTTOM"),
                        help="Bullen planet: outer-core P speed at its top and bottom, km/s")
    parser.add_argument("--inner-core-speed", type=float, default=11.0,
                        help="Bullen planet: P speed of the homogeneous inner core, km/s")
    parser.add_argument("--traveltime-lib", metavar="PATH",
                        help="libtraveltime.so to load (or set TRAVELTIME_LIBRARY)")
    args = parser.parse_args()

    args.phases = [p.strip() for p in args.phases.split(",") if p.strip()]
    known = DEFAULT_PHASES.split(",")
    unknown = [p for p in args.phases if p not in known]
    if unknown:
        parser.error(f"unknown phase {', '.join(unknown)}: choose from {', '.join(known)}")
    if not args.radius > args.cmb > args.icb > 0.0:
        parser.error("need radius > cmb > icb > 0")
    speeds = args.mantle_speeds + args.outer_core_speeds + [args.inner_core_speed]
    if min(speeds) <= 0.0:
        parser.error("wave speeds must be positive")
    # Rays turn only where the slowness r / v falls with depth.
    if not (args.radius / args.mantle_speeds[0] > args.cmb / args.mantle_speeds[1]
            and args.cmb / args.outer_core_speeds[0] > args.icb / args.outer_core_speeds[1]):
        parser.error("r / v must decrease with depth inside the mantle and the outer core")
    return args


def load_kernels(path):
    """The calculator, once the library path is settled: importing it loads
    the kernels."""
    if path:
        os.environ["TRAVELTIME_LIBRARY"] = path
    try:
        import tau
    except (ImportError, OSError) as e:
        sys.exit(f"cannot load the travel-time kernels: {e}\n(build them with `cmake "
                 f"--workflow --preset release`, or give --traveltime-lib)")
    return tau


def main():
    args = parse_args()
    tau = load_kernels(args.traveltime_lib)
    try:
        if args.model:
            model = read_model(args.model)
        else:
            model = bullen_planet(args.radius, args.cmb, args.icb, args.mantle_speeds,
                                  args.outer_core_speeds, (args.inner_core_speed,) * 2)
        earth = tau.Earth(model, args.depth)
    except ModelError as e:
        sys.exit(str(e))
    closed = not args.model
    if closed:
        print("Bullen planet: in each region eta = r / v = A r^B through the P speeds given; "
              "S = P / sqrt(3) outside the fluid outer core.")
    print_model(model, earth, args.phases)
    worst = table(earth, args.phases, args.distances, closed)
    if args.plot:
        print()
        plot(args.plot, earth, args.phases,
             f"{model.name}, source at {args.depth:g} km: travel times")
    if closed:
        ok = worst <= TOLERANCE_MS
        print()
        print(f"Largest difference from the closed form: {worst:.4f} ms "
              f"({'within' if ok else 'OVER'} the {TOLERANCE_MS:g} ms allowed)")
        return 0 if ok else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
