// SPDX-License-Identifier: MIT
// vennic.cpp - available bandwidth from the spacing of echo-reply trains.
//
// One train per payload size (600 to 900 bytes); the gaps between adjacent
// replies, less the smallest one, give the bytes the path delivered per
// microsecond.  This source is built twice: as the program (with
// vennic_main.cpp) it prints the full per-pass report; with BREVANE_LIBRARY
// defined it is the library build, whose pass loop leaves out the train table,
// the per-packet lines and the whole-train block.
#include "brevane.h"
#include "summary.h"
#include "tamsel.h"

#include <cstdio>
#include <cstdlib>

namespace {

#ifdef BREVANE_LIBRARY
constexpr bool kProgramBuild = false;
#else
constexpr bool kProgramBuild = true;
#endif

constexpr int kTrainLength = 10;
constexpr int kFirstSize = 600;
constexpr int kSizeStep = 100;
constexpr int kLastSize = 900;
constexpr int kTimeoutSec = 30;
// Bytes counted per packet on top of the payload: Ethernet, IP and ICMP
// headers of a reply without options (14 + 20 + 8).
constexpr int kOverheadBytes = 42;
constexpr int kEstimateSlots = 10;

// Trimmed block of a pass whose every adjacent pair was valid: all sorted gaps
// but the smallest against the bytes of as many packets.  Returns the estimate
// in bits per second, rounded to single precision.
float trimmedEstimate(int pass, int size, int n, const int* sortedGaps) {
    int took = 0;
    for (int k = 1; k < n; ++k) took += sortedGaps[k];
    const int sent = (n - 1) * (size + kOverheadBytes);
    std::printf("WITHOUT OUTLIERS\n");
    std::printf("took %d microseconds\n", took);
    std::printf("sent %d bytes\n", sent);
    const float estimate = static_cast<float>(sent * 8.0 * 1000000.0 / took);
    std::printf("available bandwidth estimate for pass %d: %f\n", pass, estimate);
    return estimate;
}

// Runs one pass: the train, its checks and gaps.  Returns its estimate, or 0.
float runPass(const char* host, int count, int pass, int size) {
    int sizes[TSL_MAX_PACKETS], departs[TSL_MAX_PACKETS], arrives[TSL_MAX_PACKETS];
    int bytes[TSL_MAX_PACKETS], order[TSL_MAX_PACKETS];
    int gaps[TSL_MAX_PACKETS], sendGaps[TSL_MAX_PACKETS];
    int sortedGaps[TSL_MAX_PACKETS], sortedSendGaps[TSL_MAX_PACKETS];
    int flags = 0, paths = 0;
    bool rejected = false;

    for (int i = 0; i < count; ++i) {
        arrives[i] = TSL_NO_REPLY;
        sizes[i] = size;
    }
    // The engine prints its own report during the call; ours must come after.
    std::fflush(stdout);
    if (tamsel(host, count, sizes, departs, arrives, bytes, order, &flags, &paths, kTimeoutSec) != 0) {
        std::printf("FATAL ERROR\n");
        std::exit(-1);
    }
    if (kProgramBuild) reportResults(count, departs, arrives, bytes, flags, paths);
    if (!(flags & TSL_FLAG_INORDER)) {
        std::printf("LOGME Packets out of order. Cannot continue\n");
        rejected = true;
    }
    if (flags & TSL_FLAG_DUP) {
        std::printf("LOGME Duplicate Packets received. Cannot continue\n");
        rejected = true;
    }
    const int n = computeInterArrivalGaps(count, arrives, departs, gaps, sendGaps);
    if (kProgramBuild && n == count - 1) {
        std::printf("exactly %d gaps\n", count - 1);
        std::printf("took %d microseconds\n", tsl_time_diff(arrives[n], arrives[0]));
        std::printf("sent %d bytes\n", (size + kOverheadBytes) * n);
    }
    if (n <= 1) {
        std::printf("not enough valid gaps, going on to next iteration\n");
        rejected = true;
    }
    if (rejected) return 0;
    sortGaps(n, gaps, sendGaps, sortedGaps, sortedSendGaps);
    // A reply missing or out of sequence inside the train: no estimate.
    return n == count - 1 ? trimmedEstimate(pass, size, n, sortedGaps) : 0;
}

}  // namespace

extern "C" void usage(void) { std::fprintf(stderr, "Usage: vennic hostname\n"); }

extern "C" float vennic(const char* host) {
    const float result = probeLoop(host, kTrainLength);
    std::printf("vennic: probeLoop result=%f\n", result);
    std::fflush(stdout);
    return result;
}

extern "C" float probeLoop(const char* host, int count) {
    // The arrays of a pass hold one train of the engine's length at most.
    if (count < 0) count = 0;
    if (count > TSL_MAX_PACKETS) count = TSL_MAX_PACKETS;

    float estimates[kEstimateSlots] = {};
    int passes = 0;
    for (int size = kFirstSize; size <= kLastSize; size += kSizeStep, ++passes) {
        estimates[passes] = runPass(host, count, passes, size);
    }
    return summarizeEstimates(estimates, passes);
}

float summarizeEstimates(const float* estimates, int passes) {
    float sum = 0;
    int valid = 0;
    for (int p = 0; p < passes; ++p) {
        if (estimates[p] > 0) {
            sum += estimates[p];
            ++valid;
        }
    }
    // With no valid reading the average is 0/0 and prints as the platform's NaN.
    const double average = static_cast<double>(sum) / valid;
    std::printf("valid reading #=%d, sum=%f, avg=%f\n", valid, sum, average);
    std::fflush(stdout);
    return valid > 0 ? static_cast<float>(average) : 0.0f;
}

extern "C" void reportResults(int count, const int* departs, const int* arrives, const int* bytes,
                              int flags, int paths) {
    if (kProgramBuild) {
        for (int i = 0; i < count; ++i) {
            std::printf("pkt %d: %d bytes %d us", i, bytes[i], tsl_time_diff(arrives[i], departs[i]));
            std::printf(arrives[i] > 0 ? "\n" : " ++ lost ++\n");
        }
    }
    std::printf("* ");
    for (int i = 0; i < count; ++i) std::printf("%d %d %d ", bytes[i], departs[i], arrives[i]);
    // Formatted here and written through our own stream, so the suffix keeps
    // its place among our lines whatever the engine writes with.
    char suffix[64];
    tsl_format_status_suffix(suffix, sizeof suffix, flags, paths);
    std::printf("%s\n", suffix);
}

extern "C" int computeInterArrivalGaps(int count, const int* arrives, const int* departs, int* gaps,
                                       int* sendGaps) {
    int n = 0;
    for (int i = 0; i + 1 < count; ++i) {
        if (arrives[i] > 0 && arrives[i + 1] > 0 && arrives[i + 1] > arrives[i]) {
            gaps[n] = arrives[i + 1] - arrives[i];
            sendGaps[n] = tsl_time_diff(departs[i + 1], departs[i]);
            ++n;
        }
    }
    return n;
}

extern "C" void sortGaps(int n, const int* gaps, const int* companions, int* sortedGaps,
                         int* sortedCompanions) {
    // Rank placement: entry i goes after every smaller gap and after the equal
    // gaps that stand behind it, so ties come out in reverse input order.
    for (int i = 0; i < n; ++i) {
        int pos = 0;
        for (int j = 0; j < n; ++j)
            if (gaps[j] < gaps[i] || (j > i && gaps[j] == gaps[i])) ++pos;
        sortedGaps[pos] = gaps[i];
        sortedCompanions[pos] = companions[i];
    }
}

extern "C" void displayBothGaps(int n, const int* first, const int* second) {
    for (int i = 0; i < n; ++i) std::printf("gaps[%d] = %d\t%d\n", i, first[i], second[i]);
}
