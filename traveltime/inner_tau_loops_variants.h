// Internal: the phase-search loops behind seismic_phase_calc_time_inner_loop,
// one per instruction set, and the choice the loader makes among them.  Not
// installed; the shipped library keeps these hidden.  Tests and benchmarks
// link a static build of the same source (traveltime_variants) to run each
// one directly.
#pragma once

namespace traveltime {

// The layer integrals and branch sums have one loop for every processor.
void layer_integrals(const double *layer, const double *p, double *time, double *dist,
                     double radius, int max_i);
void branch_sums(const double *ray_params, const double *time, const double *dist,
                 const double *layer, double *time_dist, int max_i, int max_j, double max_ray_param,
                 int allow_turn);

using PhaseSearch = int(double degree, double max_distance, const double *dist,
                        const double *ray_param, double *search_dist_results, int *ray_num_results,
                        int count);

// Plain C++; any 64-bit target.
PhaseSearch phase_search_portable;

// Two lanes of GCC's generic vectors; any 64-bit target (on s390x it needs
// the vector facility).
PhaseSearch phase_search_vector;

#if defined(__x86_64__)
// The processor has the instructions and the operating system saves the
// registers they use (cpuid and xgetbv).
bool cpu_has_avx2();
bool cpu_has_avx512();

PhaseSearch phase_search_avx2;    // needs cpu_has_avx2()
PhaseSearch phase_search_avx512;  // needs cpu_has_avx512()
#endif

#if defined(__s390x__)
// The processor has the vector facility and the kernel saves its registers.
bool cpu_has_vector();
#endif

// The loop seismic_phase_calc_time_inner_loop runs on this machine.
// select_phase_search_for takes the hardware capabilities the loader
// reports (used on s390x only).
PhaseSearch *select_phase_search_for(unsigned long hwcap);
PhaseSearch *select_phase_search();

}  // namespace traveltime
