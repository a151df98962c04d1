// SPDX-License-Identifier: MIT
// verdict_curves.cpp - how often the trend test reads a stream as rising, by
// the stream's rate over the free rate, on simulated bottlenecks carrying
// each kind of cross traffic.  Streams are built and judged as the estimator
// builds and judges its search streams: a lead of packets back to back, then
// the packets at the rate; the delays of the packets at the rate cut into
// groups of at least a millisecond and judged with a tolerance of 10 us on a
// path that loses nothing on its own.  Each stream runs on a fresh path whose
// cross traffic has been going for a while.
//
//   bench_verdict_curves [STREAMS-PER-POINT]     (400 by default)
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "availest.h"
#include "simpath.h"

namespace {

// What the estimator uses for its streams and their judgement.
constexpr double kMinGapUs = 50;        // packets no closer than this at the capacity
constexpr double kStreamBytes = 40000;  // a stream's bytes without a time scale
constexpr double kMinStreamSeconds = 0.004, kMaxStreamSeconds = 0.03;
constexpr int kMinPackets = 20, kMaxPackets = 4096;
constexpr int kLeadBytes = 4500;
constexpr double kShortestGroup = 0.001;
constexpr double kStampJitter = 10e-6;

const double kRatios[] = {0.80, 0.90, 0.95, 0.98, 1.00, 1.02, 1.05, 1.10, 1.20};

struct Cell {
    double mbit, share;
};

struct Kind {
    const char* name;
    simpath::Cross cross;
    double burstPeriod;
};

simpath::Config pathFor(const Cell& cell, const Kind& kind, uint64_t seed) {
    simpath::Hop h;
    h.capacity = cell.mbit * 1e6;
    h.cross = h.capacity * cell.share;
    h.kind = kind.cross;
    h.burstPeriod = kind.burstPeriod;
    h.queueBytes = std::max(32768.0, h.capacity / 8 * 0.05);  // as the lab's shaper: 50 ms
    simpath::Config c;
    c.hops = {h};
    c.baseRtt = 200e-6;     // the lab's veth path
    c.stampJitter = 10e-6;  // the shaper's timer releases replies a little late
    c.sendJitter = 5e-6;
    c.overheadBytes = 14;
    c.seed = seed;
    return c;
}

struct Tally {
    int rising = 0, flat = 0, unclear = 0;
    double seconds = 0;
};

// One stream at q times the free rate; what the trend test said.
void oneStream(const Cell& cell, const Kind& kind, double q, uint64_t seed, Tally* tally) {
    simpath::Path sim(pathFor(cell, kind, seed));
    const double capacity = cell.mbit * 1e6;
    const int bytes = static_cast<int>(std::clamp(capacity * kMinGapUs / 8e6, 400.0, 1500.0));
    const double rate = q * sim.freeRate(bytes);
    const auto lasting = [&](double seconds) { return std::ceil(seconds * rate / (8.0 * bytes)); };
    const double wanted = std::max(kStreamBytes, capacity * kMinStreamSeconds / 8);
    const int packets = static_cast<int>(std::clamp(
        std::clamp(std::round(wanted / bytes), lasting(kMinStreamSeconds), lasting(kMaxStreamSeconds)),
        double{kMinPackets}, double{kMaxPackets}));
    const int lead = (kLeadBytes + bytes - 1) / bytes, n = lead + packets;
    const double gapNs = bytes * 8e9 / rate;
    std::vector<int64_t> at(n), depart(n), arrive(n);
    for (int i = 0; i < n; ++i) at[i] = i < lead ? 0 : std::llround((i - lead + 1) * gapNs);

    // The cross traffic has run 50 to 100 ms when the stream starts.
    sim.pause(0.05 + 0.05 * (seed % 97) / 97.0);
    const avl_path p = sim.path();
    if (p.send(p.context, n, bytes - p.header_bytes, at.data(), depart.data(), arrive.data(), 1000000000) < 0) {
        ++tally->unclear;
        return;
    }
    std::vector<double> delays;
    int lost = 0;
    for (int i = lead; i < n; ++i) {
        if (arrive[i] == AVL_LOST) ++lost;
        else delays.push_back((arrive[i] - depart[i]) / 1e9);
    }
    const double span = (depart[n - 1] - depart[lead]) / 1e9;
    tally->seconds += span;
    const int groups = std::max(3, static_cast<int>(span / kShortestGroup));
    avl_trend t;
    const int verdict = avl_judge_delays(delays.data(), static_cast<int>(delays.size()), lost, 0, groups, kStampJitter, &t);
    if (verdict == AVL_RISING) ++tally->rising;
    else if (verdict == AVL_FLAT) ++tally->flat;
    else ++tally->unclear;
}

}  // namespace

int main(int argc, char** argv) {
    const int streams = argc > 1 ? std::max(1, std::atoi(argv[1])) : 400;
    const Cell cells[] = {{50, 0.3}, {100, 0.5}, {10, 0.6}};
    const Kind kinds[] = {{"steady", simpath::Cross::Steady, 0.001},
                          {"poisson", simpath::Cross::Poisson, 0},
                          {"mix", simpath::Cross::Mix, 0},
                          {"onoff", simpath::Cross::OnOff, 0}};
    std::printf("# share of streams judged rising by rate/truth, %d streams a point, simulated;\n", streams);
    std::printf("# steady: 1 ms bursts of 1228 B; poisson: 1228 B, exponential gaps; mix: 40/576/1500 B 7:4:1,\n");
    std::printf("# exponential gaps; onoff: 1228 B paced at twice the mean, exponential 5 ms on and off periods\n");
    std::printf("%-8s %-8s %5s %6s |", "cell", "kind", "bytes", "ms@1.0");
    for (double q : kRatios) std::printf(" %5.2f", q);
    std::printf(" | unclear\n");
    for (const Cell& cell : cells)
        for (const Kind& kind : kinds) {
            char name[32];
            std::snprintf(name, sizeof name, "%g/%g%%", cell.mbit, cell.share * 100);
            const int bytes = static_cast<int>(std::clamp(cell.mbit * 1e6 * kMinGapUs / 8e6, 400.0, 1500.0));
            std::vector<Tally> tallies;
            for (double q : kRatios) {
                Tally t;
                // The same seeds at every rate, so that the curve's steps
                // are the rate's and not the luck of the draw.
                for (int i = 0; i < streams; ++i) oneStream(cell, kind, q, 7919u * i + 17, &t);
                tallies.push_back(t);
            }
            int unclear = 0;
            for (const Tally& t : tallies) unclear += t.unclear;
            std::printf("%-8s %-8s %5d %6.1f |", name, kind.name, bytes, tallies[4].seconds / streams * 1e3);
            for (const Tally& t : tallies) {
                const int judged = t.rising + t.flat;
                if (judged == 0) std::printf("     -");
                else std::printf(" %5.2f", static_cast<double>(t.rising) / judged);
            }
            std::printf(" | %d\n", unclear);
            std::fflush(stdout);
        }
    return 0;
}
