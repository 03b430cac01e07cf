"""Travel times of seismic phases through a spherically symmetric Earth model.

    >>> from seiskernels.traveltimes import TravelTimes
    >>> model = TravelTimes("iasp91")
    >>> for a in model.arrivals(depth=300, distance=30, phases=["P", "S"]):
    ...     print(a.phase, round(a.time, 2))
    P 341.31
    S 617.38

The model's tau-p tables are built once (each layer's time and distance on a
grid of ray parameters, summed down the mantle) and saved in a per-user cache,
so that a later process is ready at once.  For a source (and receiver) depth
the engine, libarrivals, cuts the layer holding it and sums each phase's
curve over the whole grid; for a distance, every monotone run of a curve that
spans it gives an arrival, interpolated in tau(p).  exact=True solves each
arrival ray by ray instead.
"""

import math
import os

import numpy as np

from . import _corrections, _earthmodel, _engine, _exact, _paths, _tables
from ._earthmodel import ModelError
from ._exact import Result as Arrival
from ._paths import NoArrival, Pierce, RayPath
from ._phases import ALL_PHASES, DEFAULT_PHASES, PhaseError, names_of

__all__ = ["TravelTimes", "Arrival", "RayPath", "Pierce", "ModelError", "PhaseError",
           "NoArrival", "DEFAULT_PHASES", "ALL_PHASES", "BUILTIN_MODELS"]

BUILTIN_MODELS = _earthmodel.BUILTIN
DEPTH_CACHE = 64        # source depths whose curves are kept
TABLE_FIELDS = [("depth_km", "f8"), ("distance_deg", "f8"), ("phase", "U12"), ("time_s", "f8"),
                ("ray_param_s_deg", "f8"), ("takeoff_deg", "f8"), ("incidence_deg", "f8"),
                ("dtdh_s_km", "f8"), ("dpdd_s_deg2", "f8")]
PER_DEGREE = math.pi / 180.0
PER_DEGREE_2 = PER_DEGREE ** 2
DEGREES = 180.0 / math.pi          # x * DEGREES is math.degrees(x), to the bit
_new_tuple = tuple.__new__
_UNCORRECTED = Arrival._field_defaults["ellipticity"], Arrival._field_defaults["elevation"], \
    None, None                     # ellipticity, elevation, azimuth, back azimuth


class TravelTimes:
    """Travel times through one Earth model.

    Parameters
    ----------
    model : str or path-like, default "iasp91"
        A built-in model ("ak135", "iasp91", "prem") or a .tvel or .nd file.
    cache : bool or path-like, default True
        Where the model's tables are saved: True for the per-user cache
        folder ($SEISKERNELS_CACHE, else $XDG_CACHE_HOME/seiskernels or
        ~/.cache/seiskernels), a folder of your own, or False to build them
        in memory only.  A saved file that is damaged or was made by another
        version is rebuilt, never used.

    Raises
    ------
    ModelError
        An unknown model name, a file that cannot be read or is malformed.
    """

    def __init__(self, model="iasp91", cache=True):
        path = _earthmodel.path_of(model)
        try:
            with open(path, "rb") as f:
                source = f.read()
        except OSError as e:
            raise ModelError(f"model: cannot read {path!r}: {e.strerror}") from None
        self._path, self._model = path, None
        key = _tables.key_of(source)
        self._saved = None
        if cache:
            folder = _tables.cache_folder() if cache is True else os.fspath(cache)
            self._saved = os.path.join(folder, f"{os.path.basename(path)}-{key[-16:]}.tables")
        self._key = key
        self.tables = _tables.load(self._saved, key) if self._saved else None
        if self.tables is None:
            self._rebuild()
        self.name = self.tables.meta["name"]
        self._sources = {}

    def _rebuild(self):
        self.tables = _tables.build(self.model)
        if self._saved:
            try:
                _tables.save(self.tables, self._saved, self._key)
            except OSError:
                pass    # a read-only cache only costs the next process the build

    @property
    def model(self):
        """The parsed model (read on first use)."""
        if self._model is None:
            self._model = _earthmodel.read_model(self._path)
        return self._model

    def __repr__(self):
        return f"TravelTimes({self.name!r})"

    # --- public calls -------------------------------------------------------

    def arrivals(self, depth, distance=None, phases=DEFAULT_PHASES, exact=False,
                 receiver_depth=0.0, *, source=None, station=None, station_elevation=0.0,
                 ellipticity=False):
        """Every arrival of the phases at one source depth and distance.

        Parameters
        ----------
        depth : float
            Source depth in km, from the surface down to the core.
        distance : float
            Epicentral distance in degrees, 0 to 180 (larger values and
            negative ones are not accepted).
        phases : sequence of str, optional
            Phase names, such as "P", "Pn", "Pdiff", "PKPab", "pP", "SKKS".
            A name without suffix gives its whole family: "P" also gives Pg,
            Pb, Pn and Pdiff.  Default: the eleven of DEFAULT_PHASES.
        exact : bool, default False
            Solve each arrival ray by ray (to 1e-9 rad) instead of
            interpolating the tables: about a thousand times slower.
        receiver_depth : float, default 0
            Depth of the receiver in km (a borehole or ocean-bottom station),
            within the mantle.  Every phase is cut at the receiver as at the
            source.
        source, station : (latitude, longitude), optional
            Geographic coordinates in degrees (WGS84) of the epicentre and the
            station, instead of `distance`: the distance, azimuth and back
            azimuth are taken on the sphere of geocentric latitudes, as the
            ellipticity corrections assume.
        station_elevation : float, default 0
            Metres above the model's surface: the ray crosses the extra height
            at its own slant, through the model's top layer.
        ellipticity : bool, default False
            Add the correction for the Earth's flattening, computed along
            each arrival's own ray (needs `source` and `station`).

        Returns
        -------
        list of Arrival
            Sorted by time.  Each has the phase's name, the distance, the
            time (s, corrections included), the ray parameter p = dT/dD
            (s/deg), the take-off and incidence angles (deg), the distance
            travelled (deg), dT/dh (s/km, the change of the time with the
            source's depth), dp/dD = d2T/dD2 (s/deg^2), the ellipticity and
            elevation corrections (s), and the azimuth and back azimuth (deg,
            with coordinates).

        Examples
        --------
        >>> from seiskernels.traveltimes import TravelTimes
        >>> model = TravelTimes("ak135")
        >>> p, = model.arrivals(100, 50, ["P"])
        >>> round(p.time, 2), round(p.ray_param, 3), round(p.dtdh, 4)
        (524.03, 7.558, -0.1033)
        >>> p, = model.arrivals(100, phases=["P"], source=(35.7, 139.7),
        ...                     station=(51.5, -0.1), ellipticity=True)
        >>> round(p.distance, 2), round(p.ellipticity, 2), round(p.azimuth, 1)
        (86.28, -0.2, 336.2)
        """
        geo = _corrections.geometry(source, station, distance)
        if geo is not None:
            distance = geo[0]
        if ellipticity and geo is None:
            raise ValueError("ellipticity: the correction needs the source's and the "
                             "station's coordinates: give source= and station=")
        depth, distance, receiver = _exact.checked(self.tables.cmb, depth, distance,
                                                   receiver_depth)
        names = names_of(phases)
        corrected = geo is not None or ellipticity or station_elevation != 0.0
        if exact:
            found = [(Arrival(name, distance, a.time, a.p * PER_DEGREE, a.takeoff, a.incidence,
                              math.degrees(a.travelled), a.dtdh, a.dpdx * PER_DEGREE ** 2),
                      a.legs, a.head)
                     for name, a in _exact.solved(self.model, depth, distance, names, receiver)]
        else:
            src = self._source(depth, names, receiver)
            if not corrected:
                # The common call, in one pass over the engine's records:
                # each Arrival made by tuple's own constructor (a namedtuple's
                # with defaults is Python code), its fields in their units.
                code_names = src.plan.code_names
                return [_new_tuple(Arrival, (code_names[c], distance, t, p * PER_DEGREE, to, inc,
                                             x * DEGREES, dtdh, dpdx * PER_DEGREE_2) + _UNCORRECTED)
                        for _, _, c, t, p, to, inc, x, dtdh, dpdx in src.rows(distance)]
            hits = src.one(distance)
            members = src.members
            found = [(Arrival(ph, distance, t, p * PER_DEGREE, to, inc, math.degrees(x), dtdh,
                              dpdx * PER_DEGREE ** 2), members[g][2], members[g][1].phase.head)
                     for ph, t, p, to, inc, x, g, dtdh, dpdx in hits]
        if not corrected:
            return [a for a, _, _ in found]
        return self._corrector().correct(found, geo, source, station_elevation, ellipticity)

    def table(self, depths, distances, phases=DEFAULT_PHASES, receiver_depth=0.0):
        """Every arrival of the phases on a grid of source depths and
        distances, in one call.

        Parameters
        ----------
        depths : array_like of float
            Source depths in km.
        distances : array_like of float
            Epicentral distances in degrees, 0 to 180.
        phases : sequence of str, optional
            As for `arrivals`.
        receiver_depth : float, default 0
            As for `arrivals`.

        Returns
        -------
        numpy.ndarray
            A structured array, one element per arrival, with the fields
            depth_km, distance_deg, phase, time_s, ray_param_s_deg,
            takeoff_deg, incidence_deg, dtdh_s_km and dpdd_s_deg2; by depth
            and distance in the order given, then by time.
        """
        depths = _values(depths, "depths")
        distances = _values(distances, "distances", 180.0)
        names = names_of(phases)
        for d in depths:
            _, _, receiver = _exact.checked(self.tables.cmb, d, 0.0, receiver_depth)
        parts = []
        for depth in depths:
            src = self._source(depth, names, receiver)
            which, code, t, p, to, inc, _, _, dtdh, dpdx = src.many(distances)
            ph = src.plan.names[code]
            part = np.empty(len(t), dtype=TABLE_FIELDS)
            part["depth_km"], part["distance_deg"], part["phase"] = depth, distances[which], ph
            part["time_s"], part["ray_param_s_deg"] = t, p * PER_DEGREE
            part["takeoff_deg"], part["incidence_deg"] = to, inc
            part["dtdh_s_km"], part["dpdd_s_deg2"] = dtdh, dpdx * PER_DEGREE ** 2
            parts.append(part)
        return np.concatenate(parts) if parts else np.empty(0, dtype=TABLE_FIELDS)

    # --- the work ------------------------------------------------------------

    def _source(self, depth, names, receiver=0.0):
        key = (depth, names, receiver)
        src = self._sources.get(key)
        if src is None:
            try:
                src = _engine.Source(self.tables, depth, receiver, names)
            except _tables.DamagedTable:
                self._rebuild()
                src = _engine.Source(self.tables, depth, receiver, names)
            if len(self._sources) >= DEPTH_CACHE:
                self._sources.pop(next(iter(self._sources)))
            self._sources[key] = src
        return src

    def table_geo(self, sources, stations, phases=DEFAULT_PHASES, *, ellipticity=True,
                  first=False, errors="raise"):
        """Every arrival for many source-station pairs given by their
        coordinates, with the corrections a locator needs.

        Parameters
        ----------
        sources : array_like, shape (3,) or (N, 3)
            Latitude and longitude (degrees, WGS84) and depth (km) of each
            source.
        stations : array_like, shape (k,) or (N, k), k = 2, 3 or 4
            Latitude and longitude (degrees), and optionally elevation (m
            above the model's surface) and depth (km, a borehole or
            ocean-bottom receiver) of each station.  One source with many
            stations, or the reverse, pairs up as numpy broadcasts.
        phases : sequence of str, optional
            As for `arrivals`.
        ellipticity : bool, default True
            Add the correction for the Earth's flattening along each
            arrival's own ray (from tables of the rays of each phase at each
            source depth, built on the first call for that depth: within
            about 3 ms of the correction along the ray's own path, 1 ms for
            99% of arrivals).
        first : bool, default False
            Keep only the first arrival of each phase asked for at each pair
            (the first P of the family Pg, Pb, Pn, P, Pdiff, say).
        errors : {"raise", "nan"}, default "raise"
            A bad pair (a latitude outside +-90, a value that is not finite,
            a depth outside the mantle) raises one ValueError naming the
            argument, the pair's index and the value; with "nan" it has no
            arrivals, and the others are computed.

        Returns
        -------
        numpy.ndarray
            A structured array, one element per arrival, by pair then time:
            pair (index), depth_km, receiver_depth_km, distance_deg,
            azimuth_deg, back_azimuth_deg (on the sphere of geocentric
            latitudes), phase, time_s (corrections included),
            ray_param_s_deg, takeoff_deg, incidence_deg, dtdh_s_km,
            dpdd_s_deg2, ellipticity_s and elevation_s.

        Examples
        --------
        >>> from seiskernels.traveltimes import TravelTimes
        >>> model = TravelTimes("ak135")
        >>> event = (35.7, 139.7, 33.0)
        >>> stations = [(51.5, -0.1, 45.0), (-33.9, 151.2, 40.0), (64.1, -21.9, 30.0)]
        >>> rows = model.table_geo(event, stations, ["P", "S"], first=True)
        >>> rows[["pair", "phase"]].tolist()[:2]
        [(0, 'P'), (0, 'S')]
        """
        return _corrections.table_geo(self, sources, stations, names_of(phases), ellipticity,
                                      first, errors)

    def _corrector(self):
        if self.__dict__.get("_corrections") is None:
            self._corrections = _corrections.Corrector(self)
        return self._corrections

    def _rays(self, depth, distance, phases=DEFAULT_PHASES, exact=False):
        """[(Arrival, passes, head)]: each arrival with the passes of its ray
        (see _phases.passes) and its diffracted or head wave (None, or
        (kind, wave, region, boundary)), for paths and pierce points."""
        depth, distance, _ = _exact.checked(self.tables.cmb, depth, distance)
        names = names_of(phases)
        if exact:
            return [(Arrival(name, distance, a.time, a.p * PER_DEGREE, a.takeoff, a.incidence,
                             math.degrees(a.travelled), a.dtdh, a.dpdx * PER_DEGREE ** 2),
                     a.legs, a.head)
                    for name, a in _exact.solved(self.model, depth, distance, names)]
        src = self._source(depth, names)
        out = []
        for ph, t, p, to, inc, x, g, dtdh, dpdx in src.one(distance):
            _, member, legs = src.members[g]
            out.append((Arrival(ph, distance, t, p * PER_DEGREE, to, inc, math.degrees(x), dtdh,
                                dpdx * PER_DEGREE ** 2), legs, member.phase.head))
        return out

    # --- ray paths and pierce points ----------------------------------------

    def paths(self, depth, distance=None, phases=DEFAULT_PHASES, exact=False, *, source=None,
              station=None, tolerance_km=1.0, missing="raise"):
        """The path of every arrival through the model.

        Each path is the exact ray of its arrival, integrated layer by layer
        on the layers of the tables, shot at the ray parameter that lands on
        the arrival's distance.  It has a sample at the source, at every
        layer boundary it crosses (so at every discontinuity, reflection and
        turning point), along a diffracted or head wave's boundary, and at
        the receiver; and inside layers as many as keep a straight line
        between two samples within `tolerance_km` of the ray.

        Parameters
        ----------
        depth : float
            Source depth in km.
        distance : float or array_like, optional
            Epicentral distance(s) in degrees, 0 to 180.  May be left out
            when `source` and `station` are given.
        phases : sequence of str or str, optional
            As for `arrivals`.
        exact : bool, default False
            Find the arrivals ray by ray instead of from the tables (slow).
        source, station : (latitude, longitude), optional
            Geographic coordinates in degrees (WGS84), each a pair of numbers
            or of arrays (many stations at once): the distance is then taken
            between them on the sphere of geocentric latitudes, and every
            sample gets its latitude and longitude along the great circle.
        tolerance_km : float, default 1
            How far a straight line between two samples may stray from the
            ray.
        missing : {"raise", "skip"}
            A distance at which none of the phases arrives raises NoArrival
            (a ValueError naming the phases and the distance), or is left out.

        Returns
        -------
        list of RayPath
            One per arrival, by distance in the order given, then by time:
            (arrival, ray_param, distance_deg, depth_km, time_s, latitude,
            longitude), the last two None without coordinates.

        Examples
        --------
        >>> from seiskernels.traveltimes import TravelTimes
        >>> model = TravelTimes("ak135")
        >>> pcp = model.paths(100, 60, ["PcP"])[0]
        >>> print(pcp.arrival.phase, round(pcp.depth_km.max(), 1),
        ...       round(pcp.distance_deg[-1], 6), round(pcp.time_s[-1] - pcp.arrival.time, 3))
        PcP 2891.5 60.0 0.0
        >>> deepest = pcp.distance_deg[pcp.depth_km.argmax()]   # where it bounces
        >>> p = model.paths(10, phases="P", source=(35.0, 139.0), station=(52.0, -1.0))[0]
        >>> round(float(p.latitude[-1]), 6), round(float(p.longitude[-1]), 6)
        (52.0, -1.0)
        """
        return _paths.paths(self, depth, distance, phases, exact, source, station,
                            tolerance_km, missing)

    def pierce(self, depth, distance=None, phases=DEFAULT_PHASES, add_depths=(), exact=False,
               *, source=None, station=None, missing="raise"):
        """Where each arrival's ray crosses the model's discontinuities.

        Parameters
        ----------
        depth, distance, phases, exact, source, station, missing
            As for `paths`.
        add_depths : sequence of float, optional
            More depths (km) at which to give every crossing, such as
            (410, 660) for receiver functions.

        Returns
        -------
        list of Pierce
            One per arrival: (arrival, ray_param, points), points a
            structured array in time order with the fields distance_deg,
            depth_km, time_s and kind, and latitude and longitude with
            coordinates.  The points are the source and the receiver, every
            crossing ("cross", or "convert" where the wave changes) and
            reflection ("reflect", the free surface's too) at a discontinuity
            of the model, the core-mantle and inner-core boundaries included,
            every turning point ("turn"), both ends of a diffracted ("diff")
            or head wave ("head"), and every crossing of `add_depths`
            ("depth").  The depth at a discontinuity is the discontinuity's
            own, exactly.

        Examples
        --------
        >>> from seiskernels.traveltimes import TravelTimes
        >>> model = TravelTimes("ak135")
        >>> (rf,) = model.pierce(10, 60, ["P660s"], add_depths=[410])
        >>> at = rf.points[rf.points["kind"] == "convert"]
        >>> print(at["depth_km"], at["distance_deg"].round(2))
        [660.] [57.96]
        >>> many = model.pierce(10, range(30, 91), "P", add_depths=[410, 660])
        >>> import numpy as np
        >>> points = np.concatenate([m.points for m in many])
        >>> len(points[points["depth_km"] == 660]) == 2 * len(many)
        True
        """
        return _paths.pierce(self, depth, distance, phases, add_depths, exact, source, station,
                             missing)


    # --- many pairs, each at its own depth ---------------------------------------

    def first_arrivals(self, depths, distances, phases=("P", "S"), errors="raise", out=None):
        """The first arrival of each phase for many (source depth, distance)
        pairs, each at its own depth: for associators, locators and catalogue
        checks.

        Each phase has a dense table of depth x distance, made from `table`
        the first time the phase is asked for (some seconds to a minute for
        a model) and saved beside the model's tables, so that a later process
        loads it at once.  Each branch is interpolated on its own (a bicubic
        Hermite patch of the time, from its value, p and dT/dh at the nodes)
        and the earliest taken, so that no interpolation runs across a
        crossover.  On ak135 the times are within 5 ms of `table`'s at any
        pair (see bench/first_arrivals.py for the largest error and the
        99.9th percentile); the few pairs the table cannot interpolate are
        solved by the calculator at their own depth.

        Parameters
        ----------
        depths : array_like of float
            Source depths in km, from 0 to below the core-mantle boundary.
        distances : array_like of float
            Epicentral distances in degrees, 0 to 180.  Broadcast against
            `depths` as numpy does: depths[:, None] with distances gives a
            grid.
        phases : sequence of str, default ("P", "S")
            Phase names as for `arrivals`; a name without suffix is its whole
            family ("P" gives the first of Pg, Pb, Pn, P and Pdiff).
        errors : {"raise", "nan"}, default "raise"
            What a bad pair gives (a depth or distance that is not finite or
            out of range): "raise" one ValueError naming the argument, the
            index and the value; "nan" NaN times, slopes and an empty name
            in that row.
        out : numpy.ndarray, optional
            An array to write the result into, of the dtype and shape the
            call returns (such as np.empty_like of an earlier result): a
            loop over batches then makes no new memory.

        Returns
        -------
        numpy.ndarray
            A structured array of the broadcast shape with one field per
            phase, each a record of time_s (s), ray_param_s_deg (p = dT/dD,
            s/deg), dtdh_s_km (dT/dh, s/km) and phase (the arriving branch's
            name, such as "Pn" or "Pdiff").  p and dT/dh are the slopes of
            the interpolated time.  Where a phase has no arrival at a pair
            (Pn beyond its reach, PKiKP short of its first distance), its
            time and slopes are NaN and its name empty, whatever `errors`
            says.  Where one branch's name changes along it (P grazing the
            core becomes Pdiff) the name follows the interpolated p, and may
            be the other one within a few hundredths of a degree of the
            change, where both times agree.

        Raises
        ------
        ValueError
            A bad pair (with errors="raise"), shapes that do not broadcast,
            an unknown value of `errors`, or an `out` of another dtype or
            shape.
        TypeError
            Depths or distances that are not numbers.
        PhaseError
            An unknown phase name.

        Examples
        --------
        >>> from seiskernels.traveltimes import TravelTimes
        >>> model = TravelTimes("ak135")
        >>> first = model.first_arrivals([10.0, 600.0], [30.0, 120.0])
        >>> first["P"]["phase"].tolist(), first["P"]["time_s"].round(2).tolist()
        (['P', 'Pdiff'], [368.73, 850.66])
        >>> first["S"]["time_s"].round(1).tolist()
        [666.6, 1571.8]
        >>> import numpy as np
        >>> grid = model.first_arrivals(np.array([0.0, 300.0])[:, None], [20.0, 40.0],
        ...                             phases=["P"])
        >>> grid.shape, grid["P"]["time_s"].round(1).tolist()
        ((2, 2), [[274.1, 456.4], [250.8, 426.2]])
        >>> model.first_arrivals([10.0, -1.0], 30.0, errors="nan")["P"]["time_s"].round(2)
        array([368.73,    nan])
        """
        from . import _pairs
        return _pairs.first_arrivals(self, depths, distances, phases, errors, out)

def _values(xs, name, upper=None):
    try:
        a = np.asarray(xs, dtype=np.float64).ravel()
    except (TypeError, ValueError):
        raise TypeError(f"{name}: expected numbers") from None
    bad = ~np.isfinite(a) | (a < 0.0) | ((a > upper) if upper is not None else False)
    if bad.any():
        _exact.number(a[np.flatnonzero(bad)[0]], name, upper)
    return a
