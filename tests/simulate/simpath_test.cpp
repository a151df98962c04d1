// SPDX-License-Identifier: MIT
// The simulated path's cross traffic, seen through its public interface: each
// kind keeps its mean rate, random kinds come unevenly, the same seed
// replays the same path, and elastic flows fill the link and give way to a
// stream.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <vector>

#include "simpath.h"

namespace {

simpath::Config oneHop(simpath::Cross kind, double burstPeriod = 0) {
    simpath::Config c;
    c.hops[0].capacity = 50e6;
    c.hops[0].cross = 20e6;
    c.hops[0].kind = kind;
    c.hops[0].burstPeriod = burstPeriod;
    c.hops[0].queueBytes = 50e6 / 8 * 0.05;
    c.overheadBytes = 14;
    c.stampJitter = 0;
    return c;
}

// How unevenly the cross traffic of hop 0 came from t0 on: the standard
// deviation of the bits it accepted in each millisecond over their mean.
double unevenness(const simpath::Path& sim, double t0, int windows = 2000) {
    double sum = 0, squares = 0;
    for (int i = 0; i < windows; ++i) {
        const double bits = sim.acceptedBits(0, t0 + (i + 1) * 1e-3) - sim.acceptedBits(0, t0 + i * 1e-3);
        sum += bits;
        squares += bits * bits;
    }
    const double mean = sum / windows;
    return std::sqrt(std::max(0.0, squares / windows - mean * mean)) / mean;
}

TEST(CrossTraffic, EveryKindKeepsItsMeanRateAndRandomKindsComeUnevenly) {
    const simpath::Cross kinds[] = {simpath::Cross::Steady, simpath::Cross::Poisson, simpath::Cross::Mix,
                                    simpath::Cross::OnOff};
    double spread[4] = {};
    for (int k = 0; k < 4; ++k) {
        simpath::Path sim(oneHop(kinds[k]));
        const double nominal = sim.freeRate(1500);
        EXPECT_NEAR(sim.unusedRate(0, 20, 1500), nominal, 0.03 * nominal) << "kind " << k;
        spread[k] = unevenness(sim, 10);
    }
    // The mix's small packets cost the link more overhead for the same IP rate.
    EXPECT_LT(simpath::Path(oneHop(simpath::Cross::Mix)).freeRate(1500),
              simpath::Path(oneHop(simpath::Cross::Poisson)).freeRate(1500) - 0.5e6);
    // Paced packets come two or three a millisecond; random arrivals and on
    // and off periods come unevenly.
    EXPECT_LT(spread[0], 0.3);
    for (int k = 1; k < 4; ++k) EXPECT_GT(spread[k], 2 * spread[0]) << "kind " << k;
}

TEST(CrossTraffic, ASeedReplaysThePath) {
    for (simpath::Cross kind : {simpath::Cross::Poisson, simpath::Cross::Mix, simpath::Cross::OnOff}) {
        simpath::Config c = oneHop(kind);
        simpath::Path a(c), b(c);
        c.seed = 2;
        simpath::Path other(c);
        EXPECT_EQ(a.unusedRate(0, 0.5, 1500), b.unusedRate(0, 0.5, 1500));
        EXPECT_NE(a.unusedRate(0.5, 1, 1500), other.unusedRate(0.5, 1, 1500));
    }
}

TEST(CrossTraffic, ElasticFlowsFillTheLinkAndGiveWayToAStream) {
    for (int flows : {1, 4}) {
        simpath::Config c = oneHop(simpath::Cross::Steady);
        c.hops[0].cross = 0;
        c.hops[0].elasticFlows = flows;
        simpath::Path sim(c);
        EXPECT_LT(sim.unusedRate(0, 0.5, 1500), 0.05 * 50e6) << flows << " flows leave the link next to nothing";
        sim.pause(0.5);
        // A stream at 20 Mbit/s for half a second: the flows lose packets
        // behind it in the full queue and halve their windows, so they carry
        // less while it runs.
        const int packets = 833;
        std::vector<int64_t> at(packets), depart(packets), arrive(packets);
        for (int i = 0; i < packets; ++i) at[i] = int64_t{i} * 600000;
        const avl_path p = sim.path();
        const double from = sim.now();
        const int got = p.send(p.context, packets, 1472, at.data(), depart.data(), arrive.data(), 1000000000);
        const double to = from + 0.5;
        // The hop counts the stream's packets too where elastic flows pass.
        const double flowsBefore = sim.acceptedBits(0, from) - sim.acceptedBits(0, from - 0.5);
        const double flowsDuring = sim.acceptedBits(0, to) - sim.acceptedBits(0, from) - got * 1514 * 8.0;
        EXPECT_GT(got, packets / 2);
        EXPECT_LT(flowsDuring, flowsBefore - 0.5 * 20e6 * 0.5 * 1514 / 1500) << flows << " flows";
        // Halving keeps the queue swinging: a slow stream of small packets
        // over three seconds finds it at different depths and seldom full.
        const int slow = 300;
        std::vector<int64_t> slowAt(slow), slowDepart(slow), slowArrive(slow);
        for (int i = 0; i < slow; ++i) slowAt[i] = int64_t{i} * 10000000;
        sim.pause(0.1);
        EXPECT_GE(p.send(p.context, slow, 72, slowAt.data(), slowDepart.data(), slowArrive.data(), 1000000000),
                  slow * 9 / 10);
        double least = 1, most = 0;
        for (int i = 0; i < slow; ++i)
            if (slowArrive[i] != AVL_LOST) {
                least = std::min(least, (slowArrive[i] - slowDepart[i]) / 1e9);
                most = std::max(most, (slowArrive[i] - slowDepart[i]) / 1e9);
            }
        EXPECT_GT(most - least, 0.01) << flows << " flows";
        // The truth for a path with elastic flows is what they left unused.
        EXPECT_NEAR(sim.freeRate(1500), sim.unusedRate(0, sim.now(), 1500), 1e3);
    }
}

}  // namespace
