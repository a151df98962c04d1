// SPDX-License-Identifier: MIT
// dorral.cpp - the rate-schedule probe tool: builds the send schedule, runs one
// scheduled probe and prints its train table.
#include <cstdio>
#include <cstdlib>

#include "dorral.h"
#include "probe.h"

void usage(void)
{
    std::fputs("Usage: vennic hostname\n", stderr);
}

// One probe with rates rising from 0 to 1e7 bytes per second; the result is 0.
double probeLoop(const char *host)
{
    int bytes[DORRAL_ARRAY_LEN] = {};
    int orderFlags[DORRAL_ARRAY_LEN] = {};
    int departs[DORRAL_ARRAY_LEN] = {};
    int arrives[DORRAL_ARRAY_LEN] = {};

    bwrLowerBound = 0.0;
    bwrUpperBound = 1e7;
    setupNextIteration(bwrLowerBound, bwrUpperBound);

    int flags = 0, paths = 0;
    if (startProbe(host, noOfMsgs, packetSize, sendingTime, sendingTimeGap, receivingTime, bytes,
                   orderFlags, &flags, &paths, 30) != 0) {
        std::printf("FATAL ERROR\n");
        std::exit(-1);
    }
    // The table's time columns: the probe's measured departures and arrivals.
    fetchProbeTimes(noOfMsgs, departs, arrives);
    reportResults(noOfMsgs, departs, arrives, bytes, flags, paths);

    if (!(flags & 2))
        std::printf("LOGME Packets out of order. Cannot continue\n");
    if (flags & 4)
        std::printf("LOGME Duplicate Packets received. Cannot continue\n");
    return 0;
}

float dorral(const char *host)
{
    noOfMsgs = 10;
    const float result = static_cast<float>(probeLoop(host));
    std::printf("dorral: probing result=%f\n", result);
    return result;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        usage();
        std::exit(1);
    }
    std::printf("VENNIC (%s) %s\n", "1.0", argv[1]);
    dorral(argv[1]);
    std::exit(0);
}
