// SPDX-License-Identifier: MIT
// The traffic a measurement names: flows that yield (TCP-like flows over
// simulated paths, and gains alike by chance), and policers.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "availest.h"
#include "measurement.h"
#include "sim_paths.h"
#include "simpath.h"

namespace {

using namespace simtest;

// Bench runs whose four windows at the capacity gained 0.15 by chance, while
// the fits of all their streams found no yielding, said "the streams hint".
TEST(Estimate, WindowsGainingByChanceHintNothingTheFitsRuleOut) {
    using simpath::Cross;
    for (auto [kind, seed] : {std::pair{Cross::Poisson, 1201}, {Cross::Poisson, 1565}, {Cross::Poisson, 1829},
                              {Cross::Mix, 1127}, {Cross::Mix, 1461}, {Cross::OnOff, 1975}}) {
        simpath::Config c = labBottleneck(50e6, 20e6, seed);
        c.hops[0].kind = kind;
        simpath::Path path(c);
        avl_result r;
        double truth;
        ASSERT_EQ(measureDefault(path, &r, &truth), 0) << seed << ": " << r.reason;
        EXPECT_TRUE(r.elastic != AVL_ELASTIC_YES && r.low_bps <= truth && truth <= r.high_bps) << seed;
        avl_free_result(&r);
    }
}

// Streams at the capacity name traffic that yields when their halves'
// gains stand out.  Others' bursts 5 ms apart give a stream of 8 ms a gain
// of -0.4, 0 or 0.4, and four that all gained 0.38 (standard error 0.011)
// named steady UDP as yielding in the lab; a flow that yields gains so in
// eight streams that spread as others' traffic spreads them.
TEST(Estimate, GainsAlikeByChanceNameNothing) {
    EXPECT_FALSE(availbw::gainsStandOut({4, 0.38, 0.011}));
    EXPECT_TRUE(availbw::gainsStandOut({8, 0.4, 0.05}));
    EXPECT_FALSE(availbw::gainsStandOut({8, 0.12, 0.01}));  // below what yielding gains
}

// A stream whose replies come faster in its second half gains; one whose
// sends fell 2 ms behind once (a busy host, which then sends in a rush)
// tells nothing.
TEST(Estimate, StreamsSentWhileTheHostStalledTellNoGain) {
    std::vector<double> departs, delays;
    for (int i = 0; i < 40; ++i) {
        departs.push_back(i * 0.0001);
        delays.push_back(0.001 + (i < 20 ? i : 40 - i) * 0.00002);
    }
    avl_stream s = {};
    s.kind = AVL_KIND_SEARCH;
    s.packets = 40;
    s.depart_s = departs.data();
    s.delay_s = delays.data();
    double gain = 0;
    ASSERT_TRUE(availbw::halvesGain(s, &gain));
    EXPECT_GT(gain, 0.2);
    for (int i = 10; i < 40; ++i) departs[i] += 0.002;
    EXPECT_FALSE(availbw::halvesGain(s, &gain));
}

// Streams below the free rate find the bottleneck idle about as often as
// it is free, where others' traffic does not yield: through 50 Mbit/s with
// 20 free, a stream at 10 (30 packets: 2 of them its lead, one lost) would
// find it so 27 x 0.2 times; one at 30 adds nothing, nor does the
// capacity's train (its packets leave at once: a rate of 0).  Here every
// second packet waits behind one full-sized packet, the rest behind 2.5.
TEST(Estimate, StreamsBelowTheFreeRateFindTheLinkIdle) {
    const double c = 50e6, least = 0.002, packet = 1500 * 8 / c;
    std::vector<double> delays;
    for (int i = 0; i < 30; ++i) delays.push_back(least + (i % 2 ? 1 : 2.5) * packet);
    delays[5] = AVL_LOST;
    avl_stream s[3] = {};
    s[0].packets = s[1].packets = s[2].packets = 30;
    s[0].lead = 2;
    s[0].sent_rate_bps = 10e6;
    s[1].sent_rate_bps = 30e6;
    s[0].kind = s[1].kind = AVL_KIND_SEARCH;
    s[0].delay_s = s[1].delay_s = s[2].delay_s = delays.data();
    const availbw::Idle idle = availbw::idleMoments(s, 3, c, 20e6, least);
    EXPECT_NEAR(idle.expected, 27 * 0.2, 1e-9);
    EXPECT_EQ(idle.found, 13);
}

// Cross traffic that yields (TCP-like flows that fill the bottleneck) is
// named, and gives no figure; steady traffic never reads as yielding; a
// policer never gives a figure.
TEST(Estimate, TellsTrafficThatYieldsAndPolicers) {
    for (int flows : {1, 4}) {
        simpath::Config c = bottleneck(50e6, 0);
        c.hops[0].elasticFlows = flows;
        c.hops[0].queueBytes = 50e6 / 8 * 0.02;
        c.seed = 7 + flows;
        simpath::Path path(c);
        avl_result r;
        const int status = measure(path, quick(), &r);
        EXPECT_EQ(status, AVL_NO_ESTIMATE) << flows << " flows: " << r.available_bps;
        EXPECT_EQ(r.elastic, AVL_ELASTIC_YES) << flows << " flows: " << r.reason;
        avl_free_result(&r);
    }
    // Four flows over a wide-area round trip keep a long queue full: a
    // back-to-back train loses most of its tail to it, as to a policer, but
    // faster streams pass it, spread at the capacity or at their share of
    // it, lost packets or not.  (Named in 4 runs of these 12 when such a
    // train made it a policer; in 7 while only streams that lost nothing
    // and came at the train's rate told a queue.)
    int four = 0;
    for (int seed = 1; seed <= 12; ++seed) {
        simpath::Config c = labBottleneck(50e6, 0, seed);
        c.hops[0].elasticFlows = 4;
        c.hops[0].elasticRtt = 0.02;
        simpath::Path path(c);
        avl_result r;
        const avl_path p = path.path();
        four += avl_measure_path(&p, nullptr, &r, nullptr, nullptr) == AVL_NO_ESTIMATE && r.elastic == AVL_ELASTIC_YES;
        avl_free_result(&r);
    }
    EXPECT_GE(four, 11);
    // A flow that a receiver's window holds on a short path never loses and
    // keeps its queue standing for the whole run, but gives way within each
    // stream.  Its sign is statistical, so most runs, not all, must name it.
    int named = 0;
    std::string seen;
    for (int seed = 1; seed <= 8; ++seed) {
        simpath::Config c = bottleneck(50e6, 0);
        c.hops[0].elasticFlows = 1;
        c.hops[0].elasticRtt = 0.0002;
        c.hops[0].elasticWindow = 10;
        c.seed = seed;
        simpath::Path path(c);
        avl_result r;
        const avl_path p = path.path();
        const int status = avl_measure_path(&p, nullptr, &r, nullptr, nullptr);
        named += status == AVL_NO_ESTIMATE && r.elastic == AVL_ELASTIC_YES;
        seen += " " + std::to_string(r.available_bps / 1e6);
        avl_free_result(&r);
    }
    EXPECT_GE(named, 8) << "figures given:" << seen;
    // Larger windows keep the queue standing longer than a stream at the
    // capacity lasts: those streams show nothing, but the lighter, longer
    // ones give way within.  Named, and never a figure where nothing is
    // unused (7.2 Mbit/s in the median before the lighter streams were
    // fitted on their own).  A window of 64 keeps 15 ms queued, and four
    // flows held by windows of 24 some 20 ms, as four TCP flows did in the
    // lab: only the streams at a quarter of the capacity or less outlast
    // the flows' round trip, and they gain about their load (before they
    // were fitted alone: the window of 64 named in 1 run of 12, the four
    // flows in none of 20, with about 2 Mbit/s given in 19).
    const std::pair<int, int> held[] = {{1, 24}, {1, 32}, {1, 48}, {1, 64}, {4, 24}};
    for (auto [flows, window] : held)
        for (int seed = 1; seed <= 6; ++seed) {
            simpath::Config c = labBottleneck(50e6, 0, seed);
            c.hops[0].elasticFlows = flows;
            c.hops[0].elasticRtt = 0.0002;
            c.hops[0].elasticWindow = window;
            simpath::Path path(c);
            avl_result r;
            const avl_path p = path.path();
            const int status = avl_measure_path(&p, nullptr, &r, nullptr, nullptr);
            EXPECT_EQ(status, AVL_NO_ESTIMATE) << flows << " x " << window << ", seed " << seed << ": " << r.available_bps;
            EXPECT_EQ(r.elastic, AVL_ELASTIC_YES) << flows << " x " << window << ", seed " << seed << ": " << r.reason;
            avl_free_result(&r);
        }
    // A window of 8 keeps about 7 packets queued, and a stream raises the
    // queue only until the flow has slowed, within its first milliseconds:
    // the verdicts rise above about 18 Mbit/s, where nothing is unused, and
    // the halves gain next to nothing.  Never a figure (18 Mbit/s with
    // status 0 in 9 runs of 10 before the floors that rise at first told).
    for (int seed = 1; seed <= 6; ++seed) {
        simpath::Config c = labBottleneck(50e6, 0, seed);
        c.hops[0].elasticFlows = 1;
        c.hops[0].elasticRtt = 0.0002;
        c.hops[0].elasticWindow = 8;
        simpath::Path path(c);
        avl_result r;
        double truth;
        EXPECT_EQ(measureDefault(path, &r, &truth), AVL_NO_ESTIMATE) << "seed " << seed << ": " << r.available_bps;
        EXPECT_EQ(r.failure, AVL_FAIL_ELASTIC) << "seed " << seed << ": " << r.reason;
        avl_free_result(&r);
    }
    // Steady cross traffic never reads as yielding, and is mostly found not
    // to (a megabyte of streams may leave the give-way fit too loose to say).
    int found = 0;
    for (int seed = 1; seed <= 3; ++seed) {
        simpath::Config steady = bottleneck(50e6, 30e6, 0.001);
        steady.seed = seed;
        simpath::Path path(steady);
        avl_result r;
        EXPECT_EQ(measure(path, quick(), &r), 0) << r.reason;
        EXPECT_NE(r.elastic, AVL_ELASTIC_YES);
        found += r.elastic == AVL_ELASTIC_NO;
        avl_free_result(&r);

        simpath::Config policed = bottleneck(50e6, 15e6);
        policed.hops[0].police = true;
        policed.seed = seed;
        simpath::Path police(policed);
        EXPECT_EQ(measure(police, quick(), &r), AVL_NO_ESTIMATE) << r.available_bps;
        avl_free_result(&r);
    }
    EXPECT_GE(found, 2);
    // Nor do bursts every 5 ms through 100 Mbit/s, though a stream at the
    // capacity that a burst ends within arrives faster in its second half:
    // seeds 4, 15 and 17 read as yielding while four such streams needed
    // 2.5 standard errors and no more.
    for (int seed = 1; seed <= 20; ++seed) {
        simpath::Config c = labBottleneck(100e6, 30e6, seed);
        c.hops[0].burstPeriod = 0.005;
        simpath::Path path(c);
        avl_result r;
        double truth;
        measureDefault(path, &r, &truth);
        EXPECT_NE(r.elastic, AVL_ELASTIC_YES) << "seed " << seed << ": " << r.reason;
        avl_free_result(&r);
    }
}

// Four flows held by windows keep some 20 ms queued, and loss-driven ones,
// as four TCP flows in the lab, keep it wandering by a few milliseconds
// (the simulator's wander): no stream ever finds the path empty, and the
// streams within the flows' round trip read them as not yielding.  The
// first light streams' floors lie several packets above the least the run
// saw: named in 10 of these 12 runs (in 5 while only the median of all the
// light streams' floors was judged, against a higher bar, and four runs
// then gave 5.1 to 6.9 Mbit/s where next to nothing was unused).
TEST(Estimate, AQueueThatStandsAndWandersIsNamed) {
    const auto measureWandering = [](int flows, int seed, avl_result* r) {
        simpath::Config c = labBottleneck(50e6, 0, seed);
        c.hops[0].elasticFlows = flows;
        c.hops[0].elasticRtt = 0.01;
        c.hops[0].elasticWindow = 32;
        c.wander = 0.0025;
        simpath::Path sim(c);
        const avl_path p = sim.path();
        return avl_measure_path(&p, nullptr, r, nullptr, nullptr);
    };
    int named = 0;
    std::string seen;
    for (int seed = 1001; seed <= 1012; ++seed) {
        avl_result r;
        measureWandering(4, seed, &r);
        named += r.elastic == AVL_ELASTIC_YES;
        seen += " " + std::to_string(r.available_bps / 1e6);
        EXPECT_LE(r.available_bps, 5e6) << "seed " << seed << ": the flows leave next to nothing unused";
        avl_free_result(&r);
    }
    EXPECT_GE(named, 8) << "figures given:" << seen;
    // One such flow: the streams start in the queue it keeps.  Never a
    // figure (about 20 Mbit/s with status 0 in 2 runs of these 8 before
    // their starts told, and named in 2).
    int wandering = 0;
    for (int seed = 1; seed <= 8; ++seed) {
        avl_result r;
        EXPECT_EQ(measureWandering(1, seed, &r), AVL_NO_ESTIMATE) << "seed " << seed << ": " << r.available_bps;
        wandering += r.elastic == AVL_ELASTIC_YES;
        avl_free_result(&r);
    }
    EXPECT_GE(wandering, 6);
}

}  // namespace
