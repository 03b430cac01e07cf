// Inner loops of the tau-p travel-time calculator: Bullen-law layer
// integrals, branch sums, and the phase distance search.
//
// Every result is built from separately rounded binary64 operations in
// exactly the order written; the build forbids contraction into fused
// multiply-adds, and no division below may become a multiplication by a
// reciprocal.  Where work is shared or vectorized, the shared value or the
// vector lane is the very same IEEE operation on the very same operands, so
// the results do not change by a bit.
#include "traveltime.h"
#include "inner_tau_loops_variants.h"

#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "cpu_features.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace traveltime {

namespace {

inline uint64_t bits(double x)
{
    uint64_t u;
    memcpy(&u, &x, sizeof u);
    return u;
}

// ---------------------------------------------------------------------------
// Layer integrals
// ---------------------------------------------------------------------------

// Layers thinner than this carry no ray path of their own.
constexpr double kMinThickness = 1.0e-10;

// A host lays its pairs out one ray parameter after another, each with all
// the layers of the model, so the same layer row comes back every `period`
// pairs.  Its exponent B depends on the row alone; it is remembered for
// models of up to this many layers (on the stack: 8 KiB).
constexpr int kMaxPeriod = 1024;

inline bool same_row(const double *a, const double *b)
{
    return bits(a[0]) == bits(b[0]) && bits(a[1]) == bits(b[1]) && bits(a[2]) == bits(b[2]) &&
           bits(a[3]) == bits(b[3]);
}

// Distance to the first repeat of row 0, or 0 if it does not come back
// within kMaxPeriod rows.  Only a hint: every reuse is checked row by row.
int repeat_period(const double *layer, int max_i)
{
    if (max_i <= 1)
        return 0;
    const int limit = max_i - 1 < kMaxPeriod ? max_i - 1 : kMaxPeriod;
    for (int k = 1; k <= limit; ++k)
        if (same_row(layer, layer + 4 * static_cast<long>(k)))
            return k;
    return 0;
}

// ---------------------------------------------------------------------------
// Branch sums
// ---------------------------------------------------------------------------

// First layer that a ray of parameter p cannot cross completely (p above
// either slowness), or max_j.  A NaN p or slowness compares false: crossed.
inline int stop_layer(double p, const double *layer, int max_j)
{
    int j = 0;
    while (j < max_j && !(p > layer[4 * j + SL_TOP_P] || p > layer[4 * j + SL_BOT_P]))
        ++j;
    return j;
}

// Branches of up to this many layers get their stopping layers by binary
// search over prefix minima kept on the stack (16 KiB); longer ones scan.
constexpr int kMaxIndexedLayers = 2048;

// floor_eta[j] = the smallest slowness of layers 0..j, NaN slownesses left
// out (fmin ignores a NaN operand).  p crosses layers 0..j exactly when it
// is at most floor_eta[j], so the stopping layer, the first j with
// p > floor_eta[j], is where that predicate turns true: floor_eta never
// grows, and a leading NaN (no slowness yet) compares false like p itself
// being NaN.
void fill_floor_eta(const double *layer, int max_j, double *floor_eta)
{
    double lowest = NAN;
    for (int j = 0; j < max_j; ++j) {
        lowest = fmin(lowest, fmin(layer[4 * j + SL_TOP_P], layer[4 * j + SL_BOT_P]));
        floor_eta[j] = lowest;
    }
}

// The stopping layer by galloping out from a guess, then bisecting.  Hosts
// list ray parameters in order, so the previous row's stopping layer is
// usually the answer or next to it, and the search costs a probe or two.
inline int stop_layer_near(double p, const double *floor_eta, int max_j, int guess)
{
    auto stops_by = [&](int j) { return p > floor_eta[j]; };  // false ... false true ... true
    int lo, hi;  // the first j that stops_by, or max_j, lies in [lo, hi]
    if (guess >= max_j || stops_by(guess)) {
        hi = guess < max_j ? guess : max_j;
        lo = 0;
        for (int step = 1; hi - step >= 0; step *= 2) {
            const int probe = hi - step;
            if (!stops_by(probe)) {
                lo = probe + 1;
                break;
            }
            hi = probe;
        }
    } else {
        lo = guess + 1;
        hi = max_j;
        for (int step = 1; guess + step < max_j; step *= 2) {
            const int probe = guess + step;
            if (stops_by(probe)) {
                hi = probe;
                break;
            }
            lo = probe + 1;
        }
    }
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (stops_by(mid))
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

// p lies strictly between the stopping layer's slownesses: the ray turns there.
inline bool turns_in(double p, const double *row)
{
    return (p - row[SL_BOT_P]) * (row[SL_TOP_P] - p) > 0.0;
}

// Completes one row whose sums hold layers [0, from): adds the rest of the
// crossed layers in order, then the turning layer if there is one, and
// stores the sums in the row's time-distance row.
inline void finish_row(double p, const double *time, const double *dist, const double *layer,
                       int max_j, int allow_turn, int from, int stop, double time_sum,
                       double dist_sum, double *td_row)
{
    int j = from;
    for (; j < stop; ++j) {
        time_sum += time[j];
        dist_sum += dist[j];
    }
    if (allow_turn && j < max_j && turns_in(p, layer + 4 * static_cast<long>(j))) {
        time_sum += time[j];
        dist_sum += dist[j];
    }
    td_row[TD_TIME] = time_sum;
    td_row[TD_DIST] = dist_sum;
}

// Rows summed side by side, so that their independent additions overlap
// instead of waiting on one another.
constexpr int kRowsInFlight = 4;

// ---------------------------------------------------------------------------
// Phase search
// ---------------------------------------------------------------------------

constexpr double kPi = 3.141592653589793;
constexpr double kDegreesPerTurn = 360.0;
constexpr double kHalfTurn = 180.0;
constexpr long long kMaxHits = 2147483647LL;  // INT_MAX: the hit count is an int

// |degree| less whole turns, folded into [0, 180].  Subtracting 360 while
// more than 360 is left gives x - 360k in (0, 360]; fmod gives the same
// exact remainder in [0, 360), the two differing only at a multiple of 360,
// where 360 and 0 both fold to +0.  Unlike the subtraction, fmod is exact
// and takes constant time at every magnitude.
double reduce_degree(double degree)
{
    double temp_deg = fabs(degree);
    if (temp_deg > kDegreesPerTurn)
        temp_deg = fmod(temp_deg, kDegreesPerTurn);
    if (temp_deg > kHalfTurn)
        temp_deg = kDegreesPerTurn - temp_deg;
    return temp_deg;
}

// The direct distance of turn n: the product (2n)*pi rounded first, then
// the sum.
inline double direct_distance(double rad_dist, long long n)
{
    return rad_dist + static_cast<double>(2 * n) * kPi;
}

// Number of turns n >= 0 with direct_distance(n) <= max_distance, for finite
// max_distance >= rad_dist >= 0.  The test is monotone in n, so an estimate
// from one division is corrected by stepping across the rounding boundary.
// The count is capped at 2^32, which no int-sized call can use anyway.
long long turn_count(double rad_dist, double max_distance)
{
    constexpr double kCap = 4294967296.0;
    const double estimate = floor((max_distance - rad_dist) / (2.0 * kPi));
    if (estimate >= kCap)
        return static_cast<long long>(kCap);
    long long last = static_cast<long long>(estimate);
    while (direct_distance(rad_dist, last + 1) <= max_distance)
        ++last;
    while (last >= 0 && !(direct_distance(rad_dist, last) <= max_distance))
        --last;
    return last + 1;
}

// Interval ray_num brackets search_dist and bounds a ray.
inline bool interval_hit(double search_dist, const double *dist, const double *ray_param, int count,
                         int ray_num)
{
    // An inner sample hit exactly belongs to the interval it starts.
    if (search_dist == dist[ray_num] && ray_num != count - 1)
        return false;
    // Bracketed, rising or falling, ends included; a NaN product is not.
    if (!((dist[ray_num - 1] - search_dist) * (search_dist - dist[ray_num]) >= 0.0))
        return false;
    // Two samples with one ray parameter bound no ray.
    return !(count > 2 && ray_param[ray_num - 1] == ray_param[ray_num]);
}

inline int record(double search_dist, int ray_num, double *search_dist_results,
                  int *ray_num_results, int r)
{
    search_dist_results[r] = search_dist;
    ray_num_results[r] = ray_num - 1;
    return r + 1;
}

// One scan: every interval from `first` on whose distance range holds
// search_dist, in increasing order.  Returns the new hit count.
int scan_portable(double search_dist, const double *dist, const double *ray_param, int count,
                  double *search_dist_results, int *ray_num_results, int r, int first = 1)
{
    for (int ray_num = first; ray_num < count; ++ray_num)
        if (interval_hit(search_dist, dist, ray_param, count, ray_num))
            r = record(search_dist, ray_num, search_dist_results, ray_num_results, r);
    return r;
}

using Scan = int(double, const double *, const double *, int, double *, int *, int);

template <Scan scan>
int phase_search(double degree, double max_distance, const double *dist, const double *ray_param,
                 double *search_dist_results, int *ray_num_results, int count)
{
    if (!isfinite(degree) || !isfinite(max_distance) || count < 2)
        return 0;
    const double temp_deg = reduce_degree(degree);
    const double rad_dist = temp_deg * kPi / kHalfTurn;
    if (!(rad_dist <= max_distance))
        return 0;
    // At exactly 180 degrees the complementary distance is the direct one.
    const bool complementary = temp_deg != kHalfTurn;
    const long long turns = turn_count(rad_dist, max_distance);
    // Every scan can hit every interval: refuse a call whose worst case
    // would overflow the int hit count (or the int turn counter).
    const long long hits_per_turn = (complementary ? 2LL : 1LL) * (count - 1LL);
    if (turns > kMaxHits / hits_per_turn)
        return 0;

    int r = 0;
    for (long long n = 0; n < turns; ++n) {
        r = scan(direct_distance(rad_dist, n), dist, ray_param, count, search_dist_results,
                 ray_num_results, r);
        if (complementary)
            r = scan(static_cast<double>(2 * (n + 1)) * kPi - rad_dist, dist, ray_param, count,
                     search_dist_results, ray_num_results, r);
    }
    return r;
}

int scan_portable_all(double s, const double *dist, const double *ray_param, int count, double *sd,
                      int *rn, int r)
{
    return scan_portable(s, dist, ray_param, count, sd, rn, r);
}

// The vector scans test intervals before the last one, where the right-end
// rule always applies and count > 2; each lane computes the same product as
// the scalar test.  A candidate lane (bracketed, not ending on the searched
// distance) is rare, and only then are the ray parameters compared, in
// lane order, so that hits keep their order.  The last interval and any
// remainder go through the scalar test.

// Records the candidates of mask m (bit i: interval k + i), in lane order,
// that have two distinct ray parameters.
inline int record_candidates(unsigned m, int k, double s, const double *ray_param, double *sd,
                             int *rn, int r)
{
    for (; m; m &= m - 1) {
        const int ray_num = k + __builtin_ctz(m);
        if (ray_param[ray_num - 1] != ray_param[ray_num])
            r = record(s, ray_num, sd, rn, r);
    }
    return r;
}

typedef double f64x2 __attribute__((vector_size(16)));
typedef long long i64x2 __attribute__((vector_size(16)));
typedef unsigned long long u64x2 __attribute__((vector_size(16)));

// p >= 0, false for NaN.  z13 has no vector comparison that signals on NaN
// as the C operator must, and GCC would then compare lane by lane; on the
// bits the test is: +0 up to +infinity, or -0 (quietly, as the AVX scans
// compare).
VECTOR_TARGET inline i64x2 at_least_zero(f64x2 p)
{
#if defined(__s390x__)
    const u64x2 b = reinterpret_cast<u64x2>(p);
    return (b <= 0x7FF0000000000000ULL) | (b == 0x8000000000000000ULL);
#else
    return p >= 0.0;
#endif
}

// Bit i set where lane i of a comparison result is.
VECTOR_TARGET inline unsigned lane_bits(i64x2 c)
{
#if defined(__x86_64__)
    return static_cast<unsigned>(_mm_movemask_pd(reinterpret_cast<__m128d>(c)));
#else
    return static_cast<unsigned>(c[0] & 1) | static_cast<unsigned>(c[1] & 2);
#endif
}

// Two lanes of GCC's generic vectors, for every target: SSE2, NEON, and
// the s390x vector facility.  Eight intervals a step, tested for any
// candidate at once.
VECTOR_TARGET int scan_vector(double s, const double *dist, const double *ray_param, int count,
                              double *sd, int *rn, int r)
{
    constexpr int kLanes = 2, kVectors = 4, kStep = kLanes * kVectors;
    const f64x2 sv = {s, s};
    const int last = count - 1;
    int k = 1;
    for (; last - k >= kStep; k += kStep) {  // no k + kStep: count may be near INT_MAX
        i64x2 c[kVectors];
        for (ptrdiff_t v = 0; v < kVectors; ++v) {
            const double *right = dist + k + kLanes * v;  // dist[ray_num], two lanes
            f64x2 a, b;
            memcpy(&a, right - 1, sizeof a);
            memcpy(&b, right, sizeof b);
            c[v] = at_least_zero((a - sv) * (sv - b)) & ~(sv == b);
        }
        const i64x2 any = c[0] | c[1] | c[2] | c[3];
        if (!(any[0] | any[1]))
            continue;
        unsigned m = 0;
        for (int v = 0; v < kVectors; ++v)
            m |= lane_bits(c[v]) << (kLanes * v);
        r = record_candidates(m, k, s, ray_param, sd, rn, r);
    }
    return scan_portable(s, dist, ray_param, count, sd, rn, r, k);
}

#if defined(__x86_64__)

// The AVX scans work as scan_vector does, with wider vectors.

__attribute__((target("avx2"))) int scan_avx2(double s, const double *dist, const double *ray_param,
                                              int count, double *sd, int *rn, int r)
{
    constexpr int kLanes = 4;
    const __m256d sv = _mm256_set1_pd(s);
    const __m256d zero = _mm256_setzero_pd();
    const int last = count - 1;
    int k = 1;
    for (; last - k >= 2 * kLanes; k += 2 * kLanes) {
        const __m256d a0 = _mm256_loadu_pd(dist + k - 1), b0 = _mm256_loadu_pd(dist + k);
        const __m256d a1 = _mm256_loadu_pd(dist + k + 3), b1 = _mm256_loadu_pd(dist + k + 4);
        const __m256d p0 = _mm256_mul_pd(_mm256_sub_pd(a0, sv), _mm256_sub_pd(sv, b0));
        const __m256d p1 = _mm256_mul_pd(_mm256_sub_pd(a1, sv), _mm256_sub_pd(sv, b1));
        const __m256d c0 = _mm256_andnot_pd(_mm256_cmp_pd(sv, b0, _CMP_EQ_OQ),
                                            _mm256_cmp_pd(p0, zero, _CMP_GE_OQ));
        const __m256d c1 = _mm256_andnot_pd(_mm256_cmp_pd(sv, b1, _CMP_EQ_OQ),
                                            _mm256_cmp_pd(p1, zero, _CMP_GE_OQ));
        unsigned m = static_cast<unsigned>(_mm256_movemask_pd(c0)) |
                     static_cast<unsigned>(_mm256_movemask_pd(c1)) << kLanes;
        r = record_candidates(m, k, s, ray_param, sd, rn, r);
    }
    return scan_portable(s, dist, ray_param, count, sd, rn, r, k);
}

__attribute__((target("avx512f"))) int scan_avx512(double s, const double *dist,
                                                   const double *ray_param, int count, double *sd,
                                                   int *rn, int r)
{
    constexpr int kLanes = 8;
    const __m512d sv = _mm512_set1_pd(s);
    const __m512d zero = _mm512_setzero_pd();
    const int last = count - 1;
    int k = 1;
    for (; last - k >= 2 * kLanes; k += 2 * kLanes) {
        const __m512d a0 = _mm512_loadu_pd(dist + k - 1), b0 = _mm512_loadu_pd(dist + k);
        const __m512d a1 = _mm512_loadu_pd(dist + k + 7), b1 = _mm512_loadu_pd(dist + k + 8);
        const __m512d p0 = _mm512_mul_pd(_mm512_sub_pd(a0, sv), _mm512_sub_pd(sv, b0));
        const __m512d p1 = _mm512_mul_pd(_mm512_sub_pd(a1, sv), _mm512_sub_pd(sv, b1));
        const unsigned c0 = _mm512_cmp_pd_mask(p0, zero, _CMP_GE_OQ) &
                            ~_mm512_cmp_pd_mask(sv, b0, _CMP_EQ_OQ) & 0xFFu;
        const unsigned c1 = _mm512_cmp_pd_mask(p1, zero, _CMP_GE_OQ) &
                            ~_mm512_cmp_pd_mask(sv, b1, _CMP_EQ_OQ) & 0xFFu;
        unsigned m = c0 | c1 << kLanes;
        r = record_candidates(m, k, s, ray_param, sd, rn, r);
    }
    return scan_portable(s, dist, ray_param, count, sd, rn, r, k);
}

#endif  // __x86_64__

}  // namespace

VECTOR_TARGET int phase_search_vector(double degree, double max_distance, const double *dist,
                                      const double *ray_param, double *search_dist_results,
                                      int *ray_num_results, int count)
{
    return phase_search<scan_vector>(degree, max_distance, dist, ray_param, search_dist_results,
                                     ray_num_results, count);
}

int phase_search_portable(double degree, double max_distance, const double *dist,
                          const double *ray_param, double *search_dist_results,
                          int *ray_num_results, int count)
{
    return phase_search<scan_portable_all>(degree, max_distance, dist, ray_param,
                                           search_dist_results, ray_num_results, count);
}

#if defined(__x86_64__)

RESOLVER_SAFE bool cpu_has_avx2() { return seis_cpu::has_avx2(); }

RESOLVER_SAFE bool cpu_has_avx512() { return seis_cpu::has_avx512(); }

int phase_search_avx2(double degree, double max_distance, const double *dist,
                      const double *ray_param, double *search_dist_results, int *ray_num_results,
                      int count)
{
    return phase_search<scan_avx2>(degree, max_distance, dist, ray_param, search_dist_results,
                                   ray_num_results, count);
}

int phase_search_avx512(double degree, double max_distance, const double *dist,
                        const double *ray_param, double *search_dist_results, int *ray_num_results,
                        int count)
{
    return phase_search<scan_avx512>(degree, max_distance, dist, ray_param, search_dist_results,
                                     ray_num_results, count);
}

#endif

#if defined(__s390x__)
bool cpu_has_vector() { return seis_cpu::has_vector(); }
#endif

RESOLVER_SAFE PhaseSearch *select_phase_search_for(unsigned long hwcap)
{
    switch (seis_cpu::widest(hwcap)) {
#if defined(__x86_64__)
    case seis_cpu::Loops::avx512: return phase_search_avx512;
    case seis_cpu::Loops::avx2: return phase_search_avx2;
#endif
    case seis_cpu::Loops::vector: return phase_search_vector;
    default: return phase_search_portable;
    }
}

PhaseSearch *select_phase_search()
{
    return select_phase_search_for(seis_cpu::resolver_argument());
}

void layer_integrals(const double *layer, const double *p, double *time, double *dist,
                     double radius, int max_i)
{
    const int period = repeat_period(layer, max_i);
    // exponent[slot] holds B of the pair `period` places back, whenever that
    // pair was computed; it is read only for a row equal to that pair's row,
    // which then was computed too (equal rows share their thickness test).
    double exponent[kMaxPeriod];
    if (period != 0)  // only ever read where written; cleared for the analyzer
        memset(exponent, 0, sizeof exponent[0] * static_cast<size_t>(period));
    int slot = 0;
    // The previous pair's bottom: its slowness, ray parameter, square root
    // and angle.  When this pair's top is that same boundary for the same
    // ray, its square root and angle are the same operations on the same
    // operands.
    bool have_bottom = false;
    uint64_t bottom_p_bits = 0, bottom_eta_bits = 0;
    double bottom_sqrt = 0.0, bottom_angle = 0.0;

    for (int i = 0; i < max_i; ++i) {
        const double *row = layer + 4 * static_cast<long>(i);
        const double top_p = row[SL_TOP_P];
        const double top_depth = row[SL_TOP_DEPTH];
        const double bot_p = row[SL_BOT_P];
        const double bot_depth = row[SL_BOT_DEPTH];
        const int this_slot = slot;
        if (period != 0)
            slot = slot + 1 == period ? 0 : slot + 1;
        // Ordered comparison: a NaN thickness is processed, not skipped.
        if (bot_depth - top_depth < kMinThickness) {
            have_bottom = false;
            continue;
        }
        const double ray_p = p[i];

        // eta(r) = A r^B through both ends: B = ln(eta_t/eta_b) / ln(r_t/r_b).
        double B;
        if (period != 0 && i >= period && same_row(row, row - 4 * static_cast<long>(period))) {
            B = exponent[this_slot];
        } else {
            B = log(top_p / bot_p) / log((radius - top_depth) / (radius - bot_depth));
            if (period != 0)
                exponent[this_slot] = B;
        }

        // With s = sqrt(eta^2 - p^2), atan2(p, s) = asin(p/eta), so dist and
        // time are the closed forms of  int p deta / (B eta s)  and
        // int eta deta / (B s)  from the bottom slowness to the top one.
        double sqrt_top, angle_top;
        if (have_bottom && bits(ray_p) == bottom_p_bits && bits(top_p) == bottom_eta_bits) {
            sqrt_top = bottom_sqrt;
            angle_top = bottom_angle;
        } else {
            sqrt_top = sqrt(top_p * top_p - ray_p * ray_p);
            angle_top = atan2(ray_p, sqrt_top);
        }
        const double sqrt_bot = sqrt(bot_p * bot_p - ray_p * ray_p);
        const double angle_bot = atan2(ray_p, sqrt_bot);
        dist[i] = (angle_bot - angle_top) / B;
        time[i] = (sqrt_top - sqrt_bot) / B;

        have_bottom = true;
        bottom_p_bits = bits(ray_p);
        bottom_eta_bits = bits(bot_p);
        bottom_sqrt = sqrt_bot;
        bottom_angle = angle_bot;
    }
}

void branch_sums(const double *ray_params, const double *time, const double *dist,
                 const double *layer, double *time_dist, int max_i, int max_j, double max_ray_param,
                 int allow_turn)
{
    if (max_j <= 0) {
        // Empty matrices: no ray parameter to read, no layer to add.
        for (int i = 0; i < max_i; ++i) {
            time_dist[4 * static_cast<long>(i) + TD_TIME] = 0.0;
            time_dist[4 * static_cast<long>(i) + TD_DIST] = 0.0;
        }
        return;
    }
    if (max_i <= 0)
        return;
    double floor_eta[kMaxIndexedLayers];
    const bool indexed = max_j <= kMaxIndexedLayers;
    if (indexed)
        fill_floor_eta(layer, max_j, floor_eta);
    int guess = 0;
    auto stop_of = [&](double p) {
        guess = indexed ? stop_layer_near(p, floor_eta, max_j, guess) : stop_layer(p, layer, max_j);
        return guess;
    };
    int i = 0;
    // Four rows at a time, side by side over the layers all of them cross.
    for (; i + kRowsInFlight <= max_i; i += kRowsInFlight) {
        const double *t[kRowsInFlight], *d[kRowsInFlight];
        double ray_p[kRowsInFlight];
        int stop[kRowsInFlight];
        int common = max_j;
        for (int r = 0; r < kRowsInFlight; ++r) {
            const long base = static_cast<long>(i + r) * max_j;
            t[r] = time + base;
            d[r] = dist + base;
            ray_p[r] = ray_params[base];
            // Ordered comparison: a NaN ray parameter is not skipped.  A
            // skipped row is summed along harmlessly and never stored.
            stop[r] = ray_p[r] > max_ray_param ? 0 : stop_of(ray_p[r]);
            if (stop[r] < common && !(ray_p[r] > max_ray_param))
                common = stop[r];
        }
        double t0 = 0.0, t1 = 0.0, t2 = 0.0, t3 = 0.0;
        double d0 = 0.0, d1 = 0.0, d2 = 0.0, d3 = 0.0;
        for (int j = 0; j < common; ++j) {
            t0 += t[0][j];
            d0 += d[0][j];
            t1 += t[1][j];
            d1 += d[1][j];
            t2 += t[2][j];
            d2 += d[2][j];
            t3 += t[3][j];
            d3 += d[3][j];
        }
        const double time_sum[kRowsInFlight] = {t0, t1, t2, t3};
        const double dist_sum[kRowsInFlight] = {d0, d1, d2, d3};
        for (int r = 0; r < kRowsInFlight; ++r)
            if (!(ray_p[r] > max_ray_param))
                finish_row(ray_p[r], t[r], d[r], layer, max_j, allow_turn, common, stop[r],
                           time_sum[r], dist_sum[r], time_dist + 4 * static_cast<long>(i + r));
    }
    for (; i < max_i; ++i) {
        const long base = static_cast<long>(i) * max_j;
        const double ray_p = ray_params[base];
        if (!(ray_p > max_ray_param))
            finish_row(ray_p, time + base, dist + base, layer, max_j, allow_turn, 0, stop_of(ray_p),
                       0.0, 0.0, time_dist + 4 * static_cast<long>(i));
    }
}

}  // namespace traveltime

#if !defined(TRAVELTIME_VARIANTS_ONLY)

using namespace traveltime;

extern "C" void bullen_radial_slowness_inner_loop(const double *layer, const double *p,
                                                  double *time, double *dist, double radius,
                                                  int max_i)
{
    layer_integrals(layer, p, time, dist, radius, max_i);
}

extern "C" void tau_branch_calc_time_dist_inner_loop(const double *ray_params, const double *time,
                                                     const double *dist, const double *layer,
                                                     double *time_dist, int max_i, int max_j,
                                                     double max_ray_param, int allow_turn)
{
    branch_sums(ray_params, time, dist, layer, time_dist, max_i, max_j, max_ray_param, allow_turn);
}

#if !defined(SEIS_POINTER_DISPATCH)

// Runs inside the dynamic linker while the library is relocated: it may only
// call code of this library (direct, hidden calls) and cpuid.  On s390x the
// loader passes the hardware capabilities as the argument.
extern "C" RESOLVER_SAFE __attribute__((visibility("hidden"))) PhaseSearch *
seismic_phase_resolver(unsigned long hwcap)
{
    return select_phase_search_for(hwcap);
}

extern "C" int seismic_phase_calc_time_inner_loop(double degree, double max_distance,
                                                  const double *dist, const double *ray_param,
                                                  double *search_dist_results, int *ray_num_results,
                                                  int count)
    __attribute__((ifunc("seismic_phase_resolver")));

#else

namespace {

int choose_and_search(double degree, double max_distance, const double *dist,
                      const double *ray_param, double *search_dist_results, int *ray_num_results,
                      int count);

// The loop the phase search calls: set by the constructor below while the
// library loads, before any caller can see the export.  A call that comes
// first all the same (from another library's constructor) makes the same
// choice itself.  The pointer is only read and written by atomic operations
// (GCC's builtins: no header, no run-time library), so such calls may even
// race.
PhaseSearch *chosen = choose_and_search;

int choose_and_search(double degree, double max_distance, const double *dist,
                      const double *ray_param, double *search_dist_results, int *ray_num_results,
                      int count)
{
    PhaseSearch *search = select_phase_search();
    __atomic_store_n(&chosen, search, __ATOMIC_RELAXED);
    return search(degree, max_distance, dist, ray_param, search_dist_results, ray_num_results,
                  count);
}

__attribute__((constructor)) void choose_at_load()
{
    __atomic_store_n(&chosen, select_phase_search(), __ATOMIC_RELAXED);
}

}  // namespace

extern "C" int seismic_phase_calc_time_inner_loop(double degree, double max_distance,
                                                  const double *dist, const double *ray_param,
                                                  double *search_dist_results, int *ray_num_results,
                                                  int count)
{
    return __atomic_load_n(&chosen, __ATOMIC_RELAXED)(degree, max_distance, dist, ray_param,
                                                      search_dist_results, ray_num_results, count);
}

#endif
#endif  // !TRAVELTIME_VARIANTS_ONLY
