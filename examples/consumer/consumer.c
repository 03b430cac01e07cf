/* A downstream C program: calls every kernel of the installed libraries
 * once and checks the answers a reader can verify by hand. */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <arrivals.h>
#include <ibmfloat.h>
#include <traveltime.h>

static int failures;

static void check(int ok, const char *what)
{
    printf("%-52s %s\n", what, ok ? "ok" : "FAILED");
    failures += !ok;
}

int main(void)
{
    /* A layer from slowness 800 at the surface to 700 at 600 km depth, and
     * a vertical ray: no distance, time (800 - 700) / B. */
    const double layer[4] = {800.0, 0.0, 700.0, 600.0};
    const double p = 0.0;
    double time = -1.0, dist = -1.0;
    bullen_radial_slowness_inner_loop(layer, &p, &time, &dist, 6371.0, 1);
    const double B = log(800.0 / 700.0) / log(6371.0 / 5771.0);
    check(dist == 0.0 && fabs(time - 100.0 / B) < 1e-12, "bullen_radial_slowness_inner_loop");

    /* Two layers, one ray crossing both: sums of the per-layer values. */
    const double layers[8] = {10.0, 0.0, 9.0, 1.0, 9.0, 1.0, 8.0, 2.0};
    const double rays[2] = {5.0, 5.0}, times[2] = {1.5, 2.25}, dists[2] = {0.5, 0.25};
    double td[4] = {5.0, -1.0, -1.0, 7.0};
    tau_branch_calc_time_dist_inner_loop(rays, times, dists, layers, td, 1, 2, 10.0, 1);
    check(td[TD_P] == 5.0 && td[TD_TIME] == 3.75 && td[TD_DIST] == 0.75 && td[TD_DEPTH] == 7.0,
          "tau_branch_calc_time_dist_inner_loop");

    /* A distance curve from 0 to 1 radian: 30 degrees lies in its only
     * interval, the long way round (330 degrees) does not. */
    const double curve[2] = {0.0, 1.0}, ray_param[2] = {2.0, 1.0};
    double hit = 0.0;
    int interval = -1;
    const int hits =
        seismic_phase_calc_time_inner_loop(30.0, 1.0, curve, ray_param, &hit, &interval, 2);
    check(hits == 1 && interval == 0 && hit == 30.0 * 3.141592653589793 / 180.0,
          "seismic_phase_calc_time_inner_loop");

    /* IBM 0xC276A000 is -118.625; 0x41100000 is 1.0. */
    const uint32_t words[2] = {0xC276A000u, 0x41100000u};
    float samples[2];
    memcpy(samples, words, sizeof samples);
    ibm2ieee(samples, 2);
    check(samples[0] == -118.625f && samples[1] == 1.0f, "ibm2ieee");

    /* The engine speaks the interface of its header, and a source deeper
     * than the model's mantle has no curves. */
    arrivals_model model;
    memset(&model, 0, sizeof model);
    model.cmb = 2891.0;
    model.n_p = 2;
    check(arrivals_version() == ARRIVALS_VERSION &&
              !arrivals_source_new(&model, NULL, NULL, 0, NULL, NULL, NULL, 0, 3000.0, 0.0),
          "arrivals_version, arrivals_source_new");

    return failures ? 1 : 0;
}
