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
// AVX-512 and aarch64 encode that rounding in the instruction; AVX2 and
// SSE2 take it from MXCSR, so their loops hand the call to one that rounds
// in integer arithmetic when the thread's setting differs.  Neither
// conversion reads or produces a subnormal number.  The results therefore
// do not depend on the rounding mode or the flush-to-zero settings of the
// calling thread.
//
// Four loops implement these steps: a portable one in plain C++, one in
// GCC's generic four-lane vectors for every target (SSE2, NEON, the s390x
// vector facility), and AVX2 and AVX-512 ones on x86-64.  One is picked when
// the library is loaded: by an ifunc resolver, whose choice lives in the
// dynamic linker's relocation, or where there are no ifuncs by a constructor
// that sets the one pointer the library writes (cpu_features.h).
#include "ibmfloat.h"
#include "ibm2ieee_variants.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "cpu_features.h"

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace ibmfloat {

namespace {

constexpr std::uint32_t kSignBit = 0x80000000u;
constexpr std::uint32_t kFractionMask = 0x00FFFFFFu;
constexpr std::uint32_t kStoredFractionMask = 0x007FFFFFu;  // binary32, hidden bit excluded
constexpr std::uint32_t kHiddenBit = 0x00800000u;
constexpr std::uint32_t kInfinity = 0x7F800000u;
[[maybe_unused]] constexpr std::uint32_t kTwoTo23 = 0x4B000000u;  // 2^23 in binary32; AVX2 only
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

// ---------------------------------------------------------------------------
// Generic vectors: four words at a time, on any 64-bit target.
//
// The steps of convert_word, every lane computing every case and the right
// one selected at the end, written with GCC's vector extensions so that one
// source gives SSE2 on baseline x86-64, NEON on aarch64 and the vector
// facility on s390x.  They differ from convert8 where SSE2 lacks an
// instruction (32-bit min and max, blends) and where a step needs a
// lane-by-lane variable shift, which baseline x86-64 lacks too:
//
//   normalisation      (float) f, exact since f < 2^24; or, on s390x, whose
//                      z13 vector facility has no single-precision
//                      arithmetic, f << (clz f - 8) with exponent 157 - clz f.
//   subnormal results  the value in units of 2^-149 rounded to an integer,
//                      in one of three ways below.
//
// Rounding to nearest.  aarch64 has a conversion that rounds to nearest,
// ties to even, whatever the rounding mode (FCVTNS), so its loop is the
// same in any floating-point environment.  SSE2 converts in the mode MXCSR
// gives and compares floats with denormals-are-zero applied: its loop runs
// where MXCSR has its default setting, nearly every thread's.  Elsewhere it
// takes one of the integer forms:
//
// Integer rounding.  With k = floor(2V), V the value in units of 2^-149,
// the integer part is k >> 1 and the first bit after the point k & 1;
// round up when that bit is set unless 2V is an integer and the integer
// part even.  k and whether 2V is an integer come from a truncating
// conversion and an exact one back (by conversions), or from a right shift
// and a left shift back (by shifts, s390x).  Truncation ignores the
// rounding mode, no conversion sees a subnormal number or NaN, and the
// clamps are integer operations, so the result depends on nothing in the
// environment.  Half the speed of rounding to nearest on SSE2.
//
// The conversions signal inexact: a thread that unmasks exceptions gets the
// portable loop, which raises none.  Where a vector form ran, the flags it
// raised are cleared again by writing back the status register as it was on
// entry, so that a call leaves the caller's flags as it found them.

namespace {

typedef std::uint32_t u32x4 __attribute__((vector_size(16)));
typedef std::int32_t i32x4 __attribute__((vector_size(16)));
typedef float f32x4 __attribute__((vector_size(16)));

enum class Form { nearest, conversions, shifts };

// Lanes of x below lo or above hi moved to (about) that bound, for bounds
// with zero lower halves and x whose upper 16 bits, read as a signed number,
// order the lanes that matter.
VECTOR_TARGET inline i32x4 clamp_upper_halves(i32x4 x, i32x4 lo, i32x4 hi)
{
#if defined(__x86_64__)
    // SSE2 has signed min and max for 16-bit lanes only.  The bounds' lower
    // halves are -32768 and 32767, so the lanes' lower halves win there.
    const __m128i lo16 = reinterpret_cast<__m128i>(lo | 0x8000);
    const __m128i hi16 = reinterpret_cast<__m128i>(hi | 0x7FFF);
    return reinterpret_cast<i32x4>(
        _mm_min_epi16(_mm_max_epi16(reinterpret_cast<__m128i>(x), lo16), hi16));
#else
    x = x < lo ? lo : x;
    return x > hi ? hi : x;
#endif
}

VECTOR_TARGET inline u32x4 count_leading_zeros(u32x4 x)
{
#if defined(__s390x__)
    return __builtin_s390_vclzf(x);
#else
    u32x4 n{};
    for (int lane = 0; lane < 4; ++lane)
        n[lane] = static_cast<std::uint32_t>(std::countl_zero(x[lane]));
    return n;
#endif
}

// Binary32 bits of f, for 0 < f < 2^24 (lanes with f = 0 give anything).
template <Form kForm>
VECTOR_TARGET inline u32x4 normalise(u32x4 f)
{
    if constexpr (kForm == Form::shifts) {
        // Shift the leading one of f = 1.m * 2^p, p = 31 - clz, to bit 23;
        // the exponent field is 127 + p, less the hidden bit the add carries.
        const u32x4 zeros = count_leading_zeros(f);
        return ((157 - zeros) << 23) + (f << (zeros - 8));
    } else {
        return reinterpret_cast<u32x4>(__builtin_convertvector(reinterpret_cast<i32x4>(f), f32x4));
    }
}

// The subnormal result of every lane with biased <= 0, for lanes whose
// `result` (the word's bits with the exponent field biased, wrapping below
// 1) and `half` (biased * 2^22 + stored fraction / 2, which never wraps)
// are given.  Other lanes give anything.
template <Form kForm>
VECTOR_TARGET inline u32x4 subnormal([[maybe_unused]] u32x4 result, u32x4 normalised, i32x4 half)
{
    if constexpr (kForm == Form::nearest) {
        // V is `result` with 149 added to its exponent field, a normal
        // number for biased >= -148.  Clamped to [2^-126, 2^23]: lanes
        // whose field wrapped (V below 2^-126, or NaN bits) round to 0, and
        // the others convert within range.
#if defined(__x86_64__)
        __m128 units = reinterpret_cast<__m128>(result + (149u << 23));
        // maxps returns its second operand when either is NaN.
        units = _mm_min_ps(_mm_max_ps(units, _mm_set1_ps(0x1p-126f)), _mm_set1_ps(0x1p23f));
        return reinterpret_cast<u32x4>(_mm_cvtps_epi32(units));
#elif defined(__aarch64__)
        // Positive binary32 numbers order as their bits do.
        i32x4 units = reinterpret_cast<i32x4>(result + (149u << 23));
        units = units < 0x00800000 ? 0x00800000 : units;
        units = units > 0x4B000000 ? 0x4B000000 : units;
        return reinterpret_cast<u32x4>(vcvtnq_s32_f32(reinterpret_cast<float32x4_t>(units)));
#else
        static_assert(kForm != Form::nearest, "no conversion to nearest on this target");
#endif
    }
    i32x4 twice, exact;  // k = floor(2V), and whether 2V is an integer
    if constexpr (kForm == Form::shifts) {
        // 2V = S * 2^biased, S = 1.m * 2^23: S shifted right by -biased.
        // Beyond 24 places nothing of S is left above 1/2, as at 24 itself:
        // the shift stops there.
        i32x4 places = -(half >> 22);
        places = places > 24 ? 24 : places;
        // cppcheck-suppress knownConditionTrueFalse ; it takes the lanes for one number
        const u32x4 down = reinterpret_cast<u32x4>(places > 0 ? places : 0);
        const u32x4 significand = (normalised & kStoredFractionMask) | kHiddenBit;
        const u32x4 kept = significand >> down;
        exact = (kept << down) == significand;
        twice = reinterpret_cast<i32x4>(kept);
    } else {
        // 2V has exponent field biased + 150.  Clamped to [125, 151] in
        // `half` (2V in [1/4, 2^25)), lanes below 1/2 give k = 0 and the
        // others convert within range.  A field of 512 or more wraps to a
        // negative number and lands on the lower bound.
        i32x4 t = clamp_upper_halves(
            reinterpret_cast<i32x4>(reinterpret_cast<u32x4>(half) + (150u << 22)),
            i32x4{} + (125 << 22), i32x4{} + (151 << 22));
        t = reinterpret_cast<i32x4>((reinterpret_cast<u32x4>(t) << 1) | (normalised & 1));
        const f32x4 scaled = reinterpret_cast<f32x4>(t);
        twice = __builtin_convertvector(scaled, i32x4);
        exact = reinterpret_cast<i32x4>(__builtin_convertvector(twice, f32x4)) == t;
    }
    const i32x4 kept = twice >> 1;
    const i32x4 tie_stays = exact & ~kept;
    return reinterpret_cast<u32x4>(kept + (twice & ~tie_stays & 1));
}

// result where biased >= 1, else the subnormal.  Every subnormal result is
// at most 2^23 (the smallest normal number once rounded up), and every
// normal result at least that, while `result` is below 2^23 or negative
// where biased <= 0: the larger wins in both orders.  The lanes with biased
// 0 have result m and subnormal round(2^22 + m/2), which is never less.
VECTOR_TARGET inline u32x4 larger(u32x4 result, u32x4 subnormal)
{
#if defined(__x86_64__)
    // As floats: where `result` has NaN bits, maxps returns `subnormal`.
    // Needs denormals-are-zero off.
    return reinterpret_cast<u32x4>(
        _mm_max_ps(reinterpret_cast<__m128>(result), reinterpret_cast<__m128>(subnormal)));
#else
    const i32x4 a = reinterpret_cast<i32x4>(result), b = reinterpret_cast<i32x4>(subnormal);
    return reinterpret_cast<u32x4>(a > b ? a : b);
#endif
}

template <Form kForm>
VECTOR_TARGET inline u32x4 convert4(u32x4 w)
{
    const u32x4 sign = w & kSignBit;
    const u32x4 f = w & kFractionMask;
    const u32x4 normalised = normalise<kForm>(f);
    // 4e - 280 in the exponent field, and the biased exponent one bit lower
    // than usual so that it fits every lane: |half| < 2^31.  `result` may
    // wrap, as unsigned arithmetic does.
    const i32x4 shift_exponent = reinterpret_cast<i32x4>(w & 0x7F000000u) - (kExponentOffset << 22);
    const i32x4 half = reinterpret_cast<i32x4>(normalised >> 1) + shift_exponent;
    // Right for lanes with biased in [1, 254].
    u32x4 result = normalised + (reinterpret_cast<u32x4>(shift_exponent) << 1);

    const u32x4 tiny = subnormal<kForm>(result, normalised, half);
    const i32x4 huge = half >= ((kMaxFiniteBiased + 1) << 22);
    if constexpr (kForm == Form::nearest) {
#if defined(__x86_64__)
        // As floats, the lanes at 2^128 and beyond hold negative or NaN bits
        // in `result` (their exponent field wrapped), so the larger takes
        // infinity from there too: one blend less.
        result = larger(result, tiny | (reinterpret_cast<u32x4>(huge) & kInfinity));
#else
        result = larger(result, tiny);
        result = huge ? kInfinity : result;
#endif
    } else {
        result = half < (1 << 22) ? tiny : result;
        result = huge ? kInfinity : result;
    }
    result = f == 0 ? 0u : result;
    return result | sign;
}

template <Form kForm>
VECTOR_TARGET void convert_vector_loop(float *ibm, int len)
{
    int i = 0;
    for (; len - i >= 4; i += 4) {  // no i + 4: len may be near INT_MAX
        u32x4 w;
        std::memcpy(&w, ibm + i, sizeof w);
        w = convert4<kForm>(w);
        std::memcpy(ibm + i, &w, sizeof w);
    }
    if (i < len)
        convert_portable(ibm + i, len - i);
}

}  // namespace

VECTOR_TARGET void convert_vector(float *ibm, int len)
{
#if defined(__x86_64__)
    // Rounding to nearest, denormals-are-zero off and every exception
    // masked: the default setting of bits 6-15 (the flags below do not
    // matter).  The integer form still truncates, which signals inexact: a
    // thread that unmasks any exception gets the portable loop.  Either
    // vector form raises flags (inexact, denormal) that are not the
    // caller's: the register is written back as it was.
    constexpr unsigned kControl = 0xFFC0, kDefault = 0x1F80, kMasks = 0x1F80;
    const unsigned csr = _mm_getcsr();
    if ((csr & kControl) == kDefault) {
        convert_vector_loop<Form::nearest>(ibm, len);
    } else if ((csr & kMasks) == kMasks) {
        convert_vector_loop<Form::conversions>(ibm, len);
    } else {
        convert_portable(ibm, len);
    }
    _mm_setcsr(csr);
#elif defined(__aarch64__)
    // FPCR's trap enables (bits 8-12 and 15), which few processors honour:
    // the conversion signals inexact, and FPSR is written back as it was.
    // Both are read and written with mrs and msr, which GCC and clang
    // (Apple's compiler) both take; their builtins for them differ.
    constexpr unsigned long kTrapEnables = 0x9F00;
    unsigned long fpcr;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    if (fpcr & kTrapEnables) {
        convert_portable(ibm, len);
    } else {
        unsigned long fpsr;
        __asm__ volatile("mrs %0, fpsr" : "=r"(fpsr) : : "memory");
        convert_vector_loop<Form::nearest>(ibm, len);
        __asm__ volatile("msr fpsr, %0" : : "r"(fpsr) : "memory");
    }
#elif defined(__s390x__)
    convert_vector_loop<Form::shifts>(ibm, len);
#else
    convert_vector_loop<Form::conversions>(ibm, len);
#endif
}

VECTOR_TARGET void convert_vector_by_conversions(float *ibm, int len)
{
    convert_vector_loop<Form::conversions>(ibm, len);
}

VECTOR_TARGET void convert_vector_by_shifts(float *ibm, int len)
{
    convert_vector_loop<Form::shifts>(ibm, len);
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
    // calling thread's rounding mode, and signals inexact.  In the rare
    // thread that has changed the mode from nearest or unmasked an
    // exception, the four-lane loop, which picks a form for it, gives the
    // same results.
    constexpr unsigned kRoundingControl = 0x6000, kMasks = 0x1F80;
    const unsigned csr = _mm_getcsr();
    if ((csr & kRoundingControl) != 0 || (csr & kMasks) != kMasks) {
        convert_vector(ibm, len);
        return;
    }
    int i = 0;
    for (; len - i >= 8; i += 8) {  // no i + 8: len may be near INT_MAX
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(ibm + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(ibm + i), convert8(w));
    }
    if (i < len)
        convert_portable(ibm + i, len - i);
    _mm_setcsr(csr);  // less the inexact flag the conversions raised
}

__attribute__((target("avx512f"))) void convert_avx512(float *ibm, int len)
{
    // Raises no flag: (float) f is exact, and the rounding conversion
    // suppresses exceptions.  MXCSR is neither read nor written.
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

#if defined(__s390x__)
bool cpu_has_vector() { return seis_cpu::has_vector(); }
#endif

RESOLVER_SAFE Kernel *select_kernel_for(unsigned long hwcap)
{
    switch (seis_cpu::widest(hwcap)) {
#if defined(__x86_64__)
    case seis_cpu::Loops::avx512: return convert_avx512;
    case seis_cpu::Loops::avx2: return convert_avx2;
#endif
    case seis_cpu::Loops::vector: return convert_vector;
    default: return convert_portable;
    }
}

Kernel *select_kernel() { return select_kernel_for(seis_cpu::resolver_argument()); }

}  // namespace ibmfloat

// The exported entry point.  The test build of this file (ibmfloat_variants)
// leaves it out, so that a test program can link both that build and the
// shared library and still reach the shipped ibm2ieee.
#if !defined(IBMFLOAT_VARIANTS_ONLY)
#if !defined(SEIS_POINTER_DISPATCH)

// Runs inside the dynamic linker, while the library is being relocated: it
// may only call code of this library (direct, hidden calls) and cpuid.  On
// s390x the loader passes the hardware capabilities as the argument.
extern "C" RESOLVER_SAFE __attribute__((visibility("hidden"))) ibmfloat::Kernel *
ibm2ieee_resolver(unsigned long hwcap)
{
    return ibmfloat::select_kernel_for(hwcap);
}

extern "C" void ibm2ieee(float *ibm, int len) __attribute__((ifunc("ibm2ieee_resolver")));

#else

namespace {

void choose_and_convert(float *ibm, int len);

// The loop ibm2ieee calls.  It starts as choose_and_convert, and the
// constructor below stores the choice while the library loads, before any
// caller can see ibm2ieee.  Should a call come first all the same (from a
// constructor of another library loaded earlier), it makes the same choice
// itself.  The pointer is only read and written by atomic operations (GCC's
// builtins, which need neither a header nor a run-time library), so such
// calls may even race; relaxed order suffices, as every value stored is a
// function of this library.
ibmfloat::Kernel *chosen = choose_and_convert;

void choose_and_convert(float *ibm, int len)
{
    ibmfloat::Kernel *kernel = ibmfloat::select_kernel();
    __atomic_store_n(&chosen, kernel, __ATOMIC_RELAXED);
    kernel(ibm, len);
}

__attribute__((constructor)) void choose_at_load()
{
    __atomic_store_n(&chosen, ibmfloat::select_kernel(), __ATOMIC_RELAXED);
}

}  // namespace

extern "C" void ibm2ieee(float *ibm, int len)
{
    __atomic_load_n(&chosen, __ATOMIC_RELAXED)(ibm, len);
}

#endif
#endif  // !IBMFLOAT_VARIANTS_ONLY
