#!/usr/bin/env python3
"""Writes the hand-made seeds of fuzz/corpus/<harness>/seed_*: inputs in the
byte layout that fuzz_support.hpp decodes, each one a realistic call or a
known corner, so that fuzzing starts from calls that reach every branch.

Run from anywhere; it rewrites only the seed_* files.  The other files of the
corpus directories are inputs that fuzzing found (libFuzzer -merge=1 keeps
the ones that add coverage)."""
import math
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# Tags of Input::value() (the low four bits of the tag byte).
RAW, SMALL, SPECIAL, EARLIER, HINT = 0x0, 0x3, 0x6, 0x7, 0xA
SPECIALS = {"0": 0, "-0": 1, "nan": 2, "-nan": 3, "inf": 5, "-inf": 6, "max": 7,
            "1e-10": 12, "pi": 17, "2pi": 18, "180": 19, "360": 20}
NON_POSITIVE = [0, -1, -2, -3, -7, -64, -1000, -(2**31) + 1, -(2**31)]


def raw(x):
    return bytes([RAW]) + struct.pack("<d", x)


def small(n, shift=0):
    """n / 2^shift, n a 16-bit integer: exact and compact."""
    assert -32768 <= n < 32768 and 0 <= shift < 8
    return bytes([shift << 4 | SMALL]) + struct.pack("<h", n)


def value(x):
    """The shortest encoding of x."""
    if isinstance(x, str):
        return bytes([SPECIAL, SPECIALS[x]])
    for shift in range(8):
        n = x * 2**shift
        if n == int(n) and -32768 <= n < 32768:
            return small(int(n), shift)
    return raw(x)


def hint(k):
    return bytes([HINT, k])


def count(n):
    if 0 <= n < 0xE0:
        return bytes([n])
    if n > 0:
        return bytes([0xE0]) + struct.pack("<I", n)
    return bytes([0xF0 + NON_POSITIVE.index(n)])


def flag(n):
    return bytes([{0: 0, 1: 1, -1: 2, -(2**31): 3}[n]])


def write(harness, name, data):
    directory = os.path.join(HERE, "corpus", harness)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "seed_" + name), "wb") as f:
        f.write(data)


def planet_rows(layers, radius=6371.0, surface=800.0, b=1.5, bottom=2900.0):
    """Rows of a planet whose slowness follows eta = A r^B."""
    a = surface / radius**b
    depths = [bottom * (k / layers) ** 1.2 for k in range(layers + 1)]
    eta = [a * (radius - d) ** b for d in depths]
    return [(eta[k], depths[k], eta[k + 1], depths[k + 1]) for k in range(layers)]


def bullen_seeds():
    # Host layout: every ray parameter with the same run of layer rows.
    rows = planet_rows(12)
    rays = [0.0, 150.0, 420.0, rows[5][0], 640.0]
    data = bytes([1]) + count(len(rows) * len(rays)) + raw(6371.0)
    data += struct.pack("<H", len(rows) - 1)  # period - 1
    for r in rows:
        data += b"".join(raw(x) for x in r)
    for p in rays:
        data += bytes([0]) + raw(p)
    write("bullen_radial_slowness", "host_layout", data)

    # Free layout: ordinary, thin (zero, below and exactly 1e-10), turning at
    # the top, equal slownesses, p above both, NaN depth, a repeated row.
    pairs = [((700, 100, 650, 200), 300), ((700, 200, 650, 200), 10),
             ((700, 0, 650, "1e-10"), 10), ((700, 0, 650, 0.5e-10), 10),
             ((650, 200, 600, 350), 650), ((600, 350, 600, 400), 100),
             ((600, 400, 550, 450), 700), ((600, 400, 550, "nan"), 5)]
    data = bytes([0]) + count(len(pairs) + 1) + value(6371)
    for row, p in pairs:
        data += bytes([0]) + b"".join(value(x) for x in row) + value(p)
    data += bytes([1 << 2 | 1 | 0x80])  # copy of the row 2 back, same p
    write("bullen_radial_slowness", "corners", data)

    # Radii that put log out of its domain.
    for name, radius in (("radius_nan", "nan"), ("radius_inf", "inf"), ("radius_zero", "0")):
        data = bytes([0]) + count(2) + value(radius)
        data += bytes([0]) + b"".join(value(x) for x in (700, 100, 650, 200)) + value(300)
        data += bytes([0]) + b"".join(value(x) for x in (650, 200, 600, 350)) + value(0)
        write("bullen_radial_slowness", name, data)


def tau_seeds():
    def branch(name, rows, layers, ps, cap, turn, rng):
        data = count(rows) + count(layers) + value(cap) + flag(turn)
        for top, bot in layers_eta[:layers]:
            data += value(top) + value(bot)
        for p in ps[:rows]:
            data += value(p)
        for _ in range(rows * layers):
            data += small(rng.randrange(1, 4000), 4) + small(rng.randrange(1, 400), 7)
        write("tau_branch_calc_time_dist", name, data)

    # Slowness falling with depth, a low-velocity zone at layer 5.
    eta = [10.0, 9.5, 9.0, 8.5, 8.0, 7.5, 8.25, 7.75, 7.0, 6.5, 6.0]
    layers_eta = list(zip(eta[:-1], eta[1:]))
    rng = random.Random(7)
    branch("crossing_turning_stopping", 8, 10,
           [5.0, 7.0, 7.75, 9.25, 8.0, "nan", 10.5, 8.125], 9.5, 1, rng)
    branch("no_turn", 4, 10, [7.2, 8.0, 9.0, 6.1], 10.0, 0, rng)
    branch("negative_flag", 3, 4, [9.7, 9.2, 8.7], "inf", -1, rng)
    write("tau_branch_calc_time_dist", "no_layers", count(3) + count(0) + value(1) + flag(1))
    write("tau_branch_calc_time_dist", "no_rows", count(-1) + count(4) + value(1) + flag(1))


def phase_seeds():
    def curve(name, degree, max_distance, dist, ray):
        data = value(degree) + value(max_distance) + count(len(dist))
        for d, p in zip(dist, ray):
            data += (d if isinstance(d, bytes) else value(d)) + bytes([1]) + value(p)
        write("seismic_phase_calc_time", name, data)

    # A triplication: distance rises, folds back, rises again.
    dist = [0.25, 0.75, 1.25, 1.75, 1.5, 1.25, 1.5, 2.0, 2.5, 3.0, 3.5, 4.5, 6.0]
    ray = [10 - 0.5 * k for k in range(len(dist))]
    curve("triplication", 77.0, 4 * math.pi, dist, ray)
    # Samples exactly on searched distances (hints 0: direct, 1: complementary).
    curve("exact_samples", 370.0, 2 * math.pi, [0.0, hint(0), 2.0, hint(1), 6.5],
          [5, 4, 4, 3, 2])
    curve("half_turn", 540.0, 3 * math.pi, [0.0, hint(0), 4.0, 7.0, hint(2), 11.0],
          [6, 5, 4, 3, 2, 1])
    curve("zero_degree_two_turns", 0.0, 2 * math.pi, [0.0, 3.0, hint(1), 7.0], [4, 3, 2, 1])
    curve("two_samples_flat", -90.0, 2.0, [1.0, 2.0], [3, 3])
    curve("far_turns", 200.0, 40 * math.pi, [0.0, 130.0], [2, 1])
    write("seismic_phase_calc_time", "nan_degree", value("nan") + value(10) + count(3))
    write("seismic_phase_calc_time", "infinite_max_distance", value(10) + value("inf") + count(3))
    write("seismic_phase_calc_time", "huge_max_distance", value(10) + value("max") + count(3))


def ibm_seeds():
    words = [0x00000000, 0x80000000, 0x41100000, 0x42640000, 0xC276A000, 0x3F100000,
             0x60100000, 0x60000000, 0x7FFFFFFF, 0x5FFFFFFF, 0x1B100000, 0x42010000,
             0x1B800000, 0x1B400000, 0x21400000, 0x60FFFFFF, 0x61100000]
    data = bytes([0x80]) + count(len(words)) + b"".join(struct.pack("<I", w) for w in words)
    write("ibm2ieee", "hand_checked_words", data)
    rng = random.Random(2)
    for offset, n in ((3, 37), (15, 1), (1, 100), (0, 64)):
        data = bytes([offset]) + count(n)
        data += b"".join(struct.pack("<I", rng.getrandbits(32)) for _ in range(n))
        write("ibm2ieee", "offset%d_len%d" % (offset, n), data)


if __name__ == "__main__":
    bullen_seeds()
    tau_seeds()
    phase_seeds()
    ibm_seeds()
