// Internal: the conversion loops behind ibm2ieee, one per instruction set,
// and the choice the loader makes among them.  Not installed; the shipped
// library keeps all of these hidden and exports ibm2ieee alone.  Tests and
// benchmarks link a static build of the same source (ibmfloat_variants) to
// run each loop directly.
#pragma once

namespace ibmfloat {

using Kernel = void(float *ibm, int len);

// Plain C++ on 32-bit integers; any 64-bit target, either byte order.
void convert_portable(float *ibm, int len);

// Four words at a time in GCC's generic vectors, for every target.
// convert_vector rounds subnormal results with a conversion to nearest
// (x86-64 where MXCSR has its default setting, aarch64), and otherwise in
// integer arithmetic, in one of two forms also callable on their own:
// truncating and exact conversions (x86-64 with another MXCSR setting), or
// leading-zero counts and lane shifts (s390x, which takes this form
// always).  A thread that unmasks floating-point exceptions gets the
// portable loop.  convert_vector, like convert_avx2, clears again the flags
// its conversions raise; convert_vector_by_conversions, called on its own,
// leaves inexact set.  Every one builds and runs everywhere; on s390x they
// need cpu_has_vector().
void convert_vector(float *ibm, int len);
void convert_vector_by_conversions(float *ibm, int len);
void convert_vector_by_shifts(float *ibm, int len);

#if defined(__s390x__)
// The processor has the vector facility and the kernel saves its registers.
bool cpu_has_vector();
#endif

#if defined(__x86_64__)
// The processor has the instructions and the operating system saves the
// registers they use (checked with cpuid and xgetbv).
bool cpu_has_avx2();
bool cpu_has_avx512();

void convert_avx2(float *ibm, int len);    // needs cpu_has_avx2()
void convert_avx512(float *ibm, int len);  // needs cpu_has_avx512()
#endif

// The loop ibm2ieee runs on this machine: the widest one available.
// select_kernel_for takes the hardware capabilities the loader reports
// (used on s390x only).
Kernel *select_kernel_for(unsigned long hwcap);
Kernel *select_kernel();

}  // namespace ibmfloat
