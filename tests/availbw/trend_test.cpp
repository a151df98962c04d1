// SPDX-License-Identifier: MIT
// The trend test on synthetic delay series: rising, flat and unclear, loss
// beyond what the path loses anyway.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "availest.h"

namespace {

int judge(const std::vector<double>& d, int lost = 0, double baseLoss = 0) {
    return avl_judge_delays(d.data(), static_cast<int>(d.size()), lost, baseLoss, 0, 5, nullptr);
}

TEST(Trend, TellsRisingFlatAndUnclearSeries) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> noise(0, 40);
    std::vector<double> ramp, flat, stairs, sawtooth, climbing, spikes;
    for (int i = 0; i < 100; ++i) {
        ramp.push_back(1000 + 8 * i + noise(rng));     // a queue growing by 8 us a packet
        flat.push_back(1000 + noise(rng));
        // Ever larger bursts of others over a queue that drains to the same floor.
        spikes.push_back(1000 + noise(rng) + (i % 10 == 5 ? 20 * i : 0));
        stairs.push_back(1000 + 300 * (i / 12) - 20 * (i % 12));  // bursts on top of a draining queue
    }
    // Long streams under bursts every 50 packets: the queue drains between
    // them (the floor comes back) or does not (the floor climbs).
    for (int i = 0; i < 600; ++i) {
        sawtooth.push_back(1000 + std::max(0, 2000 - 60 * (i % 50)) + noise(rng));
        climbing.push_back(1000 + 2000 - 30 * (i % 50) + 3 * i + noise(rng));
    }
    EXPECT_EQ(judge(ramp), AVL_RISING);
    EXPECT_EQ(judge(flat), AVL_FLAT);
    EXPECT_EQ(judge(spikes), AVL_FLAT) << "the floor, not the peaks, tells the queue";
    EXPECT_EQ(judge(stairs), AVL_RISING);
    EXPECT_EQ(judge(sawtooth), AVL_FLAT);
    EXPECT_EQ(judge(climbing), AVL_RISING);
    std::vector<double> falling(ramp.rbegin(), ramp.rend());
    EXPECT_EQ(judge(falling), AVL_FLAT);
    // Too few delays say nothing; loss beyond what the path loses anyway
    // says a queue overflowed or a policer dropped.
    EXPECT_EQ(judge(std::vector<double>(flat.begin(), flat.begin() + 8)), AVL_UNCLEAR);
    EXPECT_EQ(judge(flat, 4), AVL_RISING) << "4 of 104 lost on a path that loses none";
    EXPECT_EQ(judge(flat, 10, 0.08), AVL_FLAT) << "10 of 110 lost on a path that loses 8 %";
    EXPECT_EQ(judge(flat, 25, 0.08), AVL_RISING) << "25 of 125 lost on a path that loses 8 %";
    avl_trend t;
    avl_judge_delays(ramp.data(), 100, 0, 0, 0, 5, &t);
    EXPECT_EQ(t.groups, 10);
    EXPECT_NEAR(t.rise, 8 * 90, 50);
    EXPECT_LT(t.noise, 20);
    EXPECT_TRUE(t.rose && !t.lossy);
    // A queue that rose and overflowed: both are told, so a caller can tell
    // it from a policer's loss, which comes without a rise.
    avl_judge_delays(ramp.data(), 100, 30, 0, 0, 5, &t);
    EXPECT_TRUE(t.rose && t.lossy);
    avl_judge_delays(flat.data(), 100, 30, 0, 0, 5, &t);
    EXPECT_TRUE(!t.rose && t.lossy);
}

}  // namespace
