// Inner loops of the tau-p travel-time calculator: Bullen-law layer
// integrals and branch sums.
#include "traveltime.h"

#include <math.h>

// Every result below is built from separately rounded binary64 operations in
// exactly the order written; the build forbids contraction into fused
// multiply-adds, and nothing here may be rewritten as a multiplication by a
// reciprocal.

namespace {

// Layers thinner than this carry no ray path of their own.
constexpr double kMinThickness = 1.0e-10;

}  // namespace

extern "C" void bullen_radial_slowness_inner_loop(const double *layer, const double *p,
                                                  double *time, double *dist, double radius,
                                                  int max_i)
{
    for (int i = 0; i < max_i; ++i) {
        const double *row = layer + 4 * static_cast<long>(i);
        const double top_p = row[SL_TOP_P];
        const double top_depth = row[SL_TOP_DEPTH];
        const double bot_p = row[SL_BOT_P];
        const double bot_depth = row[SL_BOT_DEPTH];
        // Ordered comparison: a NaN thickness is processed, not skipped.
        if (bot_depth - top_depth < kMinThickness)
            continue;
        const double ray_p = p[i];

        // eta(r) = A r^B through both ends: B = ln(eta_t/eta_b) / ln(r_t/r_b).
        const double B = log(top_p / bot_p) / log((radius - top_depth) / (radius - bot_depth));
        const double sqrt_top = sqrt(top_p * top_p - ray_p * ray_p);
        const double sqrt_bot = sqrt(bot_p * bot_p - ray_p * ray_p);
        // With s = sqrt(eta^2 - p^2), atan2(p, s) = asin(p/eta), so these are
        // the closed forms of  int p deta / (B eta s)  and  int eta deta / (B s)
        // from the bottom slowness to the top one.
        dist[i] = (atan2(ray_p, sqrt_bot) - atan2(ray_p, sqrt_top)) / B;
        time[i] = (sqrt_top - sqrt_bot) / B;
    }
}

extern "C" void tau_branch_calc_time_dist_inner_loop(const double *ray_params, const double *time,
                                                     const double *dist, const double *layer,
                                                     double *time_dist, int max_i, int max_j,
                                                     double max_ray_param, int allow_turn)
{
    if (max_j <= 0) {
        // Empty matrices: no ray parameter to read, no layer to add.
        for (int i = 0; i < max_i; ++i) {
            time_dist[4 * static_cast<long>(i) + TD_TIME] = 0.0;
            time_dist[4 * static_cast<long>(i) + TD_DIST] = 0.0;
        }
        return;
    }
    for (int i = 0; i < max_i; ++i) {
        const long base = static_cast<long>(i) * max_j;
        const double ray_p = ray_params[base];
        if (ray_p > max_ray_param)
            continue;
        double time_sum = 0.0;
        double dist_sum = 0.0;
        int j = 0;
        // A layer is crossed when p is at most both slownesses (NaN p
        // crosses everything: every comparison is false).
        while (j < max_j) {
            const double *lay = layer + 4 * static_cast<long>(j);
            if (ray_p > lay[SL_TOP_P] || ray_p > lay[SL_BOT_P])
                break;
            time_sum += time[base + j];
            dist_sum += dist[base + j];
            ++j;
        }
        // The ray turns in the stopping layer when p lies strictly between
        // its two slownesses, whichever is larger.
        if (allow_turn && j < max_j) {
            const double *lay = layer + 4 * static_cast<long>(j);
            if ((ray_p - lay[SL_BOT_P]) * (lay[SL_TOP_P] - ray_p) > 0.0) {
                time_sum += time[base + j];
                dist_sum += dist[base + j];
            }
        }
        time_dist[4 * static_cast<long>(i) + TD_TIME] = time_sum;
        time_dist[4 * static_cast<long>(i) + TD_DIST] = dist_sum;
    }
}

namespace {

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

// The direct distance of turn n, rounded as the product (2n)*pi first and
// the sum second.
inline double direct_distance(double rad_dist, long long n)
{
    return rad_dist + static_cast<double>(2 * n) * kPi;
}

// Number of turns n >= 0 with direct_distance(n) <= max_distance, for finite
// max_distance >= rad_dist >= 0.  The test is monotone in n, so an estimate
// from one division is corrected by stepping across the rounding boundary;
// the result is capped (any cap above INT_MAX does) so that the caller's
// overflow test sees a number of turns that needs no more than 64 bits.
long long turn_count(double rad_dist, double max_distance)
{
    constexpr double kCap = 4294967296.0;  // 2^32 turns: more than an int call can use
    double estimate = floor((max_distance - rad_dist) / (2.0 * kPi));
    if (estimate >= kCap)
        return static_cast<long long>(kCap);
    long long last = static_cast<long long>(estimate);
    while (direct_distance(rad_dist, last + 1) <= max_distance)
        ++last;
    while (last >= 0 && !(direct_distance(rad_dist, last) <= max_distance))
        --last;
    return last + 1;
}

// One scan: every interval whose distance range holds search_dist, in
// increasing order.  Returns the new hit count.
int scan_intervals(double search_dist, const double *dist, const double *ray_param, int count,
                   double *search_dist_results, int *ray_num_results, int r)
{
    const int last = count - 1;
    for (int ray_num = 1; ray_num < count; ++ray_num) {
        // An inner sample hit exactly belongs to the interval it starts.
        if (search_dist == dist[ray_num] && ray_num != last)
            continue;
        // Bracketed, rising or falling, ends included; a NaN product is not.
        if (!((dist[ray_num - 1] - search_dist) * (search_dist - dist[ray_num]) >= 0.0))
            continue;
        // Two samples with one ray parameter bound no ray.
        if (count > 2 && ray_param[ray_num - 1] == ray_param[ray_num])
            continue;
        search_dist_results[r] = search_dist;
        ray_num_results[r] = ray_num - 1;
        ++r;
    }
    return r;
}

}  // namespace

extern "C" int seismic_phase_calc_time_inner_loop(double degree, double max_distance,
                                                  const double *dist, const double *ray_param,
                                                  double *search_dist_results,
                                                  int *ray_num_results, int count)
{
    if (!isfinite(degree) || !isfinite(max_distance) || count < 2)
        return 0;
    const double temp_deg = reduce_degree(degree);
    const double rad_dist = temp_deg * kPi / kHalfTurn;
    if (!(rad_dist <= max_distance))
        return 0;
    const bool complementary = temp_deg != kHalfTurn;
    const long long turns = turn_count(rad_dist, max_distance);
    // Every scan can hit every interval: refuse a call whose worst case
    // would overflow the int hit count (or the int turn counter).
    const long long hits_per_turn = (complementary ? 2LL : 1LL) * (count - 1LL);
    if (turns > kMaxHits / hits_per_turn)
        return 0;

    int r = 0;
    for (long long n = 0; n < turns; ++n) {
        r = scan_intervals(direct_distance(rad_dist, n), dist, ray_param, count,
                           search_dist_results, ray_num_results, r);
        // At exactly 180 degrees the complementary distance is the direct one.
        if (complementary)
            r = scan_intervals(static_cast<double>(2 * (n + 1)) * kPi - rad_dist, dist, ray_param,
                               count, search_dist_results, ray_num_results, r);
    }
    return r;
}
