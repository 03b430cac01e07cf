// Fuzz harness of bullen_radial_slowness_inner_loop: any batch of layer rows
// and ray parameters, any radius, any count.
//
// Layout of the input: a layout byte, the count, the radius, then the pairs.
// Free layout: per pair a row tag, the row (four values, or a copy of a
// recent row, possibly with one column changed) and the ray parameter.  Host
// layout, as the host builds its batches: one ray parameter after another,
// each with the same run of `period` layer rows; the rows of the first run,
// then per ray a tag (which may change one value of one row) and p.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.hpp"
#include "reference/traveltime_reference.hpp"
#include "traveltime.h"

namespace {

constexpr int kMaxPairs = 4096;
constexpr int kMaxPeriod = 1500;

void free_layout(fuzz::Input &in, fuzz::Exact<double> &layer, fuzz::Exact<double> &p)
{
    for (std::size_t i = 0; i < p.size(); ++i) {
        double *row = &layer[4 * i];
        const std::uint8_t tag = in.byte();
        const std::size_t back = 1 + (tag >> 2 & 31);
        if ((tag & 3) != 0 && back <= i) {
            for (int c = 0; c < 4; ++c)
                row[c] = row[c - 4 * static_cast<std::ptrdiff_t>(back)];
            if ((tag & 3) == 2)
                row[in.byte() % 4] = in.value();
        } else {
            for (int c = 0; c < 4; ++c)
                row[c] = in.value();
        }
        p[i] = (tag & 0x80) && i > 0 ? p[i - 1] : in.value();
    }
}

void host_layout(fuzz::Input &in, fuzz::Exact<double> &layer, fuzz::Exact<double> &p)
{
    const std::size_t n = p.size();
    const std::size_t period = 1 + (in.byte() | in.byte() << 8) % kMaxPeriod;
    for (std::size_t i = 0; i < n; ++i)
        for (int c = 0; c < 4; ++c)
            layer[4 * i + c] = i < period ? in.value() : layer[4 * (i - period) + c];
    for (std::size_t start = 0; start < n; start += period) {
        const std::uint8_t tag = in.byte();
        if (tag & 1 && start > 0) {  // one value of one row of this run differs
            const std::size_t i = start + in.byte() % period;
            if (i < n)
                layer[4 * i + (tag >> 1) % 4] = in.value();
        }
        const double ray_p = in.value();
        for (std::size_t i = start; i < start + period && i < n; ++i)
            p[i] = ray_p;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input in(data, size);
    const bool host = in.byte() & 1;
    const int max_i = in.count(kMaxPairs);
    const double radius = in.value();
    const std::size_t n = fuzz::elements(max_i);

    fuzz::Exact<double> layer(4 * n), p(n), time(n), dist(n);
    if (host)
        host_layout(in, layer, p);
    else
        free_layout(in, layer, p);
    std::vector<double> want_time(n), want_dist(n);
    for (std::size_t i = 0; i < n; ++i)
        time[i] = dist[i] = want_time[i] = want_dist[i] = fuzz::guard(i);
    const std::vector<double> layer_before = fuzz::copy_of(layer), p_before = fuzz::copy_of(p);

    bullen_radial_slowness_inner_loop(layer.data(), p.data(), time.data(), dist.data(), radius,
                                      max_i);
    reference::bullen_radial_slowness(layer_before.data(), p_before.data(), want_time.data(),
                                      want_dist.data(), radius, max_i);

    fuzz::check_unchanged("layer", layer, layer_before);
    fuzz::check_unchanged("p", p, p_before);
    for (std::size_t i = 0; i < n; ++i) {
        if (!fuzz::matches(time[i], want_time[i], i) || !fuzz::matches(dist[i], want_dist[i], i))
            fuzz::fail("pair %zu of %d: time %a dist %a, expected time %a dist %a", i, max_i,
                       time[i], dist[i], want_time[i], want_dist[i]);
    }
    return 0;
}
