// Speed of ibm2ieee against the literal pow loop, with memcpy of the same
// buffer as the bandwidth yardstick.
//
// Data: trace-like samples (3% zeros, the rest normally distributed values
// whose scale spreads over four decades, encoded as IBM words) and uniformly
// random words (a quarter of them subnormal or zero results, a quarter at
// exponent 96 and above), in 4 MiB buffers (held in the last-level cache)
// and 64 MiB buffers (main memory).
//
// The kernel converts in place, so every iteration first restores the work
// buffer from a pristine copy and then times the conversion alone, for the
// kernel and the reference alike.  That is also the host's situation: the
// samples it converts have just been written by its byte swap.  A memcpy
// moves the same bytes as an in-place conversion (each read once, written
// once), so the bytes/s of the two are directly comparable.
//
// At the end the ratios (reference time / kernel time, kernel bandwidth /
// memcpy bandwidth, random / trace-like) are printed, from the fastest of the
// repetitions when --benchmark_repetitions is given (from their median if
// only aggregates are reported).
#include <benchmark/benchmark.h>

#include <cfenv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "ibm2ieee_variants.h"
#include "ibmfloat.h"
#include "reference/ibm2ieee_reference.hpp"

namespace {

constexpr std::size_t kSmallBytes = std::size_t{4} << 20;
constexpr std::size_t kLargeBytes = std::size_t{64} << 20;

std::vector<float> trace_like(std::size_t n)
{
    std::mt19937_64 rng(12345);
    std::normal_distribution<double> amplitude;
    std::uniform_real_distribution<double> decade(-2.0, 2.0);
    std::bernoulli_distribution zero(0.03);
    std::vector<float> out(n);
    for (float &x : out) {
        const double value = zero(rng) ? 0.0 : amplitude(rng) * std::pow(10.0, decade(rng));
        x = reference::float_of(reference::ieee_to_ibm(value));
    }
    return out;
}

std::vector<float> random_words(std::size_t n)
{
    std::mt19937 rng(6789);
    std::vector<float> out(n);
    for (float &x : out)
        x = reference::float_of(static_cast<std::uint32_t>(rng()));
    return out;
}

// One pristine source per data set and size, built on first use.
const std::vector<float> &source(bool random, std::size_t bytes)
{
    static std::map<std::pair<bool, std::size_t>, std::vector<float>> cache;
    auto &data = cache[{random, bytes}];
    if (data.empty())
        data = random ? random_words(bytes / sizeof(float)) : trace_like(bytes / sizeof(float));
    return data;
}

template <typename Convert>
void run_conversion(benchmark::State &state, Convert convert, bool random, std::size_t bytes)
{
    const std::vector<float> &pristine = source(random, bytes);
    std::vector<float> work(pristine.size());
    const int n = static_cast<int>(work.size());
    for (auto _ : state) {
        std::memcpy(work.data(), pristine.data(), bytes);
        const auto start = std::chrono::steady_clock::now();
        convert(work.data(), n);
        benchmark::ClobberMemory();
        const auto stop = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
    }
    benchmark::DoNotOptimize(work.data());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * n);
}

void BM_kernel(benchmark::State &state, bool random, std::size_t bytes)
{
    run_conversion(state, ibm2ieee, random, bytes);
}

void BM_reference(benchmark::State &state, bool random, std::size_t bytes)
{
    run_conversion(state, reference::ibm2ieee, random, bytes);
}

void BM_variant(benchmark::State &state, ibmfloat::Kernel *kernel, bool random, std::size_t bytes)
{
    run_conversion(state, kernel, random, bytes);
}

#if defined(__x86_64__)
// The four-lane loop in a thread that rounds toward zero: the integer form
// as the dispatch gives it, with MXCSR read and written back around it.
// Beside vector_integer, the form called alone, it shows what that costs.
void BM_vector_rounding_toward_zero(benchmark::State &state, bool random)
{
    const int mode = std::fegetround();
    std::fesetround(FE_TOWARDZERO);
    run_conversion(state, ibmfloat::convert_vector, random, kSmallBytes);
    std::fesetround(mode);
}
#endif

void BM_memcpy(benchmark::State &state, std::size_t bytes)
{
    const std::vector<float> &pristine = source(false, bytes);
    std::vector<float> work(pristine.size());
    for (auto _ : state) {
        std::memcpy(work.data(), pristine.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.SetItemsProcessed(
        static_cast<std::int64_t>(state.iterations() * (bytes / sizeof(float))));
}

std::string size_name(std::size_t bytes) { return std::to_string(bytes >> 20) + "MiB"; }

void register_all()
{
    for (std::size_t bytes : {kSmallBytes, kLargeBytes}) {
        const std::string size = size_name(bytes);
        for (bool random : {false, true}) {
            const std::string data = random ? "random" : "trace";
            benchmark::RegisterBenchmark(("ibm2ieee/kernel/" + data + "/" + size).c_str(),
                                         BM_kernel, random, bytes)
                ->UseManualTime()
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(("ibm2ieee/reference/" + data + "/" + size).c_str(),
                                         BM_reference, random, bytes)
                ->UseManualTime()
                ->Unit(benchmark::kMicrosecond);
        }
        benchmark::RegisterBenchmark(("ibm2ieee/memcpy/" + size).c_str(), BM_memcpy, bytes)
            ->Unit(benchmark::kMicrosecond);
    }
    // Each variant on its own, trace-like samples in cache.
    std::vector<std::pair<const char *, ibmfloat::Kernel *>> variants{
        {"portable", ibmfloat::convert_portable}};
#if defined(__s390x__)
    if (ibmfloat::cpu_has_vector())
        variants.push_back({"vector", ibmfloat::convert_vector});
#else
    // The four-lane loop, and its form for threads with another rounding
    // mode or flush-to-zero.
    variants.push_back({"vector", ibmfloat::convert_vector});
    variants.push_back({"vector_integer", ibmfloat::convert_vector_by_conversions});
#endif
#if defined(__x86_64__)
    if (ibmfloat::cpu_has_avx2())
        variants.push_back({"avx2", ibmfloat::convert_avx2});
    if (ibmfloat::cpu_has_avx512())
        variants.push_back({"avx512", ibmfloat::convert_avx512});
#endif
    for (const auto &[name, kernel] : variants)
        for (bool random : {false, true})
            benchmark::RegisterBenchmark(("ibm2ieee/variant/" + std::string(name) + "/" +
                                          (random ? "random/" : "trace/") + size_name(kSmallBytes))
                                             .c_str(),
                                         BM_variant, kernel, random, kSmallBytes)
                ->UseManualTime()
                ->Unit(benchmark::kMicrosecond);
#if defined(__x86_64__)
    for (bool random : {false, true})
        benchmark::RegisterBenchmark((std::string("ibm2ieee/variant/vector_toward_zero/") +
                                      (random ? "random/" : "trace/") + size_name(kSmallBytes))
                                         .c_str(),
                                     BM_vector_rounding_toward_zero, random)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
#endif
}

// Console output as usual, plus a table of ratios once every run is in.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        // With --benchmark_repetitions, the fastest repetition: the one least
        // disturbed by whatever else the machine was doing (the median when
        // only aggregates are reported).
        for (const Run &run : runs) {
            if (run.error_occurred)
                continue;
            const double t = run.GetAdjustedRealTime();
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median")
                    medians_[run.run_name.function_name] = t;
                continue;
            }
            const auto [it, inserted] = seconds_.emplace(run.run_name.function_name, t);
            if (!inserted && t < it->second)
                it->second = t;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (const auto &[name, t] : medians_)
            seconds_.emplace(name, t);
        std::printf("\n%-34s %10s %10s\n", "ibm2ieee", "ratio", "goal");
        for (std::size_t bytes : {kSmallBytes, kLargeBytes}) {
            const std::string size = size_name(bytes);
            const double goal = bytes == kSmallBytes ? 60.0 : 30.0;
            for (const std::string data : {"trace", "random"})
                ratio("reference/kernel time, " + data + ", " + size,
                      "ibm2ieee/reference/" + data + "/" + size,
                      "ibm2ieee/kernel/" + data + "/" + size, data == "trace" ? goal : 0.0, true);
            ratio("memcpy/kernel time, trace, " + size, "ibm2ieee/memcpy/" + size,
                  "ibm2ieee/kernel/trace/" + size, bytes == kLargeBytes ? 0.8 : 0.0, true);
            ratio("random/trace kernel time, " + size, "ibm2ieee/kernel/random/" + size,
                  "ibm2ieee/kernel/trace/" + size, 2.0, false);
        }
    }

private:
    // Prints slow/fast; the goal is a floor (at_least) or a ceiling.
    void ratio(const std::string &label, const std::string &slow, const std::string &fast,
               double goal, bool at_least)
    {
        const auto s = seconds_.find(slow), f = seconds_.find(fast);
        if (s == seconds_.end() || f == seconds_.end() || f->second <= 0.0)
            return;
        const double r = s->second / f->second;
        if (goal > 0.0)
            std::printf("%-34s %10.2f %7s%.1f %s\n", label.c_str(), r,
                        at_least ? ">= " : "<= ", goal,
                        (at_least ? r >= goal : r <= goal) ? "met" : "MISSED");
        else
            std::printf("%-34s %10.2f\n", label.c_str(), r);
        std::fflush(stdout);
    }

    std::map<std::string, double> seconds_;
    std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char **argv)
{
    // The ratio table goes with the console format; JSON or CSV output (as
    // bench/ratios.py asks for) stays machine-readable.
    bool console = true;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--benchmark_format=", 19) == 0 &&
            std::strcmp(argv[i] + 19, "console") != 0)
            console = false;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    register_all();
    if (console) {
        RatioReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    return 0;
}
