// All 2^32 words through the exported function and through every variant
// this machine runs, compared bit for bit with the models of
// reference/ibm2ieee_reference.hpp:
//   - exponent field <= 95: the literal formula (pow once per exponent, the
//     rest per word) and, independently, the exact value rounded once, which
//     must agree with each other;
//   - exponent field >= 96: the exact value rounded once.
// Also counts the words whose result differs from the unmended formula.
//
// Instrumented (sanitizer) and emulated builds, and native builds run under an
// emulator, sweep a sample instead: every sign and exponent field, with the
// leading fraction byte limited to a few values around the edges of the
// hexadecimal normalisation.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "kernels.hpp"
#include "reference/ibm2ieee_reference.hpp"
#include "test_support.hpp"

namespace {

constexpr unsigned kBlockBits = 16;  // a block shares sign and exponent field
constexpr std::uint32_t kBlockWords = 1u << kBlockBits;
constexpr std::uint32_t kBlocks = 1u << (32 - kBlockBits);

#if defined(IBMFLOAT_SAMPLED_SWEEP)
const bool kSampled = true;
#else
const bool kSampled = testing_support::long_tests_too_slow();
#endif

// Bits 16-23 of a block's words are the top byte of the fraction.
bool in_sweep(std::uint32_t block)
{
    if (!kSampled)
        return true;
    switch (block & 0xFF) {
    case 0x00:
    case 0x01:
    case 0x0F:
    case 0x10:
    case 0x11:
    case 0x7F:
    case 0x80:
    case 0xFF: return true;
    default: return false;
    }
}

// Counts of one thread's blocks, added into the total at the end.
struct Tally {
    std::uint64_t models_disagree = 0;  // literal vs exact, exponent <= 95
    std::uint64_t nans = 0;
    std::uint64_t mended = 0;  // differs from the unmended formula; only ever at exponent >= 96
    std::vector<std::uint64_t> mismatches;  // per kernel
    std::vector<std::uint32_t> first_bad;   // per kernel: a word it gets wrong

    explicit Tally(std::size_t kernels) : mismatches(kernels, 0), first_bad(kernels, 0) {}

    void add(const Tally &t)
    {
        models_disagree += t.models_disagree;
        nans += t.nans;
        mended += t.mended;
        for (std::size_t k = 0; k < mismatches.size(); ++k) {
            if (t.mismatches[k] && !mismatches[k])
                first_bad[k] = t.first_bad[k];
            mismatches[k] += t.mismatches[k];
        }
    }
};

bool is_nan(std::uint32_t b) { return (b & 0x7F800000u) == 0x7F800000u && (b & 0x007FFFFFu) != 0; }

void sweep(const std::vector<NamedKernel> &kernels, std::atomic<std::uint32_t> &next, Tally &total,
           std::mutex &total_mutex)
{
    Tally tally(kernels.size());
    std::vector<std::uint32_t> words(kBlockWords), expected(kBlockWords);
    std::vector<float> work(kBlockWords);

    for (std::uint32_t block = next++; block < kBlocks; block = next++) {
        if (!in_sweep(block))
            continue;
        const std::uint32_t base = block << kBlockBits;
        const int e = reference::exponent_field(base);
        const float scale = reference::literal_scale(e);
        const double unit = reference::exact_unit(e);
        const bool mended_region = e >= reference::kFirstOverflowExponent;

        for (std::uint32_t j = 0; j < kBlockWords; ++j) {
            const std::uint32_t w = base | j;
            const std::uint32_t literal = reference::bits_of(reference::literal_unmended(w, scale));
            const std::uint32_t exact = reference::bits_of(reference::exact(w, unit));
            words[j] = w;
            expected[j] = mended_region ? exact : literal;
            tally.models_disagree += !mended_region && literal != exact;
            tally.mended += expected[j] != literal;
            tally.nans += is_nan(expected[j]);
        }

        for (std::size_t k = 0; k < kernels.size(); ++k) {
            std::memcpy(work.data(), words.data(), kBlockWords * sizeof(float));
            kernels[k].convert(work.data(), static_cast<int>(kBlockWords));
            if (std::memcmp(work.data(), expected.data(), kBlockWords * sizeof(float)) == 0)
                continue;
            for (std::uint32_t j = 0; j < kBlockWords; ++j)
                if (reference::bits_of(work[j]) != expected[j] && tally.mismatches[k]++ == 0)
                    tally.first_bad[k] = words[j];
        }
    }
    const std::lock_guard<std::mutex> lock(total_mutex);
    total.add(tally);
}

TEST(Ibm2ieeeExhaustive, EveryWordThroughEveryKernel)
{
    std::vector<NamedKernel> kernels;
    for (const NamedKernel &k : all_kernels())
        if (k.available)
            kernels.push_back(k);
        else
            std::printf("skipping %s: not supported on this machine\n", k.name);

    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    const auto start = std::chrono::steady_clock::now();
    std::atomic<std::uint32_t> next{0};
    Tally total(kernels.size());
    std::mutex total_mutex;
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back(sweep, std::cref(kernels), std::ref(next), std::ref(total),
                          std::ref(total_mutex));
    for (std::thread &t : pool)
        t.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::printf("%s x %zu kernels on %u threads in %.1f s; %llu words differ from the "
                "unmended formula\n",
                kSampled ? "a sample of 2^27 words" : "2^32 words", kernels.size(), threads,
                seconds, static_cast<unsigned long long>(total.mended));

    EXPECT_EQ(total.models_disagree, 0u) << "literal and exact models disagree below exponent 96";
    EXPECT_EQ(total.nans, 0u);
    if (!kSampled) {
        EXPECT_EQ(total.mended, reference::kMendedWordCount);
    }
    for (std::size_t k = 0; k < kernels.size(); ++k)
        EXPECT_EQ(total.mismatches[k], 0u)
            << kernels[k].name << ", first wrong at word " << std::hex << total.first_bad[k];
}

}  // namespace
