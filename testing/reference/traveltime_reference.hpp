// Literal reference loops of the travel-time kernels: each one transcribes
// the kernel's contract step by step, with no cleverness, so that tests,
// benchmarks and fuzzers can compare the shipped kernels against it bit for
// bit.  Only for inputs on which the literal loops terminate.
#pragma once

#include <cmath>
#include <vector>

#include "traveltime.h"

namespace reference {

inline void bullen_radial_slowness(const double *layer, const double *p, double *time,
                                   double *dist, double radius, int max_i)
{
    for (int i = 0; i < max_i; i++) {
        double top_p = layer[4 * i + SL_TOP_P];
        double top_depth = layer[4 * i + SL_TOP_DEPTH];
        double bot_p = layer[4 * i + SL_BOT_P];
        double bot_depth = layer[4 * i + SL_BOT_DEPTH];
        if (bot_depth - top_depth < 1.0e-10)
            continue;
        double B = std::log(top_p / bot_p) / std::log((radius - top_depth) / (radius - bot_depth));
        double sqrt_top = std::sqrt(top_p * top_p - p[i] * p[i]);
        double sqrt_bot = std::sqrt(bot_p * bot_p - p[i] * p[i]);
        dist[i] = (std::atan2(p[i], sqrt_bot) - std::atan2(p[i], sqrt_top)) / B;
        time[i] = (sqrt_top - sqrt_bot) / B;
    }
}

// max_j <= 0 follows the library's documented choice: every row gets 0.0.
inline void tau_branch_calc_time_dist(const double *ray_params, const double *time,
                                      const double *dist, const double *layer,
                                      double *time_dist, int max_i, int max_j,
                                      double max_ray_param, int allow_turn)
{
    for (int i = 0; i < max_i; i++) {
        if (max_j > 0 && ray_params[i * max_j] > max_ray_param)
            continue;
        double p = max_j > 0 ? ray_params[i * max_j] : 0.0;
        double time_sum = 0.0;
        double dist_sum = 0.0;
        int j = 0;
        while (j < max_j) {
            if (p > layer[4 * j + SL_TOP_P] || p > layer[4 * j + SL_BOT_P])
                break;
            time_sum += time[i * max_j + j];
            dist_sum += dist[i * max_j + j];
            j++;
        }
        if (allow_turn && j < max_j &&
            (p - layer[4 * j + SL_BOT_P]) * (layer[4 * j + SL_TOP_P] - p) > 0) {
            time_sum += time[i * max_j + j];
            dist_sum += dist[i * max_j + j];
        }
        time_dist[4 * i + TD_TIME] = time_sum;
        time_dist[4 * i + TD_DIST] = dist_sum;
    }
}

}  // namespace reference
