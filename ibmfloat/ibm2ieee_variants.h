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

#if defined(__x86_64__)
// The processor has the instructions and the operating system saves the
// registers they use (checked with cpuid and xgetbv).
bool cpu_has_avx2();
bool cpu_has_avx512();

void convert_avx2(float *ibm, int len);    // needs cpu_has_avx2()
void convert_avx512(float *ibm, int len);  // needs cpu_has_avx512()
#endif

// The loop ibm2ieee runs on this machine: the widest one available.
Kernel *select_kernel();

}  // namespace ibmfloat
