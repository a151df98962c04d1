// SPDX-License-Identifier: MIT
// spindrel_bench - a short calibration of the busy-wait next to clock_nanosleep
// of the same lengths, both timed with the same clock readings.  Prints per
// wait length the share of trials within +6/-5 microseconds and the median and
// 99th-percentile overshoot (measured duration minus the wait).
//
// Usage: spindrel_bench [trials]   (default 200 of each 10, 100, 1000 us)
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "spindrel.h"

namespace {

struct Figures {
    double within;  // percent of trials with -5 <= error <= 6
    int median;
    int p99;
};

// Nearest-rank percentile of sorted values.
int percentile(const std::vector<int>& sorted, double p) {
    size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::max<size_t>(rank, 1) - 1];
}

Figures summarize(const std::vector<int>& diffs, int wait) {
    std::vector<int> errors;
    int within = 0;
    for (int d : diffs) {
        int e = d - wait;
        errors.push_back(e);
        if (e >= SPINDREL_UNDER_LIMIT && e <= SPINDREL_OVER_LIMIT) ++within;
    }
    std::sort(errors.begin(), errors.end());
    return {100.0 * within / static_cast<double>(diffs.size()), percentile(errors, 0.5),
            percentile(errors, 0.99)};
}

// The same trial as the calibration, with a relative sleep in place of the spin.
std::vector<int> sleepTrials(int wait, int trials) {
    std::vector<int> diffs;
    timespec req{wait / 1000000, (wait % 1000000) * 1000L};
    for (int j = 0; j < trials; ++j) {
        readClock(&stv);
        while (clock_nanosleep(CLOCK_MONOTONIC, 0, &req, nullptr) != 0) {
        }
        readClock(&etv);
        diffs.push_back(elapsedUsec(&stv, &etv));
    }
    return diffs;
}

void printRow(int wait, const char* method, const Figures& f) {
    std::printf("%8d  %-16s %8.1f%% %10d %10d\n", wait, method, f.within, f.median, f.p99);
}

}  // namespace

int main(int argc, char** argv) {
    int trials = argc > 1 ? std::atoi(argv[1]) : 200;
    if (trials < 1 || trials > 100000) {
        std::fprintf(stderr, "usage: spindrel_bench [trials 1..100000]\n");
        return 1;
    }
    // The trial lines are not wanted here, only the durations.
    FILE* sink = std::fopen("/dev/null", "w");
    if (!sink) {
        std::perror("/dev/null");
        return 1;
    }
    std::printf("%d trials per wait length; error = measured - requested, microseconds\n", trials);
    std::printf("%8s  %-16s %9s %10s %10s\n", "wait_us", "method", "in+6/-5", "median", "p99");
    for (int wait = 10; wait <= 1000; wait *= 10) {
        std::vector<int> diffs(static_cast<size_t>(trials));
        waitTally t;
        calibrateWait(sink, &t, wait, trials, diffs.data());
        printRow(wait, "waitTime", summarize(diffs, wait));
        printRow(wait, "clock_nanosleep", summarize(sleepTrials(wait, trials), wait));
    }
    std::fclose(sink);
    return 0;
}
