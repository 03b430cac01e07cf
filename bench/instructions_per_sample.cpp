// Guest instructions per sample of each loop, as qemu-user counts them: the
// speed measure for processors that are only emulated here (see
// qemu_instructions.sh).  Run as `<loop> <data> <n>`; the loop converts or
// searches n samples once, and the caller subtracts the run with the loop
// `ibm2ieee_none` or `phase_search_none`, which makes the same data and
// does nothing else.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ibm2ieee_variants.h"
#include "inner_tau_loops_variants.h"
#include "reference/ibm2ieee_reference.hpp"

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    const std::string loop = argv[1], data = argv[2];
    const int n = std::atoi(argv[3]);
    std::mt19937 rng(1);
    if (loop.rfind("ibm2ieee_", 0) == 0) {
        // Trace-like: normally distributed amplitudes over four decades;
        // random: uniformly random words.
        std::normal_distribution<double> amplitude;
        std::uniform_real_distribution<double> decade(-2.0, 2.0);
        std::vector<float> words(n);
        for (float &x : words)
            x = reference::float_of(data == "trace"
                                        ? reference::ieee_to_ibm(amplitude(rng) *
                                                                 std::pow(10.0, decade(rng)))
                                        : static_cast<std::uint32_t>(rng()));
        if (loop == "ibm2ieee_portable")
            ibmfloat::convert_portable(words.data(), n);
        else if (loop == "ibm2ieee_vector")
            ibmfloat::convert_vector(words.data(), n);
        std::printf("%a\n", static_cast<double>(words[0]));
        return 0;
    }
    // A smooth distance curve of n samples searched at one distance: every
    // interval is tested once, and a few hit.
    std::vector<double> dist(n + 1), ray_param(n + 1), hits(8 * (n + 1));
    std::vector<int> rays(hits.size());
    for (int i = 0; i <= n; ++i) {
        dist[i] = 3.0 * i / n;
        ray_param[i] = 10.0 - 9.0 * i / n;
    }
    // 90 degrees, up to 3 radians: one direct and one complementary scan.
    traveltime::PhaseSearch *search = loop == "phase_search_vector" ? traveltime::phase_search_vector
                                                                      : traveltime::phase_search_portable;
    if (loop != "phase_search_none")
        std::printf("%d\n", search(90.0, 3.0, dist.data(), ray_param.data(), hits.data(),
                                   rays.data(), n + 1));
    return 0;
}
