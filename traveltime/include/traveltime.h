/* traveltime.h - inner loops of a tau-p travel-time calculator for a
 * spherically symmetric, layered planet.
 *
 * Every kernel takes arrays owned by the caller, writes only the outputs
 * named below, allocates nothing, keeps no state, and is safe to call from
 * several threads at once on disjoint outputs.  Pointers and array sizes are
 * trusted; a count of zero or less means "no elements".  Invalid arithmetic
 * (square root or logarithm out of domain, 0/0) shows up as NaN or infinity
 * in the affected outputs: no kernel reports errors.
 *
 * Arithmetic is IEEE 754 binary64, each operation rounded separately, in the
 * order documented for each kernel; results are bit-for-bit reproducible.
 */
#ifndef TRAVELTIME_H
#define TRAVELTIME_H

#if defined(TRAVELTIME_BUILDING) && defined(__GNUC__)
#define TRAVELTIME_API __attribute__((visibility("default")))
#else
#define TRAVELTIME_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Columns of a slowness-layer row: four consecutive doubles, row k at 4*k.
 * Slownesses share the unit of ray parameters (time per radian); depths
 * share the unit of the planet radius. */
enum SlownessLayerColumn {
    SL_TOP_P = 0u,     /* slowness at the top of the layer */
    SL_TOP_DEPTH = 1u, /* depth of the top */
    SL_BOT_P = 2u,     /* slowness at the bottom */
    SL_BOT_DEPTH = 3u  /* depth of the bottom */
};

/* Columns of a time-distance row: four consecutive doubles, row i at 4*i. */
enum TimeDistColumn {
    TD_P = 0u,     /* ray parameter */
    TD_TIME = 1u,  /* travel time */
    TD_DIST = 2u,  /* distance in radians */
    TD_DEPTH = 3u  /* depth */
};

/* Travel time and distance of a ray across one layer whose slowness follows
 * Bullen's law eta(r) = A r^B through its top and bottom values, for max_i
 * independent (layer row i, ray parameter p[i]) pairs, radial coordinate
 * r = radius - depth:
 *
 *   B         = log(top_p / bot_p) / log((radius - top_depth) / (radius - bot_depth))
 *   sqrt_top  = sqrt(top_p*top_p - p*p),  sqrt_bot = sqrt(bot_p*bot_p - p*p)
 *   dist[i]   = (atan2(p, sqrt_bot) - atan2(p, sqrt_top)) / B
 *   time[i]   = (sqrt_top - sqrt_bot) / B
 *
 * Reads layer[0 .. 4*max_i) and p[0 .. max_i); writes time[i] and dist[i].
 * A pair whose thickness (bot_depth - top_depth) is below 1e-10, or negative,
 * is skipped and its time[i], dist[i] keep their previous contents; a NaN
 * thickness is not skipped.  p above either slowness gives NaN for that pair,
 * top_p == bot_p gives NaN (B = 0).  max_i <= 0: nothing is read or written. */
TRAVELTIME_API void bullen_radial_slowness_inner_loop(
    const double *layer, const double *p, double *time, double *dist,
    double radius, int max_i);

/* Sums per-layer times and distances down a branch into time-distance rows.
 *
 * ray_params, time and dist are row-major max_i x max_j matrices (one row per
 * ray parameter, one column per layer); only ray_params[i*max_j] is read, as
 * the ray parameter p of row i.  layer holds max_j slowness-layer rows, of
 * which only SL_TOP_P and SL_BOT_P are read.
 *
 * Row i: skipped if p > max_ray_param (time_dist row untouched; NaN p is not
 * skipped).  Otherwise layers j = 0, 1, ... are added in order while p is at
 * most both of the layer's slownesses; at the first layer that p exceeds in
 * either slowness the scan stops, and if allow_turn != 0 and p lies strictly
 * between that layer's two slownesses it is added too, as the turning layer.
 * Nothing below the stopping layer is ever added.  The sums start from 0.0
 * and add in increasing j; they go to time_dist[4*i + TD_TIME] and
 * time_dist[4*i + TD_DIST].  TD_P and TD_DEPTH are never touched.
 *
 * max_i <= 0: nothing is read or written.  max_j <= 0: the matrices and the
 * layer rows are empty and never read; every row is treated as processed and
 * gets time 0.0 and distance 0.0. */
TRAVELTIME_API void tau_branch_calc_time_dist_inner_loop(
    const double *ray_params, const double *time, const double *dist,
    const double *layer, double *time_dist, int max_i, int max_j,
    double max_ray_param, int allow_turn);

#ifdef __cplusplus
}
#endif

#endif /* TRAVELTIME_H */
