#!/usr/bin/env python3
"""Travel times through a layered planet, and a SEG-Y trace read, driven
through libtraveltime and libibmfloat with ctypes.

    cmake --workflow --preset release
    python3 examples/travel_times.py

First it builds a planet of three regions, each with its own Bullen law
eta(r) = A r^B (eta = r / v, the slowness in s/rad), lays it out as
slowness layers, computes the travel-time curves of P, PKP and PKIKP with
the layer-integral and branch-sum kernels, finds every arrival at a list of
distances with the phase-search kernel, and checks each arrival against the
closed-form solution of the same model.

Then it writes one SEG-Y style trace of big-endian IBM floating-point
samples, reads it back the way a trace reader does (byte swap, then
ibm2ieee in place) and compares the samples with the signal written.

Only the Python standard library is needed.  The program exits with status
1 if an arrival differs from the closed form by more than a millisecond or a
recovered sample is less accurate than an IBM single allows.
"""

import argparse
import array
import ctypes
import math
import os
import struct
import sys
import tempfile
from bisect import bisect_right

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_TRAVELTIME_LIBRARY = os.path.join(
    REPO_ROOT, "build", "release", "traveltime", "libtraveltime.so")
DEFAULT_IBMFLOAT_LIBRARY = os.path.join(
    REPO_ROOT, "build", "release", "ibmfloat", "libibmfloat.so")

DEFAULT_DISTANCES = [20, 40, 60, 80, 100, 120, 140, 145, 150, 160, 170, 179]
TOLERANCE_MS = 1.0                 # arrivals must match the closed form this well
RAYS_PER_PHASE = 600               # ray parameters sampled along each phase
LAYERS = {"mantle": 90, "outer core": 60, "inner core": 30}


# ---------------------------------------------------------------------------
# Bindings.  Each kernel is bound by its C name with its full signature; the
# arrays handed over are array.array objects, passed without copying.
# ---------------------------------------------------------------------------

# Columns of the row layouts declared in traveltime.h (four doubles a row).
SL_TOP_P, SL_TOP_DEPTH, SL_BOT_P, SL_BOT_DEPTH = 0, 1, 2, 3
TD_P, TD_TIME, TD_DIST, TD_DEPTH = 0, 1, 2, 3
ROW = 4

c_double_p = ctypes.POINTER(ctypes.c_double)
c_float_p = ctypes.POINTER(ctypes.c_float)
c_int_p = ctypes.POINTER(ctypes.c_int)


def c_array(values, ctype):
    """The storage of an array.array, seen as a ctypes array (no copy)."""
    return (ctype * len(values)).from_buffer(values)


class TravelTime:
    """libtraveltime: layer integrals, branch sums and phase search."""

    def __init__(self, path):
        lib = ctypes.CDLL(path)

        self._layers = lib.bullen_radial_slowness_inner_loop
        self._layers.argtypes = [c_double_p, c_double_p, c_double_p, c_double_p,
                                 ctypes.c_double, ctypes.c_int]
        self._layers.restype = None

        self._branch = lib.tau_branch_calc_time_dist_inner_loop
        self._branch.argtypes = [c_double_p, c_double_p, c_double_p, c_double_p,
                                 c_double_p, ctypes.c_int, ctypes.c_int,
                                 ctypes.c_double, ctypes.c_int]
        self._branch.restype = None

        self._search = lib.seismic_phase_calc_time_inner_loop
        self._search.argtypes = [ctypes.c_double, ctypes.c_double, c_double_p,
                                 c_double_p, c_double_p, c_int_p, ctypes.c_int]
        self._search.restype = ctypes.c_int

    def layer_integrals(self, layers, ray_params, time, dist, radius):
        """time[i], dist[i] of ray ray_params[i] across slowness-layer row i.
        Pairs thinner than 1e-10 are skipped: their entries keep what they held."""
        self._layers(c_array(layers, ctypes.c_double),
                     c_array(ray_params, ctypes.c_double),
                     c_array(time, ctypes.c_double),
                     c_array(dist, ctypes.c_double),
                     radius, len(ray_params))

    def branch_sums(self, ray_params, time, dist, layers, time_dist,
                    max_ray_param, allow_turn=True):
        """Sum each row of the (ray parameter x layer) matrices time and dist
        over the layers the ray crosses, plus its turning layer, into the
        TD_TIME and TD_DIST columns of the time-distance rows."""
        self._branch(c_array(ray_params, ctypes.c_double),
                     c_array(time, ctypes.c_double),
                     c_array(dist, ctypes.c_double),
                     c_array(layers, ctypes.c_double),
                     c_array(time_dist, ctypes.c_double),
                     len(time_dist) // ROW, len(layers) // ROW,
                     max_ray_param, 1 if allow_turn else 0)

    def phase_hits(self, degree, max_distance, dist, ray_params):
        """Every (distance searched in radians, interval index) at which the
        sampled distance curve reaches `degree`, over all turns around the
        planet up to max_distance."""
        count = len(dist)
        if count < 2:
            return []
        # The bound stated in traveltime.h for the two result arrays.
        size = 2 * (count - 1) * (math.floor(max_distance / (2.0 * math.pi)) + 2)
        search_dist = array.array("d", [0.0]) * size
        ray_num = array.array("i", [0]) * size
        hits = self._search(degree, max_distance,
                            c_array(dist, ctypes.c_double),
                            c_array(ray_params, ctypes.c_double),
                            c_array(search_dist, ctypes.c_double),
                            c_array(ray_num, ctypes.c_int), count)
        return [(search_dist[m], ray_num[m]) for m in range(hits)]


class IbmFloat:
    """libibmfloat: IBM single precision to IEEE binary32, in place."""

    def __init__(self, path):
        lib = ctypes.CDLL(path)
        self._ibm2ieee = lib.ibm2ieee
        self._ibm2ieee.argtypes = [c_float_p, ctypes.c_int]
        self._ibm2ieee.restype = None

    def ibm2ieee(self, samples):
        """samples: array('f') holding IBM words in host byte order."""
        self._ibm2ieee(c_array(samples, ctypes.c_float), len(samples))


# ---------------------------------------------------------------------------
# The planet: regions with a Bullen law each, laid out as slowness layers.
# ---------------------------------------------------------------------------

class Region:
    """A shell r_bot <= r <= r_top whose slowness follows eta = A r^B.

    The law passes through eta = r / v at the shell's top and bottom; equal
    speeds make the shell homogeneous (B = 1).  The shell is cut into layers
    at irregular radii; each boundary's depth and slowness are computed once
    and shared by the two layers that meet there, so the slowness is
    continuous to the bit inside the region.
    """

    def __init__(self, name, radius, r_top, r_bot, v_top, v_bot, n_layers):
        self.name, self.r_top, self.r_bot = name, r_top, r_bot
        self.v_top, self.v_bot = v_top, v_bot
        self.eta_top = r_top / v_top
        self.eta_bot = r_bot / v_bot
        if v_top == v_bot:
            self.B = 1.0
        else:
            self.B = math.log(self.eta_top / self.eta_bot) / math.log(r_top / r_bot)
        self.A = self.eta_top / r_top ** self.B

        radii = [r_top]
        for k in range(1, n_layers):
            # Uneven steps, as in a model read from a file; still monotonic.
            t = (k + 0.35 * math.sin(2.7 * k)) / n_layers
            radii.append(r_top + (r_bot - r_top) * t)
        radii.append(r_bot)
        depths = [radius - r for r in radii]
        etas = [self.eta_top] + [self.A * r ** self.B for r in radii[1:-1]] + [self.eta_bot]

        self.rows = array.array("d")
        for k in range(n_layers):
            self.rows.extend((etas[k], depths[k], etas[k + 1], depths[k + 1]))
        self.n_layers = n_layers
        self._neg_bottoms = [-eta for eta in etas[1:]]   # ascending, for bisect

    def turning_layer(self, p):
        """Index of the layer in which a ray of parameter p turns, or None
        when it crosses the region or turns exactly on a boundary."""
        j = bisect_right(self._neg_bottoms, -p)          # first layer with bot_p < p
        if j == self.n_layers or self.rows[ROW * j + SL_TOP_P] <= p:
            return None
        return j

    def turning_radius(self, p):
        return (p / self.A) ** (1.0 / self.B)

    def closed_form(self, p):
        """One-way distance and time of ray p through the region, by exact
        integration of the law (down to the turning point eta = p if the ray
        turns inside)."""
        lower = max(self.eta_bot, p)
        dist = (math.acos(p / self.eta_top) - math.acos(p / lower)) / self.B
        time = (math.sqrt(self.eta_top * self.eta_top - p * p)
                - math.sqrt(lower * lower - p * p)) / self.B
        return dist, time


class Phase:
    """A down-and-up ray that crosses regions[:-1] and turns in regions[-1],
    for ray parameters from p_hi down to p_lo."""

    def __init__(self, name, regions, p_hi, p_lo):
        self.name, self.regions, self.p_hi, self.p_lo = name, regions, p_hi, p_lo

    def closed_form(self, p):
        dist = time = 0.0
        for region in self.regions:
            d, t = region.closed_form(p)
            dist, time = dist + d, time + t
        return 2.0 * dist, 2.0 * time


def build_planet(args):
    mantle = Region("mantle", args.radius, args.radius, args.cmb,
                    args.mantle_speeds[0], args.mantle_speeds[1], LAYERS["mantle"])
    outer = Region("outer core", args.radius, args.cmb, args.icb,
                   args.outer_core_speeds[0], args.outer_core_speeds[1],
                   LAYERS["outer core"])
    inner = Region("inner core", args.radius, args.icb, 0.0,
                   args.inner_core_speed, args.inner_core_speed, LAYERS["inner core"])
    regions = [mantle, outer, inner]
    # Each phase keeps to the rays that reach its turning region and turn
    # there: rays reflected at a boundary (p between the slownesses on its
    # two sides) belong to none of them.  p = 0 itself, the ray through the
    # centre, is only approached.
    phases = [
        Phase("P", [mantle], mantle.eta_top, mantle.eta_bot),
        Phase("PKP", [mantle, outer], min(mantle.eta_bot, outer.eta_top), outer.eta_bot),
        Phase("PKIKP", [mantle, outer, inner],
              min(mantle.eta_bot, outer.eta_bot, inner.eta_top), 1e-6 * inner.eta_top),
    ]
    return regions, [phase for phase in phases if phase.p_hi > phase.p_lo]


# ---------------------------------------------------------------------------
# Travel-time curves: per-layer integrals, then branch sums, per phase.
# ---------------------------------------------------------------------------

def ray_parameters(p_hi, p_lo, n):
    """n ray parameters from p_hi down to p_lo, closest together at both ends,
    where the distance curve changes fastest."""
    rays = [p_lo + (p_hi - p_lo) * 0.5 * (1.0 + math.cos(math.pi * k / (n - 1)))
            for k in range(n)]
    rays[0], rays[-1] = p_hi, p_lo
    return rays


def branch_time_dist(lib, radius, region, rays):
    """Time-distance rows of the region's branch, one per ray parameter."""
    n_layers = region.n_layers
    # Pairs one ray parameter after another, every layer of the branch in
    # each; the layer in which the ray turns ends at its turning point.
    layers = region.rows * len(rays)
    pair_p = array.array("d")
    time_dist = array.array("d", [0.0]) * (ROW * len(rays))
    for i, p in enumerate(rays):
        pair_p.extend(array.array("d", [p]) * n_layers)
        time_dist[ROW * i + TD_P] = p
        j = region.turning_layer(p)
        if j is not None:
            r_turn = region.turning_radius(p)
            row = ROW * (i * n_layers + j)
            layers[row + SL_BOT_P] = p
            layers[row + SL_BOT_DEPTH] = radius - r_turn
            time_dist[ROW * i + TD_DEPTH] = radius - r_turn

    # A turning point that falls on the layer's top leaves a layer of no
    # thickness, which the kernel skips: pre-fill with its true value, zero.
    time = array.array("d", [0.0]) * len(pair_p)
    dist = array.array("d", [0.0]) * len(pair_p)
    lib.layer_integrals(layers, pair_p, time, dist, radius)
    # pair_p is also the ray-parameter matrix: p in every cell of its row.
    # The sums run over the uncut rows, which tell where each ray turns.
    lib.branch_sums(pair_p, time, dist, region.rows, time_dist,
                    max_ray_param=region.eta_top, allow_turn=True)
    return time_dist


class Curve:
    """A phase's distance (rad) and time (s) sampled against ray parameter."""

    def __init__(self, lib, radius, phase, n_rays):
        self.phase = phase
        rays = ray_parameters(phase.p_hi, phase.p_lo, n_rays)
        dist = [0.0] * n_rays
        time = [0.0] * n_rays
        for region in phase.regions:
            rows = branch_time_dist(lib, radius, region, rays)
            for i in range(n_rays):
                dist[i] += rows[ROW * i + TD_DIST]
                time[i] += rows[ROW * i + TD_TIME]
        # Down and up: twice the one-way sums.
        self.ray_param = array.array("d", rays)
        self.dist = array.array("d", [2.0 * d for d in dist])
        self.time = array.array("d", [2.0 * t for t in time])
        self.max_distance = max(self.dist)

    def folds(self):
        """Distances (rad) at which the curve turns back."""
        d = self.dist
        return [d[k] for k in range(1, len(d) - 1)
                if (d[k] - d[k - 1]) * (d[k + 1] - d[k]) < 0]

    def arrivals(self, lib, degree):
        """(distance searched, p, time, interval index) of every arrival at
        `degree`."""
        found = []
        for s, k in lib.phase_hits(degree, self.max_distance, self.dist, self.ray_param):
            d0, d1 = self.dist[k], self.dist[k + 1]
            p0, p1 = self.ray_param[k], self.ray_param[k + 1]
            # dT/dDelta = p: take p linear in distance across the interval and
            # integrate it from sample k.
            w = (s - d0) / (d1 - d0) if d1 != d0 else 0.0
            p = p0 + w * (p1 - p0)
            found.append((s, p, self.time[k] + (s - d0) * 0.5 * (p0 + p), k))
        return found


def closed_form_arrival(phase, s, p_a, p_b):
    """Ray parameter and time of the exact model's arrival at distance s,
    with p solved by bisection inside [p_a, p_b], slightly widened."""
    lo, hi = min(p_a, p_b), max(p_a, p_b)
    pad = 1e-6 * (hi - lo)
    for a, b in ((max(phase.p_lo, lo - pad), min(phase.p_hi, hi + pad)), (lo, hi)):
        fa = phase.closed_form(a)[0] - s
        fb = phase.closed_form(b)[0] - s
        if fa * fb <= 0.0:
            break
    else:
        raise ArithmeticError(f"{phase.name}: no closed-form ray at {s} rad")
    if fa == 0.0:
        return a, phase.closed_form(a)[1]
    if fb == 0.0:
        return b, phase.closed_form(b)[1]
    while True:
        m = 0.5 * (a + b)
        if m in (a, b):
            break
        fm = phase.closed_form(m)[0] - s
        if fm == 0.0:
            a = b = m
            break
        if (fm < 0.0) == (fa < 0.0):
            a, fa = m, fm
        else:
            b = m
    p = 0.5 * (a + b)
    return p, phase.closed_form(p)[1]


def no_arrival(degree, shadow):
    """Why no phase arrives at `degree`."""
    d = math.fmod(abs(degree), 360.0)
    d = 360.0 - d if d > 180.0 else d
    if shadow[0] < d < shadow[1]:
        return "no arrival: in the shadow of the core"
    if d == 180.0:
        return "no arrival: 180 deg is the limit p -> 0, the ray through the centre"
    return "no arrival"


def travel_time_table(lib, args):
    regions, phases = build_planet(args)
    curves = [Curve(lib, args.radius, phase, RAYS_PER_PHASE) for phase in phases]
    per_deg = math.pi / 180.0

    print(f"Planet of radius {args.radius:g} km, slowness eta = A r^B in each region")
    print(f"  {'region':<11} {'r (km)':>14} {'v (km/s)':>15} {'B':>8} {'layers':>7}")
    for region in regions:
        speeds = (f"{region.v_top:.2f}" if region.v_top == region.v_bot
                  else f"{region.v_top:.2f} - {region.v_bot:.2f}")
        print(f"  {region.name:<11} {region.r_top:6.0f} - {region.r_bot:<5.0f} "
              f"{speeds:>15} {region.B:8.4f} {region.n_layers:7d}")
    print()
    print("Phases sampled (ray parameter in s/deg, distance in deg)")
    for curve in curves:
        phase = curve.phase
        d = [math.degrees(x) for x in curve.dist]
        print(f"  {phase.name:<6} p {phase.p_hi * per_deg:6.3f} - {phase.p_lo * per_deg:<6.3f}"
              f" {len(d):4d} rays, distance {min(d):6.2f} - {max(d):6.2f}")
        folds = [math.degrees(x) for x in curve.folds()]
        if len(folds) == 1:
            f = folds[0]
            near_end = min(d[0], d[-1]) if f < min(d[0], d[-1]) else max(d[0], d[-1])
            print(f"  {'':<6} the curve turns back at {f:.2f} (a caustic): two arrivals "
                  f"from {min(f, near_end):.2f} to {max(f, near_end):.2f}")
        elif folds:
            print(f"  {'':<6} the curve turns back at " + ", ".join(f"{f:.2f}" for f in folds))
    # Between the last P ray, which grazes the core, and the first core ray
    # to come back up lies the core's shadow.
    shadow = (math.degrees(curves[0].max_distance),
              min((math.degrees(min(curve.dist)) for curve in curves[1:]), default=180.0))
    print()

    print(f"{'dist (deg)':>10}  {'phase':<6} {'p (s/deg)':>10} {'time (s)':>11} "
          f"{'closed form (s)':>16} {'diff (ms)':>10}")
    worst = 0.0
    plotted = []
    folded = {}
    for degree in args.distances:
        rows = []
        for curve in curves:
            hits = curve.arrivals(lib, degree)
            searched = [s for s, _, _, _ in hits]
            if any(searched.count(s) > 1 for s in searched):
                # Several rays to the same distance: the curve folds back.
                folded.setdefault(curve.phase.name, []).append(degree)
            for s, p, t, k in hits:
                _, t_exact = closed_form_arrival(curve.phase, s, curve.ray_param[k],
                                                 curve.ray_param[k + 1])
                diff_ms = (t - t_exact) * 1e3
                worst = max(worst, abs(diff_ms))
                way = (f"  ({math.degrees(s):.2f} deg the long way round)"
                       if s > math.pi else "")
                rows.append((t, curve.phase.name, p, t_exact, diff_ms, way))
                plotted.append((curve.phase.name, math.degrees(s), t))
        if not rows:
            print(f"{degree:10g}  {'-':<6}  {no_arrival(degree, shadow)}")
        for t, name, p, t_exact, diff_ms, way in sorted(rows):
            print(f"{degree:10g}  {name:<6} {p * per_deg:10.4f} {t:11.3f} "
                  f"{t_exact:16.3f} {diff_ms:10.4f}{way}")
    print()
    for name, degrees in folded.items():
        print(f"{name} has more than one ray to {', '.join(f'{x:g}' for x in degrees)} deg: "
              f"its distance curve folds back.")
    ok = worst <= TOLERANCE_MS
    print(f"Largest difference from the closed form: {worst:.4f} ms "
          f"({'within' if ok else 'OVER'} the {TOLERANCE_MS:g} ms allowed)")
    return ok, curves, plotted


# ---------------------------------------------------------------------------
# A SEG-Y style trace of IBM samples.
# ---------------------------------------------------------------------------

def ibm_word(x):
    """The IBM single-precision word nearest to x: sign bit, base-16 exponent
    in excess 64, 24-bit fraction; rounded to nearest, ties to even."""
    sign = 0x80000000 if math.copysign(1.0, x) < 0.0 else 0
    if x == 0.0:
        return sign
    m, e = math.frexp(abs(x))              # |x| = m 2^e, 1/2 <= m < 1
    exponent = (e + 3) // 4                # |x| < 16^exponent, first hex digit nonzero
    fraction = round(math.ldexp(m, 24 + e - 4 * exponent))   # in [2^20, 2^24]
    if fraction == 1 << 24:                # rounding carried into a new hex digit
        fraction, exponent = 1 << 20, exponent + 1
    if exponent + 64 > 127:
        raise OverflowError(f"{x} is beyond the IBM single-precision range")
    if exponent + 64 < 0:
        return sign                        # below the range: a zero
    return sign | (exponent + 64) << 24 | fraction


def ricker(t, peak_time, frequency):
    a = (math.pi * frequency * (t - peak_time)) ** 2
    return (1.0 - 2.0 * a) * math.exp(-a)


def seismic_signal(n_samples, dt):
    """A muted trace (exact zeros) with two Ricker wavelets: a direct
    arrival and a weaker reflection of opposite polarity."""
    signal = []
    for i in range(n_samples):
        t = i * dt
        x = 0.0
        if abs(t - 0.200) <= 0.1:
            x += 1500.0 * ricker(t, 0.200, 25.0)
        if abs(t - 0.520) <= 0.1:
            x -= 420.0 * ricker(t, 0.520, 30.0)
        signal.append(x)
    return signal


def write_trace(path, samples, dt):
    """One trace: a 240-byte header (sample count at byte 115, interval in
    microseconds at byte 117) then the samples as big-endian IBM singles."""
    header = bytearray(240)
    struct.pack_into(">i", header, 0, 1)                         # trace sequence number
    struct.pack_into(">HH", header, 114, len(samples), round(dt * 1e6))
    with open(path, "wb") as f:
        f.write(header)
        f.write(struct.pack(f">{len(samples)}I", *(ibm_word(x) for x in samples)))


def read_trace(ibm, path):
    """The samples of a trace file as IEEE floats, and its sample interval."""
    with open(path, "rb") as f:
        header = f.read(240)
        n_samples, dt_us = struct.unpack_from(">HH", header, 114)
        samples = array.array("f")
        samples.frombytes(f.read(4 * n_samples))
    if sys.byteorder == "little":
        samples.byteswap()              # the file is big-endian
    ibm.ibm2ieee(samples)               # IBM words -> IEEE binary32, in place
    return samples, dt_us * 1e-6


def trace_read(ibm):
    n_samples, dt = 400, 0.002
    signal = seismic_signal(n_samples, dt)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "trace.sgy")
        write_trace(path, signal, dt)
        size = os.path.getsize(path)
        samples, dt_read = read_trace(ibm, path)

    peak = max(abs(x) for x in signal)
    errors = [abs(y - x) for x, y in zip(signal, samples)]
    worst = max(errors) / peak
    # Rounding to a 24-bit hexadecimal fraction errs by at most half a unit
    # of its last place: 2^-21 of the value when the first hex digit is 1.
    bound = 2.0 ** -21
    zeros = sum(1 for x in signal if x == 0.0)
    zeros_kept = sum(1 for x, y in zip(signal, samples) if x == 0.0 and y == 0.0)

    print(f"Trace: {len(samples)} IBM samples at {dt_read * 1e3:g} ms ({size} bytes "
          f"with the 240-byte header), converted in place by ibm2ieee")
    print(f"{'t (ms)':>8} {'signal':>16} {'recovered':>16} {'error':>11}")
    i_peak = max(range(n_samples), key=lambda i: abs(signal[i]))
    i_trough = min(range(n_samples), key=lambda i: signal[i])
    i_second = max(range(n_samples // 2, n_samples), key=lambda i: abs(signal[i]))
    for i in sorted({0, i_peak - 12, i_trough, i_peak - 1, i_peak, i_peak + 5,
                     i_second, i_second + 9, n_samples - 1}):
        print(f"{i * dt * 1e3:8.0f} {signal[i]:16.9g} {samples[i]:16.9g} "
              f"{samples[i] - signal[i]:11.3g}")
    print(f"Exact zeros recovered as zeros: {zeros_kept} of {zeros}")
    ok = worst <= bound and zeros_kept == zeros
    print(f"Largest error: {worst:.3g} of the peak "
          f"({'within' if ok else 'OVER'} the {bound:.3g} a 24-bit hexadecimal fraction allows)")
    return ok


# ---------------------------------------------------------------------------

def plot_curves(path, curves, arrivals):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(f"--plot: matplotlib is not installed, so {path} was not drawn.")
        return
    fig, ax = plt.subplots(figsize=(9, 6))
    for curve in curves:
        ax.plot([math.degrees(d) for d in curve.dist], [t / 60.0 for t in curve.time],
                label=curve.phase.name)
    ax.plot([d for _, d, _ in arrivals], [t / 60.0 for _, _, t in arrivals],
            "ko", markersize=4, label="arrivals")
    ax.set_xlabel("epicentral distance (deg)")
    ax.set_ylabel("travel time (min)")
    ax.set_title("Travel times of the three-region Bullen planet")
    ax.grid(True, alpha=0.3)
    ax.legend()
    fig.savefig(path, dpi=120)
    print(f"Travel-time curves drawn in {path}")


def library_path(flag_value, variable, default):
    path = flag_value or os.environ.get(variable) or default
    if not os.path.exists(path):
        sys.exit(f"{path} not found: build the libraries with "
                 f"`cmake --workflow --preset release`, or give the library's "
                 f"path in {variable} or on the command line.")
    return path


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("distances", nargs="*", type=float, default=DEFAULT_DISTANCES,
                        help="epicentral distances in degrees (default: %(default)s)")
    parser.add_argument("--radius", type=float, default=6371.0,
                        help="planet radius in km (default: %(default)s)")
    parser.add_argument("--cmb", type=float, default=3480.0,
                        help="radius of the core-mantle boundary, km (default: %(default)s)")
    parser.add_argument("--icb", type=float, default=1220.0,
                        help="radius of the inner-core boundary, km (default: %(default)s)")
    parser.add_argument("--mantle-speeds", type=float, nargs=2, default=[8.0, 13.0],
                        metavar=("TOP", "BOTTOM"),
                        help="mantle wave speed at the surface and at the core, km/s")
    parser.add_argument("--outer-core-speeds", type=float, nargs=2, default=[9.0, 10.0],
                        metavar=("TOP", "BOTTOM"),
                        help="outer-core wave speed at its top and bottom, km/s")
    parser.add_argument("--inner-core-speed", type=float, default=11.0,
                        help="wave speed of the homogeneous inner core, km/s")
    parser.add_argument("--plot", metavar="FILE",
                        help="draw the travel-time curves into FILE (needs matplotlib)")
    parser.add_argument("--traveltime-lib", metavar="PATH",
                        help="libtraveltime.so to load (or set TRAVELTIME_LIBRARY)")
    parser.add_argument("--ibmfloat-lib", metavar="PATH",
                        help="libibmfloat.so to load (or set IBMFLOAT_LIBRARY)")
    args = parser.parse_args()

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


def main():
    args = parse_args()
    traveltime = TravelTime(library_path(args.traveltime_lib, "TRAVELTIME_LIBRARY",
                                         DEFAULT_TRAVELTIME_LIBRARY))
    ibm = IbmFloat(library_path(args.ibmfloat_lib, "IBMFLOAT_LIBRARY",
                                DEFAULT_IBMFLOAT_LIBRARY))

    times_ok, curves, arrivals = travel_time_table(traveltime, args)
    print()
    trace_ok = trace_read(ibm)
    if args.plot:
        print()
        plot_curves(args.plot, curves, arrivals)
    return 0 if times_ok and trace_ok else 1


if __name__ == "__main__":
    sys.exit(main())
