"""Coordinates for travel times: WGS84 latitudes, epicentral distance and
azimuths on the sphere of geocentric latitudes, points along a great circle,
and the time correction for a station's elevation.

Seismology's convention, the one the classic tables' ellipticity corrections
assume: a geographic latitude is turned into a geocentric one (the angle at
the Earth's centre), and the distance and azimuths are taken on a sphere with
those latitudes.  The ellipticity correction then accounts for the Earth's
flattening.  Taking geographic latitudes as geocentric, or distances on the
ellipsoid, mixes two conventions and errs by up to 0.19 degree.

All functions take numbers or arrays (broadcast against each other) and
return numpy arrays of the broadcast shape (numpy scalars for scalar input).
Angles are in degrees.
"""

import numpy as np

WGS84_A = 6378.137                      # km, equatorial radius
WGS84_F = 1.0 / 298.257223563           # flattening
_B2_A2 = (1.0 - WGS84_F) ** 2           # (b/a)^2 = 1 - e^2

ERRORS = ("raise", "nan")
MAX_ELEVATION = 10000.0                 # m: above any station on land


def _numbers(name, value):
    """`value` as a float array; anything but real numbers is refused."""
    a = np.asarray(value)
    if a.dtype.kind not in "iuf":
        raise TypeError(f"{name}: expected a number or an array of numbers, got "
                        f"{type(value).__name__}"
                        + (f" of {a.dtype}" if isinstance(value, np.ndarray) else ""))
    return a.astype(float, copy=False)


def _broadcast(named):
    try:
        return np.broadcast_arrays(*(a for _, a in named))
    except ValueError:
        shapes = ", ".join(f"{n} {a.shape}" for n, a in named)
        raise ValueError(f"the arguments do not broadcast to one shape: {shapes}") from None


def _check(args, errors):
    """Validate (name, value, lowest, highest, unit) tuples, broadcast.

    Returns the broadcast arrays with bad rows set to a harmless value, and
    the mask of bad rows (None when all are good).  With errors="raise" the
    first bad row (in C order) raises one ValueError naming the argument, the
    value, its index and what is allowed."""
    if errors not in ERRORS:
        raise ValueError(f"errors: expected 'raise' or 'nan', got {errors!r}")
    named = [(name, _numbers(name, value)) for name, value, *_ in args]
    arrays = _broadcast(named)
    bad = None
    for (name, _, lo, hi, unit), a in zip(args, arrays):
        wrong = ~np.isfinite(a) | (a < lo) | (a > hi)
        bad = wrong if bad is None else bad | wrong
    if not bad.any():
        return arrays, None
    if errors == "raise":
        first = int(np.flatnonzero(bad.ravel())[0])
        where = np.unravel_index(first, bad.shape) if bad.ndim else ()
        for (name, _, lo, hi, unit), a in zip(args, arrays):
            x = float(a[where])
            if not np.isfinite(x):
                what = "is not finite"
            elif lo <= x <= hi:
                continue
            else:
                what = f"is outside {lo:g}..{hi:g} {unit}"
            at = "" if not bad.ndim else (
                f" at index {where[0]}" if bad.ndim == 1 else f" at index {tuple(map(int, where))}")
            raise ValueError(f"{name}: {x!r}{at} {what}")
    arrays = [np.where(bad, 0.0, a) for a in arrays]
    return arrays, bad


def _finish(bad, *outputs):
    outputs = [np.asarray(out) for out in outputs]
    if bad is not None:
        for out in outputs:
            out[bad] = np.nan
    return tuple(out[()] for out in outputs) if len(outputs) > 1 else outputs[0][()]


LAT = (-90.0, 90.0, "degrees")
LON = (-360.0, 360.0, "degrees")


def geocentric_latitude(latitude, errors="raise"):
    """Geocentric latitude (deg) of a point on the WGS84 ellipsoid.

    tan(psi) = (1 - f)^2 tan(phi): the angle at the Earth's centre between
    the equator and the point, for a geographic (geodetic) latitude phi.
    """
    (lat,), bad = _check([("latitude", latitude, *LAT)], errors)
    phi = np.radians(lat)
    out = np.degrees(np.arctan2(_B2_A2 * np.sin(phi), np.cos(phi)))
    return _finish(bad, out)


def geographic_latitude(latitude, errors="raise"):
    """Geographic latitude (deg) of a point of geocentric `latitude` on the
    WGS84 ellipsoid: the inverse of `geocentric_latitude`."""
    (lat,), bad = _check([("latitude", latitude, *LAT)], errors)
    psi = np.radians(lat)
    out = np.degrees(np.arctan2(np.sin(psi), _B2_A2 * np.cos(psi)))
    return _finish(bad, out)


def source_colatitude(latitude, errors="raise"):
    """Geocentric colatitude theta0 (deg, 0 at the north pole) of a source
    at geographic `latitude`: the angle the ellipticity correction takes."""
    lat = geocentric_latitude(latitude, errors=errors)
    return np.subtract(90.0, lat)[()]


def distance_azimuth(source_lat, source_lon, station_lat, station_lon, *,
                     geocentric=False, errors="raise"):
    """Epicentral distance, azimuth and back azimuth on the sphere of
    geocentric latitudes.

    Parameters
    ----------
    source_lat, source_lon, station_lat, station_lon : array_like
        Degrees; latitudes geographic (WGS84) unless `geocentric`, within
        +-90; longitudes within +-360.  Broadcast against each other.
    geocentric : bool
        The latitudes given are geocentric already.
    errors : {"raise", "nan"}
        A bad pair (a latitude outside +-90, a longitude outside +-360, a
        value not finite) raises one ValueError naming the argument, the
        value and the index of the first bad pair; with "nan" that pair's
        results are NaN and the rest are computed.

    Returns
    -------
    distance : ndarray
        Degrees, 0..180.
    azimuth : ndarray
        Degrees clockwise from north, 0..360, at the source towards the
        station.
    back_azimuth : ndarray
        Degrees clockwise from north, 0..360, at the station towards the
        source.

    Notes
    -----
    The distance is atan2(|s x r|, s . r) in its trigonometric form, exact
    near 0 and 180 degrees, where arccos loses half the digits.  Where the
    azimuth is undefined (same point, antipodes, a pole) it is the value
    atan2 gives there (0 for the same point); the ellipticity correction
    does not depend on it at a pole.
    """
    (la1, lo1, la2, lo2), bad = _check(
        [("source_lat", source_lat, *LAT), ("source_lon", source_lon, *LON),
         ("station_lat", station_lat, *LAT), ("station_lon", station_lon, *LON)], errors)
    if not geocentric:
        la1, la2 = (np.arctan2(_B2_A2 * np.sin(np.radians(x)), np.cos(np.radians(x)))
                    for x in (la1, la2))
    else:
        la1, la2 = np.radians(la1), np.radians(la2)
    dlon = np.radians(lo2 - lo1)
    s1, c1, s2, c2 = np.sin(la1), np.cos(la1), np.sin(la2), np.cos(la2)
    sd, cd = np.sin(dlon), np.cos(dlon)
    # North and east components of the station seen from the source, and
    # the same from the station: the two azimuths and the distance's sine.
    east, north = c2 * sd, c1 * s2 - s1 * c2 * cd
    dist = np.degrees(np.arctan2(np.hypot(east, north), s1 * s2 + c1 * c2 * cd))
    az = np.degrees(np.arctan2(east, north)) % 360.0
    baz = np.degrees(np.arctan2(-c1 * sd, c2 * s1 - s2 * c1 * cd)) % 360.0
    return _finish(bad, dist, az, baz)


def destination(lat, lon, distance, azimuth, *, geocentric=False, errors="raise"):
    """The point at `distance` along the great circle leaving (lat, lon) at
    `azimuth`, on the sphere of geocentric latitudes.

    Parameters
    ----------
    lat, lon : array_like
        The start (a source), degrees; `lat` geographic unless `geocentric`.
    distance : array_like
        Degrees along the great circle, -360..360 (a ray path's samples,
        pierce points).
    azimuth : array_like
        Degrees clockwise from north at the start, -360..360.
    geocentric : bool
        Latitudes in and out are geocentric.
    errors : {"raise", "nan"}
        As in `distance_azimuth`.

    Returns
    -------
    lat, lon : ndarray
        Geographic (or geocentric) latitude and longitude (-180..180] of the
        point, degrees.
    """
    (la, lo, d, az), bad = _check(
        [("lat", lat, *LAT), ("lon", lon, *LON),
         ("distance", distance, -360.0, 360.0, "degrees"),
         ("azimuth", azimuth, -360.0, 360.0, "degrees")], errors)
    psi = np.radians(la) if geocentric else np.arctan2(_B2_A2 * np.sin(np.radians(la)),
                                                       np.cos(np.radians(la)))
    d, az = np.radians(d), np.radians(az)
    # In the frame of the start: x towards it, y east, z north; rotate the
    # point cos(d) x + sin(d) (cos(az) z + sin(az) y) back to the Earth's.
    sp, cp = np.sin(psi), np.cos(psi)
    x, y, z = np.cos(d), np.sin(d) * np.sin(az), np.sin(d) * np.cos(az)
    zz = sp * x + cp * z              # along the Earth's axis
    xx = cp * x - sp * z              # in the start's meridian plane
    lat2 = np.arctan2(zz, np.hypot(xx, y))
    lon2 = np.radians(lo) + np.arctan2(y, xx)
    if not geocentric:
        lat2 = np.arctan2(np.sin(lat2), _B2_A2 * np.cos(lat2))
    lon2 = -((-np.degrees(lon2) + 180.0) % 360.0 - 180.0)      # into (-180, 180]
    return _finish(bad, np.degrees(lat2), lon2)


def elevation_correction(p, elevation, wave=0, *, model=None, speed=None, radius=None,
                         errors="raise"):
    """Travel-time correction (s) for a station `elevation` metres above the
    model's surface.

    The ray crosses the extra height with its own vertical slowness, so the
    correction is h sqrt(1/v^2 - (p/R)^2) and not the vertical time h/v (the
    difference is the horizontal slowness times the offset the slant ray
    makes, p dDelta, taken back since the distance is fixed).  This is exact
    for a flat layer of speed v; the Earth's curvature over a few km changes
    it by h/R, under 0.2%.

    Parameters
    ----------
    p : array_like
        Ray parameter of the arrival, s/rad, 0 <= p.
    elevation : array_like
        Metres above the model's surface.  Negative (below sea level: a
        mine, an ocean-bottom seismometer treated this way) down to the
        bottom of the model's top layer; at most 10000 m.
    wave : int
        0 for P, 1 for S: the wave of the ray's last leg.
    model : Model, optional
        Gives the speed of its top layer at the surface and its radius.
    speed : array_like, optional
        km/s: the speed of the rock under the station (overrides the
        model's); with no model, -1000..+10000 m is allowed.
    radius : float, optional
        km: the model's radius (default: the model's, else 6371).
    errors : {"raise", "nan"}
        A bad value (not finite, out of range, or a ray whose horizontal
        slowness p/R exceeds 1/v: it cannot travel in that rock) raises one
        ValueError naming the argument, the value and its index; "nan" puts
        NaN in that row.

    Returns
    -------
    ndarray
        Seconds to add to the arrival's time (negative below the surface).
    """
    if wave not in (0, 1) or isinstance(wave, bool):
        raise ValueError(f"wave: expected 0 (P) or 1 (S), got {wave!r}")
    if model is not None:
        top = model.shells[0]
        radius = model.radius if radius is None else radius
        deepest = -1000.0 * top.bottom
        if speed is None:
            speed = top.speed(0.0, wave)
            if not speed > 0.0:
                raise ValueError(f"wave: the model's top layer carries no "
                                 f"{'PS'[wave]} wave (speed {speed:g} km/s)")
    else:
        if speed is None:
            raise ValueError("speed: give the speed under the station (km/s) or a model")
        radius = 6371.0 if radius is None else radius
        deepest = -1000.0
    if not (isinstance(radius, (int, float, np.floating)) and np.isfinite(radius)
            and radius > 0):
        raise ValueError(f"radius: expected a positive number of km, got {radius!r}")
    (p, h, v), bad = _check([("p", p, 0.0, np.inf, "s/rad"),
                             ("elevation", elevation, deepest, MAX_ELEVATION, "m"),
                             ("speed", speed, 1e-3, 100.0, "km/s")], errors)
    q2 = 1.0 / v ** 2 - (p / radius) ** 2
    evanescent = q2 < 0.0
    if evanescent.any():
        if errors == "raise":
            first = int(np.flatnonzero(evanescent.ravel())[0])
            where = np.unravel_index(first, q2.shape) if q2.ndim else ()
            at = f" at index {where[0] if q2.ndim == 1 else tuple(map(int, where))}" \
                if q2.ndim else ""
            raise ValueError(f"p: {float(p[where])!r}{at}: the horizontal slowness p/R = "
                             f"{p[where] / radius:.5g} s/km exceeds 1/v = "
                             f"{1.0 / v[where]:.5g} s/km; no such ray crosses rock of "
                             f"speed {v[where]:g} km/s")
        bad = evanescent if bad is None else bad | evanescent
    out = np.sqrt(np.maximum(q2, 0.0)) * (h / 1000.0)
    return _finish(bad, out)
