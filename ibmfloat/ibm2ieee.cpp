// In-place conversion of IBM System/360 single-precision words to IEEE 754
// binary32.
//
// The value of an IBM word is  (-1)^s * f * 2^(4(e-64) - 24)  with a 24-bit
// integer fraction f and a 7-bit exponent field e.  Converting it is
// rounding that exact value once to binary32.  That is what the pow-based
// formula of ibmfloat.h gives for e <= 95 (its scale 16^(e-64) is an exact
// power of two, or zero where even the largest fraction would round to
// zero, so its final product is the only rounding), and it is the defined
// result for e >= 96, where the formula's scale would overflow.
//
// So no pow and no floating-point multiply is needed: the conversion is
// done on the bit patterns.
//
//   1. Normalise f: with p = floor(log2 f), f = 1.m * 2^p, and m gives the
//      23 stored fraction bits of the result.
//   2. The binary32 biased exponent is  b = 127 + p + 4e - 280.
//   3. b in [1, 254]: the result is exact: sign | b << 23 | m.
//      b >= 255: the value is at least 2^128 and the result is infinity.
//      b <= 0: the value is below 2^-126.  In units of the subnormal
//      spacing 2^-149 it is (1.m * 2^23) * 2^(b-1), an integer shifted right
//      by 1-b places; rounding that shift to nearest, ties to even, gives
//      the subnormal's bits.  A carry out of the top lands on the smallest
//      normal number, which the encoding represents correctly, and shifts of
//      25 places or more leave less than half a unit: zero.
//   4. f = 0 gives a zero of the word's sign, whatever the exponent.
//
// The portable loop does all of this in integer arithmetic.  The vector
// loops use two conversions besides: f to binary32, which is exact
// (f < 2^24) and serves as the normalisation of step 1, and, for the
// rounding of step 3, a conversion of the value counted in units of 2^-149
// (a normal binary32 number) to an integer, nearest with ties to even.
// AVX-512 encodes that rounding in the instruction; AVX2 takes it from
// MXCSR, so its loop hands the call to the portable one when the thread's
// rounding mode is not nearest.  Neither conversion reads or produces a
// subnormal number.  The results therefore do not depend on the rounding
// mode or the flush-to-zero settings of the calling thread.
//
// Three loops implement these steps: a portable one in plain C++, and AVX2
// and AVX-512 ones on x86-64.  An ifunc resolver picks one when the library
// is loaded; the choice lives in the dynamic linker's relocation, so the
// library itself has no mutable state.
#include "ibmfloat.h"
#include "ibm2ieee_variants.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "cpu_features.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace ibmfloat {

namespace {

constexpr std::uint32_t kSignBit = 0x80000000u;
constexpr std::uint32_t kFractionMask = 0x00FFFFFFu;
constexpr std::uint32_t kStoredFractionMask = 0x007FFFFFu;  // binary32, hidden bit excluded
constexpr std::uint32_t kHiddenBit = 0x00800000u;
constexpr std::uint32_t kInfinity = 0x7F800000u;
constexpr std::uint32_t kTwoTo23 = 0x4B000000u;  // binary32 bits of 2^23
constexpr std::int32_t kMaxFiniteBiased = 254;
// (float) f has biased exponent 127 + p; the word's scale adds 4e - 280.
constexpr std::int32_t kExponentOffset = 280;

std::uint32_t convert_word(std::uint32_t w)
{
    const std::uint32_t sign = w & kSignBit;
    const std::uint32_t f = w & kFractionMask;
    if (f == 0)
        return sign;
    const std::int32_t e = static_cast<std::int32_t>((w >> 24) & 0x7F);

    const int p = 31 - std::countl_zero(f);           // 0 .. 23
    const std::uint32_t significand = f << (23 - p);  // 1.m * 2^23
    const std::int32_t biased = 127 + p + 4 * e - kExponentOffset;

    if (biased > kMaxFiniteBiased)
        return sign | kInfinity;
    if (biased >= 1)
        return sign | static_cast<std::uint32_t>(biased) << 23 |
               (significand & kStoredFractionMask);

    const int shift = 1 - biased;
    if (shift > 24)  // below half the smallest subnormal
        return sign;
    std::uint32_t kept = significand >> shift;
    const std::uint32_t rest = significand & ((1u << shift) - 1);
    const std::uint32_t half = 1u << (shift - 1);
    if (rest > half || (rest == half && (kept & 1)))
        kept += 1;
    return sign | kept;
}

}  // namespace

void convert_portable(float *ibm, int len)
{
    for (int i = 0; i < len; ++i) {
        std::uint32_t w;
        std::memcpy(&w, &ibm[i], sizeof w);
        w = convert_word(w);
        std::memcpy(&ibm[i], &w, sizeof w);
    }
}

#if defined(__x86_64__)

RESOLVER_SAFE bool cpu_has_avx2() { return seis_cpu::has_avx2(); }

RESOLVER_SAFE bool cpu_has_avx512() { return seis_cpu::has_avx512(); }

namespace {

// Eight words at once; the steps of convert_word, every lane computing every
// case and the right one selected at the end.
__attribute__((target("avx2"))) inline __m256i convert8(__m256i w)
{
    const __m256i sign = _mm256_and_si256(w, _mm256_set1_epi32(static_cast<int>(kSignBit)));
    const __m256i f = _mm256_and_si256(w, _mm256_set1_epi32(kFractionMask));
    // (float) f is exact; its bits are 127 + p in the exponent field and m
    // below it: the normalisation of step 1.
    const __m256i normalised = _mm256_castps_si256(_mm256_cvtepi32_ps(f));
    const __m256i e4 = _mm256_and_si256(_mm256_srli_epi32(w, 22), _mm256_set1_epi32(0x1FC));
    const __m256i shift_exponent = _mm256_sub_epi32(e4, _mm256_set1_epi32(kExponentOffset));
    const __m256i biased = _mm256_add_epi32(_mm256_srli_epi32(normalised, 23), shift_exponent);
    // Right for lanes with biased in [1, 254]; other lanes are replaced below.
    __m256i result = _mm256_add_epi32(normalised, _mm256_slli_epi32(shift_exponent, 23));

    // Adding 149 to the exponent field of the result gives the value in
    // units of the smallest subnormal 2^-149, as a normal binary32 number
    // (clamped to the smallest normal number where the field would drop
    // below 1: the value is then under 2^-275).  For lanes with biased <= 0
    // it is below 2^23, and rounding it to an integer, nearest with ties to
    // even, gives the subnormal's bits.  The conversion rounds as MXCSR
    // says, which convert_avx2 has checked is to nearest.
    // Computed for every vector: with eight lanes, data with any share of
    // tiny values makes a branch around it mispredict often.  The other
    // lanes are clamped to 2^23 so that no conversion is out of range: a
    // thread that traps invalid operations must not get a signal here.
    const __m256i units =
        _mm256_min_epi32(_mm256_max_epi32(_mm256_add_epi32(result, _mm256_set1_epi32(149 << 23)),
                                          _mm256_set1_epi32(kHiddenBit)),
                         _mm256_set1_epi32(kTwoTo23));
    const __m256i rounded = _mm256_cvtps_epi32(_mm256_castsi256_ps(units));
    const __m256i tiny = _mm256_cmpgt_epi32(_mm256_set1_epi32(1), biased);
    result = _mm256_blendv_epi8(result, rounded, tiny);
    const __m256i huge = _mm256_cmpgt_epi32(biased, _mm256_set1_epi32(kMaxFiniteBiased));
    result = _mm256_blendv_epi8(result, _mm256_set1_epi32(kInfinity), huge);
    const __m256i zero_fraction = _mm256_cmpeq_epi32(f, _mm256_setzero_si256());
    result = _mm256_andnot_si256(zero_fraction, result);
    return _mm256_or_si256(result, sign);
}

// GCC 12's AVX-512 intrinsics start from a deliberately undefined register
// (_mm512_undefined_epi32) and then warn about it at every use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

__attribute__((target("avx512f"))) inline __m512i convert16(__m512i w)
{
    const __m512i sign = _mm512_and_si512(w, _mm512_set1_epi32(static_cast<int>(kSignBit)));
    const __m512i f = _mm512_and_si512(w, _mm512_set1_epi32(kFractionMask));
    const __m512i normalised = _mm512_castps_si512(_mm512_cvtepi32_ps(f));
    const __m512i e4 = _mm512_and_si512(_mm512_srli_epi32(w, 22), _mm512_set1_epi32(0x1FC));
    const __m512i shift_exponent = _mm512_sub_epi32(e4, _mm512_set1_epi32(kExponentOffset));
    const __m512i biased = _mm512_add_epi32(_mm512_srli_epi32(normalised, 23), shift_exponent);
    __m512i result = _mm512_add_epi32(normalised, _mm512_slli_epi32(shift_exponent, 23));

    const __mmask16 nonzero = _mm512_test_epi32_mask(f, f);
    const __mmask16 tiny = _mm512_mask_cmplt_epi32_mask(nonzero, biased, _mm512_set1_epi32(1));
    if (tiny) {
        // As in convert8, with the rounding (nearest, ties to even) encoded
        // in the instruction: MXCSR is not consulted.  With sixteen lanes,
        // random data takes this branch nearly always and trace data nearly
        // never, so it is well predicted either way.
        const __m512i units = _mm512_max_epi32(
            _mm512_add_epi32(result, _mm512_set1_epi32(149 << 23)), _mm512_set1_epi32(kHiddenBit));
        const __m512i rounded = _mm512_cvt_roundps_epi32(
            _mm512_castsi512_ps(units), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        result = _mm512_mask_mov_epi32(result, tiny, rounded);
    }
    const __mmask16 huge = _mm512_cmpgt_epi32_mask(biased, _mm512_set1_epi32(kMaxFiniteBiased));
    result = _mm512_mask_mov_epi32(result, huge, _mm512_set1_epi32(kInfinity));
    // Nonzero fractions: result | sign; zero fractions: the sign alone.
    return _mm512_mask_or_epi32(sign, nonzero, result, sign);
}

}  // namespace

__attribute__((target("avx2"))) void convert_avx2(float *ibm, int len)
{
    // convert8 rounds subnormal results with a conversion that follows the
    // calling thread's rounding mode.  In the rare thread that has changed
    // it from nearest, the integer-only loop gives the same results.
    constexpr unsigned kMxcsrRoundingControl = 0x6000;
    if ((_mm_getcsr() & kMxcsrRoundingControl) != 0) {
        convert_portable(ibm, len);
        return;
    }
    int i = 0;
    for (; len - i >= 8; i += 8) {  // no i + 8: len may be near INT_MAX
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(ibm + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(ibm + i), convert8(w));
    }
    if (i < len)
        convert_portable(ibm + i, len - i);
}

__attribute__((target("avx512f"))) void convert_avx512(float *ibm, int len)
{
    if (len <= 0)
        return;
    // Split cache-line loads and stores cost extra: convert the words up to
    // the first 64-byte boundary with a masked step, then whole lines.
    // Masked-off lanes are neither read nor written.
    int i = 0;
    const unsigned misalignment = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(ibm) & 63);
    if (misalignment != 0) {
        const int head = static_cast<int>((64 - misalignment) / sizeof(float));
        const int n = head < len ? head : len;
        const __mmask16 lanes = static_cast<__mmask16>((1u << n) - 1);
        const __m512i w = _mm512_maskz_loadu_epi32(lanes, ibm);
        _mm512_mask_storeu_epi32(ibm, lanes, convert16(w));
        i = n;
    }
    for (; len - i >= 16; i += 16) {  // no i + 16: len may be near INT_MAX
        const __m512i w = _mm512_loadu_si512(ibm + i);
        _mm512_storeu_si512(ibm + i, convert16(w));
    }
    if (i < len) {
        const __mmask16 lanes = static_cast<__mmask16>((1u << (len - i)) - 1);
        const __m512i w = _mm512_maskz_loadu_epi32(lanes, ibm + i);
        _mm512_mask_storeu_epi32(ibm + i, lanes, convert16(w));
    }
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif  // __x86_64__

RESOLVER_SAFE Kernel *select_kernel()
{
#if defined(__x86_64__)
    if (cpu_has_avx512())
        return convert_avx512;
    if (cpu_has_avx2())
        return convert_avx2;
#endif
    return convert_portable;
}

}  // namespace ibmfloat

// The exported entry point.  The test build of this file (ibmfloat_variants)
// leaves it out, so that a test program can link both that build and the
// shared library and still reach the shipped ibm2ieee.
#if !defined(IBMFLOAT_VARIANTS_ONLY)
#if defined(__x86_64__)

// Runs inside the dynamic linker, while the library is being relocated: it
// may only call code of this library (direct, hidden calls) and cpuid.
extern "C" RESOLVER_SAFE __attribute__((visibility("hidden"))) ibmfloat::Kernel *ibm2ieee_resolver()
{
    return ibmfloat::select_kernel();
}

extern "C" void ibm2ieee(float *ibm, int len) __attribute__((ifunc("ibm2ieee_resolver")));

#else

extern "C" void ibm2ieee(float *ibm, int len) { ibmfloat::convert_portable(ibm, len); }

#endif
#endif  // !IBMFLOAT_VARIANTS_ONLY
