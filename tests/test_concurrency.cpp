// Every kernel of both libraries called from many threads at once, each
// thread with outputs of its own.  Every call must give exactly what the
// literal reference loop gives on one thread.
//
// The expected results come from the reference loops, not from the kernels,
// so that the kernels' first calls in this process happen inside the threads,
// all released together: state set up lazily on a first call (a dispatch
// pointer, a table, scratch space) would race there.  The tsan preset runs
// this test under ThreadSanitizer, which reports such a race even when the
// results come out right.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <latch>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "reference/traveltime_reference.hpp"
#include "test_support.hpp"
#include "traveltime.h"

#if SEIS_HAVE_IBMFLOAT
#include "ibmfloat.h"
#include "reference/ibm2ieee_reference.hpp"
#endif

using testing_support::bits;
using testing_support::guard_value;
using testing_support::same;

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kRadius = 6371.0;
constexpr int kIntGuard = -777;

// Inputs shared read-only by every thread, and the reference results.
struct Workload {
    // Layer integrals.
    int pairs = 0;
    std::vector<double> pair_layer, pair_p;
    std::vector<double> want_time, want_dist;  // guard where a pair is skipped

    // Branch sums.
    int rows = 0, layers = 0;
    double max_ray_param = 0.0;
    std::vector<double> ray_params, layer_time, layer_dist, branch_layer;
    std::vector<double> want_time_dist;  // guard where untouched

    // Phase search.
    double degree = 0.0, max_distance = 0.0;
    std::vector<double> curve_dist, curve_ray_param;
    std::size_t hit_bound = 0;
    std::vector<double> want_hit_dist;
    std::vector<int> want_hit_ray;

    // IBM conversion.
    std::vector<std::uint32_t> words, want_words;
};

std::vector<double> guards(std::size_t n)
{
    std::vector<double> v(n);
    for (std::size_t k = 0; k < n; ++k)
        v[k] = guard_value(k);
    return v;
}

Workload make_workload()
{
    std::mt19937_64 rng(20240607);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Workload w;

    // Pairs of every kind: crossing, turning at the top, skipped as thin,
    // and NaN-producing (p above a slowness, equal slownesses).
    w.pairs = 5000;
    for (int i = 0; i < w.pairs; ++i) {
        const double top_depth = 3000.0 * u(rng);
        const double thickness = u(rng) < 0.05 ? 1e-11 : 1.0 + 50.0 * u(rng);
        const double top_p = 400.0 + 800.0 * u(rng);
        const double bot_p = u(rng) < 0.02 ? top_p : top_p * (0.9 + 0.09 * u(rng));
        const double pick = u(rng);
        const double p = pick < 0.05 ? top_p : pick < 0.1 ? top_p * 1.01 : bot_p * u(rng);
        w.pair_layer.insert(w.pair_layer.end(), {top_p, top_depth, bot_p, top_depth + thickness});
        w.pair_p.push_back(p);
    }
    w.want_time = guards(w.pair_p.size());
    w.want_dist = guards(w.pair_p.size());
    reference::bullen_radial_slowness(w.pair_layer.data(), w.pair_p.data(), w.want_time.data(),
                                      w.want_dist.data(), kRadius, w.pairs);

    // A branch with a low-velocity zone; rows that cross, turn, stop, and
    // exceed the cap.
    w.rows = 96;
    w.layers = 40;
    w.max_ray_param = 900.0;
    double eta = 1000.0;
    for (int j = 0; j < w.layers; ++j) {
        const double next = j == 20 ? eta * 1.1 : eta * (0.95 + 0.04 * u(rng));
        w.branch_layer.insert(w.branch_layer.end(), {eta, double(j), next, double(j + 1)});
        eta = next;
    }
    const std::size_t cells = static_cast<std::size_t>(w.rows) * w.layers;
    w.ray_params.resize(cells);
    for (std::size_t k = 0; k < cells; ++k) {
        w.ray_params[k] = 1000.0 * u(rng);
        w.layer_time.push_back(10.0 * u(rng));
        w.layer_dist.push_back(0.01 * u(rng));
    }
    w.want_time_dist = guards(4 * static_cast<std::size_t>(w.rows));
    reference::tau_branch_calc_time_dist(
        w.ray_params.data(), w.layer_time.data(), w.layer_dist.data(), w.branch_layer.data(),
        w.want_time_dist.data(), w.rows, w.layers, w.max_ray_param, 1);

    // A distance curve that folds back and forth while it climbs through
    // several turns: many hits per scan, for many turns.
    const int count = 3000;
    for (int k = 0; k < count; ++k) {
        w.curve_dist.push_back(0.5 + 0.006 * k + 2.0 * std::sin(k * 0.02));
        w.curve_ray_param.push_back(count - k);
    }
    w.degree = -437.0;
    w.max_distance = 9 * kPi;
    // The header's sizing: 2 (count - 1) (floor(max_distance / 2 pi) + 2).
    w.hit_bound = 2 * static_cast<std::size_t>(count - 1) *
                  static_cast<std::size_t>(std::floor(w.max_distance / (2 * kPi)) + 2);
    w.want_hit_dist.resize(w.hit_bound);
    w.want_hit_ray.resize(w.hit_bound);
    const int hits = reference::seismic_phase_calc_time(
        w.degree, w.max_distance, w.curve_dist.data(), w.curve_ray_param.data(),
        w.want_hit_dist.data(), w.want_hit_ray.data(), count);
    w.want_hit_dist.resize(static_cast<std::size_t>(hits));
    w.want_hit_ray.resize(static_cast<std::size_t>(hits));

#if SEIS_HAVE_IBMFLOAT
    // Every exponent field, both signs, the odd zero fraction.
    for (int k = 0; k < (1 << 16); ++k)
        w.words.push_back(static_cast<std::uint32_t>(rng()) & (k % 97 == 0 ? 0xFF000000u : ~0u));
    std::vector<float> converted(w.words.size());
    std::memcpy(converted.data(), w.words.data(), w.words.size() * sizeof(float));
    reference::ibm2ieee(converted.data(), static_cast<int>(converted.size()));
    for (float x : converted)
        w.want_words.push_back(reference::bits_of(x));
#endif
    return w;
}

// One thread's outputs; every call starts from guards.
struct Outputs {
    std::vector<double> time, dist, time_dist, hit_dist;
    std::vector<int> hit_ray;
    std::vector<float> samples;
};

using Check = std::string (*)(const Workload &, Outputs &);

// Where the reference left element k's guard, the kernel must have left it
// too, bit for bit; elsewhere any NaN matches any NaN.
bool matches(double got, double want, std::size_t k)
{
    return bits(want) == bits(guard_value(k)) ? bits(got) == bits(want) : same(got, want);
}

std::string layer_integrals(const Workload &w, Outputs &out)
{
    out.time = guards(w.pair_p.size());
    out.dist = guards(w.pair_p.size());
    bullen_radial_slowness_inner_loop(w.pair_layer.data(), w.pair_p.data(), out.time.data(),
                                      out.dist.data(), kRadius, w.pairs);
    for (std::size_t i = 0; i < out.time.size(); ++i)
        if (!matches(out.time[i], w.want_time[i], i) || !matches(out.dist[i], w.want_dist[i], i))
            return "layer integrals differ at pair " + std::to_string(i);
    return {};
}

std::string branch_sums(const Workload &w, Outputs &out)
{
    out.time_dist = guards(w.want_time_dist.size());
    tau_branch_calc_time_dist_inner_loop(
        w.ray_params.data(), w.layer_time.data(), w.layer_dist.data(), w.branch_layer.data(),
        out.time_dist.data(), w.rows, w.layers, w.max_ray_param, 1);
    for (std::size_t k = 0; k < out.time_dist.size(); ++k)
        if (bits(out.time_dist[k]) != bits(w.want_time_dist[k]))
            return "branch sums differ at element " + std::to_string(k);
    return {};
}

std::string phase_search(const Workload &w, Outputs &out)
{
    out.hit_dist = guards(w.hit_bound);
    out.hit_ray.assign(w.hit_bound, kIntGuard);
    const int hits = seismic_phase_calc_time_inner_loop(
        w.degree, w.max_distance, w.curve_dist.data(), w.curve_ray_param.data(),
        out.hit_dist.data(), out.hit_ray.data(), static_cast<int>(w.curve_dist.size()));
    if (hits < 0 || static_cast<std::size_t>(hits) != w.want_hit_dist.size())
        return "phase search returned " + std::to_string(hits) + " hits, expected " +
               std::to_string(w.want_hit_dist.size());
    for (std::size_t m = 0; m < w.hit_bound; ++m) {
        const bool hit = m < w.want_hit_dist.size();
        if (bits(out.hit_dist[m]) != bits(hit ? w.want_hit_dist[m] : guard_value(m)) ||
            out.hit_ray[m] != (hit ? w.want_hit_ray[m] : kIntGuard))
            return "phase search differs at entry " + std::to_string(m);
    }
    return {};
}

#if SEIS_HAVE_IBMFLOAT
std::string ibm_conversion(const Workload &w, Outputs &out)
{
    out.samples.resize(w.words.size());
    std::memcpy(out.samples.data(), w.words.data(), w.words.size() * sizeof(float));
    ibm2ieee(out.samples.data(), static_cast<int>(out.samples.size()));
    for (std::size_t k = 0; k < out.samples.size(); ++k)
        if (reference::bits_of(out.samples[k]) != w.want_words[k])
            return "ibm2ieee differs at word " + std::to_string(k);
    return {};
}
#endif

const std::vector<Check> &all_kernels()
{
    static const std::vector<Check> kernels = {
        layer_integrals,
        branch_sums,
        phase_search,
#if SEIS_HAVE_IBMFLOAT
        ibm_conversion
#endif
    };
    return kernels;
}

TEST(Concurrency, AllKernelsAtOnceMatchTheReference)
{
    const Workload w = make_workload();
    ASSERT_GT(w.want_hit_dist.size(), 20u);  // the curve is hit many times

    const std::vector<Check> &kernels = all_kernels();
    constexpr int kThreads = 8;
    constexpr int kRounds = 3;
    std::vector<std::string> failures(kThreads);
    std::latch start(kThreads);
    std::vector<std::thread> pool;
    pool.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t)
        pool.emplace_back([&, t] {
            Outputs out;
            start.arrive_and_wait();
            // Each thread walks the kernels from a different one, so that at
            // any moment different kernels and the same kernel run together.
            for (std::size_t call = 0; call < kRounds * kernels.size(); ++call) {
                const std::string f = kernels[(call + t) % kernels.size()](w, out);
                if (!f.empty() && failures[t].empty())
                    failures[t] = f;
            }
        });
    for (std::thread &th : pool)
        th.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_TRUE(failures[t].empty()) << "thread " << t << ": " << failures[t];
}

}  // namespace
