// Reference models of the IBM System/360 single-precision to IEEE binary32
// conversion, shared by the tests, the benchmarks and the fuzzers.
//
// An IBM word is  sign(1) | exponent e(7, excess 64) | fraction f(24)  and
// stands for  (-1)^sign * (f / 2^24) * 16^(e - 64).
//
// Two independent models live here:
//
//  * literal_unmended(): the conversion formula exactly as the host code
//    wrote it, one separately rounded binary32 operation at a time:
//        scale  = (float) pow(16.0, e - 64)
//        result = ((float)(1 - 2*sign) * ((float) f * 2^-24f)) * scale
//    For e >= 96 the scale overflows to +inf, so every word with a nonzero
//    fraction becomes +-inf and every zero fraction becomes 0 * inf = NaN.
//
//  * exact(): the exact value sign * f * 2^(4(e-64) - 24), formed in double
//    (f has 24 bits and the power of two lies in [2^-280, 2^228], so the
//    product is an exact normal double for every word), then rounded once to
//    the nearest binary32 by the conversion, ties to even.
//
// How the two relate, by exponent field:
//
//    e in [33, 95]   scale is an exact normal power of two, 2^-124 .. 2^124
//    e in [27, 32]   scale is an exact subnormal power of two, 2^-148 .. 2^-128
//    e in [ 0, 26]   scale rounds to 0 (16^-38 = 2^-152 is below half of 2^-149)
//    e in [96,127]   scale rounds to +inf
//
//  For every e <= 95 the literal formula equals one correct rounding of the
//  exact value, subnormal range included: the sign factor and the fraction
//  are exact, the scale is either exact or zero, so the last product is the
//  only rounding step.  When the scale is zero the exact magnitude is below
//  16^(e-64) <= 2^-152, under half the smallest subnormal, so a single
//  rounding also gives zero, with the word's sign in both models.  The
//  exhaustive test checks this agreement word by word.
//
//  For e >= 96 the library returns the exact model (a zero fraction gives a
//  zero of the word's sign).  No rounding happens there at all: e = 96 gives
//  f * 2^104, exactly representable up to 0x60FFFFFF -> FLT_MAX; for e >= 97
//  a value is either a multiple of 2^108 below 2^128 (at most 20 significant
//  bits, exact) or at least 2^128 (+-inf).
//
//  ibm_to_ieee() is the library's contract: literal for e <= 95, exact above.
//  The words on which it differs from literal_unmended() are, per sign, the
//  32 zero fractions of e = 96..127 plus the 2^24-1, 2^20-1, 2^16-1, 2^12-1,
//  2^8-1 and 2^4-1 nonzero fractions of e = 96..101 that fit below 2^128:
//  2 * (32 + 17895690) = 35,791,444 words in all.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace reference {

// Words on which the library's result differs from literal_unmended().
inline constexpr std::uint64_t kMendedWordCount = 35791444;

// First exponent field whose literal scale 16^(e-64) overflows binary32.
inline constexpr int kFirstOverflowExponent = 96;

inline std::uint32_t bits_of(float x)
{
    std::uint32_t w;
    std::memcpy(&w, &x, sizeof w);
    return w;
}

inline float float_of(std::uint32_t w)
{
    float x;
    std::memcpy(&x, &w, sizeof x);
    return x;
}

inline int exponent_field(std::uint32_t w) { return static_cast<int>((w >> 24) & 0x7F); }

// Step 4 of the formula: pow in double, then rounded to binary32.
inline float literal_scale(int exponent)
{
    return static_cast<float>(std::pow(16.0, exponent - 64));
}

// The formula's constant, written as the host code writes it.
inline constexpr float kTwoToMinus24 = 5.9604645e-08f;
static_assert(kTwoToMinus24 == 0x1p-24f);

// Steps 2, 3 and 5, given the scale of the word's exponent field.
inline float literal_unmended(std::uint32_t w, float scale)
{
    const std::int32_t word = static_cast<std::int32_t>(w);
    const float sign_factor = static_cast<float>(1 - 2 * static_cast<int>((w >> 31) & 1));
    const float fraction = static_cast<float>(word & 0x00FFFFFF) * kTwoToMinus24;
    return (sign_factor * fraction) * scale;
}

inline float literal_unmended(std::uint32_t w)
{
    return literal_unmended(w, literal_scale(exponent_field(w)));
}

// 2^(4(e-64) - 24) in double: the weight of one unit of the fraction.
inline double exact_unit(int exponent) { return std::ldexp(1.0, 4 * (exponent - 64) - 24); }

inline float exact(std::uint32_t w, double unit)
{
    const double magnitude = static_cast<double>(w & 0x00FFFFFF) * unit;  // exact
    return static_cast<float>((w >> 31) ? -magnitude : magnitude);        // one rounding
}

inline float exact(std::uint32_t w) { return exact(w, exact_unit(exponent_field(w))); }

// The library's contract for one word.
inline float ibm_to_ieee(std::uint32_t w)
{
    return exponent_field(w) < kFirstOverflowExponent ? literal_unmended(w) : exact(w);
}

// The literal loop over an array, in place, one pow per word.
inline void ibm2ieee(float *ibm, int len)
{
    for (int i = 0; i < len; i++) {
        std::uint32_t w;
        std::memcpy(&w, &ibm[i], sizeof w);
        const int e = exponent_field(w);
        ibm[i] = e < kFirstOverflowExponent ? literal_unmended(w, literal_scale(e)) : exact(w);
    }
}

// IBM encoding of a double, fraction truncated (as IBM hardware stores a
// longer result): for generating realistic test and benchmark data.
// Magnitudes beyond the IBM range saturate to the largest word, those below
// it give a zero word; NaN is not handled.
inline std::uint32_t ieee_to_ibm(double x)
{
    const std::uint32_t sign = std::signbit(x) ? 0x80000000u : 0u;
    const double a = std::fabs(x);
    if (a == 0.0)
        return sign;
    int q;
    const double m = std::frexp(a, &q);                  // a = m * 2^q, m in [0.5, 1)
    const int k = (q >= 0) ? (q + 3) / 4 : -((-q) / 4);  // ceil(q / 4)
    if (k + 64 > 127)
        return sign | 0x7FFFFFFFu;
    if (k + 64 < 0)
        return sign;
    const double fraction = std::ldexp(m, q - 4 * k);  // in [1/16, 1)
    const auto f = static_cast<std::uint32_t>(std::ldexp(fraction, 24));
    return sign | (static_cast<std::uint32_t>(k + 64) << 24) | f;
}

}  // namespace reference
