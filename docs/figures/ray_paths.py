"""Rays of P, PcP, PKIKP, SKS and PP through ak135 from a surface source to
30, 65, 110 and 155 degrees, drawn when the site is built (the same figure as
``seiskernels path --model ak135 --depth 0 --phases P,PcP,PKIKP,SKS,PP
30 65 110 155 --plot rays.png``)."""
import matplotlib.pyplot as plt

from seiskernels._plots import ray_paths_figure
from seiskernels.traveltimes import TravelTimes

model = TravelTimes("ak135")
paths = model.paths(0, [30, 65, 110, 155], ["P", "PcP", "PKIKP", "SKS", "PP"])
fig, ax = plt.subplots(figsize=(7, 7))
ray_paths_figure(paths, model, ax=ax)
