// SPDX-License-Identifier: MIT
// Traffic that comes and goes, measured by streams at the capacity, and
// random traffic answered from the streams' own windows: simulated paths
// whose free rate is known, and the windows' mean on synthetic values.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "availest.h"
#include "samples.h"
#include "sim_paths.h"
#include "simpath.h"

namespace {

using namespace simtest;

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
    // Measures on-off bursts of cross through capacity, where the path
    // loses a share loss of the replies, for each seed, and hands each
    // answer and its truth to take.
    const auto each = [](double capacity, double cross, double loss, const std::vector<int>& seeds, const auto& take) {
        for (int seed : seeds) {
            simpath::Config c = labBottleneck(capacity, cross, seed);
            c.hops[0].kind = simpath::Cross::OnOff;
            c.lossReplies = loss;
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
    each(50e6, 20e6, 0, forty, [&](const avl_result& r, double truth) {
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
    each(100e6, 40e6, 0, forty, [&](const avl_result& r, double truth) {
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
    each(100e6, 40e6, 0, {354, 380, 385, 482, 486, 796}, [&](const avl_result& r, double truth) {
        held += r.low_bps <= truth && truth <= r.high_bps;
        windowed += r.free_spread > 0;
    });
    EXPECT_GE(held, 5);
    EXPECT_EQ(windowed, 6);
    // A path that loses 6 % of the replies at random costs some windows more
    // than a tenth of their packets, but no queue overflowed: the queues the
    // streams met hold none of others' traffic, and the windows answer (these
    // seeds gave no estimate without that bar, "others' traffic overflowed").
    held = 0;
    each(50e6, 20e6, 0.06, {5001, 5006, 5009}, [&](const avl_result& r, double truth) {
        held += r.free_spread > 0 && r.low_bps <= truth && truth <= r.high_bps;
    });
    EXPECT_EQ(held, 3);
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

}  // namespace
