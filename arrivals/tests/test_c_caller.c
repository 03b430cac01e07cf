/* A C99 caller: the public header compiles as C, its structures have the
 * layout the Python host reads, and the library links and answers. */
#include <math.h>
#include <stddef.h>
#include <stdio.h>

#include "arrivals.h"

int main(void)
{
    int failures = 0;
    arrivals_model model = {0};
    arrivals_arrival out[1];
    double degree = 10.0;

    failures += arrivals_version() != ARRIVALS_VERSION;
    failures += sizeof(arrivals_arrival) != 72 || offsetof(arrivals_arrival, time) != 16 ||
                offsetof(arrivals_arrival, dpdx) != 64;
    failures += sizeof(arrivals_leg) != 40 || offsetof(arrivals_leg, start) != 8;
    failures += offsetof(arrivals_member, head_depth) != 24 || sizeof(arrivals_member) != 64;
    /* A patch is the host's 80-byte record. */
    failures += sizeof(arrivals_patch) != 80 || offsetof(arrivals_patch, c) != 8 ||
                offsetof(arrivals_patch, p_split) != 68 || offsetof(arrivals_patch, names) != 72;
    /* No pairs, no distances: nothing read or written. */
    failures += arrivals_pairs(NULL, NULL, NULL, 0, NULL, NULL, NULL, 8, NULL, NULL) != 0;
    /* A depth outside the model's mantle gives no source. */
    model.cmb = 2891.0;
    model.n_p = 2;
    failures += arrivals_source_new(&model, NULL, NULL, 0, NULL, NULL, NULL, 0, -1.0, 0.0) != NULL;
    failures += arrivals_source_new(&model, NULL, NULL, 0, NULL, NULL, NULL, 0, NAN, 0.0) != NULL;
    arrivals_source_free(NULL);
    (void)out;
    (void)degree;

    if (failures)
        printf("%d check(s) failed\n", failures);
    return failures != 0;
}
