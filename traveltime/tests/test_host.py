"""The travel-time kernels as the host package sees them: loaded with ctypes
by path, bound by C name with declared argument types, and compared bit for
bit with the same formulas evaluated by Python's own floats and `math`.

Python rounds every float operation on its own and never fuses a multiply
with an add, so any contraction or reordering in the native build shows up
here as a changed bit."""

import array
import ctypes
import math
import os
import random
import struct
import unittest

LIB = ctypes.CDLL(os.environ["TRAVELTIME_LIBRARY"])
DP = ctypes.POINTER(ctypes.c_double)

LIB.bullen_radial_slowness_inner_loop.argtypes = [DP, DP, DP, DP, ctypes.c_double, ctypes.c_int]
LIB.bullen_radial_slowness_inner_loop.restype = None
LIB.tau_branch_calc_time_dist_inner_loop.argtypes = [
    DP, DP, DP, DP, DP, ctypes.c_int, ctypes.c_int, ctypes.c_double, ctypes.c_int]
LIB.tau_branch_calc_time_dist_inner_loop.restype = None
LIB.seismic_phase_calc_time_inner_loop.argtypes = [
    ctypes.c_double, ctypes.c_double, DP, DP, DP, ctypes.POINTER(ctypes.c_int), ctypes.c_int]
LIB.seismic_phase_calc_time_inner_loop.restype = ctypes.c_int

SL_TOP_P, SL_TOP_DEPTH, SL_BOT_P, SL_BOT_DEPTH = range(4)
TD_P, TD_TIME, TD_DIST, TD_DEPTH = range(4)
NAN, INF = float("nan"), float("inf")


def ptr(buf):
    """A double* into an array('d') owned by Python, as the host passes it."""
    address, _ = buf.buffer_info()
    return ctypes.cast(address, DP)


# IEEE semantics where Python raises instead.
def div(a, b):
    if b == 0.0:
        if a == 0.0 or math.isnan(a) or math.isnan(b):
            return NAN
        return math.copysign(INF, a) * math.copysign(1.0, b)
    return a / b


def log(x):
    if math.isnan(x) or x > 0.0:
        return math.log(x)
    return -INF if x == 0.0 else NAN


def sqrt(x):
    return math.sqrt(x) if math.isnan(x) or x >= 0.0 else NAN


def model_bullen(layer, p, time, dist, radius):
    for i in range(len(p)):
        top_p, top_depth, bot_p, bot_depth = layer[4 * i:4 * i + 4]
        if bot_depth - top_depth < 1.0e-10:
            continue
        b = div(log(div(top_p, bot_p)), log(div(radius - top_depth, radius - bot_depth)))
        sqrt_top = sqrt(top_p * top_p - p[i] * p[i])
        sqrt_bot = sqrt(bot_p * bot_p - p[i] * p[i])
        dist[i] = div(math.atan2(p[i], sqrt_bot) - math.atan2(p[i], sqrt_top), b)
        time[i] = div(sqrt_top - sqrt_bot, b)


def model_branch(ray_params, time, dist, layer, time_dist, max_i, max_j, max_ray_param, allow_turn):
    for i in range(max_i):
        if max_j <= 0:
            time_dist[4 * i + TD_TIME] = time_dist[4 * i + TD_DIST] = 0.0
            continue
        p = ray_params[i * max_j]
        if p > max_ray_param:
            continue
        time_sum = dist_sum = 0.0
        j = 0
        while j < max_j:
            if p > layer[4 * j + SL_TOP_P] or p > layer[4 * j + SL_BOT_P]:
                break
            time_sum += time[i * max_j + j]
            dist_sum += dist[i * max_j + j]
            j += 1
        if allow_turn and j < max_j and \
                (p - layer[4 * j + SL_BOT_P]) * (layer[4 * j + SL_TOP_P] - p) > 0.0:
            time_sum += time[i * max_j + j]
            dist_sum += dist[i * max_j + j]
        time_dist[4 * i + TD_TIME] = time_sum
        time_dist[4 * i + TD_DIST] = dist_sum


def model_phase(degree, max_distance, dist, ray_param):
    """The search as written, with Python floats: a list of (distance, index)."""
    pi = 3.141592653589793
    count = len(dist)
    temp_deg = abs(degree)
    while temp_deg > 360.0:
        temp_deg -= 360.0
    if temp_deg > 180.0:
        temp_deg = 360.0 - temp_deg
    rad_dist = temp_deg * pi / 180.0
    hits = []

    def scan(search_dist):
        for ray_num in range(1, count):
            if search_dist == dist[ray_num] and ray_num != count - 1:
                continue
            product = (dist[ray_num - 1] - search_dist) * (search_dist - dist[ray_num])
            if not product >= 0.0:
                continue
            if count > 2 and ray_param[ray_num - 1] == ray_param[ray_num]:
                continue
            hits.append((search_dist, ray_num - 1))

    n = 0
    while rad_dist + (2 * n) * pi <= max_distance:
        scan(rad_dist + (2 * n) * pi)
        if temp_deg != 180.0:
            scan((2 * (n + 1)) * pi - rad_dist)
        n += 1
    return hits


def same(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))


class HostTest(unittest.TestCase):
    def assert_same(self, got, want, what):
        for k, (g, w) in enumerate(zip(got, want)):
            if not same(g, w):
                self.fail(f"{what}[{k}]: library {g!r} ({g.hex()}), Python {w!r} ({w.hex()})")

    def test_layer_integrals(self):
        rng = random.Random(1208)
        n = 20000
        layer, p = array.array("d"), array.array("d")
        depth, eta = 0.0, 900.0
        for i in range(n):
            if i % 100 == 0:
                depth, eta, ray = 0.0, 900.0, rng.uniform(0.0, 900.0)
            thick = rng.uniform(5.0, 60.0)
            nxt = eta * rng.uniform(0.8, 1.05)
            row = [eta, depth, nxt, depth + thick]
            q = ray
            pick = rng.randrange(16)
            if pick == 0: q = row[SL_TOP_P]
            if pick == 1: q = row[SL_BOT_P]
            if pick == 2: row[SL_BOT_P] = row[SL_TOP_P]
            if pick == 3: row[SL_BOT_DEPTH] = depth + rng.choice([0.0, 5e-11, 1e-10, -1.0])
            if pick == 4: row[SL_BOT_DEPTH] = 6371.0
            if pick == 5: q = rng.choice([NAN, INF, -q, 0.0])
            if pick == 6: row[SL_TOP_DEPTH] = NAN
            layer.extend(row)
            p.append(q)
            depth, eta = depth + thick, nxt
        time = array.array("d", [rng.random() for _ in range(n)])
        dist = array.array("d", [rng.random() for _ in range(n)])
        want_t, want_d = array.array("d", time), array.array("d", dist)
        LIB.bullen_radial_slowness_inner_loop(ptr(layer), ptr(p), ptr(time), ptr(dist), 6371.0, n)
        model_bullen(layer, p, want_t, want_d, 6371.0)
        self.assert_same(time, want_t, "time")
        self.assert_same(dist, want_d, "dist")

    def test_branch_sums(self):
        rng = random.Random(5)
        for trial in range(40):
            max_i, max_j = rng.randrange(1, 60), rng.randrange(1, 60)
            layer = array.array("d")
            eta = 1000.0
            for j in range(max_j):
                nxt = eta * (rng.uniform(1.0, 1.2) if rng.random() < 0.1 else rng.uniform(0.9, 1.0))
                layer.extend([eta, j, nxt, j + 1])
                eta = nxt
            cells = max_i * max_j
            ray_params = array.array("d", [NAN] * cells)
            time = array.array("d", [rng.uniform(0, 10) for _ in range(cells)])
            dist = array.array("d", [rng.uniform(0, 0.1) for _ in range(cells)])
            for i in range(max_i):
                j = rng.randrange(max_j)
                ray_params[i * max_j] = rng.choice(
                    [rng.uniform(0, 1000), layer[4 * j], layer[4 * j + 2], 700.0, NAN])
            td = array.array("d", [rng.random() for _ in range(4 * max_i)])
            want = array.array("d", td)
            turn = trial % 2
            LIB.tau_branch_calc_time_dist_inner_loop(ptr(ray_params), ptr(time), ptr(dist), ptr(layer),
                                                     ptr(td), max_i, max_j, 700.0, turn)
            model_branch(ray_params, time, dist, layer, want, max_i, max_j, 700.0, turn)
            self.assert_same(td, want, "time_dist")

    def test_branch_sums_empty_matrices(self):
        td = array.array("d", [5.0] * 8)
        empty = array.array("d", [])
        LIB.tau_branch_calc_time_dist_inner_loop(ptr(empty), ptr(empty), ptr(empty), ptr(empty),
                                                 ptr(td), 2, 0, 1.0, 1)
        self.assertEqual(list(td), [5.0, 0.0, 0.0, 5.0] * 2)

    def test_phase_search(self):
        rng = random.Random(77)
        for trial in range(300):
            count = rng.randrange(0, 80)
            degree = rng.choice([0.0, 180.0, -180.0, 540.0, 370.0, -90.0, 200.0,
                                 rng.uniform(-1000.0, 1000.0)])
            max_distance = rng.uniform(-1.0, 10 * math.pi)
            dist, ray_param = array.array("d"), array.array("d")
            d, p = rng.uniform(0, 6), 10.0
            fold = rng.random() < 0.5
            for k in range(count):
                d += rng.uniform(-0.4, 0.6) if fold else rng.uniform(0.0, 0.8)
                if rng.random() < 0.1:
                    # land exactly on a distance the search looks for
                    t = abs(degree)
                    while t > 360.0:
                        t -= 360.0
                    t = 360.0 - t if t > 180.0 else t
                    d = t * math.pi / 180.0 + 2 * rng.randrange(3) * math.pi
                if rng.random() > 0.1:
                    p -= rng.uniform(0.0, 0.1)
                dist.append(d)
                ray_param.append(p)
            turns = max(0, math.floor(max_distance / (2 * math.pi)) + 2)
            size = max(1, 2 * max(count - 1, 0) * turns)
            out_d = array.array("d", [-1.0] * size)
            out_r = (ctypes.c_int * size)(*([-7] * size))
            r = LIB.seismic_phase_calc_time_inner_loop(degree, max_distance, ptr(dist), ptr(ray_param),
                                                       ptr(out_d), out_r, count)
            want = model_phase(degree, max_distance, dist, ray_param)
            self.assertEqual(r, len(want), f"trial {trial}")
            for m, (wd, wr) in enumerate(want):
                self.assertTrue(same(out_d[m], wd), f"trial {trial} hit {m}")
                self.assertEqual(out_r[m], wr, f"trial {trial} hit {m}")
            self.assertTrue(all(x == -1.0 for x in out_d[r:]))
            self.assertTrue(all(x == -7 for x in out_r[r:]))

    def test_phase_search_out_of_domain(self):
        dist, ray = array.array("d", [0.0, 100.0]), array.array("d", [2.0, 1.0])
        out_d, out_r = array.array("d", [-1.0] * 4), (ctypes.c_int * 4)(-7, -7, -7, -7)
        for degree, max_distance in [(INF, 10.0), (-INF, 10.0), (NAN, 10.0), (10.0, INF), (10.0, NAN)]:
            self.assertEqual(LIB.seismic_phase_calc_time_inner_loop(
                degree, max_distance, ptr(dist), ptr(ray), ptr(out_d), out_r, 2), 0)
        self.assertEqual(list(out_d), [-1.0] * 4)
        self.assertEqual(list(out_r), [-7] * 4)


if __name__ == "__main__":
    unittest.main()
