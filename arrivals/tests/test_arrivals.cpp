// libarrivals on a planet of homogeneous regions, where rays are straight
// lines: times against the chord, reciprocity, searches from many threads at
// once, no allocation while searching, and every bad value given a result.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "arrivals.h"
#include "arrivals_planet.hpp"

using testing_planet::leg;
using testing_planet::make_planet;
using testing_planet::Planet;

// Counts the allocations of this process (the test links with
// -Wl,--wrap=malloc,--wrap=calloc).
extern "C" void *__real_malloc(size_t);
extern "C" void *__real_calloc(size_t, size_t);
static std::atomic<long> g_allocations{0};
extern "C" void *__wrap_malloc(size_t n)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __real_malloc(n);
}
extern "C" void *__wrap_calloc(size_t n, size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __real_calloc(n, size);
}

namespace {

constexpr double kPi = 3.141592653589793;

const Planet &planet()
{
    static const Planet pl = make_planet();
    return pl;
}

// Members: 0 P (turning), 1 the ray straight up, 2 the ray straight down,
// 3 PcP, 4 S; each named by a code of its own (P, p, Pd, PcP, S).
struct Phases {
    std::vector<arrivals_leg> legs;
    std::vector<arrivals_member> members;
    std::vector<unsigned char> wanted;
    int n_codes = 5;

    Phases()
    {
        add({leg(0, ARRIVALS_AT_SOURCE, ARRIVALS_AT_RECEIVER, false, true)}, ARRIVALS_RAY, 0);
        add({leg(0, ARRIVALS_AT_SOURCE, ARRIVALS_AT_RECEIVER, true, true)}, ARRIVALS_DIRECT, 1);
        add({leg(0, ARRIVALS_AT_SOURCE, ARRIVALS_AT_RECEIVER, false, false)}, ARRIVALS_DIRECT,
            2);
        add({leg(0, ARRIVALS_AT_SOURCE, planet().cmb, false, false),
             leg(0, planet().cmb, ARRIVALS_AT_RECEIVER, true, true)},
            ARRIVALS_RAY, 3);
        add({leg(1, ARRIVALS_AT_SOURCE, ARRIVALS_AT_RECEIVER, false, true)}, ARRIVALS_RAY, 4);
        wanted.assign(members.size() * n_codes, 1);
    }

    void add(std::vector<arrivals_leg> l, int kind, int code)
    {
        arrivals_member m{};
        m.first_leg = static_cast<int>(legs.size());
        m.n_legs = static_cast<int>(l.size());
        m.kind = kind;
        m.naming = ARRIVALS_NAME_FIXED;
        m.code = code;
        legs.insert(legs.end(), l.begin(), l.end());
        members.push_back(m);
    }

    arrivals_source *source(double depth, double receiver) const
    {
        return arrivals_source_new(&planet().model, legs.data(), members.data(),
                                   static_cast<int>(members.size()), nullptr, nullptr,
                                   wanted.data(), n_codes, depth, receiver);
    }
};

std::vector<arrivals_arrival> at(const arrivals_source *s, std::vector<double> degrees)
{
    std::vector<arrivals_arrival> out(4);
    for (;;) {
        const int n = arrivals_at(s, degrees.data(), static_cast<int>(degrees.size()), out.data(),
                                  static_cast<int>(out.size()));
        if (n <= static_cast<int>(out.size())) {
            out.resize(n);
            return out;
        }
        out.resize(n);
    }
}

// A straight ray between two points at radii r1, r2 an angle D apart.
double chord(double r1, double r2, double d)
{
    return std::sqrt(r1 * r1 + r2 * r2 - 2.0 * r1 * r2 * std::cos(d));
}

TEST(Arrivals, StraightRaysTakeTheChord)
{
    const Phases phases;
    const Planet &pl = planet();
    struct Case {
        double depth, receiver, degrees;
        int code;
    } cases[] = {{0.0, 0.0, 30.0, 0}, {0.0, 0.0, 100.0, 0}, {300.0, 0.0, 60.0, 0},
                 {300.0, 0.0, 2.0, 1}, {0.0, 250.0, 40.0, 0}, {0.0, 250.0, 3.0, 2},
                 {100.0, 0.0, 20.0, 3}, {0.0, 0.0, 45.0, 4}};
    for (const Case &c : cases) {
        arrivals_source *s = phases.source(c.depth, c.receiver);
        ASSERT_NE(s, nullptr);
        const std::vector<arrivals_arrival> found = at(s, {c.degrees});
        const double d = c.degrees * kPi / 180.0;
        const double r1 = pl.radius - c.depth, r2 = pl.radius - c.receiver;
        double expected;
        if (c.code == 3) {  // reflected at the core: the two chords to the mirror point
            const double rc = pl.radius - pl.cmb;
            double lo = 0.0, hi = d;  // the reflection point's angle from the source
            for (int k = 0; k < 200; ++k) {
                const double a = 0.5 * (lo + hi);
                // equal angles with the radius at the reflection point
                const double in = std::atan2(r1 * std::sin(a), r1 * std::cos(a) - rc);
                const double out = std::atan2(r2 * std::sin(d - a), r2 * std::cos(d - a) - rc);
                (in < out ? lo : hi) = a;
            }
            expected = (chord(r1, rc, lo) + chord(r2, rc, d - lo)) / pl.vp;
        } else {
            expected = chord(r1, r2, d) / (c.code == 4 ? pl.vs : pl.vp);
        }
        int seen = 0;
        for (const arrivals_arrival &a : found)
            if (a.code == c.code) {
                ++seen;
                EXPECT_NEAR(a.time, expected, 2e-3) << c.depth << " " << c.degrees;
                EXPECT_EQ(a.which, 0);
                EXPECT_TRUE(std::isfinite(a.takeoff) && std::isfinite(a.dtdh));
            }
        EXPECT_EQ(seen, 1) << c.depth << " " << c.receiver << " " << c.degrees << " " << c.code;
        arrivals_source_free(s);
    }
}

TEST(Arrivals, ASourceAtDepthAndAReceiverThereAgree)
{
    const Phases phases;
    arrivals_source *there = phases.source(400.0, 0.0), *back = phases.source(0.0, 400.0);
    for (double degrees : {5.0, 25.0, 70.0}) {
        const auto a = at(there, {degrees}), b = at(back, {degrees});
        ASSERT_EQ(a.size(), b.size()) << degrees;
        for (size_t k = 0; k < a.size(); ++k) {
            EXPECT_NEAR(a[k].time, b[k].time, 1e-3) << degrees;
            EXPECT_NEAR(a[k].takeoff, b[k].incidence, 0.05) << degrees;
        }
    }
    arrivals_source_free(there);
    arrivals_source_free(back);
}

TEST(Arrivals, ManyDistancesAtOnceAsOneByOne)
{
    const Phases phases;
    arrivals_source *s = phases.source(150.0, 0.0);
    std::vector<double> degrees;
    for (int k = 0; k <= 180; k += 3)
        degrees.push_back(k);
    const auto all = at(s, degrees);
    size_t next = 0;
    for (size_t i = 0; i < degrees.size(); ++i)
        for (const arrivals_arrival &a : at(s, {degrees[i]})) {
            ASSERT_LT(next, all.size());
            EXPECT_EQ(all[next].which, static_cast<int>(i));
            EXPECT_EQ(all[next].code, a.code);
            EXPECT_EQ(all[next].time, a.time);
            ++next;
        }
    EXPECT_EQ(next, all.size());
    arrivals_source_free(s);
}

// Runs body(t) in 4 threads t started together; returns the allocations
// made while they ran (counted once every thread has started and before
// any has ended: the bodies alone).
template <class Body>
long allocations_in_threads(Body body)
{
    std::atomic<int> ready{0}, done{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            ++ready;
            while (!go.load())
                std::this_thread::yield();
            body(t);
            ++done;
            while (go.load())
                std::this_thread::yield();
        });
    while (ready.load() < 4)
        std::this_thread::yield();
    const long before = g_allocations.load();
    go = true;
    while (done.load() < 4)
        std::this_thread::yield();
    const long during = g_allocations.load() - before;
    go = false;
    for (std::thread &th : threads)
        th.join();
    return during;
}

TEST(Arrivals, SearchesFromManyThreadsAllocateNothingAndAgree)
{
    const Phases phases;
    arrivals_source *s = phases.source(80.0, 0.0);
    std::vector<double> degrees;
    for (int k = 0; k < 90; ++k)
        degrees.push_back(2.0 * k);
    const auto expected = at(s, degrees);
    std::atomic<int> mismatches{0};
    std::vector<std::vector<arrivals_arrival>> buffers(4, std::vector<arrivals_arrival>(
                                                              expected.size() + 1));
    const long during = allocations_in_threads([&](int t) {
        for (int round = 0; round < 50; ++round) {
            const int n = arrivals_at(s, degrees.data(), static_cast<int>(degrees.size()),
                                      buffers[t].data(), static_cast<int>(buffers[t].size()));
            if (n != static_cast<int>(expected.size())) {
                ++mismatches;
                continue;
            }
            for (int k = 0; k < n; ++k)
                if (buffers[t][k].time != expected[k].time || buffers[t][k].p != expected[k].p)
                    ++mismatches;
        }
    });
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(during, 0) << "arrivals_at allocated";
    arrivals_source_free(s);
}

TEST(Arrivals, FirstIsTheFirstOfAllTheArrivals)
{
    // arrivals_first's row for each distance is the row arrivals_at puts
    // first for it, field for field; none (which -1, NaN) where none
    // arrives or the distance is not finite.  Only some names wanted too.
    Phases phases;
    std::vector<double> degrees = {NAN, INFINITY, -30.0, 390.0, 0.0, 180.0, 1e-9, 720.5};
    for (int k = 0; k < 400; ++k)
        degrees.push_back(0.45 * k + 0.001 * (k % 7));
    for (bool only_s : {false, true}) {
        if (only_s)
            for (size_t g = 0; g < phases.members.size(); ++g)
                for (int c = 0; c < phases.n_codes; ++c)
                    phases.wanted[g * phases.n_codes + c] = c == 4;
        for (double depth : {0.0, 80.0, 700.0}) {
            arrivals_source *s = phases.source(depth, only_s ? 0.0 : 40.0);
            ASSERT_NE(s, nullptr);
            const auto all = at(s, degrees);
            std::vector<arrivals_arrival> first(degrees.size());
            const int found = arrivals_first(s, degrees.data(), static_cast<int>(degrees.size()),
                                             first.data());
            std::vector<const arrivals_arrival *> want(degrees.size(), nullptr);
            for (const arrivals_arrival &a : all)
                if (!want[a.which])
                    want[a.which] = &a;
            int expected = 0;
            for (size_t i = 0; i < degrees.size(); ++i) {
                const arrivals_arrival &got = first[i];
                if (!want[i]) {
                    EXPECT_EQ(got.which, -1) << degrees[i];
                    EXPECT_TRUE(std::isnan(got.time));
                    continue;
                }
                ++expected;
                const arrivals_arrival &w = *want[i];  // every field's bits (time .. dpdx)
                EXPECT_TRUE(got.which == w.which && got.member == w.member &&
                            got.code == w.code && !memcmp(&got.time, &w.time, 7 * sizeof(double)))
                    << depth << " " << degrees[i];
            }
            EXPECT_EQ(found, expected);
            EXPECT_GT(expected, 150);
            arrivals_source_free(s);
        }
    }
}

// --- many pairs from a dense table ------------------------------------------------
//
// A table whose patches hold, over each cell, T(x, h) = poly(x, h) + the
// cell's own offset (a split cell's sub-cells each their own), so that the
// time tells which cell a pair was read from; a cell of two patches, one a
// tilted copy of the other (the earlier taken, its slopes with it); a cell
// of two names parted by p; a cell without the phase, one left to the
// calculator, and a split cell with a split sub-cell and a solved one.
// The expected values come from the pair's coordinates and the polynomial
// alone.

struct Poly {
    double a[4][4] = {};  // sum a[i][j] x^i h^j

    double at(double x, double h, int dx = 0, int dh = 0) const
    {
        double sum = 0.0;
        for (int i = dx; i < 4; ++i)
            for (int j = dh; j < 4; ++j) {
                double term = a[i][j];
                for (int k = 0; k < dx; ++k)
                    term *= i - k;
                for (int k = 0; k < dh; ++k)
                    term *= j - k;
                sum += term * std::pow(x, i - dx) * std::pow(h, j - dh);
            }
        return sum;
    }
};

double binomial(int n, int k)
{
    double out = 1.0;
    for (int i = 1; i <= k; ++i)
        out = out * (n - k + i) / i;
    return out;
}

// The patch of poly + offset over the box [x0, x0 + wx] x [h0, h0 + wh].
arrivals_patch patch_of(const Poly &poly, double offset, double x0, double wx, double h0,
                        double wh, int names = 0, float split = -INFINITY)
{
    double c[4][4] = {};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            for (int I = i; I < 4; ++I)
                for (int J = j; J < 4; ++J)
                    c[i][j] += poly.a[I][J] * binomial(I, i) * std::pow(x0, I - i) *
                               std::pow(wx, i) * binomial(J, j) * std::pow(h0, J - j) *
                               std::pow(wh, j);
    arrivals_patch out{};
    out.t0 = c[0][0] + offset;
    for (int k = 1; k < 16; ++k)
        out.c[k - 1] = static_cast<float>(c[k / 4][k % 4]);
    out.p_split = split;
    out.names = names;
    return out;
}

int word(int first, int count) { return first * 8 + count + 2; }

struct PairTable {
    std::vector<double> depths = {0.0, 5.0, 12.0, 20.0};
    std::vector<double> distances = {0.0, 0.5, 1.5, 3.0};
    std::vector<int> cells;
    std::vector<arrivals_patch> patches;
    std::vector<int> lut_h, lut_x;
    Poly poly, tilt;  // tilt: the second patch of the cell of two
    arrivals_pair_table table{};

    // The cells, by depth row then distance: 0 one patch, 1 two patches
    // (poly and poly + tilt), 2 none, 3 solved, 4 split, 5 two names,
    // 6 one patch, 7 split, 8 one patch.
    explicit PairTable(int lut_bins)
    {
        poly.a[0][0] = 50.0;
        poly.a[1][0] = 11.0;
        poly.a[0][1] = -0.12;
        poly.a[1][1] = 0.01;
        poly.a[2][0] = -0.4;
        poly.a[0][2] = 0.002;
        poly.a[3][1] = 0.003;
        tilt.a[0][0] = -0.5;
        tilt.a[1][0] = 0.4;  // earlier below x = 1.25 in cell 1
        const int top = 9;
        cells.assign(top, 0);
        for (int cell = 0; cell < top; ++cell) {
            const int i = cell / 3, j = cell % 3;
            const double x0 = distances[j], wx = distances[j + 1] - x0;
            const double h0 = depths[i], wh = depths[i + 1] - h0;
            const double offset = 1000.0 * cell;
            if (cell == 2) {
                cells[cell] = word(0, 0);
            } else if (cell == 3) {
                cells[cell] = word(0, -1);
            } else if (cell == 4 || cell == 7) {
                split(cell, x0, wx, h0, wh, offset, cell == 4 ? 1 : 0);
            } else {
                cells[cell] = word(static_cast<int>(patches.size()), cell == 1 ? 2 : 1);
                patches.push_back(patch_of(poly, offset, x0, wx, h0, wh,
                                           cell == 5 ? (3 | 7 << 16) : 1 | 1 << 16,
                                           cell == 5 ? 11.0f : -INFINITY));
                if (cell == 1) {
                    Poly both = poly;
                    for (int a = 0; a < 4; ++a)
                        for (int b = 0; b < 4; ++b)
                            both.a[a][b] += tilt.a[a][b];
                    patches.push_back(patch_of(both, offset, x0, wx, h0, wh, 2 | 2 << 16));
                }
            }
        }
        lut_h = lookup(depths, lut_bins);
        lut_x = lookup(distances, lut_bins);
        table.n_depths = static_cast<int>(depths.size());
        table.n_distances = static_cast<int>(distances.size());
        table.depths = depths.data();
        table.distances = distances.data();
        table.cells = cells.data();
        table.patches = patches.data();
        table.depth_lookup = {depths[0], lut_bins / (depths.back() - depths[0]),
                              static_cast<int>(lut_h.size()), lut_h.data()};
        table.distance_lookup = {distances[0], lut_bins / (distances.back() - distances[0]),
                                 static_cast<int>(lut_x.size()), lut_x.data()};
    }

    // A cell split 4 x 4, sub-cell k offset by k; in the first of them one
    // sub-cell (5) split again and one (10) solved.
    void split(int cell, double x0, double wx, double h0, double wh, double offset, int deeper)
    {
        const int first = static_cast<int>(cells.size());
        cells[cell] = word(first, -2);
        cells.resize(first + 16);
        for (int k = 0; k < 16; ++k) {
            const double sx = x0 + wx * (k % 4) / 4, sh = h0 + wh * (k / 4) / 4;
            if (deeper && k == 10) {
                cells[first + k] = word(0, -1);
            } else if (deeper && k == 5) {
                split(first + k, sx, wx / 4, sh, wh / 4, offset + 100.0 * k, 0);
            } else {
                cells[first + k] = word(static_cast<int>(patches.size()), 1);
                patches.push_back(patch_of(poly, offset + k, sx, wx / 4, sh, wh / 4, 4 | 4 << 16));
            }
        }
    }

    // The last node at or below each bin's start, bins of (last - first) / bins.
    static std::vector<int> lookup(const std::vector<double> &nodes, int bins)
    {
        std::vector<int> out(bins + 1);
        for (int b = 0; b <= bins; ++b) {
            const double start = nodes[0] + (nodes.back() - nodes[0]) * b / bins;
            int i = 0;
            while (i + 1 < static_cast<int>(nodes.size()) && nodes[i + 1] <= start)
                ++i;
            out[b] = i;
        }
        return out;
    }

    // What a pair should get, from its coordinates: (time, p, dT/dh, code,
    // solve); a NaN time where none, or the pair is not finite.
    void expected(double h, double x, double &time, double &p, double &q, int &code,
                  bool &solve) const
    {
        time = p = q = NAN;
        code = -1;
        solve = false;
        if (!std::isfinite(h) || !std::isfinite(x))
            return;
        int i = 0, j = 0;
        while (i + 2 < static_cast<int>(depths.size()) && h >= depths[i + 1])
            ++i;
        while (j + 2 < static_cast<int>(distances.size()) && x >= distances[j + 1])
            ++j;
        const int cell = i * 3 + j;
        double offset = 1000.0 * cell;
        if (cell == 2)
            return;
        if (cell == 3) {
            solve = true;
            return;
        }
        int names = 1 | 1 << 16;
        double time_tilt = INFINITY;
        if (cell == 4 || cell == 7) {
            // Sub-cell by the pair's place in the cell.
            double u = (x - distances[j]) / (distances[j + 1] - distances[j]);
            double v = (h - depths[i]) / (depths[i + 1] - depths[i]);
            int k = std::min(3, static_cast<int>(v * 4)) * 4 + std::min(3, static_cast<int>(u * 4));
            names = 4 | 4 << 16;
            if (cell == 4 && k == 10) {
                solve = true;
                return;
            }
            offset += k;
            if (cell == 4 && k == 5) {
                u = u * 4 - 1;
                v = v * 4 - 1;
                offset += 100.0 * k - k +
                          std::min(3, static_cast<int>(v * 4)) * 4 + std::min(3, static_cast<int>(u * 4));
            }
        } else if (cell == 1) {
            time_tilt = poly.at(x, h) + tilt.at(x, h) + offset;
        }
        time = poly.at(x, h) + offset;
        p = poly.at(x, h, 1, 0);
        q = poly.at(x, h, 0, 1);
        if (time_tilt < time) {
            time = time_tilt;
            p += tilt.at(x, h, 1, 0);
            q += tilt.at(x, h, 0, 1);
            names = 2 | 2 << 16;
        }
        if (cell == 5)
            names = p > 11.0 ? 3 : 7;
        code = names & 0xFFFF;
    }
};

TEST(Pairs, EachPairReadsItsOwnCellAndTheEarliestPatch)
{
    // Two lookups, one so coarse that most pairs are found by bisection.
    std::vector<double> h, x;
    for (int k = 0; k < 20000; ++k) {
        h.push_back(20.0 * ((k * 7919) % 10007) / 10007.0);
        x.push_back(3.0 * ((k * 104729) % 10009) / 10009.0);
    }
    // The nodes, the far edges, and values that are not finite.
    for (double d : {0.0, 5.0, 12.0, 20.0})
        for (double e : {0.0, 0.5, 1.5, 3.0}) {
            h.push_back(d);
            x.push_back(e);
        }
    h.insert(h.end(), {NAN, 3.0, INFINITY});
    x.insert(x.end(), {1.0, NAN, 1.0});
    const size_t n = h.size();
    std::vector<int> codes(n);
    std::vector<size_t> solve(n);
    for (int bins : {40, 1}) {
        const PairTable tb(bins);
        std::vector<double> t(n), p(n), q(n);
        const size_t n_solve = arrivals_pairs(&tb.table, h.data(), x.data(), n, t.data(),
                                              p.data(), q.data(), sizeof(double), codes.data(),
                                              solve.data());
        int seen_solve = 0, seen_none = 0, seen_split = 0;
        size_t at_solve = 0;
        for (size_t k = 0; k < n; ++k) {
            double time, pk, qk;
            int code;
            bool must;
            tb.expected(h[k], x[k], time, pk, qk, code, must);
            if (must) {
                ++seen_solve;
                ASSERT_LT(at_solve, n_solve);
                EXPECT_EQ(solve[at_solve++], k);
            }
            if (std::isnan(time)) {
                seen_none += !must;
                EXPECT_TRUE(std::isnan(t[k]) && std::isnan(p[k]) && std::isnan(q[k])) << k;
                EXPECT_EQ(codes[k], -1);
                continue;
            }
            seen_split += time >= 4000.0 && time < 5000.0;
            EXPECT_NEAR(t[k], time, 2e-4) << h[k] << " " << x[k];
            EXPECT_NEAR(p[k], pk, 2e-4) << h[k] << " " << x[k];
            EXPECT_NEAR(q[k], qk, 2e-5) << h[k] << " " << x[k];
            EXPECT_EQ(codes[k], code) << h[k] << " " << x[k];
        }
        EXPECT_EQ(at_solve, n_solve);
        EXPECT_GT(seen_solve, 100);
        EXPECT_GT(seen_none, 100);
        EXPECT_GT(seen_split, 1000);
    }
}

TEST(Arrivals, FirstAndPairsFromManyThreadsAllocateNothingAndAgree)
{
    const Phases phases;
    arrivals_source *s = phases.source(120.0, 0.0);
    const PairTable tb(40);
    const int n = 300;
    std::vector<double> degrees, h, x;
    for (int k = 0; k < n; ++k) {
        degrees.push_back(0.6 * k);
        h.push_back(20.0 * ((k * 31) % 101) / 101.0);
        x.push_back(3.0 * ((k * 57) % 103) / 103.0);
    }
    // Per thread (and [4] alone, first): arrivals, times, codes, solved.
    std::vector<std::vector<arrivals_arrival>> first(5, std::vector<arrivals_arrival>(n));
    std::vector<std::vector<double>> t(5, std::vector<double>(3 * n));
    std::vector<std::vector<int>> code(5, std::vector<int>(n));
    std::vector<std::vector<size_t>> solve(5, std::vector<size_t>(n + 1));
    auto run = [&](int k) {
        arrivals_first(s, degrees.data(), n, first[k].data());
        solve[k][n] = arrivals_pairs(&tb.table, h.data(), x.data(), n, &t[k][0], &t[k][n],
                                     &t[k][2 * n], sizeof(double), code[k].data(),
                                     solve[k].data());
    };
    run(4);
    std::atomic<int> mismatches{0};
    const long during = allocations_in_threads([&](int k) {
        for (int round = 0; round < 30; ++round) {
            run(k);
            for (int i = 0; i < n; ++i) {  // the fields' bits (not the padding's)
                const arrivals_arrival &a = first[k][i], &b = first[4][i];
                mismatches += a.which != b.which || a.member != b.member || a.code != b.code ||
                              memcmp(&a.time, &b.time, 7 * sizeof(double));
            }
            mismatches += memcmp(t[k].data(), t[4].data(), 3 * n * sizeof(double)) ||
                          code[k] != code[4] || solve[k] != solve[4];
        }
    });
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(during, 0) << "arrivals_first or arrivals_pairs allocated";
    arrivals_source_free(s);
}

TEST(Arrivals, EveryBadValueHasADefinedResult)
{
    const Phases phases;
    const double cmb = planet().cmb;
    for (double depth : {-1.0, cmb, cmb + 1.0, double(NAN), double(INFINITY), -double(INFINITY)})
        EXPECT_EQ(phases.source(depth, 0.0), nullptr) << depth;
    EXPECT_EQ(phases.source(0.0, NAN), nullptr);
    arrivals_source *s = phases.source(10.0, 0.0);
    ASSERT_NE(s, nullptr);
    const double degrees[] = {NAN, INFINITY, -INFINITY, 1e308, -30.0, 390.0, 30.0, 180.0};
    arrivals_arrival out[64];
    const int n = arrivals_at(s, degrees, 8, out, 64);
    ASSERT_LE(n, 64);
    std::vector<double> times[8];
    for (int k = 0; k < n; ++k) {
        EXPECT_GE(out[k].which, 3);  // nothing for the non-finite ones
        EXPECT_TRUE(std::isfinite(out[k].time));
        times[out[k].which].push_back(out[k].time);
    }
    // -30 and 390 degrees are 30 degrees.
    EXPECT_FALSE(times[6].empty());
    EXPECT_EQ(times[4], times[6]);
    EXPECT_EQ(times[5], times[6]);
    // Too little room: the count, nothing written.
    arrivals_arrival one{};
    one.time = -7.0;
    EXPECT_EQ(arrivals_at(s, degrees + 6, 1, &one, 0), arrivals_at(s, degrees + 6, 1, out, 64));
    EXPECT_EQ(one.time, -7.0);
    EXPECT_EQ(arrivals_at(s, degrees, 0, out, 64), 0);
    arrivals_source_free(s);
    arrivals_source_free(nullptr);
    EXPECT_EQ(arrivals_version(), ARRIVALS_VERSION);
}

}  // namespace
