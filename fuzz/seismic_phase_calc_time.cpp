// Fuzz harness of seismic_phase_calc_time_inner_loop: any degree, any
// max_distance, any sampled curve, any count.
//
// Layout of the input: degree, max_distance, count, then per sample the
// distance and the ray parameter.  The distances the call will search for
// (direct and complementary, first turns) are offered as hints, so that
// samples land on them exactly or an ulp away.
//
// The result arrays are allocated at exactly the size the header states for
// the call: (2 or 1) x (count - 1) entries per turn, over the turns
// n >= 0 with rad_dist + 2n pi <= max_distance.  Out of the kernel's domain
// (non-finite degree or max_distance, no interval, or more possible hits
// than an int counts) they are empty: the call must return 0 and write
// nothing.  In the domain the hits must be the literal reference loop's.
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.hpp"
#include "reference/traveltime_reference.hpp"
#include "traveltime.h"

namespace {

constexpr int kMaxCount = 160;
constexpr double kPi = 3.141592653589793;
// Calls that could write more hits than this are not run in full: they are
// valid, but take too long per input.
constexpr long long kMaxHits = 1 << 12;
// Degrees up to this size are reduced by the reference's own loop (one
// subtraction of 360 per turn); larger ones by the exact remainder, which
// the header promises equals that loop wherever its subtractions are exact.
constexpr double kLiteralDegrees = 360.0 * (1 << 16);

// The reduction of the header: |degree| less whole turns, folded into
// [0, 180].
double reduce(double degree)
{
    double t = std::fabs(degree);
    if (t > 360.0)
        t = std::fmod(t, 360.0);
    return t > 180.0 ? 360.0 - t : t;
}

double direct(double rad_dist, long long n) { return rad_dist + static_cast<double>(2 * n) * kPi; }

enum class Domain { kOutside, kInside, kTooLong };

struct Plan {
    Domain domain = Domain::kOutside;
    std::size_t bound = 0;  // largest possible number of hits
};

Plan plan(double degree, double max_distance, int count)
{
    Plan plan;
    if (!std::isfinite(degree) || !std::isfinite(max_distance) || count < 2)
        return plan;
    const double temp_deg = reduce(degree);
    const double rad_dist = temp_deg * kPi / 180.0;
    const long long per_turn = (temp_deg != 180.0 ? 2LL : 1LL) * (count - 1LL);
    // Count the turns one by one, as the literal loop does, up to the limit.
    long long turns = 0;
    while (turns * per_turn <= kMaxHits && direct(rad_dist, turns) <= max_distance)
        ++turns;
    if (turns * per_turn <= kMaxHits) {
        plan.domain = Domain::kInside;
        plan.bound = static_cast<std::size_t>(turns * per_turn);
        return plan;
    }
    // Many turns: the count of turns from one division, give or take the
    // rounding of the loop test.  Clear of INT_MAX on the far side it must
    // be refused; otherwise it is valid but too long to run here.
    const double estimate = std::floor((max_distance - rad_dist) / (2 * kPi)) + 1;
    plan.domain = estimate - 2 > static_cast<double>(INT_MAX) / static_cast<double>(per_turn)
                      ? Domain::kOutside
                      : Domain::kTooLong;
    return plan;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input in(data, size);
    const double degree = in.value();
    const double max_distance = in.value();
    const int count = in.count(kMaxCount);

    std::vector<double> hints;
    if (std::isfinite(degree)) {
        const double rad_dist = reduce(degree) * kPi / 180.0;
        for (long long n = 0; n < 4; ++n) {
            hints.push_back(direct(rad_dist, n));
            hints.push_back(static_cast<double>(2 * (n + 1)) * kPi - rad_dist);
        }
    }
    if (std::isfinite(max_distance))
        hints.push_back(max_distance);
    in.set_hints(hints);

    const std::size_t n = fuzz::elements(count);
    fuzz::Exact<double> dist(n), ray_param(n);
    for (std::size_t k = 0; k < n; ++k) {
        dist[k] = in.value();
        const std::uint8_t tag = in.byte();
        // Equal neighbouring ray parameters matter (flat intervals): repeat
        // the previous one often.
        ray_param[k] = (tag & 3) == 0 && k > 0 ? ray_param[k - 1] : in.value();
    }

    const Plan p = plan(degree, max_distance, count);
    if (p.domain == Domain::kTooLong)
        return 0;
    fuzz::Exact<double> hit_dist(p.bound);
    fuzz::Exact<int> hit_ray(p.bound);
    std::vector<double> want_dist(p.bound);
    std::vector<int> want_ray(p.bound);
    for (std::size_t m = 0; m < p.bound; ++m) {
        hit_dist[m] = want_dist[m] = fuzz::guard(m);
        hit_ray[m] = want_ray[m] = fuzz::int_guard(m);
    }
    const std::vector<double> dist_before = fuzz::copy_of(dist);
    const std::vector<double> ray_param_before = fuzz::copy_of(ray_param);

    const int hits =
        seismic_phase_calc_time_inner_loop(degree, max_distance, dist.data(), ray_param.data(),
                                           hit_dist.data(), hit_ray.data(), count);

    fuzz::check_unchanged("dist", dist, dist_before);
    fuzz::check_unchanged("ray_param", ray_param, ray_param_before);
    int want = 0;
    if (p.domain == Domain::kInside) {
        const double literal_degree =
            std::fabs(degree) <= kLiteralDegrees ? degree : std::fmod(std::fabs(degree), 360.0);
        want = reference::seismic_phase_calc_time(literal_degree, max_distance, dist_before.data(),
                                                  ray_param_before.data(), want_dist.data(),
                                                  want_ray.data(), count);
    }
    if (hits != want)
        fuzz::fail("degree %a max_distance %a count %d: %d hits, expected %d", degree, max_distance,
                   count, hits, want);
    for (std::size_t m = 0; m < p.bound; ++m)
        if (fuzz::bits(hit_dist[m]) != fuzz::bits(want_dist[m]) || hit_ray[m] != want_ray[m])
            fuzz::fail(
                "degree %a max_distance %a count %d: entry %zu is (%a, %d), expected (%a, %d)",
                degree, max_distance, count, m, hit_dist[m], hit_ray[m], want_dist[m], want_ray[m]);
    return 0;
}
