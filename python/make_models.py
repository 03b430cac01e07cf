#!/usr/bin/env python3
"""Writes the built-in Earth models of seiskernels.traveltimes (seiskernels/models/*.nd)
from their published definitions: iasp91 and PREM as polynomials in r per shell (JSON),
ak135 as its table of nodes (.tvel).

    python3 python/make_models.py ../shared/models

Density (g/cm3) is written where the definition gives it (PREM, ak135); iasp91
defines none, and its density column is 0.

Polynomial shells are written as nodes at most NODE_KM apart, between which the
calculator takes speeds linear in depth: for these polynomials that departs from
them by less than 1e-4 km/s.  PREM's 3 km ocean becomes upper crust (5.8, 3.2 km/s),
as travel-time work through the solid Earth does.
"""

import json
import math
import os
import sys

NODE_KM = 10.0
MOHO = {"iasp91": 35.0, "prem": 24.4, "ak135": 35.0}
OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seiskernels", "models")


def polynomial_nodes(model):
    radius = model["radius_km"]
    shells = sorted(model["shells"], key=lambda s: -s["top_radius_km"])
    nodes = []
    for shell in shells:
        top, bottom = radius - shell["top_radius_km"], radius - shell["bottom_radius_km"]
        n = max(1, math.ceil((bottom - top) / NODE_KM - 1e-9))
        for k in range(n + 1):
            depth = round(top + (bottom - top) * k / n, 6)
            x = (radius - depth) / radius
            vp, vs, rho = (sum(c * x ** i for i, c in enumerate(shell.get(w, ())))
                           for w in ("vp", "vs", "rho"))
            nodes.append([depth, vp, vs, rho])
    if model["model"] == "prem":        # the ocean (vs = 0 at the top) as upper crust
        for node in nodes:
            if node[2] == 0.0 and node[0] < 10.0:
                node[1:] = [5.8, 3.2, 2.6]
    return nodes


def tvel_nodes(path):
    with open(path, encoding="utf-8") as f:
        return [[float(w) for w in line.split()[:4]] for line in f.read().splitlines()[2:]
                if line.split()]


def write(name, reference, nodes, core):
    lines = []
    for k, (depth, vp, vs, rho) in enumerate(nodes):
        if k and depth == nodes[k - 1][0]:
            label = ("mantle" if depth == MOHO[name] else
                     "outer-core" if depth == core[0] else "inner-core" if depth == core[1]
                     else None)
            if label:
                lines.append(label)
        lines.append(f"{depth:10.4f} {vp:9.5f} {vs:9.5f} {rho:8.5f}")
    with open(os.path.join(OUT, f"{name}.nd"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    print(f"{name}: {len(nodes)} nodes ({reference})")


def fluid_bounds(nodes):
    fluid = [d for d, _, vs, _ in nodes if vs == 0.0 and d > 10.0]
    return min(fluid), max(fluid)


def main(source):
    for name in ("iasp91", "prem"):
        with open(os.path.join(source, f"{name}.json"), encoding="utf-8") as f:
            model = json.load(f)
        nodes = polynomial_nodes(model)
        write(name, model["reference"], nodes, fluid_bounds(nodes))
    nodes = tvel_nodes(os.path.join(source, "ak135.tvel"))
    write("ak135", "Kennett, Engdahl & Buland (1995)", nodes, fluid_bounds(nodes))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(OUT), "..", "..",
                                                            "..", "shared", "models"))
