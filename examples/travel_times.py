#!/usr/bin/env python3
"""Travel times of seismic phases through ak135 with seiskernels.traveltimes:
the arrivals at one source depth and distance, then the first P and S on a
grid of depths and distances, in one call.

    cmake --workflow --preset release && python3 examples/travel_times.py
"""

import checkout  # noqa: F401  (lets the example run from a built checkout)
import numpy as np
from seiskernels.traveltimes import TravelTimes

model = TravelTimes("ak135")
print("Source at 300 km, station at 60 deg:")
for a in model.arrivals(depth=300.0, distance=60.0):
    print(f"  {a.phase:<7} {a.time:8.2f} s  p = {a.ray_param:7.4f} s/deg  "
          f"take-off {a.takeoff:6.2f}  incidence {a.incidence:6.2f} deg")

grid = model.table(depths=[10.0, 100.0, 600.0], distances=np.arange(10.0, 100.0, 20.0),
                   phases=["P", "S"])
print("\nFirst P and S (s) by depth and distance:")
for depth in (10.0, 100.0, 600.0):
    for distance in np.arange(10.0, 100.0, 20.0):
        rows = grid[(grid["depth_km"] == depth) & (grid["distance_deg"] == distance)]
        first = {w: rows["time_s"][np.char.startswith(rows["phase"], w)].min() for w in "PS"}
        print(f"  {depth:5.0f} km {distance:5.0f} deg: P {first['P']:7.2f}  S {first['S']:8.2f}")
