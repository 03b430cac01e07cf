// Fuzz harness of libarrivals: any legs, members, naming, source and
// receiver depths and distances, on a planet of homogeneous regions built
// once.  Pointers and counts keep their contract (every index a member or a
// naming list holds lies inside its array); every value is free.  A source
// is made or refused, searched for the distances in one call, one by one
// and for the earliest of each, and freed: no crash, hang or leak, every
// arrival names a distance, a member and a code that exist, with a finite
// time, and each distance's earliest is the first the search lists.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "arrivals.h"
#include "arrivals_planet.hpp"
#include "fuzz_support.hpp"

namespace {

const testing_planet::Planet &planet()
{
    static const testing_planet::Planet pl = testing_planet::make_planet(12);
    return pl;
}

// A depth: a code for the source or receiver, a boundary of the planet, or
// any value.
double depth(fuzz::Input &in)
{
    const testing_planet::Planet &pl = planet();
    switch (in.byte() % 6) {
    case 0: return ARRIVALS_AT_SOURCE;
    case 1: return ARRIVALS_AT_RECEIVER;
    case 2: return 0.0;
    case 3: return pl.cmb;
    case 4: return pl.icb;
    default: return in.value();
    }
}

// A dense table of one phase over 3 x 3 nodes: a cell of one patch, one
// split 4 x 4 (its first sub-cell split again), one left to the calculator
// and one without the phase.
struct PairTable {
    double depths[3] = {0.0, 10.0, 25.0}, distances[3] = {0.0, 1.0, 3.0};
    int cells[4 + 32] = {};
    arrivals_patch patches[1 + 31] = {};
    int lut[3] = {0, 1, 1};
    arrivals_pair_table table{};

    PairTable()
    {
        auto word = [](int first, int count) { return first * 8 + count + 2; };
        cells[0] = word(0, 1);
        cells[1] = word(4, -2);
        cells[2] = word(0, -1);
        cells[3] = word(0, 0);
        cells[4] = word(20, -2);
        for (int k = 1; k < 32; ++k)
            cells[4 + k] = word(k, 1);
        for (int k = 0; k < 32; ++k) {
            patches[k].t0 = 100.0 + k;
            patches[k].c[0] = 8.0f;  // u
            patches[k].c[3] = -0.1f;  // v
            patches[k].names = 1 << 16;
            patches[k].p_split = 5.0f;
        }
        table = {3, 3, depths, distances, cells, patches,
                 {0.0, 2.0 / 25.0, 3, lut}, {0.0, 2.0 / 3.0, 3, lut}};
    }
};

const PairTable &pair_table()
{
    static const PairTable tb;
    return tb;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input in(data, size);
    const testing_planet::Planet &pl = planet();
    in.set_hints({0.0, 35.0, pl.cmb, pl.icb, 100.0, 600.0, 30.0, 180.0});

    const int n_legs = 1 + in.byte() % 7;
    std::vector<arrivals_leg> legs(n_legs);
    for (arrivals_leg &leg : legs) {
        leg.wave = in.byte() % 2;
        leg.region = in.byte() % 3;
        leg.start = depth(in);
        leg.end = depth(in);
        leg.below = in.byte() % 2 ? NAN : in.value();
        leg.going_up = in.byte() % 2;
        leg.arriving_up = in.byte() % 2;
    }
    const int n_regions = 3;
    std::vector<double> region_depth(n_regions);
    std::vector<int> region_code(n_regions);
    const int n_codes = 1 + in.byte() % 5;
    for (int r = 0; r < n_regions; ++r) {
        region_depth[r] = in.value();
        region_code[r] = in.byte() % n_codes;
    }
    const int n_members = in.count(6);  // at times zero or less: no member
    std::vector<arrivals_member> members(n_members > 0 ? n_members : 1);
    for (int g = 0; g < n_members; ++g) {
        arrivals_member &m = members[g];
        m.first_leg = in.byte() % n_legs;
        m.n_legs = 1 + in.byte() % (n_legs - m.first_leg);
        m.kind = in.byte() % 4;
        m.head_wave = in.byte() % 2;
        m.head_region = in.byte() % 2;
        m.head_depth = depth(in);
        m.head_reach = in.value();
        m.naming = in.byte() % 3;
        m.code = in.byte() % n_codes;
        m.code_b = in.byte() % n_codes;
        m.first_region = in.byte() % n_regions;
        m.n_regions = in.byte() % (n_regions - m.first_region + 1);
    }
    std::vector<unsigned char> wanted(static_cast<std::size_t>(n_codes) * members.size());
    for (unsigned char &w : wanted)
        w = in.byte() % 4 != 0;
    const double source_depth = in.value(), receiver = in.value();
    const int n_degrees = in.count(6);  // at times zero or less: nothing asked
    std::vector<double> degrees(n_degrees > 0 ? n_degrees : 1);
    for (int k = 0; k < n_degrees; ++k)
        degrees[k] = in.value();

    arrivals_source *s = arrivals_source_new(&pl.model, legs.data(), members.data(), n_members,
                                             region_depth.data(), region_code.data(),
                                             wanted.data(), n_codes, source_depth, receiver);
    const bool inside = source_depth >= 0.0 && source_depth < pl.cmb && receiver >= 0.0 &&
                        receiver < pl.cmb;
    if (!s) {
        if (inside && n_members >= 0)
            fuzz::fail("a source at %g km, receiver at %g km, was refused", source_depth,
                       receiver);
        return 0;
    }
    if (!inside)
        fuzz::fail("a source at %g km, receiver at %g km, was made", source_depth, receiver);
    const int count = n_degrees > 0 ? n_degrees : 0;
    std::vector<arrivals_arrival> out(1);
    int n = arrivals_at(s, degrees.data(), n_degrees, out.data(), 1);
    if (n > 1) {
        out.resize(n);
        const int again = arrivals_at(s, degrees.data(), n_degrees, out.data(), n);
        if (again > n)
            fuzz::fail("a search with room for %d arrivals asked for %d", n, again);
        n = again;
    }
    for (int k = 0; k < n; ++k) {
        const arrivals_arrival &a = out[k];
        if (a.which < 0 || a.which >= count || a.member < 0 || a.member >= n_members ||
            a.code < 0 || a.code >= n_codes || !std::isfinite(a.time))
            fuzz::fail("arrival %d: distance %d, member %d, code %d, time %g", k, a.which,
                       a.member, a.code, a.time);
    }
    // One distance at a time: the same arrivals, in the same order.
    int next = 0;
    std::vector<arrivals_arrival> one(1);
    for (int d = 0; d < count; ++d) {
        int m = arrivals_at(s, &degrees[d], 1, one.data(), static_cast<int>(one.size()));
        if (m > static_cast<int>(one.size())) {
            one.resize(m);
            m = arrivals_at(s, &degrees[d], 1, one.data(), m);
        }
        for (int k = 0; k < m; ++k, ++next)
            if (next >= n || one[k].time != out[next].time || one[k].code != out[next].code)
                fuzz::fail("distance %d searched alone differs at arrival %d", d, k);
    }
    if (next != n)
        fuzz::fail("the distances searched alone gave %d arrivals, together %d", next, n);
    // The earliest of each distance: the first the whole search lists.
    std::vector<arrivals_arrival> first(degrees.size());
    const int found = arrivals_first(s, degrees.data(), n_degrees, first.data());
    int listed = 0;
    for (int d = 0, k = 0; d < count; ++d) {
        const bool has = k < n && out[k].which == d;
        listed += has;
        if (has != (first[d].which == d) ||
            (has && (first[d].time != out[k].time || first[d].code != out[k].code)))
            fuzz::fail("distance %d: its first arrival differs from the search's", d);
        while (k < n && out[k].which == d)
            ++k;
    }
    if (found != listed)
        fuzz::fail("arrivals_first found %d distances, the search %d", found, listed);
    // The distances as (depth, distance) pairs of a dense table: any value
    // gives a defined result, and one inside the grid a time and a name of
    // the table, or NaN and none (beyond it the edge cells' patches are
    // extrapolated, and may overflow).
    const std::size_t n_pairs = static_cast<std::size_t>(count) / 2;
    std::vector<double> time(n_pairs + 1), p(n_pairs + 1), dtdh(n_pairs + 1);
    std::vector<int> code(n_pairs + 1);
    std::vector<std::size_t> solve(n_pairs + 1);
    const std::size_t n_solve = arrivals_pairs(&pair_table().table, degrees.data(),
                                               degrees.data() + n_pairs, n_pairs, time.data(),
                                               p.data(), dtdh.data(), sizeof(double),
                                               code.data(), solve.data());
    for (std::size_t k = 0; k < n_solve; ++k)
        if (solve[k] >= n_pairs || (k && solve[k] <= solve[k - 1]) ||
            !std::isnan(time[solve[k]]))
            fuzz::fail("pair %zu was left to the calculator, or twice", solve[k]);
    for (std::size_t k = 0; k < n_pairs; ++k) {
        const double h = degrees[k], x = degrees[n_pairs + k];
        if (code[k] < -1 || code[k] > 1 ||
            (h >= 0.0 && h <= 25.0 && x >= 0.0 && x <= 3.0 &&
             std::isnan(time[k]) != (code[k] < 0)))
            fuzz::fail("pair %zu: time %g, name code %d", k, time[k], code[k]);
    }
    arrivals_source_free(s);
    return 0;
}
