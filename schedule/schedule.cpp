// SPDX-License-Identifier: MIT
// schedule.cpp - the send schedule over a rate range and the train table.
// Pure computation and printing on the process-wide arrays; no sockets.
#include "dorral.h"

#include <algorithm>
#include <cstdio>

#include "tamsel.h"

int noOfMsgs = 0;
int msgSize = 600;
int equalBWTimeGap = 1;
double bwrLowerBound = 0.0;
double bwrUpperBound = 0.0;

double sendingTime[DORRAL_ARRAY_LEN];
double sendingTimeGap[DORRAL_ARRAY_LEN];
double absSendingTimeGap[DORRAL_ARRAY_LEN];
double receivingTime[DORRAL_ARRAY_LEN];
double receivingTimeGap[DORRAL_ARRAY_LEN];
double absReceivingTimeGap[DORRAL_ARRAY_LEN];
double absGapDifference[DORRAL_ARRAY_LEN];
int packetSize[DORRAL_ARRAY_LEN];

// Gap from packet k to packet k+1: the time msgSize bytes take at the k-th rate.
// Equal-bandwidth rule: rates rise in n-1 equal steps from above lower up to
// upper.  Equal-time rule: gaps fall in n-2 equal steps from m/lower to m/upper
// (a lower bound of 0 makes every such gap NaN, which the probe refuses).
static double scheduleGap(int k, int n, double m, double lower, double upper)
{
    if (equalBWTimeGap)
        return m / (lower + k * (upper - lower) / (n - 1));
    double step = m * (upper - lower) / (upper * lower * (n - 2));
    return m / lower - (k - 1) * step;
}

void setupNextIteration(double lower, double upper)
{
    const int n = std::min(noOfMsgs, DORRAL_MAX_MSGS);
    const double m = msgSize;

    for (int k = 1; k <= n - 1; k++)
        receivingTimeGap[k] = receivingTime[k] = 0.0;

    sendingTime[1] = 0.01;
    std::printf("sendingTime[1]=%f\n", sendingTime[1]);
    for (int k = 1; k <= n - 1; k++) {
        sendingTimeGap[k] = scheduleGap(k, n, m, lower, upper);
        sendingTime[k + 1] = sendingTime[k] + sendingTimeGap[k];
        if (equalBWTimeGap)
            std::printf("sendingTime[%d]=%f\n", k + 1, sendingTime[k + 1]);
    }
    for (int k = 1; k <= n; k++)
        absSendingTimeGap[k] = sendingTime[k] - sendingTime[1];

    for (int k = 1; k <= n - 1; k++)
        receivingTimeGap[k] = 0.0;
    for (int k = 1; k <= n; k++)
        absReceivingTimeGap[k] = absGapDifference[k] = 0.0;
    for (int i = 0; i < n; i++)
        packetSize[i] = msgSize;
}

void reportResults(int count, const int *departs, const int *arrives, const int *bytes,
                   int flags, int paths)
{
    for (int i = 0; i < count; i++) {
        std::printf("pkt %d: %d bytes depart %d arrive %d rtt= %d us ", i, bytes[i], departs[i],
                    arrives[i], tsl_time_diff(arrives[i], departs[i]));
        std::fputs(arrives[i] != 0 ? "\n" : " ++ lost ++\n", stdout);
    }
    std::fputs("bytes    departT  arriveT \n=============================\n", stdout);
    for (int i = 0; i < count; i++)
        std::printf("%5d %8d %8d\n", bytes[i], departs[i], arrives[i]);
    tsl_print_status_suffix(flags, paths);
    std::fputs("\n", stdout);
}
