// Bit patterns worked out independently (Python floats, one rounding per
// operation) for results whose every step is a basic operation or a square
// root, so that no math-library difference between processors can move
// them, while a fused multiply-add or a reordering would.  These hold on
// every target, cross-compiled ones included.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "inner_tau_loops_variants.h"
#include "test_support.hpp"
#include "traveltime.h"

using testing_support::bits;

namespace {

// top_p = 2 bot_p across radii 8 and 4: both log quotients are exactly 2,
// so B = 1 whatever the logarithm returns, and time is
// sqrt(top^2 - p^2) - sqrt(bot^2 - p^2), each square rounded before the
// difference.
TEST(Golden, LayerTimesWithExactExponent)
{
    struct Case {
        double top_p, bot_p, p;
        std::uint64_t time_bits;
    };
    const Case cases[] = {
        {6.5265556286305975, 3.2632778143152987, 1.639848515390037, 0x400bf7850358f063},
        {21.4492630853767, 10.72463154268835, 9.223189429033937, 0x402bc8dc64a5deea},
        {5.9002003192644725, 2.9501001596322363, 0.6587118062991533, 0x4007e6ccb00ef56c},
        {24.83916479063329, 12.419582395316645, 6.91223063064876, 0x402b1457bc40daf1},
        {31.768188534361233, 15.884094267180616, 8.701488789485877, 0x403143bce4c6e6c2},
        {29.76048171154974, 14.88024085577487, 11.42974101079213, 0x4031f33bfddd17fe},
        {30.538986410027483, 15.269493205013742, 8.955876080142858, 0x4030d4383679057f},
        {11.117495015981225, 5.558747507990613, 3.4142065146262786, 0x4018c63c7b55ac74},
        {6.207988656424939, 3.1039943282124693, 2.5352226067569044, 0x400f01a1246defcc},
        {19.086883637581582, 9.543441818790791, 7.775640312493227, 0x4027cbc8c2cc1960},
        {28.036766563586113, 14.018383281793056, 9.523934595837842, 0x4030154c710d595c},
        {9.988537125991739, 4.994268562995869, 1.2561239872440344, 0x40144d545fe2bbca},
    };
    for (const Case &c : cases) {
        const double row[4] = {c.top_p, 0.0, c.bot_p, 4.0};  // radius 8: r from 8 to 4
        double time = 0.0, dist = 0.0;
        bullen_radial_slowness_inner_loop(row, &c.p, &time, &dist, 8.0, 1);
        EXPECT_EQ(bits(time), c.time_bits) << "p " << c.p;
    }
}

// The distances searched for 37.3 degrees up to 40 radians: rad + (2n) pi
// and (2(n+1)) pi - rad, each product rounded before the sum.
TEST(Golden, SearchedDistances)
{
    const std::uint64_t want[] = {0x3fe4d50e553518dc, 0x40168759899d89fc, 0x401bbc9d1eead034,
                                  0x4027d4aa6ef0db8a, 0x402a6f4c39977ea6, 0x403232d40c89790b,
                                  0x40338024f1dcca99, 0x40387b52e19a8451, 0x4039c8a3c6edd5df,
                                  0x403ec3d1b6ab8f97, 0x404008914dff7092, 0x4042862845de4d6f,
                                  0x40432cd0b887f635, 0x4045aa67b066d312};
    const double curve[2] = {0.0, 100.0}, ray[2] = {2.0, 1.0};
    std::vector<double> hits(64);
    std::vector<int> k(64);
    const int r =
        seismic_phase_calc_time_inner_loop(37.3, 40.0, curve, ray, hits.data(), k.data(), 2);
    ASSERT_EQ(r, static_cast<int>(std::size(want)));
    for (int m = 0; m < r; ++m)
        EXPECT_EQ(bits(hits[m]), want[m]) << "hit " << m;
}

// The loader's choice is the widest loop the processor runs.
TEST(Golden, DispatchPicksTheWidestLoop)
{
#if defined(__x86_64__)
    traveltime::PhaseSearch *want = traveltime::phase_search_vector;
    if (traveltime::cpu_has_avx2())
        want = traveltime::phase_search_avx2;
    if (traveltime::cpu_has_avx512())
        want = traveltime::phase_search_avx512;
#elif defined(__s390x__)
    traveltime::PhaseSearch *want = traveltime::cpu_has_vector() ? traveltime::phase_search_vector
                                                                 : traveltime::phase_search_portable;
#elif defined(__aarch64__)
    traveltime::PhaseSearch *want = traveltime::phase_search_vector;
#else
    traveltime::PhaseSearch *want = traveltime::phase_search_portable;
#endif
    EXPECT_EQ(traveltime::select_phase_search(), want);
}

}  // namespace
