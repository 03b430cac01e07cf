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
