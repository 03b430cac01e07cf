// Travel-time kernels against their literal reference loops, on the data a
// host feeds them: a 300-layer planet crossed with 2,000 ray parameters, the
// branch sums of the matrices that gives, and a folded 10,000-sample phase.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "bullen_planet.hpp"
#include "inner_tau_loops_variants.h"
#include "reference/traveltime_reference.hpp"
#include "traveltime.h"

namespace {

constexpr int kLayers = 300;
constexpr int kRays = 2000;

struct LayerData {
    testing_support::BullenPlanet planet;
    std::vector<double> pair_layer, pair_p, time, dist, time_dist;
    LayerData()
        : planet(testing_support::BullenPlanet::make(6371.0, 1400.0, 2.2, kLayers, 6000.0, 1))
    {
        // One ray parameter after another, every layer inside each; layer
        // rows repeat bit for bit and adjacent layers share their boundary.
        for (int i = 0; i < kRays; ++i) {
            const double p = planet.surface_eta() * (i + 0.5) / kRays;
            for (int j = 0; j < kLayers; ++j) {
                pair_layer.insert(pair_layer.end(), &planet.layer[4 * j], &planet.layer[4 * j + 4]);
                pair_p.push_back(p);
            }
        }
        time.assign(pair_p.size(), 0.0);
        dist.assign(pair_p.size(), 0.0);
        time_dist.assign(4 * kRays, 0.0);
        bullen_radial_slowness_inner_loop(pair_layer.data(), pair_p.data(), time.data(),
                                          dist.data(), planet.radius, kRays * kLayers);
    }
};

const LayerData &layer_data()
{
    static const LayerData data;
    return data;
}

template <auto Kernel>
void layer_integrals(benchmark::State &state)
{
    const LayerData &d = layer_data();
    std::vector<double> time(d.pair_p.size()), dist(d.pair_p.size());
    for (auto _ : state) {
        Kernel(d.pair_layer.data(), d.pair_p.data(), time.data(), dist.data(), d.planet.radius,
               kRays * kLayers);
        benchmark::DoNotOptimize(time.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kRays * kLayers);
}

template <auto Kernel>
void branch_sums(benchmark::State &state)
{
    const LayerData &d = layer_data();
    std::vector<double> time_dist(4 * kRays);
    for (auto _ : state) {
        Kernel(d.pair_p.data(), d.time.data(), d.dist.data(), d.planet.layer.data(),
               time_dist.data(), kRays, kLayers, d.planet.surface_eta(), 1);
        benchmark::DoNotOptimize(time_dist.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kRays * kLayers);
}

// A 10,000-sample distance curve that rises, folds back and rises again
// (a triplication), searched for several distances up to 10 pi.
struct PhaseData {
    std::vector<double> dist, ray_param, hit_dist;
    std::vector<int> hit_ray;
    PhaseData()
    {
        constexpr int n = 10000;
        for (int k = 0; k < n; ++k) {
            const double x = static_cast<double>(k) / (n - 1);
            dist.push_back(3.0 * x + 0.6 * std::sin(3.0 * std::numbers::pi * x));
            ray_param.push_back(20.0 - 15.0 * x);
        }
        hit_dist.resize(2 * n * 8);
        hit_ray.resize(hit_dist.size());
    }
};

template <auto Kernel>
void phase_search(benchmark::State &state)
{
    static PhaseData d;
    const double degrees[] = {12.5, 47.0, 90.0, 133.3, 171.0, 180.0, 260.0, 1000.0};
    const int count = static_cast<int>(d.dist.size());
    long hits = 0;
    for (auto _ : state) {
        for (double degree : degrees)
            hits += Kernel(degree, 10 * std::numbers::pi, d.dist.data(), d.ray_param.data(),
                           d.hit_dist.data(), d.hit_ray.data(), count);
        benchmark::DoNotOptimize(hits);
    }
    // Interval tests: per degree, 5 turns of 2 scans (1 at 180) over count - 1 intervals.
    state.SetItemsProcessed(state.iterations() * (7 * 10 + 5) * (count - 1));
}

BENCHMARK(layer_integrals<bullen_radial_slowness_inner_loop>)
    ->Name("layer_integrals/kernel")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(layer_integrals<reference::bullen_radial_slowness>)
    ->Name("layer_integrals/reference")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(branch_sums<tau_branch_calc_time_dist_inner_loop>)
    ->Name("branch_sums/kernel")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(branch_sums<reference::tau_branch_calc_time_dist>)
    ->Name("branch_sums/reference")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(phase_search<seismic_phase_calc_time_inner_loop>)
    ->Name("phase_search/kernel")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(phase_search<reference::seismic_phase_calc_time>)
    ->Name("phase_search/reference")
    ->Unit(benchmark::kMicrosecond);
// Each loop the dispatcher can pick, run directly where this processor has it.
BENCHMARK(phase_search<traveltime::phase_search_portable>)
    ->Name("phase_search/portable")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(phase_search<traveltime::phase_search_vector>)
    ->Name("phase_search/vector")
    ->Unit(benchmark::kMicrosecond);
#if defined(__x86_64__)
const bool registered_variants = [] {
    if (traveltime::cpu_has_avx2())
        benchmark::RegisterBenchmark("phase_search/avx2",
                                     phase_search<traveltime::phase_search_avx2>)
            ->Unit(benchmark::kMicrosecond);
    if (traveltime::cpu_has_avx512())
        benchmark::RegisterBenchmark("phase_search/avx512",
                                     phase_search<traveltime::phase_search_avx512>)
            ->Unit(benchmark::kMicrosecond);
    return true;
}();
#endif

}  // namespace
