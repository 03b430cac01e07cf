// A planet whose slowness follows one Bullen law eta(r) = A r^B from the
// surface down, cut into layers at irregular depths: the travel-time
// integrals then have closed forms to test the kernels against.
#pragma once

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "traveltime.h"

namespace testing_support {

struct BullenPlanet {
    double radius, A, B;
    std::vector<double> layer;  // slowness-layer rows, surface first

    double eta(double r) const { return A * std::pow(r, B); }
    double surface_eta() const { return eta(radius); }
    double turning_radius(double p) const { return std::pow(p / A, 1.0 / B); }
    int layers() const { return static_cast<int>(layer.size() / 4); }

    // Closed forms for the leg from the surface down to the turning point.
    double leg_distance(double p) const
    {
        return (std::numbers::pi / 2 - std::asin(p / surface_eta())) / B;
    }
    double leg_time(double p) const
    {
        const double s = surface_eta();
        return std::sqrt(s * s - p * p) / B;
    }

    // Builds `count` layers from the surface to `bottom_depth`, boundaries
    // jittered so no two layers are alike.  Each boundary's slowness is
    // computed once and shared by the layers above and below it.
    static BullenPlanet make(double radius, double surface_eta, double B, int count,
                             double bottom_depth, std::uint64_t seed)
    {
        BullenPlanet planet{radius, surface_eta / std::pow(radius, B), B, {}};
        std::mt19937_64 rng(seed);
        std::uniform_real_distribution<double> jitter(0.5, 1.5);
        std::vector<double> depth(static_cast<std::size_t>(count) + 1, 0.0);
        double total = 0.0;
        for (int k = 1; k <= count; ++k)
            depth[k] = total += jitter(rng);
        for (int k = 1; k <= count; ++k)
            depth[k] = depth[k] / total * bottom_depth;
        double top_eta = planet.eta(radius);
        for (int k = 0; k < count; ++k) {
            const double bot_eta = planet.eta(radius - depth[k + 1]);
            planet.layer.insert(planet.layer.end(), {top_eta, depth[k], bot_eta, depth[k + 1]});
            top_eta = bot_eta;
        }
        return planet;
    }

    // The host's (layer, ray parameter) pairs for a list of ray parameters,
    // one ray parameter after another with every layer inside each: the
    // layer in which a ray turns is cut at the turning point (eta = p).
    void pairs(const std::vector<double> &ray_params, std::vector<double> &pair_layer,
               std::vector<double> &pair_p) const
    {
        pair_layer.clear();
        pair_p.clear();
        for (double p : ray_params) {
            for (int j = 0; j < layers(); ++j) {
                const double *row = &layer[4 * static_cast<std::size_t>(j)];
                pair_layer.insert(pair_layer.end(), row, row + 4);
                if (row[SL_BOT_P] < p && p <= row[SL_TOP_P]) {
                    pair_layer[pair_layer.size() - 4 + SL_BOT_P] = p;
                    pair_layer[pair_layer.size() - 4 + SL_BOT_DEPTH] = radius - turning_radius(p);
                }
                pair_p.push_back(p);
            }
        }
    }
};

}  // namespace testing_support
