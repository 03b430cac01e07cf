// Fuzz harness of ibm2ieee: any words, any length, any alignment.
//
// Layout of the input: a placement byte, the length, then the words (four
// bytes each, little-endian).  The array either is a heap block of exactly
// `len` words (16-byte aligned, AddressSanitizer watching both ends) or
// starts at any word offset from a 64-byte boundary inside a larger block
// whose surroundings are poisoned, so that the vector loops' unaligned heads
// and masked tails are checked too.  (Shadow memory has 8-byte granules: at
// an odd word offset the word just before the array cannot be poisoned; the
// guard values there still catch a write.)
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "fuzz_support.hpp"
#include "ibmfloat.h"
#include "reference/ibm2ieee_reference.hpp"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace {

constexpr int kMaxLen = 2048;
constexpr std::size_t kPad = 32;  // words of guard on each side
constexpr std::uint32_t kGuard = 0x7FA0DEADu;

void check(const float *got, const std::vector<std::uint32_t> &words, int len)
{
    for (std::size_t k = 0; k < words.size(); ++k) {
        const std::uint32_t want = reference::bits_of(reference::ibm_to_ieee(words[k]));
        const std::uint32_t bits = reference::bits_of(got[k]);
        if (bits != want)
            fuzz::fail("word %zu of %d: %08x gave %08x, expected %08x", k, len, words[k], bits,
                       want);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input in(data, size);
    const std::uint8_t placement = in.byte();
    const int len = in.count(kMaxLen);
    const std::size_t n = fuzz::elements(len);
    std::vector<std::uint32_t> words(n);
    for (std::uint32_t &w : words)
        w = in.u32();

    if (placement & 0x80) {
        fuzz::Exact<float> ibm(n);
        if (n != 0)
            std::memcpy(ibm.data(), words.data(), n * sizeof(float));
        ibm2ieee(ibm.data(), len);
        check(ibm.data(), words, len);
        return 0;
    }

    const std::size_t offset = placement % 16;  // words past a 64-byte boundary
    const std::size_t total = kPad + 16 + n + kPad;
    float *block =
        static_cast<float *>(::operator new[](total * sizeof(float), std::align_val_t(64)));
    std::fill(block, block + total, reference::float_of(kGuard));
    float *ibm = block + kPad + offset;
    if (n != 0)
        std::memcpy(ibm, words.data(), n * sizeof(float));
    ASAN_POISON_MEMORY_REGION(block, (kPad + offset) * sizeof(float));
    ASAN_POISON_MEMORY_REGION(ibm + n, (total - kPad - offset - n) * sizeof(float));

    ibm2ieee(ibm, len);

    ASAN_UNPOISON_MEMORY_REGION(block, total * sizeof(float));
    check(ibm, words, len);
    for (std::size_t k = 0; k < total; ++k) {
        const float *cell = block + k;
        if ((cell < ibm || cell >= ibm + n) && reference::bits_of(*cell) != kGuard)
            fuzz::fail("len %d at word offset %zu: element %td outside the array was written", len,
                       offset, cell - ibm);
    }
    ::operator delete[](block, std::align_val_t(64));
    return 0;
}
