// Layer integrals summed down a branch reproduce the closed-form travel time
// and distance of a planet with a single Bullen law.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "bullen_planet.hpp"
#include "traveltime.h"

using testing_support::BullenPlanet;

namespace {

struct Law {
    double surface_eta, B;
    int layers;
};

TEST(Physics, BranchSumOfTurningRayMatchesClosedForm)
{
    const double radius = 6371.0, bottom = 6000.0;
    const Law laws[] = {{800.0, 1.5, 120}, {1300.0, 2.0, 40}, {600.0, 3.5, 333}, {450.0, 0.7, 75}};
    for (const Law &law : laws) {
        const BullenPlanet planet =
            BullenPlanet::make(radius, law.surface_eta, law.B, law.layers, bottom, 42);
        // Rays turning anywhere between just below the surface and just
        // above the deepest boundary.
        const double deepest_eta = planet.eta(radius - bottom);
        std::vector<double> rays;
        for (int k = 0; k < 97; ++k)
            rays.push_back(deepest_eta + (0.97 * law.surface_eta - deepest_eta) * (k + 0.5) / 97.0);
        std::vector<double> pair_layer, pair_p;
        planet.pairs(rays, pair_layer, pair_p);

        const int max_i = static_cast<int>(rays.size()), max_j = planet.layers();
        std::vector<double> time(pair_p.size(), NAN), dist(pair_p.size(), NAN);
        bullen_radial_slowness_inner_loop(pair_layer.data(), pair_p.data(), time.data(),
                                          dist.data(), radius, max_i * max_j);
        std::vector<double> td(4 * rays.size(), 0.0);
        tau_branch_calc_time_dist_inner_loop(pair_p.data(), time.data(), dist.data(),
                                             planet.layer.data(), td.data(), max_i, max_j,
                                             law.surface_eta, 1);
        for (int i = 0; i < max_i; ++i) {
            const double p = rays[i];
            EXPECT_NEAR(td[4 * i + TD_TIME], planet.leg_time(p), 1e-9 * planet.leg_time(p))
                << "B " << law.B << " p " << p;
            EXPECT_NEAR(td[4 * i + TD_DIST], planet.leg_distance(p), 1e-9 * planet.leg_distance(p))
                << "B " << law.B << " p " << p;
        }
    }
}

// A vertical ray (p = 0) crosses every layer: the time is the integral of
// eta dr / r = (eta_s - eta_bottom) / B and the distance is zero.
TEST(Physics, VerticalRay)
{
    const BullenPlanet planet = BullenPlanet::make(6371.0, 800.0, 2.5, 64, 6000.0, 3);
    const int n = planet.layers();
    std::vector<double> p(n, 0.0), time(n), dist(n), td(4, 0.0);
    bullen_radial_slowness_inner_loop(planet.layer.data(), p.data(), time.data(), dist.data(),
                                      planet.radius, n);
    tau_branch_calc_time_dist_inner_loop(p.data(), time.data(), dist.data(), planet.layer.data(),
                                         td.data(), 1, n, 1e9, 1);
    const double want = (planet.surface_eta() - planet.eta(planet.radius - 6000.0)) / planet.B;
    EXPECT_NEAR(td[TD_TIME], want, 1e-9 * want);
    EXPECT_EQ(td[TD_DIST], 0.0);
}

}  // namespace

namespace {

// A whole phase, end to end: the down-and-up distance curve of a single
// Bullen-law planet is sampled with the layer and branch kernels, searched
// with the phase kernel, and each hit interpolated linearly; the time must
// match the closed form T(D) = 2 eta_s sin(B D / 2) / B.
TEST(Physics, PhaseSearchInterpolatesClosedFormTimes)
{
    const double radius = 6371.0, bottom = 6000.0;
    for (double B : {0.7, 1.5}) {
        const BullenPlanet planet = BullenPlanet::make(radius, 800.0, B, 150, bottom, 11);
        const double eta_s = planet.surface_eta();
        // Samples evenly spaced in distance, down to rays turning just above
        // the deepest boundary.
        const double p_min = planet.eta(radius - bottom) * 1.0001;
        const double d_max = 2.0 * std::acos(p_min / eta_s) / B;
        std::vector<double> rays;
        const int samples = 3000;
        for (int k = 0; k < samples; ++k)
            rays.push_back(eta_s * std::cos(B * (d_max * (k + 0.5) / samples) / 2.0));
        std::vector<double> pair_layer, pair_p;
        planet.pairs(rays, pair_layer, pair_p);
        const int max_j = planet.layers();
        std::vector<double> time(pair_p.size()), dist(pair_p.size()), td(4 * rays.size());
        bullen_radial_slowness_inner_loop(pair_layer.data(), pair_p.data(), time.data(),
                                          dist.data(), radius, samples * max_j);
        tau_branch_calc_time_dist_inner_loop(pair_p.data(), time.data(), dist.data(),
                                             planet.layer.data(), td.data(), samples, max_j, eta_s,
                                             1);
        std::vector<double> curve_d(samples), curve_t(samples);
        for (int k = 0; k < samples; ++k) {
            curve_d[k] = 2.0 * td[4 * k + TD_DIST];
            curve_t[k] = 2.0 * td[4 * k + TD_TIME];
        }
        for (double degree : {5.0, 30.0, 60.0, 95.0, 130.0, 160.0, 200.0, -250.0, 400.0}) {
            std::vector<double> hit_d(2 * samples * 4);
            std::vector<int> hit_k(hit_d.size());
            const int r = seismic_phase_calc_time_inner_loop(
                degree, d_max, curve_d.data(), rays.data(), hit_d.data(), hit_k.data(), samples);
            int expected = 0;  // distances of this degree the curve reaches
            double deg = std::fmod(std::fabs(degree), 360.0);
            deg = deg > 180.0 ? 360.0 - deg : deg;
            for (double d : {deg, 360.0 - deg})
                expected += d * std::numbers::pi / 180.0 <= d_max * (1 - 1e-6) ? 1 : 0;
            EXPECT_EQ(r, expected) << "B " << B << " degree " << degree;
            for (int m = 0; m < r; ++m) {
                const int k = hit_k[m];
                const double s = hit_d[m];
                const double t = curve_t[k] + (curve_t[k + 1] - curve_t[k]) * (s - curve_d[k]) /
                                                  (curve_d[k + 1] - curve_d[k]);
                const double want = 2.0 * eta_s * std::sin(B * s / 2.0) / B;
                EXPECT_NEAR(t, want, 1e-6 * want) << "B " << B << " degree " << degree;
            }
        }
    }
}

}  // namespace
