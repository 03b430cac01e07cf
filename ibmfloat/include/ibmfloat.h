/* ibmfloat.h - in-place conversion of IBM System/360 hexadecimal
 * single-precision samples, as stored in SEG-Y trace data, to IEEE 754
 * binary32.
 *
 * The kernel allocates nothing, keeps no state, and is safe to call from
 * several threads at once on disjoint arrays.  Pointers and lengths are
 * trusted.
 */
#ifndef IBMFLOAT_H
#define IBMFLOAT_H

/* Windows: exported from the DLL when building it, imported from it
 * otherwise.  ELF and Mach-O: visible, while the rest of the library is
 * hidden. */
#if defined(_WIN32) && defined(IBMFLOAT_BUILDING)
#define IBMFLOAT_API __declspec(dllexport)
#elif defined(_WIN32)
#define IBMFLOAT_API __declspec(dllimport)
#elif defined(IBMFLOAT_BUILDING) && defined(__GNUC__)
#define IBMFLOAT_API __attribute__((visibility("default")))
#else
#define IBMFLOAT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Converts ibm[0 .. len) in place.  On entry each element's 32 bits, read in
 * host byte order (words from a big-endian file must be swapped first), are
 * an IBM single-precision value
 *
 *     bit 31 sign s | bits 24-30 exponent e (excess 64) | bits 0-23 fraction f
 *     value = (-1)^s * (f / 2^24) * 16^(e - 64)
 *
 * Unnormalised fractions (leading hex digit 0) are accepted.  On return each
 * element holds a binary32 value:
 *
 *   - exponent field e <= 95: bit for bit the result of
 *         scale  = (float) pow(16.0, e - 64)
 *         result = ((float)(1 - 2s) * ((float) f * 2^-24)) * scale
 *     with each binary32 operation rounded to nearest, ties to even.  This is
 *     the value rounded once to binary32, gradual underflow included; words
 *     below the smallest subnormal (all of e <= 26, for instance) become a
 *     zero carrying the word's sign, so 0x80000000 gives -0.0.
 *   - exponent field e >= 96: a zero fraction gives a zero with the word's
 *     sign; any other word gives its exact value rounded to the nearest
 *     binary32, which is +-infinity only beyond binary32's range.  Every
 *     word of e = 96 fits (0x60100000 -> 2^124, 0x60FFFFFF -> FLT_MAX);
 *     0x61100000 (2^128) and above become infinity.
 *
 * No word converts to a NaN.  The results do not depend on the floating-point
 * environment (rounding mode, flush-to-zero, denormals-are-zero, exception
 * masks), and a call leaves that environment as it found it: it changes no
 * setting, raises no exception flag and clears none, and traps on none that
 * the thread has unmasked.  len <= 0: the array is neither read nor
 * written. */
IBMFLOAT_API void ibm2ieee(float *ibm, int len);

#ifdef __cplusplus
}
#endif

#endif /* IBMFLOAT_H */
