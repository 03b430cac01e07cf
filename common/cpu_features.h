// Which vector instruction sets this processor runs, for the load-time
// choice of loop in both libraries, and how that choice is made.  Each
// library compiles its own private copy: they share no code at run time.
#pragma once

#include <stdint.h>  // from the C library: tells glibc (__GLIBC__) from the others

// How an exported kernel reaches the loop chosen for this processor.  Where
// the dynamic linker runs ifunc resolvers (glibc, ELF), the choice lives in
// the relocation of the exported symbol itself.  Elsewhere (Windows, macOS,
// musl) the exported function calls through a pointer that a constructor
// sets while the library loads; building with SEIS_POINTER_DISPATCH takes
// that form on glibc as well.
#if !defined(SEIS_POINTER_DISPATCH) && !(defined(__ELF__) && defined(__GLIBC__))
#define SEIS_POINTER_DISPATCH 1
#endif

// Code an ifunc resolver runs.  The dynamic linker calls the resolver while
// it relocates, before any sanitizer runtime has started, so this code must
// carry no instrumentation: ThreadSanitizer's entry hook would touch a
// thread state that does not exist yet.
#if defined(__clang__)
#define RESOLVER_SAFE __attribute__((disable_sanitizer_instrumentation))
#else
#define RESOLVER_SAFE __attribute__((no_sanitize("thread")))
#endif

#if defined(__x86_64__)
#include <cpuid.h>

namespace seis_cpu {

// XCR0: the register states the operating system saves on a context switch.
RESOLVER_SAFE static inline uint64_t enabled_register_state()
{
    uint32_t eax, edx;
    __asm__("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return static_cast<uint64_t>(edx) << 32 | eax;
}

constexpr uint64_t kAvxState = 0x6;      // XMM, upper halves of YMM
constexpr uint64_t kAvx512State = 0xE6;  // and opmask, upper ZMM0-15, ZMM16-31

// The processor has AVX and the operating system saves `state`.
RESOLVER_SAFE static inline bool os_saves(uint64_t state)
{
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_OSXSAVE) || !(ecx & bit_AVX))
        return false;
    return (enabled_register_state() & state) == state;
}

RESOLVER_SAFE static inline unsigned leaf7_ebx()
{
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
        return 0;
    return ebx;
}

RESOLVER_SAFE static inline bool has_avx2()
{
    return os_saves(kAvxState) && (leaf7_ebx() & bit_AVX2);
}

RESOLVER_SAFE static inline bool has_avx512()
{
    return os_saves(kAvx512State) && (leaf7_ebx() & bit_AVX512F);
}

}  // namespace seis_cpu

#endif  // __x86_64__

#if defined(__s390x__)
#include <sys/auxv.h>

namespace seis_cpu {

// The vector facility (z13 and later), with its registers saved by the
// kernel: a bit of the hardware capabilities, which the loader passes to
// ifunc resolvers on s390x.
RESOLVER_SAFE static inline bool has_vector(unsigned long hwcap) { return hwcap & HWCAP_S390_VX; }

static inline bool has_vector() { return has_vector(getauxval(AT_HWCAP)); }

}  // namespace seis_cpu

#endif  // __s390x__

// The generic-vector loops.  The s390x vector facility came with z13,
// later than Debian's s390x baseline, so there they are compiled for z13
// and chosen at load time.
#if defined(__s390x__)
#define VECTOR_TARGET __attribute__((target("arch=z13")))
#else
#define VECTOR_TARGET
#endif

namespace seis_cpu {

// The families of loops, narrowest first.
enum class Loops { portable, vector, avx2, avx512 };

// The widest family this processor runs, given what the loader passes an
// ifunc resolver (the hardware capabilities on s390x, unused elsewhere).
RESOLVER_SAFE static inline Loops widest([[maybe_unused]] unsigned long hwcap)
{
#if defined(__x86_64__)
    if (has_avx512())
        return Loops::avx512;
    if (has_avx2())
        return Loops::avx2;
    return Loops::vector;
#elif defined(__aarch64__)
    return Loops::vector;
#elif defined(__s390x__)
    return has_vector(hwcap) ? Loops::vector : Loops::portable;
#else
    return Loops::portable;
#endif
}

// What the loader passes an ifunc resolver, for the resolvers' logic run
// outside one: the hardware capabilities on s390x, nothing elsewhere.
static inline unsigned long resolver_argument()
{
#if defined(__s390x__)
    return getauxval(AT_HWCAP);
#else
    return 0;
#endif
}

}  // namespace seis_cpu
