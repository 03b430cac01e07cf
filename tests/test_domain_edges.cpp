// Counts of zero and below, and NaN and infinite scalar arguments, for every
// kernel: each call returns, writes what its contract says, and leaves every
// other element as it was.
//
// Input arrays are allocated at exactly the size the contract gives for the
// call (empty when the count is zero or less), so that the asan preset
// reports any read past them; outputs sit between guard cells, so that any
// stray write shows.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "reference/traveltime_reference.hpp"
#include "test_support.hpp"
#include "traveltime.h"

#if SEIS_HAVE_IBMFLOAT
#include "ibmfloat.h"
#include "reference/ibm2ieee_reference.hpp"
#endif

using testing_support::bits;
using testing_support::Guarded;
using testing_support::same;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kPi = 3.141592653589793;

std::size_t elements(int count, std::size_t per_count = 1)
{
    return count > 0 ? static_cast<std::size_t>(count) * per_count : 0;
}

// The first n elements of `all`, in an allocation of exactly that size.
std::vector<double> first(const std::vector<double> &all, std::size_t n)
{
    return {all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(n, all.size()))};
}

// ---------------------------------------------------------------------------
// Layer integrals.  Three pairs: an ordinary one, a thin one (always
// skipped), and a vertical ray.  Expected outcome per pair:
//   F  written, finite     N  written, both NaN
//   I  written, both infinite or NaN     -  skipped, untouched

struct LayerCase {
    const char *what;
    int max_i;
    double radius;
    const char *expect;
};

const LayerCase kLayerCases[] = {
    {"no pairs", 0, 6371.0, ""},
    {"negative count", -1, 6371.0, ""},
    {"most negative count", INT_MIN, 6371.0, ""},
    {"ordinary radius", 3, 6371.0, "F-F"},
    {"NaN radius", 3, kNaN, "N-N"},
    {"infinite radius", 3, kInf, "N-N"},
    {"minus infinite radius", 3, -kInf, "N-N"},
    {"zero radius: depths give a positive ratio", 3, 0.0, "F-F"},
    {"radius at the last layer's bottom: log of infinity", 3, 350.0, "F-I"},
    {"NaN radius, no pairs", 0, kNaN, ""},
};

TEST(DomainEdges, LayerIntegrals)
{
    const std::vector<double> all_layer = {700, 100, 650, 200,   // ordinary
                                           700, 200, 650, 200,   // zero thickness
                                           650, 200, 600, 350};  // ordinary
    const std::vector<double> all_p = {300, 500, 0};
    for (const LayerCase &c : kLayerCases) {
        SCOPED_TRACE(c.what);
        const std::size_t n = elements(c.max_i);
        const std::vector<double> layer = first(all_layer, 4 * n), p = first(all_p, n);
        Guarded time(n), dist(n), want_time(n), want_dist(n);
        bullen_radial_slowness_inner_loop(layer.data(), p.data(), time.data(), dist.data(),
                                          c.radius, c.max_i);
        reference::bullen_radial_slowness(layer.data(), p.data(), want_time.data(),
                                          want_dist.data(), c.radius, c.max_i);
        ASSERT_TRUE(time.pads_intact() && dist.pads_intact());
        ASSERT_EQ(std::strlen(c.expect), n);
        for (std::size_t i = 0; i < n; ++i) {
            const double t = time.data()[i], d = dist.data()[i];
            switch (c.expect[i]) {
            case '-':
                EXPECT_EQ(bits(t), bits(want_time.data()[i])) << "pair " << i << " was written";
                EXPECT_EQ(bits(d), bits(want_dist.data()[i])) << "pair " << i << " was written";
                continue;
            case 'F': EXPECT_TRUE(std::isfinite(t) && std::isfinite(d)) << "pair " << i; break;
            case 'N': EXPECT_TRUE(std::isnan(t) && std::isnan(d)) << "pair " << i; break;
            case 'I': EXPECT_TRUE(!std::isfinite(t) && !std::isfinite(d)) << "pair " << i; break;
            }
            EXPECT_TRUE(same(t, want_time.data()[i]) && same(d, want_dist.data()[i]))
                << "pair " << i;
        }
    }
}

// ---------------------------------------------------------------------------
// Branch sums.  Two layers (slownesses 10 to 8, 8 to 6) and three rows: p = 5
// crosses both, p = 7 crosses the first and turns in the second, p = NaN
// crosses everything.  Per-layer times are powers of two, so a sum names the
// layers added: row 0 adds 1 + 2, row 1 adds 4 (+ 8 when turning), row 2
// adds 16 + 32.  Distances are the times / 8.

constexpr double kUntouched = -1.0;

struct BranchCase {
    const char *what;
    int max_i, max_j;
    double max_ray_param;
    int allow_turn;
    double want_time[3];  // per row; kUntouched: the row keeps its contents
};

const BranchCase kBranchCases[] = {
    {"no rows", 0, 2, 10.0, 1, {}},
    {"negative rows", -1, 2, 10.0, 1, {}},
    {"most negative rows", INT_MIN, 2, 10.0, 1, {}},
    {"ordinary cap", 3, 2, 10.0, 1, {3, 12, 48}},
    {"cap below every finite p", 3, 2, 4.0, 1, {kUntouched, kUntouched, 48}},
    {"NaN cap: no row is skipped", 3, 2, kNaN, 1, {3, 12, 48}},
    {"infinite cap", 3, 2, kInf, 1, {3, 12, 48}},
    {"minus infinite cap: only the NaN row is kept", 3, 2, -kInf, 1, {kUntouched, kUntouched, 48}},
    {"turning layer not wanted", 3, 2, 10.0, 0, {3, 4, 48}},
    {"negative allow_turn is true", 3, 2, 10.0, -1, {3, 12, 48}},
    {"most negative allow_turn is true", 3, 2, 10.0, INT_MIN, {3, 12, 48}},
    {"no layers: every row sums to zero", 3, 0, 10.0, 1, {0, 0, 0}},
    {"negative layers", 3, -2, 10.0, 1, {0, 0, 0}},
    {"most negative layers", 3, INT_MIN, 10.0, 1, {0, 0, 0}},
    {"no layers, minus infinite cap", 3, 0, -kInf, 1, {0, 0, 0}},
    {"no layers, NaN cap", 3, 0, kNaN, 1, {0, 0, 0}},
    {"no rows and no layers", 0, 0, kNaN, 1, {}},
    {"negative rows and layers", -3, -2, 10.0, 1, {}},
};

TEST(DomainEdges, BranchSums)
{
    const std::vector<double> all_layer = {10, 0, 8, 1, 8, 1, 6, 2};
    const std::vector<double> all_time = {1, 2, 4, 8, 16, 32};
    for (const BranchCase &c : kBranchCases) {
        SCOPED_TRACE(c.what);
        const std::size_t rows = elements(c.max_i), cols = elements(c.max_j);
        std::vector<double> ray_params(rows * cols), time(rows * cols), dist(rows * cols);
        const double p[3] = {5.0, 7.0, kNaN};
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < cols; ++j) {
                ray_params[i * cols + j] = j == 0 ? p[i] : 1e9;  // only column 0 is p
                time[i * cols + j] = all_time[2 * i + j];
                dist[i * cols + j] = all_time[2 * i + j] / 8;
            }
        const std::vector<double> layer = first(all_layer, 4 * cols);
        Guarded td(4 * rows);
        const Guarded before = td;
        // No rows: nothing may be read or written, the layers included, so
        // every pointer is null.
        const auto given = [rows](auto *p) { return rows ? p : nullptr; };
        tau_branch_calc_time_dist_inner_loop(given(ray_params.data()), given(time.data()),
                                             given(dist.data()), given(layer.data()),
                                             given(td.data()), c.max_i, c.max_j, c.max_ray_param,
                                             c.allow_turn);
        ASSERT_TRUE(td.pads_intact());
        for (std::size_t i = 0; i < rows; ++i) {
            const double *row = td.data() + 4 * i;
            const double *old = before.cells.data() + Guarded::kPad + 4 * i;
            EXPECT_EQ(bits(row[TD_P]), bits(old[TD_P])) << "row " << i;
            EXPECT_EQ(bits(row[TD_DEPTH]), bits(old[TD_DEPTH])) << "row " << i;
            if (c.want_time[i] == kUntouched) {
                EXPECT_EQ(bits(row[TD_TIME]), bits(old[TD_TIME])) << "row " << i << " was written";
                EXPECT_EQ(bits(row[TD_DIST]), bits(old[TD_DIST])) << "row " << i << " was written";
            } else {
                EXPECT_EQ(bits(row[TD_TIME]), bits(c.want_time[i])) << "row " << i;
                EXPECT_EQ(bits(row[TD_DIST]), bits(c.want_time[i] / 8)) << "row " << i;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Phase search.  Up to three samples at distances 0, 4 and 8 radians.  Where
// the reference loop terminates (finite scalars of ordinary size), the hits
// must equal its hits too.

struct PhaseCase {
    const char *what;
    double degree, max_distance;
    int count;
    int want_hits;
};

const PhaseCase kPhaseCases[] = {
    {"ordinary call", 90.0, 10.0, 3, 3},
    {"NaN degree", kNaN, 10.0, 3, 0},
    {"infinite degree", kInf, 10.0, 3, 0},
    {"minus infinite degree", -kInf, 10.0, 3, 0},
    {"NaN max_distance", 90.0, kNaN, 3, 0},
    {"infinite max_distance", 90.0, kInf, 3, 0},
    {"minus infinite max_distance", 90.0, -kInf, 3, 0},
    {"largest finite max_distance: too many hits for an int", 90.0, kMax, 3, 0},
    {"negative max_distance", 0.0, -1.0, 3, 0},
    // 0 + 0*pi <= -0 holds: turn 0 is scanned, for 0 and for 2 pi.
    {"zero degree, max_distance -0", 0.0, -0.0, 3, 2},
    {"degree -0", -0.0, 1.0, 3, 2},
    {"NaN degree and max_distance", kNaN, kNaN, 3, 0},
    {"no samples", 90.0, 10.0, 0, 0},
    {"one sample: no interval", 0.0, 10.0, 1, 0},
    {"negative count", 90.0, 10.0, -1, 0},
    {"most negative count", 90.0, 10.0, INT_MIN, 0},
    {"no samples, NaN degree", kNaN, 10.0, 0, 0},
    {"one sample, infinite max_distance", 0.0, kInf, 1, 0},
};

constexpr int kIntGuard = -777;

TEST(DomainEdges, PhaseSearch)
{
    const std::vector<double> all_dist = {0.0, 4.0, 8.0}, all_ray = {3.0, 2.0, 1.0};
    for (const PhaseCase &c : kPhaseCases) {
        SCOPED_TRACE(c.what);
        const std::size_t n = elements(c.count);
        const std::vector<double> dist = first(all_dist, n), ray = first(all_ray, n);
        // The header's sizing where it is finite and small; otherwise the
        // call writes nothing, so there is nothing to size.
        const bool ordinary = std::isfinite(c.degree) && std::abs(c.degree) < 1e6 &&
                              c.max_distance >= -0.0 && c.max_distance < 1e3 && c.count >= 2;
        const std::size_t bound =
            ordinary
                ? 2 * (n - 1) * static_cast<std::size_t>(std::floor(c.max_distance / (2 * kPi)) + 2)
                : 0;
        Guarded hit_dist(bound);
        std::vector<int> hit_ray(bound + 2 * Guarded::kPad, kIntGuard);
        const Guarded before = hit_dist;
        const int hits = seismic_phase_calc_time_inner_loop(
            c.degree, c.max_distance, dist.data(), ray.data(), hit_dist.data(),
            hit_ray.data() + Guarded::kPad, c.count);
        EXPECT_EQ(hits, c.want_hits);
        ASSERT_TRUE(hit_dist.pads_intact());
        for (std::size_t m = std::max(hits, 0); m < bound + Guarded::kPad; ++m) {
            EXPECT_EQ(hit_ray[Guarded::kPad + m], kIntGuard) << "entry " << m << " was written";
            if (m < bound) {
                EXPECT_EQ(bits(hit_dist.data()[m]), bits(before.cells[Guarded::kPad + m]))
                    << "entry " << m << " was written";
            }
        }
        if (ordinary) {
            std::vector<double> want_dist(bound);
            std::vector<int> want_ray(bound);
            const int want = reference::seismic_phase_calc_time(
                c.degree, c.max_distance, dist.data(), ray.data(), want_dist.data(),
                want_ray.data(), c.count);
            ASSERT_EQ(hits, want);
            for (int m = 0; m < hits; ++m) {
                EXPECT_EQ(bits(hit_dist.data()[m]), bits(want_dist[m])) << "hit " << m;
                EXPECT_EQ(hit_ray[Guarded::kPad + m], want_ray[m]) << "hit " << m;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// IBM conversion.  No scalar but the length; the array itself may hold the
// bit patterns of IEEE NaN and infinities, which are ordinary IBM words.

#if SEIS_HAVE_IBMFLOAT
struct IbmCase {
    const char *what;
    int len;
};

const IbmCase kIbmCases[] = {
    {"no words", 0},
    {"negative length", -1},
    {"most negative length", INT_MIN},
    {"IEEE NaN and infinity patterns", 6},
};

TEST(DomainEdges, IbmConversion)
{
    const std::uint32_t all_words[6] = {0x7FC00000, 0xFFC00000, 0x7F800000,
                                        0xFF800000, 0x7FFFFFFF, 0x7F800001};
    constexpr std::size_t kPad = 8;
    constexpr std::uint32_t kGuard = 0x7FA0DEADu;
    for (const IbmCase &c : kIbmCases) {
        SCOPED_TRACE(c.what);
        const std::size_t n = elements(c.len);
        std::vector<float> cells(n + 2 * kPad, reference::float_of(kGuard));
        std::memcpy(cells.data() + kPad, all_words, n * sizeof(float));
        ibm2ieee(cells.data() + kPad, c.len);
        for (std::size_t k = 0; k < cells.size(); ++k) {
            const std::uint32_t got = reference::bits_of(cells[k]);
            if (k < kPad || k >= kPad + n) {
                EXPECT_EQ(got, kGuard) << "element " << k << " outside the array was written";
                continue;
            }
            const std::uint32_t word = all_words[k - kPad];
            EXPECT_EQ(got, reference::bits_of(reference::ibm_to_ieee(word))) << std::hex << word;
            EXPECT_FALSE(std::isnan(cells[k])) << std::hex << word;
        }
    }
}
#endif

}  // namespace
