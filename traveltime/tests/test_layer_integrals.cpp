// Bullen-law layer integrals against the literal reference loop and against
// hand-checked special cases.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
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

constexpr double kRadius = 6371.0;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Batch {
    std::vector<double> layer, p;
};

// Pairs drawn so that every branch of the kernel is taken: ordinary layers,
// turning rays (p equal to a slowness), p above a slowness, equal slownesses,
// thin/negative/NaN thicknesses, zero or negative radial coordinates, and
// non-finite values anywhere.  Neighbouring pairs often share a boundary (the
// bottom of one is the top of the next) and a ray parameter, as they do when
// a host lays out one ray parameter after another.
Batch random_batch(std::mt19937_64 &rng, int n)
{
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Batch b;
    b.layer.resize(4 * static_cast<std::size_t>(n));
    b.p.resize(static_cast<std::size_t>(n));
    double depth = 0.0, eta = 900.0, ray_p = 400.0;
    for (int i = 0; i < n; ++i) {
        double *row = &b.layer[4 * static_cast<std::size_t>(i)];
        if (u(rng) < 0.2) {  // new ray parameter, restart at the surface
            depth = 0.0;
            eta = 900.0;
            ray_p = u(rng) < 0.1 ? 0.0 : 900.0 * u(rng);
        }
        double thick = 5.0 + 300.0 * u(rng);
        double next_eta = eta * (0.8 + 0.25 * u(rng));
        row[SL_TOP_P] = eta;
        row[SL_TOP_DEPTH] = depth;
        row[SL_BOT_P] = next_eta;
        row[SL_BOT_DEPTH] = depth + thick;
        double q = ray_p;
        switch (static_cast<int>(u(rng) * 20)) {
        case 0: q = row[SL_TOP_P]; break;                   // turns at the top
        case 1: q = row[SL_BOT_P]; break;                   // grazes the bottom
        case 2: row[SL_BOT_P] = row[SL_TOP_P]; break;       // B = 0
        case 3: row[SL_BOT_DEPTH] = depth; break;           // zero thickness
        case 4: row[SL_BOT_DEPTH] = depth + 5e-11; break;   // below the threshold
        case 5: row[SL_BOT_DEPTH] = depth - 1.0; break;     // negative thickness
        case 6: row[SL_TOP_DEPTH] = kNaN; break;            // NaN thickness
        case 7: row[SL_BOT_DEPTH] = kRadius; break;         // bottom at the centre
        case 8: row[SL_BOT_DEPTH] = kRadius + 10.0; break;  // past the centre
        case 9: q = kNaN; break;
        case 10: q = kInf; break;
        case 11: row[SL_TOP_P] = kInf; break;
        case 12: row[SL_BOT_P] = 0.0; break;
        case 13: q = -q; break;
        case 14: row[SL_BOT_P] = -row[SL_BOT_P]; break;
        default: break;
        }
        b.p[static_cast<std::size_t>(i)] = q;
        if (row[SL_BOT_DEPTH] > depth && row[SL_BOT_DEPTH] < kRadius - 400.0) {
            depth = row[SL_BOT_DEPTH];
            eta = row[SL_BOT_P];
        }
    }
    return b;
}

void expect_same_as_reference(const Batch &b, double radius)
{
    const int n = static_cast<int>(b.p.size());
    Guarded t(b.p.size()), d(b.p.size()), rt(b.p.size()), rd(b.p.size());
    bullen_radial_slowness_inner_loop(b.layer.data(), b.p.data(), t.data(), d.data(), radius, n);
    reference::bullen_radial_slowness(b.layer.data(), b.p.data(), rt.data(), rd.data(), radius, n);
    ASSERT_TRUE(t.pads_intact());
    ASSERT_TRUE(d.pads_intact());
    for (int i = 0; i < n; ++i) {
        ASSERT_TRUE(same(t.data()[i], rt.data()[i])) << "time, pair " << i;
        ASSERT_TRUE(same(d.data()[i], rd.data()[i])) << "dist, pair " << i;
    }
}

TEST(LayerIntegrals, MatchesReferenceOnRandomBatches)
{
    std::mt19937_64 rng(20261208);
    for (int round = 0; round < 200; ++round) {
        const int n = 1 + static_cast<int>(rng() % 700);
        expect_same_as_reference(random_batch(rng, n), kRadius);
    }
}

TEST(LayerIntegrals, MatchesReferenceForOddRadii)
{
    std::mt19937_64 rng(7);
    for (double radius : {0.0, -6371.0, 1.0, 1e300, kInf, kNaN})
        expect_same_as_reference(random_batch(rng, 300), radius);
}

// Pairs as a host lays them out: the `period` rows of a model, one pass per
// ray parameter, each row's bottom slowness the next one's top, and every
// fifth row a zero-thickness discontinuity.  `pairs` may end the batch
// inside a pass.
Batch host_layout(int period, int pairs)
{
    Batch b;
    for (int i = 0; i < pairs; ++i) {
        const int j = i % period;
        const double top = 3.0 * j, bottom = j % 5 == 1 ? top : top + 3.0;
        b.layer.insert(b.layer.end(), {900.0 - 0.5 * j, top, 899.5 - 0.5 * j, bottom});
        b.p.push_back(7.0 * (i / period % 50));
    }
    return b;
}

// A batch periodic at the start but not throughout: one row edited in one
// column, where the row period places back is the unedited one.  The
// periods straddle the longest one whose exponents the kernel remembers.
TEST(LayerIntegrals, HostLayoutsWithAnEditedRow)
{
    for (int period : {1, 2, 3, 300, 1024, 1025}) {
        const int passes = period < 20 ? 60 / period : 3;
        for (int pairs : {passes * period, passes * period - (period + 1) / 2}) {
            expect_same_as_reference(host_layout(period, pairs), kRadius);
            for (int at : {0, period, pairs / 2, pairs - 1})
                for (int column = 0; column < 4; ++column) {
                    SCOPED_TRACE(testing::Message() << "period " << period << ", " << pairs
                                                    << " pairs, row " << at << " col " << column);
                    Batch b = host_layout(period, pairs);
                    b.layer[4 * static_cast<std::size_t>(at) + column] += 1.0;
                    expect_same_as_reference(b, kRadius);
                }
        }
    }
}

struct Case {
    const char *name;
    double top_p, top_depth, bot_p, bot_depth, p;
    bool skipped;
};

// Thickness rule: strictly below 1e-10 (or negative) keeps the old outputs;
// exactly 1e-10 and NaN are computed.
TEST(LayerIntegrals, ThicknessRule)
{
    const Case cases[] = {
        {"zero", 10.0, 100.0, 9.0, 100.0, 1.0, true},
        {"below threshold", 10.0, 0.0, 9.0, 0.99e-10, 1.0, true},
        {"negative", 10.0, 100.0, 9.0, 50.0, 1.0, true},
        {"minus infinity", 10.0, kInf, 9.0, 50.0, 1.0, true},
        {"exactly threshold", 10.0, 0.0, 9.0, 1.0e-10, 1.0, false},
        {"NaN top depth", 10.0, kNaN, 9.0, 50.0, 1.0, false},
        {"NaN bottom depth", 10.0, 0.0, 9.0, kNaN, 1.0, false},
        {"ordinary", 10.0, 0.0, 9.0, 100.0, 1.0, false},
    };
    for (const Case &c : cases) {
        const double row[4] = {c.top_p, c.top_depth, c.bot_p, c.bot_depth};
        Guarded t(1), d(1);
        const double t_before = t.data()[0], d_before = d.data()[0];
        bullen_radial_slowness_inner_loop(row, &c.p, t.data(), d.data(), kRadius, 1);
        EXPECT_EQ(bits(t.data()[0]) == bits(t_before), c.skipped) << c.name;
        EXPECT_EQ(bits(d.data()[0]) == bits(d_before), c.skipped) << c.name;
        EXPECT_TRUE(t.pads_intact() && d.pads_intact()) << c.name;
    }
}

// Values that follow from the closed forms directly.
TEST(LayerIntegrals, SpecialRays)
{
    const double top = 800.0, bot = 700.0, rt = kRadius - 0.0, rb = kRadius - 600.0;
    const double B = std::log(top / bot) / std::log(rt / rb);
    double row[4] = {top, 0.0, bot, 600.0};
    double t = 0, d = 0;

    const double vertical = 0.0;  // p = 0: straight down, no distance
    bullen_radial_slowness_inner_loop(row, &vertical, &t, &d, kRadius, 1);
    EXPECT_EQ(bits(d), bits(0.0));
    EXPECT_EQ(bits(t), bits((top - bot) / B));

    const double at_top = top;  // turns at the top: sqrt_top = 0, atan2(p, 0) = pi/2
    bullen_radial_slowness_inner_loop(row, &at_top, &t, &d, kRadius, 1);
    EXPECT_TRUE(std::isnan(t) && std::isnan(d));  // p > bot_p: cannot reach the bottom
    row[SL_TOP_P] = bot;
    row[SL_BOT_P] = top;  // slowness growing downward: p = top_p is now the smaller end
    const double grazing = bot;
    bullen_radial_slowness_inner_loop(row, &grazing, &t, &d, kRadius, 1);
    const double B2 = std::log(bot / top) / std::log(rt / rb);
    const double s_bot = std::sqrt(top * top - bot * bot);
    EXPECT_EQ(bits(t), bits((0.0 - s_bot) / B2));
    EXPECT_EQ(bits(d), bits((std::atan2(bot, s_bot) - std::numbers::pi / 2) / B2));
    EXPECT_TRUE(std::isfinite(t) && std::isfinite(d));

    row[SL_BOT_P] = bot;  // equal slownesses: B = 0, both outputs 0/0
    bullen_radial_slowness_inner_loop(row, &vertical, &t, &d, kRadius, 1);
    EXPECT_TRUE(std::isnan(t) && std::isnan(d));
}

TEST(LayerIntegrals, BadPairDoesNotLeak)
{
    // A NaN-producing pair between two good ones leaves its neighbours exact.
    const double layer[12] = {800, 0, 700, 100, 700, 100, 700, 200, 700, 200, 600, 300};
    const double p[3] = {300, 300, 300};
    double t[3], d[3], rt[3], rd[3];
    bullen_radial_slowness_inner_loop(layer, p, t, d, kRadius, 3);
    reference::bullen_radial_slowness(layer, p, rt, rd, kRadius, 3);
    EXPECT_TRUE(std::isnan(t[1]) && std::isnan(d[1]));
    for (int i : {0, 2}) {
        EXPECT_TRUE(std::isfinite(t[i]) && std::isfinite(d[i]));
        EXPECT_EQ(bits(t[i]), bits(rt[i]));
        EXPECT_EQ(bits(d[i]), bits(rd[i]));
    }
}

TEST(LayerIntegrals, ConcurrentCallsMatchSingleThreaded)
{
    std::mt19937_64 rng(99);
    const Batch b = random_batch(rng, 20000);
    const int n = static_cast<int>(b.p.size());
    std::vector<double> want_t(b.p.size()), want_d(b.p.size());
    bullen_radial_slowness_inner_loop(b.layer.data(), b.p.data(), want_t.data(), want_d.data(),
                                      kRadius, n);
    constexpr int kThreads = 8;
    std::vector<std::vector<double>> t(kThreads, std::vector<double>(b.p.size()));
    std::vector<std::vector<double>> d(kThreads, std::vector<double>(b.p.size()));
    std::vector<std::thread> pool;
    for (int k = 0; k < kThreads; ++k)
        pool.emplace_back([&, k] {
            for (int rep = 0; rep < 5; ++rep)
                bullen_radial_slowness_inner_loop(b.layer.data(), b.p.data(), t[k].data(),
                                                  d[k].data(), kRadius, n);
        });
    for (auto &th : pool)
        th.join();
    for (int k = 0; k < kThreads; ++k)
        for (int i = 0; i < n; ++i) {
            ASSERT_TRUE(same(t[k][i], want_t[i]) && same(d[k][i], want_d[i])) << k << " " << i;
        }
}

}  // namespace
