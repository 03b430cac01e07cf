// Fuzz harness of tau_branch_calc_time_dist_inner_loop: any branch, any
// per-layer values, any ray parameters, cap, flag and counts.
//
// Layout of the input: max_i, max_j, max_ray_param, allow_turn; the layer
// slownesses (top, bottom) of each layer; each row's ray parameter; the
// per-layer times and distances, row by row; then a byte that may tile the
// branch to many times its layers.  Of the ray-parameter matrix
// only column 0 is the row's p; the other columns, and the depth columns of
// the layer rows, hold values the kernel must never use, so any use of them
// shows as a difference from the reference.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.hpp"
#include "reference/traveltime_reference.hpp"
#include "traveltime.h"

namespace {

constexpr int kMaxRows = 48;
constexpr int kMaxLayers = 48;
constexpr int kTile = 64;  // 48 x 64 layers: more than the kernel indexes

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input in(data, size);
    const int max_i = in.count(kMaxRows);
    const int base_j = in.count(kMaxLayers);
    const double max_ray_param = in.value();
    const int allow_turn = in.flag();

    const std::size_t rows = fuzz::elements(max_i), base = fuzz::elements(base_j);
    std::vector<double> slowness(2 * base), p(rows), per_layer(2 * rows * base);
    for (double &x : slowness)
        x = in.value();
    for (double &x : p)
        x = in.value();
    for (double &x : per_layer)
        x = in.value();
    // A last byte may repeat the branch side by side many times over, past
    // the size up to which the kernel indexes its stopping layers.
    const int tile = (in.byte() & 0xC0) == 0xC0 ? kTile : 1;
    const int max_j = base_j > 0 ? base_j * tile : base_j;

    // Per the contract: max_i x max_j matrices, max_j layer rows, max_i
    // time-distance rows; all empty when a count is zero or less.
    const std::size_t cols = fuzz::elements(max_j), cells = rows * cols;
    fuzz::Exact<double> ray_params(cells), time(cells), dist(cells), layer(4 * cols);
    fuzz::Exact<double> time_dist(4 * rows);
    const double unused = fuzz::from_bits(0x7FF8BADC0FFEE000ull);  // a NaN: as p, crosses all
    for (std::size_t j = 0; j < cols; ++j) {
        layer[4 * j + SL_TOP_P] = slowness[2 * (j % base)];
        layer[4 * j + SL_BOT_P] = slowness[2 * (j % base) + 1];
        layer[4 * j + SL_TOP_DEPTH] = unused;
        layer[4 * j + SL_BOT_DEPTH] = unused;
    }
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j) {
            const std::size_t k = i * cols + j, from = 2 * (i * base + j % base);
            ray_params[k] = j == 0 ? p[i] : unused;
            time[k] = per_layer[from];
            dist[k] = per_layer[from + 1];
        }
    std::vector<double> want(4 * rows);
    for (std::size_t k = 0; k < 4 * rows; ++k)
        time_dist[k] = want[k] = fuzz::guard(k);

    const std::vector<double> ray_params_before = fuzz::copy_of(ray_params);
    const std::vector<double> time_before = fuzz::copy_of(time), dist_before = fuzz::copy_of(dist);
    const std::vector<double> layer_before = fuzz::copy_of(layer);

    tau_branch_calc_time_dist_inner_loop(ray_params.data(), time.data(), dist.data(), layer.data(),
                                         time_dist.data(), max_i, max_j, max_ray_param, allow_turn);
    reference::tau_branch_calc_time_dist(ray_params_before.data(), time_before.data(),
                                         dist_before.data(), layer_before.data(), want.data(),
                                         max_i, max_j, max_ray_param, allow_turn);

    fuzz::check_unchanged("ray_params", ray_params, ray_params_before);
    fuzz::check_unchanged("time", time, time_before);
    fuzz::check_unchanged("dist", dist, dist_before);
    fuzz::check_unchanged("layer", layer, layer_before);
    for (std::size_t k = 0; k < 4 * rows; ++k)
        if (!fuzz::matches(time_dist[k], want[k], k))
            fuzz::fail("time_dist[%zu] (row %zu, column %zu) of %d x %d: %a, expected %a", k, k / 4,
                       k % 4, max_i, max_j, time_dist[k], want[k]);
    return 0;
}
