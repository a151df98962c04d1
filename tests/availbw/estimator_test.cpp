// SPDX-License-Identifier: MIT
// Whole measurements over simulated paths whose free rate is known: the
// estimate and its range under each kind of cross traffic (steady, in
// bursts, random, on-off), and the traffic it names (flows that yield,
// policers).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "availest.h"
#include "measurement.h"
#include "samples.h"
#include "sim_paths.h"
#include "simpath.h"

namespace {

using namespace simtest;

TEST(Estimate, FindsTheFreeRateOfSimulatedPaths) {
    struct Case { double capacity, cross, burstPeriod; } cases[] = {
        {10e6, 0, 0}, {10e6, 6e6, 0}, {50e6, 15e6, 0}, {100e6, 60e6, 0.001}, {200e6, 60e6, 0.001}};
    for (const auto& c : cases) {
        simpath::Path path(bottleneck(c.capacity, c.cross, c.burstPeriod));
        avl_options o = quick();
        avl_result r;
        ASSERT_EQ(measure(path, o, &r), 0) << r.reason;
        const std::string where = std::to_string(c.capacity / 1e6) + "/" + std::to_string(c.cross / 1e6);
        const double free = path.freeRate(r.packet_bytes);
        EXPECT_NEAR(r.capacity_bps, c.capacity, 0.02 * c.capacity) << where;
        EXPECT_NEAR(r.available_bps, free, 0.1 * free) << where;
        EXPECT_LE(r.low_bps, free * 1.05) << where;
        EXPECT_GE(r.high_bps, free * 0.95) << where;
        EXPECT_LE(r.available_bps, r.capacity_bps) << where << ": no more is free than the capacity";
        EXPECT_LE(r.high_bps, r.capacity_bps * 1.06) << where << ": the range ends within a raise of the capacity";
        EXPECT_GE(r.support, 1);
        EXPECT_LE(r.support, r.rounds);
        EXPECT_LE(r.probe_bytes, 3000000) << where;
        EXPECT_EQ(r.nstreams, path.streams());
        EXPECT_STREQ(r.address, "198.18.1.2");
        EXPECT_GT(r.timescale_s, 0);
        EXPECT_EQ(r.burst_gap_s, 0) << where << ": bursts a millisecond apart are no reason for longer streams";
        EXPECT_EQ(r.free_spread, 0) << where << ": steady traffic leaves the figure to the verdicts";
        avl_free_result(&r);
    }
}

// The paths users measure: cross traffic of 60 and 75 % in bursts, a narrow
// idle hop before the loaded one, random loss, a host that limits its echo
// replies above what the measurement needs.  Deterministic for the seed.
TEST(Estimate, HoldsOnHarderSimulatedPaths) {
    struct Case {
        const char* what;
        std::vector<simpath::Hop> hops;
        double within = 0.05, lossReplies = 0, echoLimitPps = 0, timescale = 0;
        int64_t maxBytes = 0;
        int seeds = 1;  // more: the median of their estimates is judged
    } cases[] = {
        {"100/60 in bursts", {labHop(100e6, 0.6)}},
        {"100/75 in bursts", {labHop(100e6, 0.75)}},
        {"200/60 in bursts", {labHop(200e6, 0.6)}},
        {"tight link after a narrow one", {labHop(40e6, 0), labHop(100e6, 0.75)}, 0.08, 0, 0, 0, 0, 5},
        {"3 % loss", {labHop(50e6, 0.4)}, 0.05, 0.03},
        {"3 % loss, another seed", {labHop(50e6, 0.4)}, 0.05, 0.03},
        {"3 % loss, a third seed", {labHop(50e6, 0.4)}, 0.05, 0.03},
        // Found by the loss of a stream, the limit leaves room for a round
        // with larger packets in a larger budget.
        {"a limit of 6000 echo replies a second", {labHop(50e6, 0)}, 0.05, 0, 6000, 0, 2000000},
        {"streams of 2 ms", {steadyHop(50e6, 15e6)}, 0.05, 0, 0, 0.002},
    };
    for (const auto& c : cases) {
        std::vector<double> ratios;
        for (int seed = 0; seed < c.seeds; ++seed) {
            simpath::Config config;
            config.hops = c.hops;
            config.overheadBytes = 14;
            config.lossReplies = c.lossReplies;
            config.echoLimitPps = c.echoLimitPps;
            config.echoBurst = 20;  // more than a back-to-back train: only the streams' loss shows it
            config.sendJitter = 5e-6;  // a real sender: each packet a little late,
            config.sendStretch = 0.005;  // and a rate a little lower than asked
            config.seed = 1 + (&c - cases) + 100 * seed;
            simpath::Path path(config);
            avl_options o;
            avl_default_options(&o);
            o.timescale_s = c.timescale;
            o.max_bytes = c.maxBytes;
            avl_result r;
            const int status = measure(path, o, &r);
            // Where several seeds are judged, a run without an estimate is a miss.
            if (c.seeds == 1) {
                ASSERT_EQ(status, 0) << c.what << ": " << r.reason;
            }
            ratios.push_back(status == 0 ? r.available_bps / path.freeRate(r.packet_bytes) : 0);
            // The automatic budgets grow to 3 MB and 2 s at most.
            EXPECT_LE(r.duration_s, 2 * (1.0 + 40 * c.timescale)) << c.what;
            EXPECT_LE(r.probe_bytes, c.maxBytes > 0 ? c.maxBytes : 3000000) << c.what;
            // What one stream queued had drained before the next began.
            for (int i = 1; i < r.nstreams; ++i) {
                if (r.streams[i].kind == AVL_KIND_SEARCH && r.streams[i].delay_s[0] >= 0) {
                    EXPECT_LT(r.streams[i].delay_s[0], config.baseRtt + 0.0015) << c.what << ", stream " << i;
                }
            }
            avl_free_result(&r);
        }
        std::sort(ratios.begin(), ratios.end());
        EXPECT_NEAR(ratios[ratios.size() / 2], 1, c.within) << c.what;
    }
}

// Cross traffic on for 5 ms and off for as long, on average, leaves a
// stream of some milliseconds much or little room whatever its rate: its
// verdicts read rising about half the time from half the free rate to one
// and a half times it.  Where they disagree, streams at the capacity
// measure what each window left free, and those spread widely: their mean
// is the figure, and its range holds the truth.  (Before, a curve no wider
// than a third missed in 6 runs of 10 here, and the verdicts' figures read
// 18 % low in the median.)  So it is where the verdicts agree on a range
// that the first windows lie above: seed 11 missed with 0.55 to 0.74 of the
// truth until such windows went on to answer.  Over 40 runs: the misses
// of 20 move by one or two with any change to the pauses between streams
// (over 200 runs they stay near 1 in 11).
TEST(Estimate, TrafficThatComesAndGoesIsMeasuredAtTheCapacity) {
    // Measures on-off bursts of cross through capacity for each seed, and
    // hands each answer and its truth to take.
    const auto each = [](double capacity, double cross, const std::vector<int>& seeds, const auto& take) {
        for (int seed : seeds) {
            simpath::Config c = labBottleneck(capacity, cross, seed);
            c.hops[0].kind = simpath::Cross::OnOff;
            simpath::Path path(c);
            avl_result r;
            double truth;
            if (measureDefault(path, &r, &truth) == 0) take(r, truth);
            avl_free_result(&r);
        }
    };
    std::vector<int> forty(40);
    std::iota(forty.begin(), forty.end(), 1);
    int missed = 0, windowed = 0, windowMissed = 0;
    std::string seen;
    each(50e6, 20e6, forty, [&](const avl_result& r, double truth) {
        const bool miss = truth < r.low_bps || truth > r.high_bps;
        missed += miss;
        if (r.free_spread > 0) {
            ++windowed;
            windowMissed += miss;
            EXPECT_LE(r.probe_bytes, 3000000);
        }
        seen += " " + std::to_string(truth / 1e6) + " in " + std::to_string(r.low_bps / 1e6) + "-" +
                std::to_string(r.high_bps / 1e6) + (r.free_spread > 0 ? " (windows);" : ";");
    });
    EXPECT_LE(missed, 8) << seen;
    EXPECT_GE(windowed, 20) << seen;
    EXPECT_LE(windowMissed, 6) << seen;
    // The same bursts through 100 Mbit/s, where twenty windows cost more
    // than the grown budget leaves: with room for ten, 39 of 40 runs are
    // windowed and 37 ranges hold.  Without a brief window at the capacity
    // where the first budget ends (seeds 12 and 32, whose streams all met
    // the bursts) and room for ten where the streams' windows swing (seed
    // 26), 36 were windowed and 34 held.  Room for twenty where the verdicts
    // disagree left none windowed and 14 held; where they agree but a
    // window met a burst, 26 windowed and 30 held.
    // Each brief window (49 packets here, the search's 89) starts as long
    // after the last one started whatever that one met: 21.9 ms after one
    // that met the bursts on (its delays rose by 0.8 ms or more), 22.4
    // after one that met them off.  Started after the last one's drain, the
    // next came 18.8 and 8.6 ms later.
    int held = 0;
    windowed = 0;
    double after[2] = {}, count[2] = {};  // [met them on]
    each(100e6, 40e6, forty, [&](const avl_result& r, double truth) {
        held += r.low_bps <= truth && truth <= r.high_bps;
        windowed += r.free_spread > 0;
        const auto brief = [&](const avl_stream& s) {
            return s.kind == AVL_KIND_SEARCH && s.rate_bps >= 0.97 * r.capacity_bps && s.packets < 60;
        };
        for (int i = 1; i + 1 < r.nstreams; ++i) {
            const avl_stream &s = r.streams[i], &next = r.streams[i + 1];
            if (!brief(s) || !brief(next) || s.delay_s[s.lead] < 0 || s.delay_s[s.packets - 1] < 0) continue;
            const bool on = s.delay_s[s.packets - 1] - s.delay_s[s.lead] >= 0.0008;
            after[on] += next.start_s - s.start_s;
            ++count[on];
        }
    });
    EXPECT_GE(held, 36);
    EXPECT_GE(windowed, 38);
    ASSERT_GE(std::min(count[0], count[1]), 100);
    EXPECT_LT(after[1] / count[1] - after[0] / count[0], 0.001);
    // Where the first window doubts verdicts that agree and the grown
    // budget holds fewer than twenty windows, ten will do when it read far
    // from them (seeds 482, 486 and 796: others using 4 to 16 times what
    // the verdicts leave them), or when a brief window more, within the
    // first budget, reads far from them (354, 380 and 385, whose other
    // streams all met the bursts: it read far above).  Without, all six
    // answered from the verdicts, and none held.
    held = 0;
    windowed = 0;
    each(100e6, 40e6, {354, 380, 385, 482, 486, 796}, [&](const avl_result& r, double truth) {
        held += r.low_bps <= truth && truth <= r.high_bps;
        windowed += r.free_spread > 0;
    });
    EXPECT_GE(held, 5);
    EXPECT_EQ(windowed, 6);
}

// The windows' mean from measured values and floors: floors above the
// values lift it, floors below them say nothing, and the range is the
// mean's, narrowing with more values.
TEST(Estimate, WindowsMeanWeighsFloors) {
    const std::vector<double> values = {8, 9, 10, 11, 12};
    const availbw::MeanRange plain = availbw::censoredMean(values, {}, 0.9);
    ASSERT_TRUE(plain.known);
    EXPECT_NEAR(plain.middle, 10, 0.1);
    // Student's t for four degrees of freedom: 10 +- 2.13 * 1.58 / sqrt(5).
    EXPECT_NEAR(plain.low, 8.49, 0.2);
    EXPECT_NEAR(plain.high, 11.51, 0.2);
    const availbw::MeanRange lifted = availbw::censoredMean(values, {12, 12, 12, 12, 12}, 0.9);
    EXPECT_GT(lifted.middle, 11);
    const availbw::MeanRange low = availbw::censoredMean(values, {2, 3, 4}, 0.9);
    EXPECT_NEAR(low.middle, 10, 0.2);
    std::vector<double> more;
    for (int i = 0; i < 4; ++i) more.insert(more.end(), values.begin(), values.end());
    const availbw::MeanRange four = availbw::censoredMean(more, {}, 0.9);
    EXPECT_LT(four.high - four.low, (plain.high - plain.low) / 2);
    EXPECT_FALSE(availbw::censoredMean({10, 11}, {20}, 0.9).known);
}

// Traffic that arrives at random (Poisson, or a mix of sizes) leaves each
// stream's few milliseconds a tenth or more above or below the mean: the
// verdicts near the free rate read either way, and a megabyte of them
// left the range wider than 70 % in about half the runs, which then spent
// 3 MB.  The same streams' windows, measured and floored, answer within
// the first budget, and their range holds the mean.
TEST(Estimate, RandomTrafficIsAnsweredFromTheStreamsWindows) {
    int missed = 0, answered = 0, withinBudget = 0, windowed = 0;
    std::vector<double> ratios;
    std::string seen;
    for (simpath::Cross kind : {simpath::Cross::Poisson, simpath::Cross::Mix})
        for (int seed = 1; seed <= 6; ++seed) {
            simpath::Config c = labBottleneck(50e6, 20e6, seed);
            c.hops[0].kind = kind;
            simpath::Path path(c);
            avl_result r;
            double truth;
            const int status = measureDefault(path, &r, &truth);
            if (status == 0) {
                ++answered;
                windowed += r.from_windows;
                missed += truth < r.low_bps || truth > r.high_bps;
                ratios.push_back(r.available_bps / truth);
            }
            withinBudget += r.probe_bytes <= 1000000;
            seen += " " + std::to_string(truth / 1e6) + " in " + std::to_string(r.low_bps / 1e6) + "-" +
                    std::to_string(r.high_bps / 1e6) + ";";
            avl_free_result(&r);
        }
    EXPECT_GE(answered, 11) << seen;
    EXPECT_LE(missed, 1) << seen;
    EXPECT_GE(withinBudget, 9) << seen;
    EXPECT_GE(windowed, 6) << seen;
    std::sort(ratios.begin(), ratios.end());
    ASSERT_FALSE(ratios.empty());
    EXPECT_NEAR(ratios[ratios.size() / 2], 1, 0.05) << seen;
    // Windows whose queue drained from before their stream read above its
    // rate; as floors there they lifted the mean by 3 % (these runs).
    EXPECT_NEAR(std::accumulate(ratios.begin(), ratios.end(), 0.0) / ratios.size(), 1, 0.02) << seen;
}

// Poisson traffic through 100 Mbit/s at half load: streams of 4 ms meet
// it a tenth or more above or below its mean, and ten verdicts, read as a
// narrow curve, may put the free rate a tenth to a third away, while the
// same streams' windows hold it.  These are the runs of the simulator
// bench whose verdicts answered so: their ranges held the free rate in
// none of them.  Now the range holds both readings.
TEST(Estimate, VerdictsThatDisagreeWithTheirWindowsKeepBothInTheRange) {
    int answered = 0, held = 0;
    std::string seen;
    for (int run : {1, 37, 89, 95, 139, 143, 165, 181, 189, 194}) {
        simpath::Config c = labBottleneck(100e6, 50e6, 1000 + run);
        c.hops[0].kind = simpath::Cross::Poisson;
        simpath::Path path(c);
        avl_result r;
        double truth;
        if (measureDefault(path, &r, &truth) == 0) {
            ++answered;
            held += r.low_bps <= truth && truth <= r.high_bps;
        }
        seen += " " + std::to_string(truth / 1e6) + " in " + std::to_string(r.low_bps / 1e6) + "-" +
                std::to_string(r.high_bps / 1e6) + ";";
        avl_free_result(&r);
    }
    EXPECT_GE(answered, 9) << seen;
    EXPECT_GE(held, 9) << seen;
}

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

// Cross traffic in bursts 5 ms apart leaves streams of 8 ms the whole
// capacity between two bursts, and one step where they meet one: they read
// flat well above the free rate (a third above, before streams grew for
// such bursts).  Streams that span several bursts find the mean.  Bursts
// 20 ms apart, where the budgets hold too few such streams (no answer in 20
// runs of 20 here), are measured by streams at the capacity one gap long,
// started at moments spread over the gap.
TEST(Estimate, BurstsFurtherApartThanAStreamAreSpanned) {
    int missed = 0;
    std::string seen;
    for (double gap : {0.005, 0.02})
        for (int seed = 1; seed <= 5; ++seed) {
            simpath::Config c = labBottleneck(50e6, 15e6, seed);
            c.hops[0].burstPeriod = gap;
            simpath::Path path(c);
            avl_result r;
            double truth;
            const int status = measureDefault(path, &r, &truth);
            seen = std::to_string(gap) + " s apart, seed " + std::to_string(seed) + ": " + r.reason;
            EXPECT_NEAR(r.burst_gap_s, gap, gap / 2) << seen;
            ASSERT_EQ(status, 0) << seen;
            if (gap < 0.01)
                EXPECT_GE(r.timescale_s, 4 * gap) << seen;
            else
                EXPECT_GT(r.free_spread, 0) << seen;
            missed += r.low_bps > truth || r.high_bps < truth;
            EXPECT_NEAR(r.available_bps, truth, 0.08 * truth) << seen;
            EXPECT_LE(r.probe_bytes, 3000000) << seen;
            avl_free_result(&r);
        }
    EXPECT_LE(missed, 1);
    // Through 100 Mbit/s, too few windows fit the budgets to answer: the
    // reason says so, and gives no range, where it gave "(0 to 0 Mbit/s
    // free)".
    simpath::Config c = labBottleneck(100e6, 30e6, 1044);
    c.hops[0].burstPeriod = 0.005;
    simpath::Path path(c);
    avl_result r;
    double truth;
    ASSERT_NE(measureDefault(path, &r, &truth), 0);
    EXPECT_STREQ(r.reason,
                 "the streams disagreed too much to narrow the range: the budgets held 0 of 6 streams at the capacity "
                 "for bursts far apart");
    avl_free_result(&r);
    // The gap read 7.4 ms for 5, and windows that counted bursts alike
    // gave a range that missed (55.9 to 65.9 where 68.2 was free): windows
    // that would count one more or one fewer may be unseen.
    c.seed = 3;
    simpath::Path twenty(c);
    ASSERT_EQ(measureDefault(twenty, &r, &truth), 0) << r.reason;
    EXPECT_GT(r.burst_gap_s, 0);
    EXPECT_LE(r.low_bps, truth);
    EXPECT_GE(r.high_bps, truth);
    avl_free_result(&r);
}

// Bursts 20 ms apart at 40 and 50 % load fill the link 8 to 10 ms of every
// 20.  Streams shorter than the gap, each sent after the last one's queue
// drained, met them unevenly: through 100 Mbit/s the verdicts read the
// gaps (94.5 and 98.6 Mbit/s free with status 0 for seeds 1000 and 1002,
// where 48.5 and 50.3 were), and through 50 Mbit/s the streams' halves and
// the streams at the capacity named the traffic as yielding, or hinted so.
TEST(Estimate, BurstsFarApartReadNeitherAsTheirGapsNorAsYielding) {
    for (const auto& [capacity, cross] : {std::pair{50e6, 20e6}, {100e6, 50e6}}) {
        int answered = 0;
        for (int seed = 1000; seed < 1006; ++seed) {
            simpath::Config c = labBottleneck(capacity, cross, seed);
            c.hops[0].burstPeriod = 0.02;
            simpath::Path path(c);
            avl_result r;
            double truth;
            const int status = measureDefault(path, &r, &truth);
            const std::string seen =
                std::to_string(static_cast<int>(capacity / 1e6)) + " Mbit/s, seed " + std::to_string(seed);
            EXPECT_NE(r.elastic, AVL_ELASTIC_YES) << seen;
            EXPECT_NE(r.failure, AVL_FAIL_ELASTIC) << seen << ": " << r.reason;
            EXPECT_TRUE(status != 0 || (r.low_bps <= truth && truth <= r.high_bps)) << seen;
            answered += status == 0;
            avl_free_result(&r);
        }
        if (capacity < 100e6) {
            EXPECT_GE(answered, 5);
        }
    }
}

// A queue drains at what is free, so after a stream that built one the
// pause lasts C / A times its delay: on a path with a tenth of it free the
// next stream finds the queue empty.
TEST(Estimate, StreamsFindTheQueueDrained) {
    simpath::Path path(bottleneck(100e6, 90e6));
    avl_result r;
    ASSERT_EQ(measure(path, quick(), &r), 0) << r.reason;
    simpath::Config c;
    for (int i = 1; i < r.nstreams; ++i)
        if (r.streams[i].kind == AVL_KIND_SEARCH) {
            EXPECT_LT(r.streams[i].delay_s[0], c.baseRtt + 0.0003) << "stream " << i;
        }
    avl_free_result(&r);
}

// Loss on the way into the bottleneck takes its share off each stream's
// load there, so the streams read that much more free: with 3 % of the
// requests lost, the range missed the free rate in 6 runs of these 10.
TEST(Estimate, LossBeforeTheBottleneckStaysInTheRange) {
    int held = 0;
    for (int seed = 1; seed <= 10; ++seed) {
        simpath::Config c = labBottleneck(50e6, 20e6, seed);
        c.hops[0].burstPeriod = 0.001;
        c.lossRequests = 0.03;
        simpath::Path path(c);
        avl_result r;
        double truth;
        held += measureDefault(path, &r, &truth) == 0 && r.low_bps <= truth && truth <= r.high_bps;
        avl_free_result(&r);
    }
    EXPECT_GE(held, 9);
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
