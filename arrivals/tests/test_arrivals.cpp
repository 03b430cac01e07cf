// libarrivals on a planet of homogeneous regions, where rays are straight
// lines: times against the chord, reciprocity, searches from many threads at
// once, no allocation while searching, and every bad value given a result.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
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

TEST(Arrivals, SearchesFromManyThreadsAllocateNothingAndAgree)
{
    const Phases phases;
    arrivals_source *s = phases.source(80.0, 0.0);
    std::vector<double> degrees;
    for (int k = 0; k < 90; ++k)
        degrees.push_back(2.0 * k);
    const auto expected = at(s, degrees);
    std::atomic<int> mismatches{0}, ready{0}, done{0};
    std::atomic<bool> go{false};
    std::vector<std::vector<arrivals_arrival>> buffers(4, std::vector<arrivals_arrival>(
                                                              expected.size() + 1));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            ++ready;
            while (!go.load())
                std::this_thread::yield();
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
            ++done;
            while (go.load())
                std::this_thread::yield();
        });
    // Counted once every thread has started and before any has ended: the
    // searches alone.
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
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(during, 0) << "arrivals_at allocated";
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
