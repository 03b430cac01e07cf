"""Random layered planets for property tests of travel times, as .nd text.

Earth-like speeds (so that every core phase exists) with the traps a
calculator can fall into: several crustal boundaries and thin layers, a
crustal low-velocity layer, a mantle lid whose slowness does not fall with
depth (no ray turns in it: below the Moho the head wave is the only P until
rays come back from under the low-velocity zone), discontinuities near 410
and 660 km (and sometimes a small one near 210 km), a fluid outer core and a
solid inner core.

The planet is drawn from a random.Random that hypothesis seeds (st.randoms),
so that even the first examples are fully random planets, not the smallest
values of every draw.
"""

from hypothesis import strategies as st

RADIUS = 6371.0


def planet_text(rnd, lid=None):
    """.nd text of a random planet; `lid` forces a mantle lid (True) or none."""
    rows = []

    def node(depth, vp, ratio):
        rows.append((depth, vp, vp / ratio))

    # crust: 2 to 4 layers, perhaps a thin one (>= 0.5 km) and a slow one
    moho = rnd.uniform(18.0, 55.0)
    cuts = sorted(rnd.uniform(1.5, moho - 1.5) for _ in range(rnd.randint(1, 3)))
    cuts = [c for i, c in enumerate(cuts) if i == 0 or c - cuts[i - 1] > 0.5]
    tops, bottoms = [0.0] + cuts, cuts + [moho]
    vp = rnd.uniform(4.8, 6.0)
    slow = rnd.randint(0, len(tops))        # the layer (if any) slower than the one above
    for k, (a, b) in enumerate(zip(tops, bottoms)):
        if k:
            vp += -rnd.uniform(0.2, 0.5) if k == slow else rnd.uniform(0.15, 0.6)
        ratio = rnd.uniform(1.68, 1.85)
        node(a, vp, ratio)
        vp = min(vp + rnd.uniform(0.0, 0.02) * (b - a), 7.3)   # gradients to 0.02 /s
        node(b, vp, ratio)

    # uppermost mantle: a lid whose slowness rises with depth, or a gradient
    rows.append("mantle")
    vm = rnd.uniform(7.85, 8.25)
    node(moho, vm, 1.78)
    if lid if lid is not None else rnd.random() < 0.5:
        bottom = moho + rnd.uniform(30.0, 90.0)
        # v falls faster than the radius: eta = r / v rises downward
        v = vm * (RADIUS - bottom) / (RADIUS - moho) * (1.0 - rnd.uniform(0.002, 0.02))
        node(bottom, v, 1.78)
        low = bottom + rnd.uniform(40.0, 120.0)
        node(low, v - rnd.uniform(0.0, 0.1), 1.8)
    else:
        low = moho + rnd.uniform(60.0, 150.0)
        node(low, vm + rnd.uniform(-0.1, 0.1), 1.8)
    if rnd.random() < 0.5:                  # a small jump near 210 km
        d = max(rnd.uniform(200.0, 230.0), low + 10.0)
        node(d, 8.3, 1.8)
        node(d, 8.3 + rnd.uniform(0.0, 0.05), 1.79)
    d410 = rnd.uniform(395.0, 425.0)
    node(d410, rnd.uniform(8.75, 9.05), 1.82)
    node(d410, rnd.uniform(9.15, 9.45), 1.81)
    d660 = rnd.uniform(645.0, 675.0)
    node(d660, rnd.uniform(9.9, 10.25), 1.80)
    node(d660, rnd.uniform(10.5, 10.9), 1.79)
    # lower mantle: speeds rising to the core
    cmb = rnd.uniform(2870.0, 2910.0)
    for x, v in zip((0.15, 0.4, 0.7, 0.9), (11.1, 11.9, 12.7, 13.3)):
        node(d660 + (cmb - d660) * x, v + rnd.uniform(-0.1, 0.1), rnd.uniform(1.82, 1.84))
    node(cmb, rnd.uniform(13.5, 13.8), 1.87)

    # fluid outer core, solid inner core
    rows.append("outer-core")
    icb = rnd.uniform(5130.0, 5170.0)
    v = rnd.uniform(7.9, 8.1)
    for x in (0.0, 0.25, 0.5, 0.75):
        rows.append((cmb + (icb - cmb) * x, v, 0.0))
        v += rnd.uniform(0.4, 0.7)
    rows.append((icb, min(v, 10.4), 0.0))
    rows.append("inner-core")
    rows.append((icb, rnd.uniform(10.95, 11.1), rnd.uniform(3.45, 3.55)))
    rows.append((RADIUS, rnd.uniform(11.2, 11.3), rnd.uniform(3.6, 3.7)))
    return "\n".join(r if isinstance(r, str) else f"{r[0]:.4f} {r[1]:.5f} {r[2]:.5f} 0.0"
                     for r in rows) + "\n"


def planets(lid=None):
    """Strategy: .nd text of random planets (see planet_text)."""
    return st.builds(planet_text, st.randoms(use_true_random=True), st.just(lid))
