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

/* Windows: exported from the DLL when building it, imported from it
 * otherwise.  ELF and Mach-O: visible, while the rest of the library is
 * hidden. */
#if defined(_WIN32) && defined(TRAVELTIME_BUILDING)
#define TRAVELTIME_API __declspec(dllexport)
#elif defined(_WIN32)
#define TRAVELTIME_API __declspec(dllimport)
#elif defined(TRAVELTIME_BUILDING) && defined(__GNUC__)
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
    TD_P = 0u,    /* ray parameter */
    TD_TIME = 1u, /* travel time */
    TD_DIST = 2u, /* distance in radians */
    TD_DEPTH = 3u /* depth */
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
TRAVELTIME_API void bullen_radial_slowness_inner_loop(const double *layer, const double *p,
                                                      double *time, double *dist, double radius,
                                                      int max_i);

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
TRAVELTIME_API void tau_branch_calc_time_dist_inner_loop(const double *ray_params,
                                                         const double *time, const double *dist,
                                                         const double *layer, double *time_dist,
                                                         int max_i, int max_j, double max_ray_param,
                                                         int allow_turn);

/* Every ray interval of a sampled phase whose distance curve reaches a
 * requested epicentral distance, over all turns around the planet.
 *
 * dist[k], ray_param[k] (k < count) sample the phase's distance curve, in
 * radians against ray parameter; interval k (1 <= k < count) joins samples
 * k-1 and k, and the curve may rise, fall or fold back.  degree (any sign,
 * any number of turns) is reduced to temp_deg in [0, 180]: |degree| less
 * whole turns of 360 (an exact remainder, equal to subtracting 360 until at
 * most 360 is left), then folded with 360 - temp_deg if above 180;
 * rad_dist = temp_deg * pi / 180.  For n = 0, 1, ... while
 * rad_dist + 2n*pi <= max_distance, the curve is scanned for the direct
 * distance rad_dist + 2n*pi and, unless temp_deg == 180, for the
 * complementary distance 2(n+1)*pi - rad_dist (scanned even if it exceeds
 * max_distance).  A scan tests intervals in increasing order and records a
 * hit for interval k when
 *   - (dist[k-1] - s) * (s - dist[k]) >= 0 (both ends included; NaN never),
 *   - s != dist[k] unless k is the last interval (an inner sample belongs to
 *     the interval it starts), and
 *   - ray_param[k-1] != ray_param[k], a test made only when count > 2.
 * Hit m goes to search_dist_results[m] (the distance searched, radians) and
 * ray_num_results[m] (k - 1, the interval's first sample).  Hits come in
 * order of n, direct before complementary, then increasing k; duplicates are
 * kept.  Returns the number of hits.
 *
 * Result arrays: with N turns (the count of n above), a call writes at most
 * 2 * N * (count - 1) hits (N * (count - 1) when temp_deg == 180).  As
 * 0 <= rad_dist, N <= max_distance / (2 pi) + 1, so arrays of
 * 2 * (count - 1) * (floor(max_distance / (2 pi)) + 2) entries always
 * suffice.
 *
 * Out of domain, the call returns 0 and writes nothing: a non-finite degree
 * or max_distance, or a call whose largest possible hit count (above:
 * 2 * N * (count - 1), or N * (count - 1) at 180 degrees) does not fit in
 * an int.  count <= 1 has no intervals
 * and returns 0, as does max_distance < rad_dist or NaN. */
TRAVELTIME_API int seismic_phase_calc_time_inner_loop(double degree, double max_distance,
                                                      const double *dist, const double *ray_param,
                                                      double *search_dist_results,
                                                      int *ray_num_results, int count);

#ifdef __cplusplus
}
#endif

#endif /* TRAVELTIME_H */
