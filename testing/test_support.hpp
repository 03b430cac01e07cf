// Helpers shared by the GoogleTest suites, benchmarks and fuzzers.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace testing_support {

inline std::uint64_t bits(double x)
{
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

inline double from_bits(std::uint64_t u)
{
    double x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

// Instrumented (sanitizer) builds, and runs under an emulator (SEIS_EMULATED
// set in the environment), shrink or skip the tests that take minutes there.
inline bool long_tests_too_slow()
{
#if defined(SEIS_SANITIZED_BUILD)
    return true;
#else
    return std::getenv("SEIS_EMULATED") != nullptr;
#endif
}

// Bit-identical, except that any NaN matches any NaN: which operand's payload
// an IEEE operation propagates is the processor's business, not the contract.
inline bool same(double a, double b)
{
    return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b));
}

// A value no kernel computes by accident: marks elements that must survive a
// call unchanged.
inline double guard_value(std::size_t k)
{
    return from_bits(0x7ff4dead00000000ull | k);  // signalling-NaN payloads
}

// An array with guard cells on both sides of the n usable elements, so that
// a write just outside the documented range is caught.
struct Guarded {
    static constexpr std::size_t kPad = 16;
    std::vector<double> cells;
    explicit Guarded(std::size_t n) : cells(n + 2 * kPad)
    {
        for (std::size_t k = 0; k < cells.size(); ++k)
            cells[k] = guard_value(k);
    }
    double *data() { return cells.data() + kPad; }
    std::size_t size() const { return cells.size() - 2 * kPad; }
    bool pads_intact() const
    {
        for (std::size_t k = 0; k < kPad; ++k) {
            std::size_t hi = cells.size() - 1 - k;
            if (bits(cells[k]) != bits(guard_value(k)) || bits(cells[hi]) != bits(guard_value(hi)))
                return false;
        }
        return true;
    }
};

}  // namespace testing_support
