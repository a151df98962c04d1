// SPDX-License-Identifier: MIT
// pacing_bench.cpp - how closely the scheduled-send probe keeps the default
// schedule: for each train, the absolute difference in microseconds between
// every achieved gap and its scheduled gap; per train the mean and the
// maximum, then the medians over the trains.
//
//   pacing_bench HOST [TRAINS]  runs TRAINS (20) trains to HOST (root; 127.0.0.1
//                               or a lab target): departures and reply arrivals
//   pacing_bench --stamps       reads "SEQ MICROSECONDS" lines, one per packet,
//                               each train starting at SEQ 0 (e.g. the arrival
//                               stamps of a capture at the far end)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dorral.h"
#include "probe.h"

namespace {

constexpr int kMsgs = 10;

// Times of one train's packets in microseconds; -1 where none was taken.
using Times = std::vector<long long>;

struct GapError {
    double mean = NAN, max = NAN;  // NaN when no gap could be measured
};

GapError gapError(const Times &t)
{
    double sum = 0.0, max = 0.0;
    int pairs = 0;
    for (size_t i = 0; i + 1 < t.size(); i++) {
        if (t[i] < 0 || t[i + 1] < 0)
            continue;
        const double err = std::fabs((t[i + 1] - t[i]) - sendingTimeGap[i + 1] * 1e6);
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

// Columns of gap errors, one pair (mean, max) per series of times.
struct Table {
    std::vector<std::vector<double>> cols;
    void row(int train, const std::vector<Times> &series)
    {
        cols.resize(2 * series.size());
        std::printf("%5d", train);
        for (size_t s = 0; s < series.size(); s++) {
            const GapError e = gapError(series[s]);
            cols[2 * s].push_back(e.mean);
            cols[2 * s + 1].push_back(e.max);
            std::printf(" %12.2f %12.2f", e.mean, e.max);
        }
        std::printf("\n");
    }
    void medians()
    {
        std::printf("%5s", "med");
        for (const auto &c : cols)
            std::printf(" %12.2f", median(c));
        std::printf("\n");
    }
};

int probeTrains(const char *host, int trains)
{
    std::printf("%5s %12s %12s %12s %12s\n", "train", "depart_mean", "depart_max", "arrive_mean",
                "arrive_max");
    Table table;
    for (int t = 1; t <= trains; t++) {
        int bytes[DORRAL_ARRAY_LEN], order[DORRAL_ARRAY_LEN], flags = 0, paths = 0;
        if (startProbe(host, kMsgs, packetSize, sendingTime, sendingTimeGap, receivingTime, bytes,
                       order, &flags, &paths, 5) != 0) {
            std::fputs("pacing_bench: probe refused\n", stderr);
            return 1;
        }
        int d[kMsgs], a[kMsgs];
        const int n = fetchProbeTimes(kMsgs, d, a);
        Times departs(d, d + n), arrives(n);
        std::transform(a, a + n, arrives.begin(), [](int x) { return x == 0 ? -1LL : x; });
        table.row(t, {departs, arrives});
    }
    table.medians();
    return 0;
}

int readStamps()
{
    std::printf("%5s %12s %12s\n", "train", "arrive_mean", "arrive_max");
    Table table;
    Times train;
    int trains = 0, seq;
    long long us;
    while (std::scanf("%d %lld", &seq, &us) == 2) {
        if (seq == 0) {
            if (!train.empty())
                table.row(++trains, {train});
            train.assign(kMsgs, -1);
        }
        if (!train.empty() && seq >= 0 && seq < kMsgs && train[seq] < 0)  // first copy only
            train[seq] = us;
    }
    if (!train.empty())
        table.row(++trains, {train});
    table.medians();
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    const bool stamps = argc == 2 && std::strcmp(argv[1], "--stamps") == 0;
    if (argc < 2 || argc > 3 || (argc == 3 && std::atoi(argv[2]) < 1)) {
        std::fputs("Usage: pacing_bench HOST [TRAINS] | pacing_bench --stamps\n", stderr);
        return 1;
    }
    noOfMsgs = kMsgs;
    std::printf("# default schedule of %d packets\n", kMsgs);
    setupNextIteration(0.0, 1e7);
    return stamps ? readStamps() : probeTrains(argv[1], argc == 3 ? std::atoi(argv[2]) : 20);
}
