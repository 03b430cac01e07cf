"""Tests of the coordinates module against independent constructions: points
of the WGS84 ellipsoid in Earth-centred Cartesian coordinates, unit vectors
on the sphere, the round trip through a great circle, and the geometry of a
slant ray through a flat layer."""

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from seiskernels import _earthmodel as em, _geo as geo

A, F = 6378.137, 1 / 298.257223563
lats = st.floats(-90, 90)
lons = st.floats(-180, 180)


def unit(lat_c, lon):
    """Unit vector of a geocentric latitude and longitude (deg)."""
    la, lo = np.radians(lat_c), np.radians(lon)
    return np.stack([np.cos(la) * np.cos(lo), np.cos(la) * np.sin(lo), np.sin(la)], -1)


def test_geocentric_latitude():
    """Against the point on the ellipsoid in Earth-centred coordinates."""
    phi = np.linspace(-90, 90, 37)
    e2 = F * (2 - F)
    n = A / np.sqrt(1 - e2 * np.sin(np.radians(phi)) ** 2)
    x, z = n * np.cos(np.radians(phi)), n * (1 - e2) * np.sin(np.radians(phi))
    psi = geo.geocentric_latitude(phi)
    assert np.allclose(psi, np.degrees(np.arctan2(z, x)), atol=1e-12)
    assert abs(psi[18 + 9] - 45 + 0.1924) < 1e-4        # 11.5' at 45 degrees
    assert np.allclose(geo.geographic_latitude(psi), phi, atol=1e-12)
    assert np.allclose(geo.source_colatitude(phi), 90 - psi)


@settings(max_examples=200, deadline=None)
@given(lats, lons, lats, lons)
def test_distance_azimuth(la1, lo1, la2, lo2):
    """Against unit vectors: the distance from the cross and dot products,
    the azimuths from the station's components along north and east."""
    dist, az, baz = geo.distance_azimuth(la1, lo1, la2, lo2)
    s, r = unit(geo.geocentric_latitude(la1), lo1), unit(geo.geocentric_latitude(la2), lo2)
    assert dist == pytest.approx(np.degrees(np.arctan2(np.linalg.norm(np.cross(s, r)),
                                                       s @ r)), abs=1e-9)
    for here, there, angle in ((s, r, az), (r, s, baz)):
        north = np.array([0, 0, 1.0]) - here[2] * here
        east = np.cross([0, 0, 1.0], here)
        if np.linalg.norm(north) < 1e-6 or 1e-6 > dist or dist > 180 - 1e-6:
            continue                                  # a pole or the antipode: no azimuth
        d = np.degrees(np.arctan2(there @ east, there @ north)) % 360
        assert min(abs(d - angle), 360 - abs(d - angle)) < 1e-6 / math.sin(math.radians(dist))
    d2, az2, baz2 = geo.distance_azimuth(la2, lo2, la1, lo1)
    assert d2 == pytest.approx(dist, abs=1e-12)
    assert min(abs(az2 - baz), 360 - abs(az2 - baz)) < 1e-9


@settings(max_examples=200, deadline=None)
@given(lats, lons, st.floats(0, 180), st.floats(0, 360))
def test_destination_round_trip(lat, lon, dist, az):
    lat2, lon2 = geo.destination(lat, lon, dist, az)
    assert -180 < lon2 <= 180
    d, a, _ = geo.distance_azimuth(lat, lon, lat2, lon2)
    assert d == pytest.approx(dist, abs=1e-9)
    if 1e-6 < dist < 180 - 1e-6 and abs(lat) < 90 - 1e-6:
        assert min(abs(a - az % 360), 360 - abs(a - az % 360)) < 1e-6


@pytest.mark.parametrize("dist", [1e-9, 1e-6, 180 - 1e-6, 180 - 1e-9])
def test_near_zero_and_antipodes(dist):
    """Where arccos loses half its digits, the atan2 form keeps them."""
    lat2, lon2 = geo.destination(-33.3, 120.7, dist, 41.0, geocentric=True)
    d, _, _ = geo.distance_azimuth(-33.3, 120.7, lat2, lon2, geocentric=True)
    assert abs(d - dist) < 1e-12 * max(1.0, dist) + 1e-16 * 1e3
    assert geo.distance_azimuth(10.0, 20.0, 10.0, 20.0)[0] == 0.0


BAD = [  # arguments, error words
    ((95.0, 0, 0, 0), "source_lat: 95.0 is outside -90..90 degrees"),
    ((0, 0, [0, 1, np.nan], 0), "station_lat: nan at index 2 is not finite"),
    (([[0, 1], [2, 3]], 0, 0, [[0, 1], [2, 400]]), "station_lon: 400.0 at index (1, 1) is outside"),
    (("10", 0, 0, 0), "source_lat: expected a number or an array of numbers, got str"),
    (([1, 2], 0, [1, 2, 3], 0), "do not broadcast to one shape: source_lat (2,)"),
]


@pytest.mark.parametrize("args, words", BAD)
def test_bad_coordinates(args, words):
    with pytest.raises((TypeError, ValueError)) as err:
        geo.distance_azimuth(*args)
    assert words in str(err.value)


def test_errors_nan():
    d, az, baz = geo.distance_azimuth([0, 95, 10], 0, [0, 1, np.inf], [1, 2, 3], errors="nan")
    assert d[0] == pytest.approx(1.0) and np.isnan(d[1:]).all() and np.isnan(baz[1:]).all()
    lat, lon = geo.destination([0, 0], [0, np.nan], 10, 90, errors="nan")
    assert lat[0] == pytest.approx(0.0, abs=1e-12) and np.isnan([lat[1], lon[1]]).all()
    with pytest.raises(ValueError, match="errors: expected 'raise' or 'nan'"):
        geo.distance_azimuth(0, 0, 0, 0, errors="ignore")


@pytest.mark.parametrize("p, h, v", [(0.0, 2000.0, 5.8), (600.0, 2000.0, 5.8),
                                     (1000.0, 500.0, 5.8), (300.0, -800.0, 3.0)])
def test_elevation_geometry(p, h, v):
    """A slant ray through a flat layer h thick, less the horizontal
    slowness times the offset it makes (the distance is held fixed)."""
    sin_i = p / 6371.0 * v
    offset = h / 1000 * sin_i / math.sqrt(1 - sin_i ** 2)
    slant = h / 1000 / math.sqrt(1 - sin_i ** 2) / v
    assert geo.elevation_correction(p, h, speed=v) == pytest.approx(slant - p / 6371.0 * offset)


def test_elevation_limits():
    ak135 = em.load("ak135")
    dt = geo.elevation_correction([0.0, 700.0], [2000.0, -20000.0], model=ak135)
    assert dt[0] == pytest.approx(2 / 5.8) and dt[1] < 0             # 0.34 s for 2 km of P
    cases = [
        (dict(p=700.0, elevation=[0.0, -20001.0], model=ak135),
         "elevation: -20001.0 at index 1 is outside -20000..10000 m"),
        (dict(p=1200.0, elevation=100.0, model=ak135), "exceeds 1/v"),
        (dict(p=np.inf, elevation=100.0, speed=6.0), "p: inf is not finite"),
        (dict(p=100.0, elevation=100.0), "speed: give the speed"),
        (dict(p=100.0, elevation=100.0, wave=2, model=ak135), "wave: expected 0 (P) or 1 (S)"),
    ]
    for kwargs, words in cases:
        with pytest.raises(ValueError) as err:
            geo.elevation_correction(**kwargs)
        assert words in str(err.value)
    out = geo.elevation_correction([700.0, 1200.0], 100.0, model=ak135, errors="nan")
    assert out[0] > 0 and np.isnan(out[1])
