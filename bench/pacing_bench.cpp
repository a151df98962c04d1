// pacing_bench.cpp - how closely the scheduled-send probe keeps the default
// schedule: for each train, the absolute difference in microseconds between
// every achieved gap and its scheduled gap, for the departures and for the
// arrivals of the replies; per train the mean and the maximum, then medians.
//
// Usage: pacing_bench HOST [TRAINS]   (root; HOST 127.0.0.1 or a lab target)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "dorral.h"
#include "probe.h"

namespace {

struct GapError {
    double mean = NAN, max = NAN;  // NaN when no gap could be measured
};

// Errors of the gaps between consecutive non-zero times against the schedule.
GapError gapError(const int *times, int n)
{
    double sum = 0.0, max = 0.0;
    int pairs = 0;
    for (int i = 0; i + 1 < n; i++) {
        if (times[i] == 0 || times[i + 1] == 0)
            continue;
        const double err = std::fabs((times[i + 1] - times[i]) - sendingTimeGap[i + 1] * 1e6);
        sum += err;
        max = std::max(max, err);
        pairs++;
    }
    GapError e;
    if (pairs > 0)
        e = {sum / pairs, max};
    return e;
}

double median(std::vector<double> v)
{
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const size_t h = v.size() / 2;
    return v.size() % 2 ? v[h] : (v[h - 1] + v[h]) / 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fputs("Usage: pacing_bench HOST [TRAINS]\n", stderr);
        return 1;
    }
    const int trains = argc == 3 ? std::atoi(argv[2]) : 20;
    noOfMsgs = 10;
    std::printf("# default schedule to %s, %d trains\n", argv[1], trains);
    setupNextIteration(0.0, 1e7);

    std::vector<double> depMean, depMax, arrMean, arrMax;
    std::printf("%5s %12s %12s %12s %12s\n", "train", "depart_mean", "depart_max", "arrive_mean",
                "arrive_max");
    for (int t = 1; t <= trains; t++) {
        int bytes[DORRAL_ARRAY_LEN], order[DORRAL_ARRAY_LEN], departs[DORRAL_ARRAY_LEN], arrives[DORRAL_ARRAY_LEN];
        int flags = 0, paths = 0;
        if (startProbe(argv[1], noOfMsgs, packetSize, sendingTime, sendingTimeGap, receivingTime,
                       bytes, order, &flags, &paths, 5) != 0) {
            std::fputs("pacing_bench: probe refused\n", stderr);
            return 1;
        }
        const int n = fetchProbeTimes(noOfMsgs, departs, arrives);
        const GapError d = gapError(departs, n), a = gapError(arrives, n);
        std::printf("%5d %12.2f %12.2f %12.2f %12.2f\n", t, d.mean, d.max, a.mean, a.max);
        depMean.push_back(d.mean);
        depMax.push_back(d.max);
        arrMean.push_back(a.mean);
        arrMax.push_back(a.max);
    }
    std::printf("%5s %12.2f %12.2f %12.2f %12.2f\n", "med", median(depMean), median(depMax),
                median(arrMean), median(arrMax));
    return 0;
}
