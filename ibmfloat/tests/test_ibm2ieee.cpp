// Conversion of IBM words through every kernel: hand-checked words, array
// edges and lengths, and independence from the floating-point environment.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfenv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <random>
#include <string_view>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "kernels.hpp"
#include "reference/ibm2ieee_reference.hpp"

namespace {

using reference::bits_of;
using reference::float_of;

constexpr std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// What a kernel could leave changed in its caller's floating-point state.
// On x86-64 that is MXCSR and the x87 control word and exception flags, not
// all of fenv_t: Windows' holds the x87 status word whole, whose stack-top
// field Wine's signal handling moves between any two reads.  Elsewhere
// fenv_t is the control and status registers (s390x's has a field
// unwritten, hence the memset).
struct FpState {
    std::fenv_t env;
    int rounding, flags;
    unsigned csr;
    std::uint16_t x87_control;
};

FpState fp_state()
{
    FpState s;
    std::memset(&s, 0, sizeof s);
    s.rounding = std::fegetround();
    s.flags = std::fetestexcept(FE_ALL_EXCEPT);
#if defined(__x86_64__)
    s.csr = _mm_getcsr();
    __asm__ volatile("fnstcw %0" : "=m"(s.x87_control));
#else
    std::fegetenv(&s.env);
#endif
    return s;
}

struct WordCase {
    std::uint32_t word;
    std::uint32_t expected;
    const char *what;
};

// Expected bits worked out by hand from (-1)^s * f * 2^(4(e-64) - 24).
const WordCase kWords[] = {
    {0x00000000, bits(0.0f), "zero"},
    {0x80000000, bits(-0.0f), "negative zero"},
    {0x41100000, bits(1.0f), "one"},
    {0x42640000, bits(100.0f), "hundred"},
    {0xC276A000, bits(-118.625f), "negative, several hex digits"},
    {0x3F100000, bits(0.00390625f), "negative exponent"},
    {0x42010000, bits(1.0f), "unnormalised fraction 1/256, scale 256"},
    {0x40000001, bits(0x1p-24f), "smallest fraction at scale 1"},
    {0x5FFFFFFF, 0x7D7FFFFF, "largest word below exponent 96"},
    {0x7FFFFFFF, bits(INFINITY), "largest word"},
    {0xFFFFFFFF, bits(-INFINITY), "most negative word"},
    // Exponent field 96 and above: exact value, zero stays zero.
    {0x60100000, bits(0x1p124f), "exponent 96, fraction 1/16"},
    {0x60000000, bits(0.0f), "exponent 96, zero fraction"},
    {0xE0000000, bits(-0.0f), "exponent 96, negative zero fraction"},
    {0x7F000000, bits(0.0f), "largest exponent, zero fraction"},
    {0x60FFFFFF, 0x7F7FFFFF, "exponent 96, largest fraction: FLT_MAX"},
    {0xE0FFFFFF, 0xFF7FFFFF, "exponent 96, largest fraction, negative"},
    {0x610FFFFF, 0x7F7FFFF0, "exponent 97, largest fraction below 2^128"},
    {0x61100000, bits(INFINITY), "exponent 97, exactly 2^128"},
    {0x65000001, bits(0x1p124f), "exponent 101, fraction 2^-24: 2^124"},
    {0x6500000F, 0x7F700000, "exponent 101, largest fraction below 2^128"},
    {0x65000010, bits(INFINITY), "exponent 101, 2^128"},
    {0x66000001, bits(INFINITY), "exponent 102, smallest fraction: 2^128"},
    // Gradual underflow and the flush below it.
    {0x21400000, 0x00800000, "smallest normal, 2^-126"},
    {0x213FFFFF, 0x007FFFFE, "largest value below 2^-126, exact"},
    {0x21100000, 0x00200000, "exponent 33, first exact normal scale: 2^-128"},
    {0x20100000, 0x00020000, "exponent 32: subnormal scale 2^-128"},
    {0x20FFFFFF, 0x00200000, "exponent 32, rounds up"},
    {0x1B800000, 0x00000001, "smallest subnormal"},
    {0x1B400000, 0x00000000, "half the smallest subnormal: tie to even 0"},
    {0x1B400001, 0x00000001, "just above half: rounds up"},
    {0x1BC00000, 0x00000002, "1.5 units: tie to even 2"},
    {0x9BC00000, 0x80000002, "negative 1.5 units"},
    {0x1C140000, 0x00000002, "2.5 units: tie to even 2"},
    {0x1C1C0000, 0x00000004, "3.5 units: tie to even 4"},
    {0x1B100000, bits(0.0f), "product underflows"},
    {0x1AFFFFFF, bits(0.0f), "exponent 26: scale rounds to zero"},
    {0x9AFFFFFF, bits(-0.0f), "exponent 26, negative"},
    {0x80FFFFFF, bits(-0.0f), "exponent 0, negative"},
    {0x00000001, bits(0.0f), "smallest nonzero word, 2^-280"},
    {0x80000001, bits(-0.0f), "smallest nonzero word, negative"},
};

class KernelTest : public ::testing::TestWithParam<NamedKernel> {
protected:
    void SetUp() override
    {
        if (!GetParam().available)
            GTEST_SKIP() << GetParam().name << " is not supported on this machine";
    }
    void convert(float *ibm, int len) const { GetParam().convert(ibm, len); }
};

std::string kernel_name(const ::testing::TestParamInfo<NamedKernel> &info)
{
    return info.param.name;
}

TEST(ReferenceModel, AgreesWithHandCheckedWords)
{
    for (const WordCase &c : kWords)
        EXPECT_EQ(bits_of(reference::ibm_to_ieee(c.word)), c.expected) << c.what;
}

TEST_P(KernelTest, HandCheckedWordsOneByOneAndAsOneArray)
{
    std::vector<float> all;
    for (const WordCase &c : kWords) {
        float x = float_of(c.word);
        convert(&x, 1);
        EXPECT_EQ(bits_of(x), c.expected) << std::hex << c.word << ": " << c.what;
        all.push_back(float_of(c.word));
    }
    convert(all.data(), static_cast<int>(all.size()));
    for (std::size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(bits_of(all[i]), kWords[i].expected)
            << std::hex << kWords[i].word << ": " << kWords[i].what;
}

TEST_P(KernelTest, NonPositiveLengthTouchesNothing)
{
    const float sentinel = float_of(0x41100000);
    for (int len : {0, -1, -16, INT_MIN}) {
        float buffer[32];
        std::fill(std::begin(buffer), std::end(buffer), sentinel);
        convert(buffer, len);
        for (float x : buffer)
            EXPECT_EQ(bits_of(x), bits_of(sentinel)) << "len " << len;
        convert(nullptr, len);  // nothing may be read
    }
}

// Every length through several vector widths plus tails, at every word
// offset within a 64-byte line, with sentinels on both sides.
TEST_P(KernelTest, ConvertsExactlyTheRangeGiven)
{
    constexpr int kGuard = 24;
    constexpr std::uint32_t kSentinel = 0x7FC0DEAD;
    std::mt19937 rng(4);
    for (int offset = 0; offset < 16; ++offset) {
        for (int len = 0; len <= 80; ++len) {
            alignas(64) float buffer[kGuard + 16 + 80 + kGuard];
            for (float &x : buffer)
                x = float_of(kSentinel);
            float *data = buffer + kGuard + offset;
            std::vector<std::uint32_t> words(static_cast<std::size_t>(len));
            for (std::uint32_t &w : words)
                w = rng();
            for (int i = 0; i < len; ++i)
                data[i] = float_of(words[i]);

            convert(data, len);

            for (int i = 0; i < len; ++i)
                ASSERT_EQ(bits_of(data[i]), bits_of(reference::ibm_to_ieee(words[i])))
                    << "offset " << offset << " len " << len << " index " << i << " word "
                    << std::hex << words[i];
            for (float *p = buffer; p < data; ++p)
                ASSERT_EQ(bits_of(*p), kSentinel) << "before, offset " << offset << " len " << len;
            for (float *p = data + len; p < std::end(buffer); ++p)
                ASSERT_EQ(bits_of(*p), kSentinel) << "after, offset " << offset << " len " << len;
        }
    }
}

// Same words, same bits, whatever rounding mode, denormals-are-zero and
// flush-to-zero setting and exception masks the calling thread has, no
// signal, and its environment (flags too) left as it was.  The integer form
// by conversions, called on its own, truncates and so signals inexact: it is
// spared the settings that trap on that and the flag check.
TEST_P(KernelTest, IgnoresTheFloatingPointEnvironment)
{
    std::vector<std::uint32_t> words;
    for (std::uint32_t e = 0x18; e <= 0x22; ++e)  // across the subnormal results
        for (std::uint32_t f : {0x000001u, 0x400000u, 0x400001u, 0xC00000u, 0x5A5A5Au, 0xFFFFFFu})
            for (std::uint32_t s : {0u, 0x80000000u})
                words.push_back(s | e << 24 | f);
    for (std::uint32_t w : {0x41100000u, 0x3F123456u, 0xC276A000u, 0x60FFFFFFu, 0x5FFFFFFFu,
                            0x7FFFFFFFu, 0xE0000000u, 0x61100000u})
        words.push_back(w);
    std::mt19937 rng(7);  // vectors mixing every kind of word
    for (int i = 0; i < 256; ++i)
        words.push_back(rng());
    std::vector<std::uint32_t> expected;
    for (std::uint32_t w : words)
        expected.push_back(bits_of(reference::ibm_to_ieee(w)));

    const int old_rounding = std::fegetround();
#if defined(__x86_64__)
    const unsigned old_csr = _mm_getcsr();
#endif
    const bool truncates = std::string_view(GetParam().name) == "vector_by_conversions";
    const int modes[] = {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO};
    const unsigned flushes[] = {0x0000, 0x0040, 0x8000, 0x8040};  // neither, DAZ, FTZ, both
    const unsigned masks[] = {0x1F80, 0x0F80, 0x0000};  // all, all but inexact, none masked
    // Each setting with the six status flags clear, then with all of them set.
    for (int k = 0; k < 4 * 4 * 3 * 2; ++k) {
        const int mode = modes[k % 4];
        const unsigned setting = flushes[k / 4 % 4] | masks[k / 16 % 3] | (k < 48 ? 0 : 0x3F);
        if (truncates && (setting & 0x1000) == 0)  // inexact unmasked
            continue;
        std::vector<float> data(words.size());
        std::memcpy(data.data(), words.data(), words.size() * sizeof(float));
        std::fesetround(mode);
        std::feclearexcept(FE_ALL_EXCEPT);
#if defined(__x86_64__)
        _mm_setcsr((_mm_getcsr() & ~0x9FFFu) | setting);
#endif
        const FpState before = fp_state();
        convert(data.data(), static_cast<int>(data.size()));
        const FpState after = fp_state();
#if defined(__x86_64__)
        _mm_setcsr(old_csr);
#endif
        std::fesetround(old_rounding);
        EXPECT_TRUE(truncates || std::memcmp(&before, &after, sizeof before) == 0)
            << std::hex << "mode " << mode << " setting " << setting;
        for (std::size_t i = 0; i < words.size(); ++i)
            EXPECT_EQ(bits_of(data[i]), expected[i])
                << std::hex << "mode " << mode << " setting " << setting << " word " << words[i];
    }
}

INSTANTIATE_TEST_SUITE_P(AllKernels, KernelTest, ::testing::ValuesIn(all_kernels()), kernel_name);

TEST(Dispatch, PicksTheWidestVariantTheMachineRuns)
{
#if defined(__x86_64__)
    ibmfloat::Kernel *expected = ibmfloat::cpu_has_avx512() ? ibmfloat::convert_avx512
                                 : ibmfloat::cpu_has_avx2() ? ibmfloat::convert_avx2
                                                            : ibmfloat::convert_vector;
    // AVX-512F implies AVX2 on every processor that has it.
    if (ibmfloat::cpu_has_avx512()) {
        EXPECT_TRUE(ibmfloat::cpu_has_avx2());
    }
#elif defined(__s390x__)
    ibmfloat::Kernel *expected =
        ibmfloat::cpu_has_vector() ? ibmfloat::convert_vector : ibmfloat::convert_portable;
#elif defined(__aarch64__)
    ibmfloat::Kernel *expected = ibmfloat::convert_vector;
#else
    ibmfloat::Kernel *expected = ibmfloat::convert_portable;
#endif
    EXPECT_EQ(ibmfloat::select_kernel(), expected);
}

}  // namespace
