// SPDX-License-Identifier: MIT
// spindrel.cpp - the busy-wait timer and the calibration trials around it.
#include "spindrel.h"

struct timeval tv1, tv2, stv, etv;
// Filled by every reading and never looked at.
struct timezone tz;
unsigned long clockReads;

void readClock(struct timeval* tv) {
    gettimeofday(tv, &tz);
    ++clockReads;
}

int elapsedUsec(const struct timeval* from, const struct timeval* to) {
    long long usec = (static_cast<long long>(to->tv_sec) - from->tv_sec) * 1000000LL +
                     (to->tv_usec - from->tv_usec);
    return static_cast<int>(usec);
}

void waitTime(int wait) {
    readClock(&tv1);
    // Widened so that no wait, however negative, overflows the comparison.
    long long elapsed;
    do {
        readClock(&tv2);
        elapsed = elapsedUsec(&tv1, &tv2);
    } while (elapsed - wait < -SPINDREL_EARLY);
}

void startTally(struct waitTally* t, int wait) {
    t->wait = wait;
    t->j = 0;
    t->counter = 0;
    t->counter2 = 0;
    t->min = SPINDREL_OVER_LIMIT;
    t->max = 0;
    t->sum = 0.0;
}

// Seconds go out as long so that the text stays right past 2038; the
// microseconds are not padded.
static void printTrialLine(FILE* out, const char* lead, int wait, int diff,
                           const struct timeval* start, const struct timeval* end) {
    fprintf(out, "%swait %dusec, diff=%dusec, stv=%ld.%d, etv=%ld.%d\n", lead, wait, diff,
            static_cast<long>(start->tv_sec), static_cast<int>(start->tv_usec),
            static_cast<long>(end->tv_sec), static_cast<int>(end->tv_usec));
}

int tallyTrial(FILE* out, struct waitTally* t, const struct timeval* start,
               const struct timeval* end) {
    int diff = elapsedUsec(start, end);
    long long error = static_cast<long long>(diff) - t->wait;
    if (error > SPINDREL_OVER_LIMIT) {
        printTrialLine(out, "", t->wait, diff, start, end);
        if (t->counter == 0 || error < t->min) t->min = static_cast<int>(error);
        if (error > t->max) t->max = static_cast<int>(error);
        t->sum += static_cast<double>(error);
        ++t->counter;
    }
    if (error < SPINDREL_UNDER_LIMIT) {
        printTrialLine(out, "diff less: ", t->wait, diff, start, end);
        ++t->counter2;
    }
    return diff;
}

void printSummary(FILE* out, const struct waitTally* t) {
    // With no overrun counted this is 0.0 / 0 and prints as the platform's NaN.
    double avg = t->sum / t->counter;
    fprintf(out, "for %dusec, j=%dtimes, error>6 counter=%d, error<-5 counter2=%d\n", t->wait,
            t->j, t->counter, t->counter2);
    fprintf(out, "    min=%d, max=%d, avg=%f\n", t->min, t->max, avg);
}

void calibrateWait(FILE* out, struct waitTally* t, int wait, int trials, int* diffs) {
    startTally(t, wait);
    for (t->j = 0; t->j < trials; ++t->j) {
        readClock(&stv);
        waitTime(wait);
        readClock(&etv);
        int diff = tallyTrial(out, t, &stv, &etv);
        if (diffs) diffs[t->j] = diff;
    }
    printSummary(out, t);
}

void runCalibration(FILE* out) {
    struct waitTally t;
    for (int wait = SPINDREL_FIRST_WAIT; wait <= SPINDREL_LAST_WAIT; wait *= 10) {
        calibrateWait(out, &t, wait, SPINDREL_TRIALS, nullptr);
        // The run takes many minutes: let each summary out as soon as it is known.
        fflush(out);
    }
}
