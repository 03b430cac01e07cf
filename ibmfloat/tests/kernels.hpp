// Every conversion loop a test can reach: the exported entry point (through
// the shared library) and each instruction-set variant (through the static
// test build of the same source), with whether this machine can run it.
#pragma once

#include <ostream>
#include <vector>

#include "ibm2ieee_variants.h"
#include "ibmfloat.h"

struct NamedKernel {
    const char *name;
    ibmfloat::Kernel *convert;
    bool available;
};

inline void PrintTo(const NamedKernel &kernel, std::ostream *os) { *os << kernel.name; }

inline std::vector<NamedKernel> all_kernels()
{
#if defined(__s390x__)
    const bool vector = ibmfloat::cpu_has_vector();
#else
    const bool vector = true;
#endif
    std::vector<NamedKernel> kernels{
        {"exported", ibm2ieee, true},
        {"portable", ibmfloat::convert_portable, true},
        {"vector", ibmfloat::convert_vector, vector},
        {"vector_by_conversions", ibmfloat::convert_vector_by_conversions, vector},
        {"vector_by_shifts", ibmfloat::convert_vector_by_shifts, vector}};
#if defined(__x86_64__)
    kernels.push_back({"avx2", ibmfloat::convert_avx2, ibmfloat::cpu_has_avx2()});
    kernels.push_back({"avx512", ibmfloat::convert_avx512, ibmfloat::cpu_has_avx512()});
#endif
    return kernels;
}
