// A planet of three homogeneous regions (mantle, fluid outer core, inner
// core) as libarrivals takes a model: the tables built here with the layer
// kernel, as the Python host builds them.  Straight rays make its travel
// times closed forms: a P ray from the surface to the surface across the
// mantle takes 2 R sin(D / 2) / v.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "arrivals.h"
#include "traveltime.h"

namespace testing_planet {

struct Stack {
    std::vector<double> rows, least, cum_time, cum_dist;
};

struct Core {
    std::vector<double> rows, time, dist;
    double centre_eta = 0.0;
};

struct Planet {
    double radius = 6371.0, cmb = 2891.0, icb = 5150.0;
    double vp = 10.0, vs = 5.8, vk = 9.0, vi = 11.0, vj = 3.6;
    std::vector<double> p;
    Stack mantle[2];
    Core core[3];
    arrivals_model model{};
};

// Equal layers of a homogeneous region from depth top to bottom: slowness
// r / v, which is Bullen's law with exponent 1, so the kernel is exact.
inline std::vector<double> layers(const Planet &pl, double top, double bottom, double v, int n)
{
    std::vector<double> rows;
    for (int k = 0; k < n; ++k) {
        const double a = top + (bottom - top) * k / n, b = top + (bottom - top) * (k + 1) / n;
        rows.insert(rows.end(), {(pl.radius - a) / v, a, (pl.radius - b) / v, b});
    }
    return rows;
}

// Each ray's share of every layer going down once, stopping (and turning)
// in the first layer it cannot cross: shares[i * n + k].
inline void shares(const Planet &pl, const std::vector<double> &rows, std::vector<double> &time,
                   std::vector<double> &dist, std::vector<int> &stops)
{
    const int n = static_cast<int>(rows.size() / 4), m = static_cast<int>(pl.p.size());
    time.assign(static_cast<size_t>(m) * n, 0.0);
    dist.assign(static_cast<size_t>(m) * n, 0.0);
    stops.assign(m, n);
    for (int i = 0; i < m; ++i) {
        const double q = pl.p[i];
        for (int k = 0; k < n; ++k) {
            double row[4] = {rows[4 * k], rows[4 * k + 1], rows[4 * k + 2], rows[4 * k + 3]};
            const bool crossed = q <= row[0] && q <= row[2];
            if (!crossed) {
                stops[i] = k;
                if (!(row[0] > q && q > row[2]))
                    break;
                // Turning inside: with exponent 1 the ray turns at r = p v.
                const double r_top = pl.radius - row[1];
                row[3] = pl.radius - r_top * (q / row[0]);
                row[2] = q;
            }
            bullen_radial_slowness_inner_loop(row, &q, &time[static_cast<size_t>(i) * n + k],
                                              &dist[static_cast<size_t>(i) * n + k], pl.radius, 1);
            if (!crossed)
                break;
        }
    }
}

inline Planet make_planet(int mantle_layers = 40)
{
    Planet pl;
    pl.mantle[0].rows = layers(pl, 0.0, pl.cmb, pl.vp, mantle_layers);
    pl.mantle[1].rows = layers(pl, 0.0, pl.cmb, pl.vs, mantle_layers);
    pl.core[0].rows = layers(pl, pl.cmb, pl.icb, pl.vk, 20);
    const double gap = pl.radius * (1.0 - 1e-6);
    pl.core[1].rows = layers(pl, pl.icb, gap, pl.vi, 10);
    pl.core[2].rows = layers(pl, pl.icb, gap, pl.vj, 10);
    // The grid: every boundary slowness and rays spread evenly, finer
    // towards the top slowness of each region.
    double top = 0.0;
    for (auto *rows : {&pl.mantle[0].rows, &pl.mantle[1].rows, &pl.core[0].rows,
                       &pl.core[1].rows, &pl.core[2].rows})
        for (size_t k = 0; k < rows->size(); k += 2)
            if (k % 4 == 0 || k % 4 == 2) {
                pl.p.push_back((*rows)[k]);
                top = std::max(top, (*rows)[k]);
            }
    for (int k = 0; k <= 1200; ++k)
        pl.p.push_back(top * k / 1200.0);
    for (auto *rows : {&pl.mantle[0].rows, &pl.mantle[1].rows, &pl.core[0].rows,
                       &pl.core[1].rows, &pl.core[2].rows})
        for (int a = 1; a <= 24; ++a)
            pl.p.push_back((*rows)[0] * (1.0 - std::ldexp(1e-2, -a)));
    std::sort(pl.p.begin(), pl.p.end());
    pl.p.erase(std::unique(pl.p.begin(), pl.p.end()), pl.p.end());
    const int m = static_cast<int>(pl.p.size());
    std::vector<double> t, x;
    std::vector<int> stops;
    for (Stack &st : pl.mantle) {
        const int n = static_cast<int>(st.rows.size() / 4);
        shares(pl, st.rows, t, x, stops);
        st.cum_time.assign(static_cast<size_t>(n + 1) * m, 0.0);
        st.cum_dist.assign(static_cast<size_t>(n + 1) * m, 0.0);
        for (int i = 0; i < m; ++i)
            for (int k = 0; k < n; ++k) {
                st.cum_time[static_cast<size_t>(k + 1) * m + i] =
                    st.cum_time[static_cast<size_t>(k) * m + i] + t[static_cast<size_t>(i) * n + k];
                st.cum_dist[static_cast<size_t>(k + 1) * m + i] =
                    st.cum_dist[static_cast<size_t>(k) * m + i] + x[static_cast<size_t>(i) * n + k];
            }
        double low = INFINITY;
        for (int k = 0; k < n; ++k) {
            low = std::min({low, st.rows[4 * k], st.rows[4 * k + 2]});
            st.least.push_back(low);
        }
    }
    for (int c = 0; c < 3; ++c) {
        Core &core = pl.core[c];
        const int n = static_cast<int>(core.rows.size() / 4);
        shares(pl, core.rows, t, x, stops);
        core.centre_eta = c == 0 ? 0.0 : core.rows[4 * (n - 1) + 2];
        core.time.assign(m, 0.0);
        core.dist.assign(m, 0.0);
        for (int i = 0; i < m; ++i) {
            for (int k = 0; k < n; ++k) {
                core.time[i] += t[static_cast<size_t>(i) * n + k];
                core.dist[i] += x[static_cast<size_t>(i) * n + k];
            }
            if (core.centre_eta > 0.0 && stops[i] == n) {
                core.time[i] += std::sqrt(core.centre_eta * core.centre_eta - pl.p[i] * pl.p[i]);
                core.dist[i] += std::acos(std::min(1.0, pl.p[i] / core.centre_eta));
            }
        }
    }
    arrivals_model &md = pl.model;
    md.radius = pl.radius;
    md.cmb = pl.cmb;
    md.icb = pl.icb;
    md.n_p = m;
    md.p = pl.p.data();
    for (int w = 0; w < 2; ++w) {
        Stack &st = pl.mantle[w];
        md.mantle[w] = {static_cast<int>(st.rows.size() / 4), st.rows.data(), st.least.data(),
                        st.cum_time.data(), st.cum_dist.data()};
    }
    for (int c = 0; c < 3; ++c) {
        Core &core = pl.core[c];
        md.core[c] = {static_cast<int>(core.rows.size() / 4), core.rows.data(), core.time.data(),
                      core.dist.data(), core.centre_eta};
    }
    return pl;
}

// The legs of P (down from the source, turning, up to the receiver) and of
// the ray straight up from the source, as the host hands them over.
inline arrivals_leg leg(int wave, double start, double end, bool going_up, bool arriving_up)
{
    return {wave, ARRIVALS_MANTLE, start, end, NAN, going_up, arriving_up};
}

}  // namespace testing_planet
