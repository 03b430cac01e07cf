"""The seiskernels command: travel times at one source depth, or between a
source and a station by their coordinates (times), on a grid of depths and
distances (table), ray paths (path) and pierce points (pierce), printed as a
table, CSV, JSON or GeoJSON, or drawn."""

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
    times.add_argument("--source", type=_coordinate, metavar="LAT,LON",
                       help="source latitude and longitude (deg, WGS84) instead of distances")
    times.add_argument("--station", type=_coordinate, metavar="LAT,LON",
                       help="station latitude and longitude (deg, WGS84)")
    times.add_argument("--station-elevation", type=float, default=0.0, metavar="M",
                       help="station elevation in metres above the model's surface")
    times.add_argument("--ellipticity", action="store_true",
                       help="add the correction for the Earth's flattening along each ray "
                       "(needs --source and --station)")
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
    path_parsers(sub, model_help, phases_help)
    return top


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        try:
            from .traveltimes import TravelTimes
        except ImportError as e:
            if args.command != "times" or args.plot or getattr(e, "name", "") != "numpy":
                raise
            # Without numpy, each arrival is solved ray by ray.
            return times(_Exact(args.model), args)
        model = TravelTimes(args.model)
        if args.command in ("path", "pierce"):
            return paths_command(model, args)
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
    phases = args.phases.split(",")
    coords = args.source is not None or args.station is not None
    extra = {"receiver_depth": args.receiver_depth}
    if args.station_elevation:
        extra["station_elevation"] = args.station_elevation
    if coords:
        if args.distances:
            raise ValueError("distances: give distances or --source and --station, not both")
        extra.update(source=args.source, station=args.station, ellipticity=args.ellipticity)
        distances = [None]
    else:
        if args.ellipticity:
            raise ValueError("--ellipticity: the correction needs --source and --station")
        distances = args.distances or [float(x) for x in DEFAULT_DISTANCES.split(",")]
    found = [model.arrivals(args.depth, d, phases, exact=args.exact, **extra) for d in distances]
    at = f", receiver at {args.receiver_depth:g} km" if args.receiver_depth else ""
    print(f"Model {model.name}, source at {args.depth:g} km{at}")
    if coords and found[0]:
        a = found[0][0]
        print(f"Source {args.source[0]:g},{args.source[1]:g}, station {args.station[0]:g},"
              f"{args.station[1]:g}: {a.distance:.3f} deg, azimuth {a.azimuth:.2f}, back "
              f"azimuth {a.back_azimuth:.2f}")
    corrections = coords or args.station_elevation
    print(f"{'dist (deg)':>10} {'depth (km)':>10}  {'phase':<7} {'time (s)':>9} "
          f"{'p (s/deg)':>9} {'takeoff':>8} {'incidence':>9} {'dT/dh':>8} {'d2T/dD2':>8}"
          + (f" {'ellip (s)':>9} {'elev (s)':>8}" if corrections else ""))
    for degree, arrivals in zip(distances, found):
        if not arrivals:
            print(f"{degree if degree is not None else 0.0:10.2f} {args.depth:10.1f}  "
                  f"no arrival of {args.phases}")
        for a in arrivals:
            line = (f"{a.distance:10.2f} {args.depth:10.1f}  {a.phase:<7} {a.time:9.2f} "
                    f"{a.ray_param:9.4f} {a.takeoff:8.2f} {a.incidence:9.2f} "
                    f"{a.dtdh:8.4f} {a.dpdd:8.4f}")
            if corrections:
                line += f" {a.ellipticity:9.3f} {a.elevation:8.3f}"
            if a.travelled > 180.0:
                line += f"  (the long way round, {a.travelled:.2f} deg)"
            print(line)
    if args.plot and not coords:
        plot(model, args.depth, phases, args.plot, distances)
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


def plot(model, depth, phases, path, distances=()):
    """Travel-time curves from 0 to 180 degrees, one colour per phase, each
    phase named on its curve, the distances asked marked."""
    from ._plots import travel_time_figure
    try:
        fig = travel_time_figure(model, depth, phases, distances)
    except ImportError as e:
        print(f"--plot: {e}, so {path} was not drawn.")
        return
    fig.savefig(path, dpi=120, bbox_inches="tight")
    print(f"Travel-time curves drawn in {path}")


# --- ray paths and pierce points ------------------------------------------------

PATH_HEADER = ["phase", "time_s", "ray_param_s_deg", "distance_deg", "depth_km", "path_time_s"]
PIERCE_HEADER = PATH_HEADER[:-1] + ["pierce_time_s"]


def _coordinate(text):
    """LAT,LON in degrees, for argparse."""
    values = numbers(text)
    if len(values) != 2:
        raise argparse.ArgumentTypeError(f"{text!r}: expected LAT,LON in degrees")
    return tuple(values)


def path_parsers(sub, model_help, phases_help):
    """The subcommands `path` and `pierce`: the arguments of `times`, the
    source and station coordinates, and what each writes."""
    helps = {"path": "the path of every arrival through the model",
             "pierce": "where every arrival crosses the model's discontinuities"}
    for name in ("path", "pierce"):
        cmd = sub.add_parser(name, help=helps[name])
        cmd.add_argument("distances", nargs="*", type=float,
                         help=f"epicentral distances in degrees (default: {DEFAULT_DISTANCES}, "
                         f"or the distance between --source and --station)")
        cmd.add_argument("--model", default="iasp91", help=model_help)
        cmd.add_argument("--depth", type=float, default=0.0, help="source depth in km "
                         "(default: %(default)s)")
        cmd.add_argument("--phases", default=",".join(DEFAULT_PHASES), help=phases_help)
        cmd.add_argument("--exact", action="store_true", help="solve every arrival ray by ray")
        cmd.add_argument("--source", type=_coordinate, metavar="LAT,LON",
                         help="source latitude and longitude (deg): every point gets its own")
        cmd.add_argument("--station", type=_coordinate, metavar="LAT,LON",
                         help="station latitude and longitude (deg)")
        if name == "path":
            cmd.add_argument("--format", choices=("csv", "json", "geojson"),
                             help="csv (one row per sample; the default, unless --plot is "
                             "given), json, or geojson (needs --source and --station)")
            cmd.add_argument("--plot", metavar="FILE", help="draw the rays in a disc into "
                             "FILE (needs matplotlib)")
        else:
            cmd.add_argument("--depths", type=numbers, default=[], metavar="D1,D2",
                             help="more depths (km) at which to give every crossing, such as "
                             "410,660")
            cmd.add_argument("--format", choices=("csv", "json"), default="csv")


def paths_command(model, args):
    """seiskernels path / pierce."""
    coords = args.source is not None or args.station is not None
    if coords and (args.source is None or args.station is None):
        raise ValueError("--source and --station: give both, or neither")
    distances = args.distances or (None if coords else
                                   [float(x) for x in DEFAULT_DISTANCES.split(",")])
    if coords and args.distances:
        raise ValueError("distances: give distances or --source and --station, not both")
    where = dict(source=args.source, station=args.station)
    if args.command == "pierce":
        found = model.pierce(args.depth, distances, args.phases, args.depths, args.exact,
                             **where)
        return _write_pierce(found, args.format, coords)
    if args.format == "geojson" and not coords:
        raise ValueError("--format geojson: give the --source and --station coordinates")
    found = model.paths(args.depth, distances, args.phases, args.exact, **where)
    if args.format is None and args.plot:
        pass                                    # the figure alone
    elif args.format in (None, "csv"):
        _write_rows(found, coords, lambda r: zip(r.distance_deg, r.depth_km, r.time_s),
                    PATH_HEADER, lambda r: (r.latitude, r.longitude))
    elif args.format == "json":
        json.dump([_record(r, "path", dict(distance_deg=r.distance_deg, depth_km=r.depth_km,
                                           time_s=r.time_s, latitude=r.latitude,
                                           longitude=r.longitude)) for r in found],
                  sys.stdout, indent=1)
        print()
    else:
        json.dump(_geojson(found, args), sys.stdout)
        print()
    if args.plot:
        _plot_paths(model, found, args.plot, args.format is None)
    return 0


def _write_pierce(found, form, coords):
    if form == "csv":
        _write_rows(found, coords, lambda r: zip(r.points["distance_deg"], r.points["depth_km"],
                                                 r.points["time_s"]),
                    PIERCE_HEADER, lambda r: (r.points["latitude"], r.points["longitude"]))
    else:
        json.dump([_record(r, "pierce", {k: r.points[k] for k in r.points.dtype.names})
                   for r in found], sys.stdout, indent=1)
        print()
    return 0


def _write_rows(found, coords, rows_of, header, latlon_of):
    out = csv.writer(sys.stdout, lineterminator="\n")
    out.writerow(header + (["latitude", "longitude"] if coords else []))
    for r in found:
        a = r.arrival
        head = [a.phase, f"{a.time:.4f}", f"{r.ray_param:.6f}"]
        if coords:
            lat, lon = latlon_of(r)
            for (x, d, t), la, lo in zip(rows_of(r), lat.tolist(), lon.tolist()):
                out.writerow(head + [f"{x:.6f}", f"{d:.4f}", f"{t:.4f}", f"{la:.6f}",
                                     f"{lo:.6f}"])
        else:
            for x, d, t in rows_of(r):
                out.writerow(head + [f"{x:.6f}", f"{d:.4f}", f"{t:.4f}"])


def _record(r, key, arrays):
    a = r.arrival
    return {"phase": a.phase, "distance_deg": a.distance, "time_s": a.time,
            "ray_param_s_deg": r.ray_param, "takeoff_deg": a.takeoff,
            "incidence_deg": a.incidence, "travelled_deg": a.travelled,
            key: {k: v.tolist() for k, v in arrays.items() if v is not None}}


def _geojson(found, args):
    """A FeatureCollection: each ray a LineString of [longitude, latitude,
    -depth in metres] (split where it crosses the antimeridian), the source
    and the station points."""
    import numpy as np
    features = []
    for r in found:
        a = r.arrival
        lon, lat, alt = r.longitude, r.latitude, -1000.0 * r.depth_km
        cut = np.flatnonzero(np.abs(np.diff(lon)) > 180.0) + 1
        lines = [np.column_stack(part).round(6).tolist()
                 for part in zip(np.split(lon, cut), np.split(lat, cut), np.split(alt, cut))]
        geometry = ({"type": "LineString", "coordinates": lines[0]} if len(lines) == 1 else
                    {"type": "MultiLineString", "coordinates": lines})
        features.append({"type": "Feature", "geometry": geometry, "properties": {
            "phase": a.phase, "time_s": a.time, "ray_param_s_deg": r.ray_param,
            "distance_deg": a.distance, "travelled_deg": a.travelled,
            "max_depth_km": float(r.depth_km.max())}})
    (slat, slon), (rlat, rlon) = args.source, args.station
    features.append({"type": "Feature", "properties": {"role": "source", "depth_km": args.depth},
                     "geometry": {"type": "Point",
                                  "coordinates": [slon, slat, -1000.0 * args.depth]}})
    features.append({"type": "Feature", "properties": {"role": "station"},
                     "geometry": {"type": "Point", "coordinates": [rlon, rlat]}})
    return {"type": "FeatureCollection", "features": features}


def _plot_paths(model, found, path, alone):
    from ._plots import ray_paths_figure
    out = sys.stdout if alone else sys.stderr
    try:
        fig = ray_paths_figure(found, model)
    except ImportError as e:
        print(f"--plot: {e}, so {path} was not drawn.", file=out)
        return
    fig.savefig(path, dpi=120, bbox_inches="tight")
    print(f"Ray paths drawn in {path}", file=out)
