// What the load-time dispatch costs on short calls: each dispatched kernel
// through the library as built (an ifunc on glibc), and through a build of
// the same source that dispatches through a pointer (SEIS_POINTER_DISPATCH,
// the form of Windows, macOS and musl), both loaded into this process and
// called by the addresses dlsym gives, as ctypes calls them.
//
// dlsym resolves an ifunc to the loop it chose, while the pointer build's
// export loads the pointer and jumps: the difference between the two rows
// of a pair is that load and jump.  A C program calls both through its PLT,
// which adds the same jump to each.
#include <benchmark/benchmark.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using Convert = void(float *, int);
using Search = int(double, double, const double *, const double *, double *, int *, int);

template <typename Function>
Function *symbol(const char *library, const char *name)
{
    void *handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    void *address = handle ? dlsym(handle, name) : nullptr;
    if (!address) {
        std::fprintf(stderr, "bench_dispatch: %s: %s\n", library, dlerror());
        std::exit(1);
    }
    return reinterpret_cast<Function *>(address);
}

// 16 words: one AVX-512 vector, two AVX2 ones, four of the four-lane loop.
void ibm2ieee_16_words(benchmark::State &state, const char *library)
{
    Convert *convert = symbol<Convert>(library, "ibm2ieee");
    const unsigned pristine[16] = {0x41100000, 0xC276A000, 0x00000000, 0x80000000,
                                   0x60FFFFFF, 0x61100000, 0x1B000001, 0x3F123456,
                                   0x42640000, 0xC1200000, 0x44FFFFFF, 0x20100000,
                                   0x41800000, 0xBF800000, 0x5A7FFFFF, 0x0FABCDEF};
    float words[16];
    for (auto _ : state) {
        std::memcpy(words, pristine, sizeof words);
        convert(words, 16);
        benchmark::DoNotOptimize(words);
        benchmark::ClobberMemory();
    }
}

// Two samples: one interval, reached once directly and once the other way round.
void phase_search_2_samples(benchmark::State &state, const char *library)
{
    Search *search = symbol<Search>(library, "seismic_phase_calc_time_inner_loop");
    const double dist[2] = {0.4, 0.6}, ray_param[2] = {9.0, 8.0};
    double hit_dist[8];
    int hit_ray[8];
    for (auto _ : state) {
        int hits = search(30.0, 1.2, dist, ray_param, hit_dist, hit_ray, 2);
        benchmark::DoNotOptimize(hits);
        benchmark::DoNotOptimize(hit_dist);
    }
}

}  // namespace

// Pairs side by side, so that both forms meet the same state of the machine.
BENCHMARK_CAPTURE(ibm2ieee_16_words, as_built, IBMFLOAT_AS_BUILT)
    ->Name("dispatch/ibm2ieee_16_words/as_built");
BENCHMARK_CAPTURE(ibm2ieee_16_words, pointer, IBMFLOAT_POINTER)
    ->Name("dispatch/ibm2ieee_16_words/pointer");
BENCHMARK_CAPTURE(phase_search_2_samples, as_built, TRAVELTIME_AS_BUILT)
    ->Name("dispatch/phase_search_2_samples/as_built");
BENCHMARK_CAPTURE(phase_search_2_samples, pointer, TRAVELTIME_POINTER)
    ->Name("dispatch/phase_search_2_samples/pointer");

BENCHMARK_MAIN();
