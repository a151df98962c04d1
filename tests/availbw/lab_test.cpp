// SPDX-License-Identifier: MIT
// The estimator on a real path: a 50 Mbit/s bottleneck carrying 15 Mbit/s of
// steady cross traffic, whose free rate the shaper's own counters tell.
#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "availest.h"
#include "lab.h"
#include "run.h"

namespace {

// Runs on the first processor while the lab's path works on the last one, as
// a path of other hosts would; restores what it found.
class PinnedToFirstProcessor {
public:
    PinnedToFirstProcessor() {
        sched_getaffinity(0, sizeof saved_, &saved_);
        cpu_set_t first;
        CPU_ZERO(&first);
        CPU_SET(0, &first);
        sched_setaffinity(0, sizeof first, &first);
    }
    ~PinnedToFirstProcessor() { sched_setaffinity(0, sizeof saved_, &saved_); }

private:
    cpu_set_t saved_;
};

TEST(AvailableLab, FindsTheFreeShareOfALoadedBottleneck) {
    constexpr double kRate = 50e6;
    const int processors = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
    tsltest::Lab lab({.rateMbit = kRate / 1e6, .crossMbit = 15, .steerCpu = processors > 1 ? processors - 1 : -1});
    TSL_REQUIRE_LAB(lab);
    // What the cross traffic leaves free, from the shaper's counters.
    const auto measured = tsltest::runProgram({"bash", TSL_LAB_SH, "free", lab.name(), "2"}, 10);
    ASSERT_EQ(measured.status, 0) << measured.err;
    const double freeLink = std::stod(measured.out) * 1e6;
    ASSERT_LT(freeLink, 0.75 * kRate) << "the cross traffic is not flowing as set";
    ASSERT_GT(freeLink, 0.6 * kRate) << "the cross traffic is not flowing as set";

    std::vector<double> ratios;
    std::string seen;
    PinnedToFirstProcessor pinned;
    for (int run = 0; run < 3; ++run) {
        ASSERT_TRUE(lab.enterClient());
        avl_result r;
        const int status = avl_measure(tsltest::Lab::kTarget, nullptr, &r, nullptr, nullptr);
        ASSERT_TRUE(lab.leave());
        ASSERT_EQ(status, 0) << r.reason;
        // The free rate in IP bytes of the streams' packets.
        const int bytes = r.streams[r.nstreams - 1].packet_bytes;
        const double truth = freeLink * bytes / (bytes + 14);
        const bool inRange = r.low_bps <= truth && truth <= r.high_bps;
        ratios.push_back(inRange ? 1.0 : r.available_bps / truth);
        char line[160];
        std::snprintf(line, sizeof line, "truth %.2f: %.2f [%.2f, %.2f] Mbit/s, %d of %d rounds, %lld bytes\n",
                      truth / 1e6, r.available_bps / 1e6, r.low_bps / 1e6, r.high_bps / 1e6, r.support, r.rounds,
                      static_cast<long long>(r.probe_bytes));
        seen += line;
        EXPECT_LE(r.probe_bytes, 1000000);
        EXPECT_NEAR(r.capacity_bps, kRate * 1500 / 1514, 0.1 * kRate) << "dispersion reads the capacity";
        avl_free_result(&r);
    }
    std::sort(ratios.begin(), ratios.end());
    EXPECT_NEAR(ratios[1], 1.0, 0.15) << seen;
}

}  // namespace
