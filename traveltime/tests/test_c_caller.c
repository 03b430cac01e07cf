/* A C99 caller: the public header compiles as C, the column enumerations
 * have their layout values, and each kernel links and runs. */
#include <stdio.h>

#include "traveltime.h"

int main(void)
{
    int failures = 0;
    const double layer[4] = {10.0, 0.0, 8.0, 100.0};
    const double ray[1] = {0.0}, t[1] = {2.0}, d[1] = {0.5};
    double time = -1.0, dist = -1.0, td[4] = {-1.0, -1.0, -1.0, -1.0};
    double hit = 0.0;
    int interval = -1;
    const double curve[2] = {0.0, 1.0}, rays[2] = {2.0, 1.0};

    failures += SL_TOP_P != 0 || SL_TOP_DEPTH != 1 || SL_BOT_P != 2 || SL_BOT_DEPTH != 3;
    failures += TD_P != 0 || TD_TIME != 1 || TD_DIST != 2 || TD_DEPTH != 3;

    bullen_radial_slowness_inner_loop(layer, ray, &time, &dist, 6371.0, 1);
    failures += !(time > 0.0) || dist != 0.0;
    tau_branch_calc_time_dist_inner_loop(ray, t, d, layer, td, 1, 1, 10.0, 1);
    failures +=
        td[TD_P] != -1.0 || td[TD_TIME] != 2.0 || td[TD_DIST] != 0.5 || td[TD_DEPTH] != -1.0;
    failures += seismic_phase_calc_time_inner_loop(0.0, 0.5, curve, rays, &hit, &interval, 2) != 1;
    failures += hit != 0.0 || interval != 0;

    if (failures)
        printf("%d check(s) failed\n", failures);
    return failures != 0;
}
