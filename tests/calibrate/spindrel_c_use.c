/* SPDX-License-Identifier: MIT */
/* Uses the calibration header from C: summary of a tally with one overrun. */
#include <string.h>

#include "spindrel.h"

int summarizeOneOverrunFromC(char *text, int size) {
    struct waitTally t;
    struct timeval start = {5, 0}, end = {5, 19};
    FILE *out = fmemopen(text, (size_t)size, "w");
    if (!out) return -1;
    startTally(&t, 10);
    tallyTrial(out, &t, &start, &end);
    t.j = 1;
    printSummary(out, &t);
    fclose(out);
    return t.counter;
}
