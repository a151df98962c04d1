// SPDX-License-Identifier: MIT
// The gap analysis, the train table and the pass loop against scripted train
// results.  Compiled once with each build of the module: expectations that
// differ between the program and the library build test kProgram.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "brevane.h"
#include "run.h"
#include "scripted_tamsel.h"
#include "summary.h"

namespace {

#ifdef BREVANE_LIBRARY
constexpr bool kProgram = false;
#else
constexpr bool kProgram = true;
#endif

using scripted::Train;
using Ints = std::vector<int>;
constexpr int kInOrder = TSL_FLAG_ROUTE | TSL_FLAG_INORDER;

std::string capture(const std::function<void()>& f) {
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Gaps in train order whose sorted copy is the worked example:
// 480 500 500 510 520 530 540 550 560 (sum 4690, trimmed 4210).
const Ints kWorkedGaps{500, 480, 560, 510, 500, 520, 550, 530, 540};
Train workedTrain() { return {0, kInOrder, 1, scripted::arrivalsFromGaps(1000, kWorkedGaps)}; }
Train silentTrain() { return {0, TSL_FLAG_INORDER, 0, {}}; }

struct LoopRun {
    std::vector<std::string> passes;  // our lines of each pass, train table left out
    std::vector<int> tableLines;      // train-table lines of each pass
    std::string summary;              // everything after the last pass
    float result = 0;
};

// Runs probeLoop over the script and splits its output at the engine markers.
LoopRun runLoop(const std::vector<Train>& script, int count = 10) {
    scripted::setScript(script);
    LoopRun r;
    const std::string out = capture([&] { r.result = probeLoop("198.18.1.2", count); });
    for (const std::string& line : tsltest::splitLines(out)) {
        if (line.rfind("[tamsel ", 0) == 0) {
            EXPECT_EQ(line, "[tamsel 198.18.1.2 count=" + std::to_string(count) + " size=" +
                                std::to_string(600 + 100 * r.passes.size()) + " timeout=30]");
            r.passes.emplace_back();
            r.tableLines.push_back(0);
        } else if (r.passes.empty()) {
            ADD_FAILURE() << "before the first train: " << line;
        } else if (line.rfind("valid reading", 0) == 0 || !r.summary.empty()) {
            r.summary += line + "\n";
        } else if (line.rfind("pkt ", 0) == 0 || line.rfind("* ", 0) == 0) {
            ++r.tableLines.back();
        } else {
            r.passes.back() += line + "\n";
        }
    }
    EXPECT_EQ(r.passes.size(), 4u);
    return r;
}

std::string wholeTrainBlock(int took, int sent) {
    return kProgram ? "exactly 9 gaps\ntook " + std::to_string(took) + " microseconds\nsent " +
                          std::to_string(sent) + " bytes\n"
                    : "";
}

std::string nanText() {
    volatile double zero = 0;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%f", zero / zero);
    return buf;
}

const char kTooFew[] = "not enough valid gaps, going on to next iteration\n";

}  // namespace

// ---- Gap extraction and rank placement ---------------------------------------

TEST(Gaps, LostPacketFourOfTen) {
    Ints arrives{1000, 1100, 1300, 1600, -1, 2500, 3100, 3800, 4600, 5500}, departs(10);
    for (int i = 0; i < 10; ++i) departs[i] = 7 * i * i;
    Ints gaps(9, -7), sendGaps(9, -7);
    ASSERT_EQ(computeInterArrivalGaps(10, arrives.data(), departs.data(), gaps.data(), sendGaps.data()), 7);
    EXPECT_EQ(gaps, (Ints{100, 200, 300, 600, 700, 800, 900, -7, -7}));
    EXPECT_EQ(sendGaps, (Ints{7, 21, 35, 77, 91, 105, 119, -7, -7}));  // entry 3: pair 5-6
}

TEST(Gaps, InvalidPairsAreSkipped) {
    struct Case { Ints arrives; Ints gaps; };
    const std::vector<Case> cases{
        {{1000, 1000, 1500}, {500}},  // equal arrival times
        {{1000, 900, 1500}, {600}},   // a later packet first
        {{0, 1000, 1500}, {500}},     // arrival 0 counts as missing
        {{1000, 0, 1500}, {}},
        {{-1, -1, -1}, {}},
    };
    for (const Case& c : cases) {
        Ints departs{0, 5, 9}, gaps(2), sendGaps(2);
        const int n = computeInterArrivalGaps(3, c.arrives.data(), departs.data(), gaps.data(), sendGaps.data());
        EXPECT_EQ(Ints(gaps.begin(), gaps.begin() + n), c.gaps) << c.arrives[0] << " " << c.arrives[1];
    }
    EXPECT_EQ(computeInterArrivalGaps(0, nullptr, nullptr, nullptr, nullptr), 0);
}

TEST(Gaps, RankPlacementKeepsCompanionsAndReversesTies) {
    Ints sorted(4, -1), companions(4, -1);
    sortGaps(3, Ints{3, 1, 3}.data(), Ints{7, 8, 9}.data(), sorted.data(), companions.data());
    EXPECT_EQ(sorted, (Ints{1, 3, 3, -1}));
    EXPECT_EQ(companions, (Ints{8, 9, 7, -1}));

    sortGaps(4, Ints{5, 5, 5, 5}.data(), Ints{1, 2, 3, 4}.data(), sorted.data(), companions.data());
    EXPECT_EQ(companions, (Ints{4, 3, 2, 1}));
}

TEST(Table, GoldenTrainTableAndGapListing) {
    const Ints departs{10, 250}, arrives{1510, -1}, bytes{600, 600};
    const std::string table = capture([&] {
        reportResults(2, departs.data(), arrives.data(), bytes.data(), kInOrder, 1);
    });
    const std::string last = "* 600 10 1510 600 250 -1  SEQOK  RR \n";
    EXPECT_EQ(table, kProgram ? "pkt 0: 600 bytes 1500 us\npkt 1: 600 bytes -251 us ++ lost ++\n" + last : last);

    const Ints zero{0};
    EXPECT_EQ(capture([&] { reportResults(1, zero.data(), zero.data(), bytes.data(), 5, 3); }),
              std::string(kProgram ? "pkt 0: 600 bytes 0 us ++ lost ++\n" : "") +
                  "* 600 0 0  NOTSEQOK  RR_DUP multipath: 3\n");
    EXPECT_EQ(capture([] { reportResults(0, nullptr, nullptr, nullptr, 0, 0); }), "*  NOTSEQOK  NORR \n");
    EXPECT_EQ(capture([] { displayBothGaps(2, Ints{5, 6}.data(), Ints{-1, 9}.data()); }),
              "gaps[0] = 5\t-1\ngaps[1] = 6\t9\n");
}

// ---- Pass loop ---------------------------------------------------------------

TEST(PassLoop, CompleteOrderedTrainGivesWorkedEstimate) {
    const LoopRun r = runLoop({workedTrain(), silentTrain(), silentTrain(), silentTrain()});
    EXPECT_EQ(r.passes[0], wholeTrainBlock(4690, 5778) +
                               "WITHOUT OUTLIERS\ntook 4210 microseconds\nsent 5136 bytes\n"
                               "available bandwidth estimate for pass 0: 9759620.000000\n");
    for (int p = 1; p < 4; ++p) EXPECT_EQ(r.passes[p], kTooFew);
    for (int lines : r.tableLines) EXPECT_EQ(lines, kProgram ? 11 : 0);
    EXPECT_EQ(r.summary, "valid reading #=1, sum=9759620.000000, avg=9759620.000000\n");
    EXPECT_EQ(r.result, 9759620.0f);
}

TEST(PassLoop, LostMiddlePacketGivesNoEstimateAndNoMessage) {
    Train lost = workedTrain();
    lost.arrives[4] = TSL_NO_REPLY;
    const LoopRun r = runLoop({lost, lost, workedTrain(), lost});
    EXPECT_EQ(r.passes[0], "");
    EXPECT_EQ(r.passes[3], "");
    EXPECT_EQ(r.summary, "valid reading #=1, sum=12800000.000000, avg=12800000.000000\n");
}

TEST(PassLoop, DisorderAndDuplicatesRejectThePass) {
    Train disorder = workedTrain(), dup = workedTrain(), both = workedTrain();
    disorder.flags = TSL_FLAG_ROUTE;
    dup.flags = kInOrder | TSL_FLAG_DUP;
    both.flags = TSL_FLAG_DUP;
    const std::string outOfOrder = "LOGME Packets out of order. Cannot continue\n";
    const std::string duplicates = "LOGME Duplicate Packets received. Cannot continue\n";
    const LoopRun r = runLoop({disorder, dup, both, silentTrain()});
    EXPECT_EQ(r.passes[0], outOfOrder + wholeTrainBlock(4690, 5778));
    EXPECT_EQ(r.passes[1], duplicates + wholeTrainBlock(4690, 6678));
    EXPECT_EQ(r.passes[2], outOfOrder + duplicates + wholeTrainBlock(4690, 7578));
    EXPECT_EQ(r.passes[3], kTooFew);
}

TEST(PassLoop, AllPassesRejected) {
    const LoopRun r = runLoop({{0, kInOrder, 1, {1000, 1500}}, {0, kInOrder, 1, {-1, 1000, 1400}}});
    for (const std::string& pass : r.passes) EXPECT_EQ(pass, kTooFew);
    EXPECT_EQ(r.summary, "valid reading #=0, sum=0.000000, avg=" + nanText() + "\n");
    EXPECT_EQ(r.result, 0.0f);

    scripted::setScript({});
    const std::string out = capture([] { EXPECT_EQ(vennic("198.18.1.2"), 0.0f); });
    EXPECT_NE(out.find("[tamsel 198.18.1.2 count=10 size=900 timeout=30]"), std::string::npos);
    EXPECT_TRUE(out.ends_with("vennic: probeLoop result=0.000000\n")) << out;
}

TEST(PassLoop, ShortTrainsAndTrainLengthBounds) {
    // Three packets: both pairs valid, the estimate rests on the larger gap.
    LoopRun r = runLoop({{0, kInOrder, 1, {1000, 1100, 1400}}, {0, kInOrder, 1, {1000, 1100}}}, 3);
    EXPECT_EQ(r.passes[0], std::string(kProgram ? "exactly 2 gaps\ntook 400 microseconds\nsent 1284 bytes\n" : "") +
                               "WITHOUT OUTLIERS\ntook 300 microseconds\nsent 642 bytes\n"
                               "available bandwidth estimate for pass 0: 17120000.000000\n");
    EXPECT_EQ(r.passes[1], kTooFew);
    // Two packets: one gap is the whole train, and still too few.
    r = runLoop({{0, kInOrder, 1, {1000, 1100}}}, 2);
    EXPECT_EQ(r.passes[0], std::string(kProgram ? "exactly 1 gaps\ntook 100 microseconds\nsent 642 bytes\n" : "") +
                               kTooFew);
    // Longer trains than the engine's arrays are cut to its limit.
    scripted::setScript({});
    const std::string out = capture([] { probeLoop("198.18.1.2", 11); });
    EXPECT_NE(out.find("[tamsel 198.18.1.2 count=10 size=600"), std::string::npos);
}

TEST(PassLoop, AveragesPositiveEstimatesInSinglePrecision) {
    float result = 0;
    const float estimates[4] = {9759620, 9500000, 0, 10000000};
    EXPECT_EQ(capture([&] { result = summarizeEstimates(estimates, 4); }),
              "valid reading #=3, sum=29259620.000000, avg=9753206.666667\n");
    EXPECT_EQ(result, 9753207.0f);
    // The sum is kept in single precision: 4 estimating passes of the worked train.
    const LoopRun r = runLoop({workedTrain(), workedTrain(), workedTrain(), workedTrain()});
    EXPECT_EQ(r.summary, "valid reading #=4, sum=48159624.000000, avg=12039906.000000\n");
    EXPECT_EQ(r.result, 12039906.0f);
}

TEST(PassLoopDeathTest, EngineFailureIsFatal) {
    scripted::setScript({workedTrain(), {7, kInOrder, 1, {}}});
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            probeLoop("198.18.1.2", 10);
        },
        testing::ExitedWithCode(255), "size=700 timeout=30.\nFATAL ERROR\n$");
}
