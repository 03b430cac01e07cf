/* A C99 caller: the public header compiles as C and the exported symbol
 * links and converts a few samples. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "ibmfloat.h"

int main(void)
{
    static const uint32_t words[] = {0x41100000u, 0xC276A000u, 0x80000000u, 0x60100000u,
                                     0x1B800000u};
    static const uint32_t expected[] = {0x3F800000u, 0xC2ED4000u, 0x80000000u, 0x7D800000u,
                                        0x00000001u};
    enum { n = sizeof words / sizeof words[0] };
    float samples[n];
    int failures = 0;
    int i;

    memcpy(samples, words, sizeof samples);
    ibm2ieee(samples, n);
    for (i = 0; i < n; i++) {
        uint32_t got;
        memcpy(&got, &samples[i], sizeof got);
        if (got != expected[i]) {
            printf("word %08lx: got %08lx, expected %08lx\n", (unsigned long)words[i],
                   (unsigned long)got, (unsigned long)expected[i]);
            failures++;
        }
    }
    return failures != 0;
}
