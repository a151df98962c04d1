// SPDX-License-Identifier: MIT
// probe.cpp - the scheduled-send probe on top of the packet-train engine: the
// engine paces the sends and collects the replies; this module checks the
// request, converts the schedule to the engine's 0-based form and the results
// to the probe's units.
#include "probe.h"

#include <algorithm>
#include <cmath>
#include <csignal>

#include "tsl_engine.h"

// The probe refuses what the engine's scheduled send cannot wait for.
static_assert(PROBE_MAX_SPAN == tsl::MAX_SEND_SPAN, "one limit for send times");

namespace {

// Times of the last probe in microseconds, packet k at index k-1; 0 = no reply.
int lastDepart[TSL_MAX_PACKETS];
int lastArrive[TSL_MAX_PACKETS];
int lastCount = 0;

}  // namespace

int checkProbeRequest(const char *host, int count, const int *sizes, const double *sendTimes,
                      int timeout)
{
    if (host == nullptr || count < 0 || count > TSL_MAX_PACKETS || timeout < 1)
        return -1;
    for (int k = 1; k <= count; k++) {
        const double t = sendTimes[k];
        if (sizes[k - 1] < 4 || sizes[k - 1] > PROBE_MAX_DATA)
            return -1;
        if (!std::isfinite(t) || t < 0.0 || (k > 1 && t < sendTimes[k - 1]))
            return -1;
        if (t + timeout >= PROBE_MAX_SPAN)
            return -1;
    }
    return 0;
}

int startProbe(const char *host, int count, const int *sizes, const double *sendTimes,
               const double * /*sendGaps*/, double *recvTimes, int *bytesOut, int *orderOut,
               int *flags, int *paths, int timeout)
{
    lastCount = 0;
    if (checkProbeRequest(host, count, sizes, sendTimes, timeout) != 0)
        return -1;

    tsl::reset_train_state();
    const int callerAlarmDue = tsl::run_train(host, count, sizes, timeout, sendTimes + 1, false);

    int departs[TSL_MAX_PACKETS], arrives[TSL_MAX_PACKETS];
    tsl::collect_results(count, departs, arrives, bytesOut, orderOut, flags, paths);
    for (int i = 0; i < count; i++) {
        const bool lost = arrives[i] == TSL_NO_REPLY;
        lastDepart[i] = departs[i];
        lastArrive[i] = lost ? 0 : arrives[i];
        recvTimes[i + 1] = lost ? 0.0 : arrives[i] / 1e6;
    }
    lastCount = count;
    // The caller's alarm that fell due during the train, now that the results are out.
    if (callerAlarmDue)
        std::raise(SIGALRM);
    return 0;
}

int fetchProbeTimes(int count, int *departs, int *arrives)
{
    const int n = std::clamp(count, 0, lastCount);
    std::copy(lastDepart, lastDepart + n, departs);
    std::copy(lastArrive, lastArrive + n, arrives);
    return n;
}
