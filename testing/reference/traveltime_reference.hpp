// Literal reference loops of the travel-time kernels: each one transcribes
// the kernel's contract step by step, with no cleverness, so that tests,
// benchmarks and fuzzers can compare the shipped kernels against it bit for
// bit.  Only for inputs on which the literal loops terminate.
#pragma once

#include <cmath>
#include <vector>

#include "traveltime.h"

namespace reference {

inline void bullen_radial_slowness(const double *layer, const double *p, double *time, double *dist,
                                   double radius, int max_i)
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
                                      const double *dist, const double *layer, double *time_dist,
                                      int max_i, int max_j, double max_ray_param, int allow_turn)
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

namespace reference {

// The phase search exactly as its loops are written: repeated subtraction of
// 360 and an unbounded turn loop, so only for finite, ordinary inputs.
inline int seismic_phase_calc_time(double degree, double max_distance, const double *dist,
                                   const double *ray_param, double *search_dist_results,
                                   int *ray_num_results, int count)
{
    const double pi = 3.141592653589793;
    double temp_deg = std::fabs(degree);
    while (temp_deg > 360.0)
        temp_deg -= 360.0;
    if (temp_deg > 180.0)
        temp_deg = 360.0 - temp_deg;
    double rad_dist = temp_deg * pi / 180.0;
    int r = 0;
    for (int n = 0; rad_dist + (2 * n) * pi <= max_distance; n++) {
        for (int which = 0; which < 2; which++) {
            double search_dist;
            if (which == 0)
                search_dist = rad_dist + (2 * n) * pi;
            else if (temp_deg != 180.0)
                search_dist = (2 * (n + 1)) * pi - rad_dist;
            else
                continue;
            for (int ray_num = 1; ray_num < count; ray_num++) {
                if (search_dist == dist[ray_num] && ray_num != count - 1)
                    continue;
                if ((dist[ray_num - 1] - search_dist) * (search_dist - dist[ray_num]) < 0)
                    continue;
                if (std::isnan((dist[ray_num - 1] - search_dist) * (search_dist - dist[ray_num])))
                    continue;
                if (count > 2 && ray_param[ray_num - 1] == ray_param[ray_num])
                    continue;
                search_dist_results[r] = search_dist;
                ray_num_results[r] = ray_num - 1;
                r++;
            }
        }
    }
    return r;
}

}  // namespace reference
