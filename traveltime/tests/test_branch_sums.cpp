// Branch sums against the literal reference loop and against hand-built
// branches whose per-layer values identify exactly which layers were added.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "reference/traveltime_reference.hpp"
#include "test_support.hpp"
#include "traveltime.h"

using testing_support::bits;
using testing_support::Guarded;
using testing_support::same;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Branch {
    int max_i = 0, max_j = 0;
    std::vector<double> ray_params, time, dist, layer;
};

// A branch with mostly decreasing slowness and some low-velocity zones (so a
// ray can stop and then find layers below that it could cross again), and
// ray parameters that hit layer slownesses exactly, exceed the cap, equal
// it, or are NaN.  The per-layer values include NaN and infinities.
Branch random_branch(std::mt19937_64 &rng, int max_i, int max_j, double max_ray_param)
{
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Branch b;
    b.max_i = max_i;
    b.max_j = max_j;
    b.layer.resize(4 * static_cast<std::size_t>(max_j));
    double eta = 1000.0;
    for (int j = 0; j < max_j; ++j) {
        double *row = &b.layer[4 * static_cast<std::size_t>(j)];
        const double next = u(rng) < 0.1 ? eta * (1.0 + 0.2 * u(rng)) : eta * (0.9 + 0.1 * u(rng));
        row[SL_TOP_P] = eta;
        row[SL_TOP_DEPTH] = j;
        row[SL_BOT_P] = u(rng) < 0.02 ? kNaN : next;
        row[SL_BOT_DEPTH] = j + 1;
        eta = next;
    }
    const std::size_t cells = static_cast<std::size_t>(max_i) * static_cast<std::size_t>(max_j);
    b.ray_params.resize(cells);
    b.time.resize(cells);
    b.dist.resize(cells);
    for (std::size_t k = 0; k < cells; ++k) {
        b.ray_params[k] = 1e6 + static_cast<double>(k);  // never read except column 0
        const double r = u(rng);
        b.time[k] = r < 0.01 ? kNaN : r < 0.015 ? kInf : 10.0 * u(rng);
        b.dist[k] = r < 0.01 ? kInf : r < 0.015 ? kNaN : 0.1 * u(rng);
    }
    for (int i = 0; i < max_i; ++i) {
        double p = 1000.0 * u(rng);
        const int pick = static_cast<int>(u(rng) * 12);
        const int j = max_j > 0 ? static_cast<int>(rng() % static_cast<unsigned>(max_j)) : 0;
        if (pick == 0 && max_j > 0)
            p = b.layer[4 * j + SL_TOP_P];
        if (pick == 1 && max_j > 0)
            p = b.layer[4 * j + SL_BOT_P];
        if (pick == 2)
            p = max_ray_param;
        if (pick == 3)
            p = std::nextafter(max_ray_param, kInf);
        if (pick == 4)
            p = kNaN;
        if (pick == 5)
            p = -p;
        if (pick == 6)
            p = kInf;
        b.ray_params[static_cast<std::size_t>(i) * static_cast<std::size_t>(max_j)] = p;
    }
    return b;
}

void expect_same_as_reference(const Branch &b, double max_ray_param, int allow_turn)
{
    Guarded got(4 * static_cast<std::size_t>(b.max_i)), want(4 * static_cast<std::size_t>(b.max_i));
    tau_branch_calc_time_dist_inner_loop(b.ray_params.data(), b.time.data(), b.dist.data(),
                                         b.layer.data(), got.data(), b.max_i, b.max_j,
                                         max_ray_param, allow_turn);
    reference::tau_branch_calc_time_dist(b.ray_params.data(), b.time.data(), b.dist.data(),
                                         b.layer.data(), want.data(), b.max_i, b.max_j,
                                         max_ray_param, allow_turn);
    ASSERT_TRUE(got.pads_intact());
    for (std::size_t k = 0; k < 4 * static_cast<std::size_t>(b.max_i); ++k) {
        const std::size_t col = k % 4;
        if (col == TD_P || col == TD_DEPTH)  // never touched: still the guard
            ASSERT_EQ(bits(got.data()[k]), bits(want.data()[k])) << "untouched column, " << k;
        else
            ASSERT_TRUE(same(got.data()[k], want.data()[k])) << "row " << k / 4 << " col " << col;
    }
}

TEST(BranchSums, MatchesReferenceOnRandomBranches)
{
    std::mt19937_64 rng(1208);
    for (int round = 0; round < 300; ++round) {
        const int max_i = 1 + static_cast<int>(rng() % 64);
        const int max_j = 1 + static_cast<int>(rng() % 80);
        const double cap = round % 5 == 0 ? kNaN : round % 7 == 0 ? kInf : 300.0 + (rng() % 700);
        Branch b = random_branch(rng, max_i, max_j, cap);
        if (round % 2) {
            // Ray parameters in increasing order, as hosts usually list them.
            std::vector<double> ps;
            for (int i = 0; i < max_i; ++i)
                ps.push_back(b.ray_params[static_cast<std::size_t>(i) * max_j]);
            std::sort(ps.begin(), ps.end(), [](double a, double b) {
                return std::isnan(b) ? !std::isnan(a) : a < b;  // NaN last
            });
            for (int i = 0; i < max_i; ++i)
                b.ray_params[static_cast<std::size_t>(i) * max_j] = ps[i];
        }
        expect_same_as_reference(b, cap, static_cast<int>(round % 3));  // 0, 1 and 2 (nonzero)
    }
    // Branches too long for the stack index of stopping layers.
    for (int max_j : {2047, 2048, 2049, 3000}) {
        const Branch b = random_branch(rng, 9, max_j, 900.0);
        expect_same_as_reference(b, 900.0, 1);
    }
}

// Branches at and past the length of the stack index, where the stopping
// layer comes from a plain scan.  Layer j spans slownesses 4000 - j and
// 3999 - j, falling with depth in even layers and rising (a low-velocity
// zone) in odd ones, so each ray names its stopping layer k: it turns
// strictly inside k, or equals k's smaller slowness, top or bottom, and so
// crosses k and stops at k + 1 (adding nothing there).  k lies before, at
// and after layer 2048 and at the last layer; one ray crosses every layer.
TEST(BranchSums, BranchesPastTheStackIndex)
{
    std::mt19937_64 rng(2048);
    std::uniform_real_distribution<double> u(1.0, 2.0);
    for (int max_j : {2048, 2049, 3000}) {
        Branch b;
        b.max_j = max_j;
        for (int j = 0; j < max_j; ++j)
            b.layer.insert(b.layer.end(), {4000.0 - j - j % 2, 0.0, 3999.0 - j + j % 2, 0.0});
        std::vector<double> ps = {-1.0};
        for (int k : {1000, 2046, 2047, 2048, 2049, 2500, max_j - 1})
            if (k < max_j) {  // turns in k; equals k's smaller slowness
                ps.push_back(3999.5 - k);
                ps.push_back(3999.0 - k);
            }
        b.max_i = static_cast<int>(ps.size());
        b.ray_params.assign(ps.size() * max_j, 1e9);
        for (std::size_t i = 0; i < ps.size(); ++i)
            b.ray_params[i * max_j] = ps[i];
        for (std::size_t k = 0; k < ps.size() * max_j; ++k) {
            b.time.push_back(u(rng));
            b.dist.push_back(u(rng) / 64);
        }
        expect_same_as_reference(b, 4000.0, 0);
        expect_same_as_reference(b, 4000.0, 1);
    }
}

// Layer j carries time 2^j and distance -2^j, so a sum names exactly the
// set of layers added.  Slownesses (top, bottom):
//   0: (10, 9)   1: (9, 8)   2: (8, 6)   3: (6, 7)   4: (7, 9)   5: (5, 4)
constexpr int kLayers = 6;
constexpr double kSlowness[kLayers][2] = {{10, 9}, {9, 8}, {8, 6}, {6, 7}, {7, 9}, {5, 4}};

struct SumCase {
    const char *name;
    double p, cap;
    int allow_turn;
    int added_mask;  // -1: row skipped
};

TEST(BranchSums, WhichLayersAreAdded)
{
    const SumCase cases[] = {
        {"crosses all", 4.0, 100, 1, 0b111111},
        {"equal slownesses count as crossed", 6.0, 100, 0, 0b011111},
        {"equal to top slowness crosses", 8.0, 100, 1, 0b000011},
        {"turns strictly inside layer 2", 7.0, 100, 1, 0b000111},
        {"no turn without allow_turn", 7.0, 100, 0, 0b000011},
        {"turning test with p at a slowness adds nothing", 9.0, 100, 1, 0b000001},
        {"above both slownesses of the stopping layer", 5.5, 100, 1, 0b011111},
        {"turns in the first layer", 9.5, 100, 1, 0b000001},
        {"never re-enters below the stop", 6.5, 100, 1, 0b000111},
        {"p equal to the cap is summed", 7.5, 7.5, 1, 0b000111},
        {"p above the cap is skipped", 7.5, 7.25, 1, -1},
        {"NaN p crosses everything", kNaN, 100, 1, 0b111111},
        {"NaN cap skips nothing", 7.5, kNaN, 1, 0b000111},
        {"negative p crosses everything", -1.0, 100, 1, 0b111111},
        {"infinite p stops at once", kInf, kInf, 1, 0b000000},
    };
    std::vector<double> layer(4 * kLayers), time(kLayers), dist(kLayers), ray(kLayers, 1e9);
    for (int j = 0; j < kLayers; ++j) {
        layer[4 * j + SL_TOP_P] = kSlowness[j][0];
        layer[4 * j + SL_BOT_P] = kSlowness[j][1];
        layer[4 * j + SL_TOP_DEPTH] = layer[4 * j + SL_BOT_DEPTH] = kNaN;  // never read
        time[j] = std::ldexp(1.0, j);
        dist[j] = -std::ldexp(1.0, j);
    }
    for (const SumCase &c : cases) {
        ray[0] = c.p;
        Guarded td(4);
        const double before[4] = {td.data()[0], td.data()[1], td.data()[2], td.data()[3]};
        tau_branch_calc_time_dist_inner_loop(ray.data(), time.data(), dist.data(), layer.data(),
                                             td.data(), 1, kLayers, c.cap, c.allow_turn);
        EXPECT_TRUE(td.pads_intact()) << c.name;
        EXPECT_EQ(bits(td.data()[TD_P]), bits(before[TD_P])) << c.name;
        EXPECT_EQ(bits(td.data()[TD_DEPTH]), bits(before[TD_DEPTH])) << c.name;
        if (c.added_mask < 0) {
            EXPECT_EQ(bits(td.data()[TD_TIME]), bits(before[TD_TIME])) << c.name;
            EXPECT_EQ(bits(td.data()[TD_DIST]), bits(before[TD_DIST])) << c.name;
        } else {
            EXPECT_EQ(td.data()[TD_TIME], c.added_mask) << c.name;
            EXPECT_EQ(td.data()[TD_DIST], -c.added_mask) << c.name;
            EXPECT_FALSE(std::signbit(td.data()[TD_TIME])) << c.name;  // starts from +0.0
        }
    }
}

// Rows are independent: a skipped row keeps its contents while its
// neighbours are written, and a NaN in one row's layers stays in that row.
TEST(BranchSums, RowsAreIndependent)
{
    const double layer[8] = {10, 0, 8, 1, 8, 1, 6, 2};
    const double ray[6] = {7, 0, 11, 0, 5, 0};
    const double time[6] = {1, 2, 3, 4, kNaN, 8};
    const double dist[6] = {1, 2, 3, 4, 16, 32};
    double td[12];
    for (int k = 0; k < 12; ++k)
        td[k] = -1.0 - k;
    tau_branch_calc_time_dist_inner_loop(ray, time, dist, layer, td, 3, 2, 10.0, 1);
    const double want[12] = {-1, 3, 3, -4, -5, -6, -7, -8, -9, kNaN, 48, -12};
    for (int k = 0; k < 12; ++k)
        EXPECT_TRUE(same(td[k], want[k])) << k;
}

TEST(BranchSums, ConcurrentCallsMatchSingleThreaded)
{
    std::mt19937_64 rng(5);
    const Branch b = random_branch(rng, 500, 200, 800.0);
    std::vector<double> want(4 * 500, 0.0);
    tau_branch_calc_time_dist_inner_loop(b.ray_params.data(), b.time.data(), b.dist.data(),
                                         b.layer.data(), want.data(), 500, 200, 800.0, 1);
    constexpr int kThreads = 8;
    std::vector<std::vector<double>> got(kThreads, std::vector<double>(4 * 500, 0.0));
    std::vector<std::thread> pool;
    for (int k = 0; k < kThreads; ++k)
        pool.emplace_back([&, k] {
            for (int rep = 0; rep < 20; ++rep)
                tau_branch_calc_time_dist_inner_loop(b.ray_params.data(), b.time.data(),
                                                     b.dist.data(), b.layer.data(), got[k].data(),
                                                     500, 200, 800.0, 1);
        });
    for (auto &th : pool)
        th.join();
    for (int k = 0; k < kThreads; ++k)
        for (std::size_t x = 0; x < want.size(); ++x)
            ASSERT_TRUE(same(got[k][x], want[x])) << k << " " << x;
}

}  // namespace
