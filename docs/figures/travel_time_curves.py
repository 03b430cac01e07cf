"""Travel-time curves of the default phases through ak135 from a source 10 km
deep, the arrivals at 20, 40 and 60 degrees marked, drawn when the site is
built (as ``seiskernels times --model ak135 --depth 10 --plot curves.png
20 40 60`` draws them)."""
import matplotlib.pyplot as plt

from seiskernels._plots import travel_time_figure
from seiskernels.traveltimes import TravelTimes

model = TravelTimes("ak135")
fig, ax = plt.subplots(figsize=(8, 6))
travel_time_figure(model, 10.0, distances=[20, 40, 60], ax=ax)
