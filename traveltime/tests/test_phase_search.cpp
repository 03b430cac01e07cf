// Phase distance search against the literal reference loop, hand-checked
// cases, and the inputs on which the literal loops would never end.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

#include "reference/traveltime_reference.hpp"
#include "test_support.hpp"
#include "inner_tau_loops_variants.h"
#include "traveltime.h"

using testing_support::bits;
using testing_support::Guarded;

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int kIntGuard = -777;

// The distance the kernel searches for `deg` at turn 0.
double rad_of(double deg) { return deg * kPi / 180.0; }

struct Hits {
    std::vector<double> dist;
    std::vector<int> ray;
    bool operator==(const Hits &) const = default;
};

// Result arrays sized by the header's bound, plus guard cells behind it.
std::size_t documented_bound(double max_distance, int count)
{
    if (count < 2 || !(max_distance >= 0.0))
        return 0;
    return 2 * static_cast<std::size_t>(count - 1) *
           static_cast<std::size_t>(std::floor(max_distance / (2 * kPi)) + 2);
}

using Kernel = traveltime::PhaseSearch;

Hits run_kernel(double degree, double max_distance, const std::vector<double> &dist,
                const std::vector<double> &ray_param,
                Kernel *kernel = seismic_phase_calc_time_inner_loop)
{
    const int count = static_cast<int>(dist.size());
    const std::size_t bound = documented_bound(max_distance, count);
    Guarded d(bound);
    std::vector<int> ray(bound + 16, kIntGuard);
    const int r =
        kernel(degree, max_distance, dist.data(), ray_param.data(), d.data(), ray.data(), count);
    EXPECT_GE(r, 0);
    EXPECT_LE(static_cast<std::size_t>(r), bound);
    EXPECT_TRUE(d.pads_intact());
    for (std::size_t k = static_cast<std::size_t>(r); k < ray.size(); ++k)
        EXPECT_EQ(ray[k], kIntGuard) << "write past the hit count at " << k;
    for (std::size_t k = static_cast<std::size_t>(r); k < bound; ++k)
        EXPECT_EQ(bits(d.data()[k]), bits(testing_support::guard_value(Guarded::kPad + k)));
    Hits h;
    h.dist.assign(d.data(), d.data() + r);
    h.ray.assign(ray.begin(), ray.begin() + r);
    return h;
}

Hits run_reference(double degree, double max_distance, const std::vector<double> &dist,
                   const std::vector<double> &ray_param)
{
    const std::size_t bound = documented_bound(max_distance, static_cast<int>(dist.size()));
    std::vector<double> d(bound + 1);
    std::vector<int> ray(bound + 1);
    const int r =
        reference::seismic_phase_calc_time(degree, max_distance, dist.data(), ray_param.data(),
                                           d.data(), ray.data(), static_cast<int>(dist.size()));
    return {{d.begin(), d.begin() + r}, {ray.begin(), ray.begin() + r}};
}

// Distance curves of the shapes a phase takes: rising, falling, folding back
// (a triplication), with repeated ray parameters, samples placed exactly on
// distances the search will look for, and the odd NaN.
struct Curve {
    std::vector<double> dist, ray_param;
};

Curve random_curve(std::mt19937_64 &rng, const std::vector<double> &targets)
{
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const int count = static_cast<int>(rng() % (rng() % 4 ? 60 : 400));
    Curve c;
    const int shape = static_cast<int>(rng() % 4);
    double d = 12.0 * u(rng), p = 10.0;
    const double top = 12.0 * kPi * u(rng);
    for (int k = 0; k < count; ++k) {
        const double step = top / (count + 1) * (0.2 + 1.6 * u(rng));
        const bool rising = shape == 0 || (shape == 2 && (k < count / 3 || k > 2 * count / 3));
        d = rising ? d + step : d - step;
        if (shape == 3)
            d = top * u(rng);
        double sample = d;
        const double pick = u(rng);
        if (pick < 0.15 && !targets.empty())
            sample = targets[rng() % targets.size()];
        else if (pick < 0.17)
            sample = kNaN;
        if (u(rng) > 0.1)
            p -= 0.1 * u(rng);  // else: repeats the previous ray parameter
        c.dist.push_back(sample);
        c.ray_param.push_back(p);
    }
    return c;
}

// Every loop the library can dispatch to, whichever this machine has.
std::vector<std::pair<const char *, Kernel *>> variants()
{
    std::vector<std::pair<const char *, Kernel *>> v = {
        {"exported", seismic_phase_calc_time_inner_loop},
        {"portable", traveltime::phase_search_portable}};
#if defined(__s390x__)
    if (traveltime::cpu_has_vector())
#endif
        v.emplace_back("vector", traveltime::phase_search_vector);
#if defined(__x86_64__)
    if (traveltime::cpu_has_avx2())
        v.emplace_back("avx2", traveltime::phase_search_avx2);
    if (traveltime::cpu_has_avx512())
        v.emplace_back("avx512", traveltime::phase_search_avx512);
#endif
    return v;
}

TEST(PhaseSearch, EveryVariantMatchesReferenceOnRandomCurves)
{
    for (const auto &[name, kernel] : variants()) {
        SCOPED_TRACE(name);
        std::mt19937_64 rng(31337);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        const double degrees[] = {0,   10,  90,  179.5,   180, -180,
                                  200, 360, 370, -725.25, 540, 1e5 + 0.5};
        for (int round = 0; round < 3000; ++round) {
            const double degree =
                round % 3 ? degrees[rng() % std::size(degrees)] : 2000.0 * u(rng) - 1000.0;
            const double max_distance = round % 17 == 0 ? -1.0 : 10.0 * kPi * u(rng);
            // Samples equal to the distances this call searches, for exact hits.
            std::vector<double> targets;
            double t = std::fabs(degree);
            while (t > 360.0)
                t -= 360.0;
            if (t > 180.0)
                t = 360.0 - t;
            for (int n = 0; n < 6; ++n) {
                targets.push_back(rad_of(t) + (2 * n) * kPi);
                targets.push_back((2 * (n + 1)) * kPi - rad_of(t));
            }
            const Curve c = random_curve(rng, targets);
            const Hits got = run_kernel(degree, max_distance, c.dist, c.ray_param, kernel);
            const Hits want = run_reference(degree, max_distance, c.dist, c.ray_param);
            ASSERT_EQ(got.ray, want.ray) << "round " << round;
            ASSERT_EQ(got.dist.size(), want.dist.size());
            for (std::size_t k = 0; k < got.dist.size(); ++k)
                ASSERT_EQ(bits(got.dist[k]), bits(want.dist[k]))
                    << "round " << round << " hit " << k;
        }
    }
}

// The vector loops take whole blocks of intervals before the last one and
// leave the rest to the scalar test: hits on every position relative to a
// block edge, including the last interval's right end.
TEST(PhaseSearch, EveryVariantAtBlockEdges)
{
    for (const auto &[name, kernel] : variants()) {
        for (int count = 2; count <= 40; ++count) {
            for (int at = 0; at < count; ++at) {
                std::vector<double> dist(count), ray(count);
                for (int k = 0; k < count; ++k) {
                    dist[k] = k < at ? 0.5 : 2.0;  // steps over 1.0 between at-1 and at
                    ray[k] = count - k;
                }
                dist[at] = rad_of(90);  // exactly on a sample
                const Hits got = run_kernel(90, rad_of(90), dist, ray, kernel);
                const Hits want = run_reference(90, rad_of(90), dist, ray);
                ASSERT_EQ(got, want) << name << " count " << count << " at " << at;
            }
        }
    }
}

// A two-sample curve spanning [0, 100] brackets any distance once.
const std::vector<double> kWide = {0.0, 100.0};
const std::vector<double> kFlat = {1.0, 1.0};

TEST(PhaseSearch, DegreeReduction)
{
    struct Case {
        double degree, searched_deg;
        int scans;
    };
    const Case cases[] = {
        {370, 10, 2},  {-90, 90, 2},    {200, 160, 2},     {360, 0, 2},          {720, 0, 2},
        {540, 180, 1}, {180, 180, 1},   {-180, 180, 1},    {-540, 180, 1},       {0, 0, 2},
        {-0.0, 0, 2},  {359.5, 0.5, 2}, {360.25, 0.25, 2}, {-1e6 - 0.5, 79.5, 2}};
    for (const Case &c : cases) {
        const double rad = rad_of(c.searched_deg);
        const Hits h = run_kernel(c.degree, rad, kWide, kFlat);  // one turn only
        ASSERT_EQ(h.dist.size(), static_cast<std::size_t>(c.scans)) << c.degree;
        EXPECT_EQ(bits(h.dist[0]), bits(rad)) << c.degree;
        if (c.scans == 2) {
            EXPECT_EQ(bits(h.dist[1]), bits(2.0 * kPi - rad)) << c.degree;
        }
    }
}

TEST(PhaseSearch, TurnsAndScans)
{
    // 180 degrees: one scan per turn, at pi, 3pi, 5pi.
    Hits h = run_kernel(180, 5 * kPi, kWide, kFlat);
    EXPECT_EQ(h.dist, (std::vector<double>{kPi, kPi + 2 * kPi, kPi + 4 * kPi}));
    // 0 degrees with two turns: 2pi is searched twice, as turn 0's
    // complementary and turn 1's direct distance, and found twice.
    h = run_kernel(0, 2 * kPi, kWide, kFlat);
    EXPECT_EQ(h.dist, (std::vector<double>{0.0, 2 * kPi, 2 * kPi, 4 * kPi}));
    // The loop tests the direct distance only: turn 1's complementary
    // distance 4pi - 1 lies beyond max_distance and is still searched.
    h = run_kernel(180 / kPi, 1.0 + 2 * kPi, kWide, kFlat);
    ASSERT_EQ(h.dist.size(), 4u);
    EXPECT_GT(h.dist[3], 1.0 + 2 * kPi);
    // Nothing to search when the distance is beyond max_distance.
    EXPECT_TRUE(run_kernel(90, rad_of(90) - 1e-9, kWide, kFlat).dist.empty());
}

TEST(PhaseSearch, IntervalRules)
{
    const double s = rad_of(90);  // the distance searched at turn 0
    struct Case {
        const char *name;
        std::vector<double> dist, ray_param;
        std::vector<int> want;  // first-sample indexes of the hits at s
    };
    const Case cases[] = {
        {"first sample", {s, 3.0, 4.0}, {3, 2, 1}, {0}},
        {"inner sample goes to the interval it starts", {0.0, s, 3.0}, {3, 2, 1}, {1}},
        {"last sample stays with the last interval", {0.0, 1.0, s}, {3, 2, 1}, {1}},
        {"inner sample lost to a flat interval", {0.0, s, 3.0}, {3, 2, 2}, {}},
        {"flat interval skipped", {0.0, 3.0, 4.0}, {3, 3, 1}, {}},
        {"count 2 keeps a flat interval", {0.0, 3.0}, {3, 3}, {0}},
        {"falling", {3.0, 0.0, -1.0}, {3, 2, 1}, {0}},
        {"fold: every bracketing interval, in order",
         {0.0, 3.0, 1.0, 4.0},
         {4, 3, 2, 1},
         {0, 1, 2}},
        {"NaN sample fails both its intervals", {0.0, kNaN, 3.0, 0.0}, {4, 3, 2, 1}, {2}},
        {"plateau at the distance", {s, s, s}, {3, 2, 1}, {1}},
    };
    for (const Case &c : cases) {
        // max_distance = s: one turn; the complementary 3pi/2 is above every sample.
        const Hits h = run_kernel(90, s, c.dist, c.ray_param);
        EXPECT_EQ(h.ray, c.want) << c.name;
        for (double d : h.dist)
            EXPECT_EQ(bits(d), bits(s)) << c.name;
    }
}

// Finite inputs whose turn counter, or whose worst-case hit count, would not
// fit in an int: the kernel returns 0 at once and writes nothing (ctest's
// timeout bounds the test if it did not).  Non-finite scalars are covered
// with the other kernels' bad input in tests/test_domain_edges.cpp.
TEST(PhaseSearch, CallsThatCouldOverflowAnIntAreRefused)
{
    const std::vector<double> many(1001, 1.0);
    std::vector<double> rising(1001), ray(1001);
    for (int k = 0; k < 1001; ++k) {
        rising[k] = 0.01 * k;
        ray[k] = 1001 - k;
    }
    struct Case {
        const char *name;
        double degree, max_distance;
        const std::vector<double> *dist;
    };
    const Case cases[] = {
        {"huge max_distance", 10.0, 1e300, &rising},
        {"hit count past INT_MAX", 10.0, 2 * kPi * 1.1e6, &rising},
        {"turn counter past INT_MAX", 10.0, 2 * kPi * 3e9, &many},
    };
    for (const Case &c : cases) {
        double out_d[4];
        int out_r[4] = {kIntGuard, kIntGuard, kIntGuard, kIntGuard};
        for (double &x : out_d)
            x = -1.0;
        const int r = seismic_phase_calc_time_inner_loop(c.degree, c.max_distance, c.dist->data(),
                                                         ray.data(), out_d, out_r, 1001);
        EXPECT_EQ(r, 0) << c.name;
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(out_d[k], -1.0) << c.name;
            EXPECT_EQ(out_r[k], kIntGuard) << c.name;
        }
    }
}

// A call with many turns runs to its end; one turn more than an int hit
// count can hold is refused.
TEST(PhaseSearch, TurnCountLimits)
{
    const std::vector<double> ray = {2.0, 1.0};
    const double turns = 1 << 20;
    const double max_distance = rad_of(10) + (2 * (turns - 1)) * kPi;  // exactly 2^20 turns
    const std::vector<double> never = {-60.0, -50.0};  // searched distances are never negative
    EXPECT_EQ(seismic_phase_calc_time_inner_loop(10, max_distance, never.data(), ray.data(),
                                                 nullptr, nullptr, 2),
              0);
    const std::vector<double> always = {0.0, 1e7};
    std::vector<double> d(2u << 20);
    std::vector<int> r(2u << 20);
    EXPECT_EQ(seismic_phase_calc_time_inner_loop(10, max_distance, always.data(), ray.data(),
                                                 d.data(), r.data(), 2),
              2 << 20);
    EXPECT_EQ(d.back(), (2.0 * (1 << 20)) * kPi - rad_of(10));

    // 180 degrees, one interval: one hit per turn at most, so INT_MAX turns
    // could be counted and INT_MAX + 1 cannot.
    const double int_max = std::numeric_limits<int>::max();
    EXPECT_EQ(seismic_phase_calc_time_inner_loop(180, kPi + (2 * int_max) * kPi, always.data(),
                                                 ray.data(), nullptr, nullptr, 2),
              0);
    // Two intervals, two scans: four hits per turn.
    const std::vector<double> three = {0.0, 1.0, 2.0}, ray3 = {3.0, 2.0, 1.0};
    const double too_many = std::floor(int_max / 4) + 1;
    EXPECT_EQ(seismic_phase_calc_time_inner_loop(10, rad_of(10) + (2 * (too_many - 1)) * kPi,
                                                 three.data(), ray3.data(), nullptr, nullptr, 3),
              0);
}

// max_distance exactly the direct distance of turn n, as rounded, and the
// doubles either side: turn n is scanned at and above it, not below.  The
// curve brackets that distance alone.  For these n the quotient
// (max_distance - rad_dist) / 2pi, rounded down, is off by one either way.
TEST(PhaseSearch, TurnCountAtItsRoundingBoundary)
{
    const std::pair<double, long long> cases[] = {
        {10, 11}, {10, 17}, {90, 3}, {90, 10}, {180, 5}, {180, 6}, {10, 1048578}, {180, 1048578}};
    for (const auto &[degree, n] : cases) {
        const double at = rad_of(degree) + static_cast<double>(2 * n) * kPi;
        const std::vector<double> curve = {at - 0.1, at + 0.1}, ray = {2.0, 1.0};
        for (double max_distance : {std::nextafter(at, 0.0), at, std::nextafter(at, 2 * at)}) {
            const Hits h = run_kernel(degree, max_distance, curve, ray);
            EXPECT_EQ(h.dist, max_distance < at ? std::vector<double>{} : std::vector<double>{at})
                << degree << " degrees, turn " << n << ", max_distance " << max_distance - at;
        }
    }
}

// The worst case, turns x scans x intervals, at the int hit count's limit.
// INT_MAX is prime, so only 180 degrees with one interval meets it exactly,
// in INT_MAX turns; elsewhere 2 scans x 693 turns x 1549411 intervals make
// 2^31 - 2.  Those calls run, and with one turn more are refused.  Each
// curve brackets the last direct distance alone: one hit if the call runs.
// Minutes instrumented or emulated: skipped there.
TEST(PhaseSearch, WorstCaseOfIntMaxHits)
{
    if (testing_support::long_tests_too_slow())
        GTEST_SKIP() << "billions of interval tests";
    struct Case {
        double degree;
        long long turns;
        int count, want;
        Kernel *kernel;  // the least work per turn, or per interval
    };
    const long long int_max = std::numeric_limits<int>::max();
    const Case cases[] = {{180, int_max, 2, 1, traveltime::phase_search_portable},
                          {180, int_max + 1, 2, 0, traveltime::phase_search_portable},
                          {10, 693, 1549412, 1, seismic_phase_calc_time_inner_loop},
                          {10, 694, 1549412, 0, seismic_phase_calc_time_inner_loop}};
    for (const Case &c : cases) {
        const double last = rad_of(c.degree) + static_cast<double>(2 * (c.turns - 1)) * kPi;
        std::vector<double> curve(c.count), ray(c.count);
        for (int k = 0; k < c.count; ++k) {
            curve[k] = last - 0.1 + 0.2 * k / (c.count - 1);
            ray[k] = c.count - k;
        }
        double hit_dist[4];
        int hit_ray[4];
        EXPECT_EQ(c.kernel(c.degree, last, curve.data(), ray.data(), hit_dist, hit_ray, c.count),
                  c.want)
            << c.degree << " degrees, " << c.turns << " turns";
    }
}

// |degree| mod 360 done exactly (as an integer multiple of the value's
// smallest ulp, in 128 bits), then folded: what repeated subtraction of 360
// gives wherever each subtraction is exact.
__extension__ typedef __int128 int128;

double exact_reduction(double degree)
{
    const double x = std::fabs(degree);
    if (!(x > 360.0))
        return x > 180.0 ? 360.0 - x : x;
    int e;
    const double m = std::frexp(x, &e);                        // x = m 2^e, m in [0.5, 1)
    const auto mant = static_cast<int128>(std::ldexp(m, 53));  // x = mant 2^(e-53)
    const int shift = e - 53;
    double rem;
    if (shift >= 0) {
        int128 v = mant << shift;
        rem = static_cast<double>(v % 360);
    } else {
        const int128 modulus = static_cast<int128>(360) << -shift;
        rem = std::ldexp(static_cast<double>(mant % modulus), shift);
    }
    double t = rem == 0.0 ? 360.0 : rem;
    return t > 180.0 ? 360.0 - t : t;
}

double literal_reduction(double degree)
{
    double t = std::fabs(degree);
    while (t > 360.0)
        t -= 360.0;
    return t > 180.0 ? 360.0 - t : t;
}

double searched(double degree)
{
    const Hits h = run_kernel(degree, kPi, kWide, kFlat);
    return h.dist.empty() ? kNaN : h.dist[0];
}

TEST(PhaseSearch, ReductionIsTheExactRemainder)
{
    std::mt19937_64 rng(360);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    // Against the literal loop where it runs in reasonable time.
    for (int k = 0; k < 400; ++k) {
        const double mag = std::ldexp(1.0, static_cast<int>(rng() % 22));
        double degree = (u(rng) - 0.5) * 2 * 360.0 * mag;
        if (k % 4 == 1)
            degree = std::round(degree / 360.0) * 360.0;
        if (k % 4 == 2)
            degree = std::round(degree / 180.0) * 180.0;
        ASSERT_EQ(literal_reduction(degree), exact_reduction(degree)) << degree;
        ASSERT_EQ(bits(searched(degree)), bits(rad_of(literal_reduction(degree)))) << degree;
    }
    // Beyond it, against the exact model, up to magnitudes where 360 no
    // longer changes the value, and for exact multiples of 180 and 360.
    for (int k = 0; k < 2000; ++k) {
        const int e = static_cast<int>(rng() % 110);
        double degree = std::ldexp(1.0 + u(rng), e) * (k % 2 ? -1.0 : 1.0);
        if (k % 5 == 1)
            degree = std::ldexp(360.0 * std::floor(u(rng) * 1e6), e / 2);
        if (k % 5 == 2)
            degree = std::ldexp(180.0 * (2 * std::floor(u(rng) * 1e6) + 1), 0);
        ASSERT_EQ(bits(searched(degree)), bits(rad_of(exact_reduction(degree)))) << degree;
    }
    EXPECT_EQ(searched(0x1p1000 * 45.0), 0.0);  // a multiple of 360 of any size
    EXPECT_EQ(bits(searched(std::numeric_limits<double>::max())),
              bits(rad_of(std::fmod(std::numeric_limits<double>::max(), 360.0))));
}

TEST(PhaseSearch, ConcurrentCallsMatchSingleThreaded)
{
    std::vector<double> dist(4000), ray(4000);
    for (int k = 0; k < 4000; ++k) {
        dist[k] = 3.0 + 2.5 * std::sin(k * 0.01);  // folds back and forth
        ray[k] = 4000 - k;
    }
    const Hits want = run_kernel(77.0, 10 * kPi, dist, ray);
    ASSERT_FALSE(want.ray.empty());
    std::vector<Hits> got(8);
    std::vector<std::thread> pool;
    for (int t = 0; t < 8; ++t)
        pool.emplace_back([&, t] {
            for (int rep = 0; rep < 20; ++rep)
                got[t] = run_kernel(77.0, 10 * kPi, dist, ray);
        });
    for (auto &th : pool)
        th.join();
    for (const Hits &h : got)
        EXPECT_TRUE(h == want);
}

}  // namespace
