// What the fuzz harnesses share: decoding the fuzzer's bytes into counts,
// scalars and array elements; arrays allocated at exactly the size a
// kernel's contract allows; guard values; and how a harness reports a fault.
//
// Decoding aims at the values that steer the kernels: besides arbitrary bit
// patterns (NaN payloads, infinities, subnormals), a value can be a small
// exact number, one of a table of special values, a repeat of an earlier
// value or a neighbour of it (so that comparisons come out equal, or one ulp
// apart), or one of a few "hints" the harness supplies (the distances a
// phase search will look for).  When the bytes run out every further value
// is 0 and every further count is 0.
#pragma once

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "test_support.hpp"

namespace fuzz {

using testing_support::bits;
using testing_support::from_bits;

[[noreturn]] inline void fail(const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::fputs("fault: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

// Values that steer the kernels' comparisons and arithmetic.
inline const double kSignalling = from_bits(0x7FF4DEAD00000001ull);
inline const double kThin = 1e-10;  // the layer thickness threshold
inline const double kBelowThin = std::nextafter(kThin, 0.0);
inline const double kAboveThin = std::nextafter(kThin, 1.0);
// Indexed by the byte after tag 6 (fuzz/make_seeds.py relies on the order).
inline const double kSpecial[] = {
    0.0,                // 0
    -0.0,               // 1
    NAN,                // 2
    -NAN,               // 3
    kSignalling,        // 4
    INFINITY,           // 5
    -INFINITY,          // 6
    DBL_MAX,            // 7
    -DBL_MAX,           // 8
    DBL_MIN,            // 9
    DBL_TRUE_MIN,       // 10
    -DBL_TRUE_MIN,      // 11
    kThin,              // 12
    kBelowThin,         // 13
    kAboveThin,         // 14
    1.0,                // 15
    -1.0,               // 16
    3.141592653589793,  // 17
    6.283185307179586,  // 18
    180.0,              // 19
    360.0,              // 20
    -360.0,             // 21
    540.0,              // 22
    6371.0,             // 23
    1e300,              // 24
    -1e300,             // 25
    0x1p53,             // 26
    0x1p31,             // 27
    0.5,                // 28
    1e-300,             // 29
    2.5e-308,           // 30
    0x1p32,             // 31
};

class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    std::uint32_t u32()
    {
        std::uint32_t v = 0;
        for (int k = 0; k < 4; ++k)
            v |= static_cast<std::uint32_t>(byte()) << (8 * k);
        return v;
    }

    std::uint64_t u64() { return u32() | static_cast<std::uint64_t>(u32()) << 32; }

    // A count: mostly 0 .. max, sometimes zero or below (down to INT_MIN).
    int count(int max)
    {
        const std::uint8_t tag = byte();
        if (tag < 0xE0)
            return tag % (max < 0xDF ? max + 1 : 0xE0);
        if (tag < 0xF0)
            return static_cast<int>((u32() & 0x7FFFFFFFu) % (static_cast<unsigned>(max) + 1));
        static constexpr int kNonPositive[] = {
            0,       -1,         -2,         -3,   -7, -64, -1000, INT_MIN + 1,
            INT_MIN, -(1 << 30), -(1 << 16), -255, -4, -5,  -16,   -100};
        return kNonPositive[tag - 0xF0];
    }

    // An int flag: zero, one, or anything else an int holds.
    int flag()
    {
        switch (byte() % 5) {
        case 0: return 0;
        case 1: return 1;
        case 2: return -1;
        case 3: return INT_MIN;
        default: return static_cast<int>(u32());
        }
    }

    double value()
    {
        const std::uint8_t tag = byte();
        const double v = decode(tag);
        if (seen_.size() < kMemory)
            seen_.push_back(v);
        else
            seen_[next_seen_++ % kMemory] = v;
        return v;
    }

    void set_hints(std::vector<double> hints) { hints_ = std::move(hints); }

private:
    static constexpr std::size_t kMemory = 64;

    double earlier()
    {
        const std::uint8_t k = byte();
        if (!seen_.empty())
            return seen_[k % seen_.size()];
        return hints_.empty() ? 0.0 : hints_[k % hints_.size()];
    }

    double hint()
    {
        const std::uint8_t k = byte();
        return hints_.empty() ? earlier() : hints_[k % hints_.size()];
    }

    static double neighbour(double x, std::uint8_t how)
    {
        double y = x;
        for (int k = 0; k <= (how >> 1 & 3); ++k)  // 1 to 4 ulps
            y = std::nextafter(y, how & 1 ? INFINITY : -INFINITY);
        return y;
    }

    double decode(std::uint8_t tag)
    {
        switch (tag & 0x0F) {
        case 0:
        case 1:
        case 2: return from_bits(u64());
        case 3:
        case 4:
        case 5: {  // small exact values: a 16-bit integer scaled by 2^-(0..7)
            const auto n = static_cast<std::int16_t>(byte() | byte() << 8);
            return std::ldexp(static_cast<double>(n), -(tag >> 4 & 7));
        }
        case 6: return kSpecial[byte() % (sizeof kSpecial / sizeof kSpecial[0])];
        case 7:
        case 8: return earlier();
        case 9: {
            const std::uint8_t how = byte();
            return neighbour(earlier(), how);
        }
        case 10: return hint();
        case 11: {
            const std::uint8_t how = byte();
            return neighbour(hint(), how);
        }
        case 12: {  // a binary32 value: moderate magnitudes, few digits
            const std::uint32_t w = u32();
            float f;
            std::memcpy(&f, &w, sizeof f);
            return f;
        }
        case 13: {
            const double base = earlier();
            const auto n = static_cast<std::int8_t>(byte());
            return base + n / 16.0;
        }
        case 14: return -earlier();
        default: return static_cast<double>(static_cast<std::int32_t>(u32()));
        }
    }

    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    std::vector<double> seen_, hints_;
    std::size_t next_seen_ = 0;
};

// An array on the heap of exactly n elements, nothing around it, so that
// AddressSanitizer reports an access one element outside.  n = 0 is a real,
// empty allocation (not a null pointer): any access to it is reported too.
template <class T>
class Exact {
public:
    explicit Exact(std::size_t n) : n_(n), p_(new T[n]()) {}
    T *data() { return p_.get(); }
    const T *data() const { return p_.get(); }
    std::size_t size() const { return n_; }
    T &operator[](std::size_t k) { return p_[k]; }
    const T &operator[](std::size_t k) const { return p_[k]; }

private:
    std::size_t n_;
    std::unique_ptr<T[]> p_;
};

inline std::size_t elements(int count, std::size_t per_count = 1)
{
    return count > 0 ? static_cast<std::size_t>(count) * per_count : 0;
}

// The guard of element k: a signalling NaN no arithmetic produces.
inline double guard(std::size_t k) { return testing_support::guard_value(k); }
inline int int_guard(std::size_t k) { return static_cast<int>(0x7EAD0000u | (k & 0xFFFF)); }

// After the kernel and the reference both ran from the same guards: where the
// reference kept the guard, the kernel must have kept it bit for bit;
// elsewhere equal bits, except that any NaN matches any NaN.
inline bool matches(double got, double want, std::size_t k)
{
    if (bits(want) == bits(guard(k)))
        return bits(got) == bits(want);
    return testing_support::same(got, want);
}

// An input array must come back bit for bit as it went in.
template <class T>
void check_unchanged(const char *what, const Exact<T> &now, const std::vector<T> &before)
{
    if (now.size() != before.size() ||
        (now.size() != 0 && std::memcmp(now.data(), before.data(), now.size() * sizeof(T)) != 0))
        fail("input array %s was modified", what);
}

template <class T>
std::vector<T> copy_of(const Exact<T> &a)
{
    return std::vector<T>(a.data(), a.data() + a.size());
}

}  // namespace fuzz
