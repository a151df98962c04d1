// SPDX-License-Identifier: MIT
// dorral and its probe in the network lab, against the scripted responder:
// duplicated, reordered and missing replies.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "dorral.h"
#include "lab.h"
#include "probe.h"

using testing::HasSubstr;
using testing::Not;
using tsltest::Lab;

namespace {

const std::string kOutOfOrder = "LOGME Packets out of order. Cannot continue\n";
const std::string kDuplicates = "LOGME Duplicate Packets received. Cannot continue\n";

// Runs dorral in the client against a responder scripted with args; returns
// the tool's output and checks that the responder saw the whole train.
tsltest::RunResult runAgainstResponder(Lab &lab, std::vector<std::string> args)
{
    args.insert(args.begin(), TSL_RESPONDER_BIN);
    int responder = -1;
    EXPECT_TRUE(lab.startInTarget(args, 5, &responder));
    tsltest::RunResult r = lab.runInClient({DORRAL_PROGRAM, Lab::kTarget}, 60);
    EXPECT_THAT(lab.wait(responder, 10).out, HasSubstr("done requests=10 "));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("dorral: probing result=0.000000\n"));
    return r;
}

}  // namespace

TEST(DorralLab, RepliesSentTwiceGiveTheDuplicateLine)
{
    Lab lab({.noEcho = true});
    TSL_REQUIRE_LAB(lab);
    tsltest::RunResult r = runAgainstResponder(lab, {"--dup", "all"});
    EXPECT_THAT(r.out, HasSubstr("_DUP \n" + kDuplicates + "dorral: probing"));
    EXPECT_THAT(r.out, Not(HasSubstr(kOutOfOrder)));
}

TEST(DorralLab, RepliesOutOfOrderGiveTheOutOfOrderLine)
{
    Lab lab({.noEcho = true});
    TSL_REQUIRE_LAB(lab);
    tsltest::RunResult r = runAgainstResponder(lab, {"--order", "0,2,1"});
    EXPECT_THAT(r.out, HasSubstr(" NOTSEQOK "));
    EXPECT_THAT(r.out, HasSubstr(" \n" + kOutOfOrder + "dorral: probing"));
    EXPECT_THAT(r.out, Not(HasSubstr(kDuplicates)));
    // The table shows packet 2's reply ahead of packet 1's.
    int d1 = 0, a1 = 0, d2 = 0, a2 = 0;
    const size_t at = r.out.find("pkt 1: ");
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(std::sscanf(r.out.c_str() + at,
                          "pkt 1: 600 bytes depart %d arrive %d rtt= %*d us \n"
                          "pkt 2: 600 bytes depart %d arrive %d",
                          &d1, &a1, &d2, &a2),
              4)
        << r.out;
    EXPECT_LT(d1, d2);
    EXPECT_GT(a1, a2);
}

TEST(DorralLab, NoReplyBeforeTheTimeOutLeavesEveryArrivalLost)
{
    Lab lab({.noEcho = true});
    TSL_REQUIRE_LAB(lab);
    int responder = -1;
    ASSERT_TRUE(lab.startInTarget({TSL_RESPONDER_BIN, "--drop", "all"}, 5, &responder));

    noOfMsgs = 10;
    testing::internal::CaptureStdout();
    setupNextIteration(0.0, 1e7);
    for (int k = 1; k <= 10; k++)
        receivingTime[k] = -1.0;  // must come back as 0.0, the lost mark
    int bytes[DORRAL_ARRAY_LEN] = {}, order[DORRAL_ARRAY_LEN] = {}, flags = 0, paths = 0;
    ASSERT_TRUE(lab.enterClient());
    const int status = startProbe(Lab::kTarget, 10, packetSize, sendingTime, sendingTimeGap,
                                  receivingTime, bytes, order, &flags, &paths, 1);
    lab.leave();
    const std::string out = testing::internal::GetCapturedStdout();

    ASSERT_EQ(status, 0);
    EXPECT_THAT(out, HasSubstr("Timeout exceeded.\n"));
    EXPECT_EQ(flags, 2);
    int departs[10], arrives[10];
    ASSERT_EQ(fetchProbeTimes(10, departs, arrives), 10);
    for (int k = 1; k <= 10; k++) {
        EXPECT_EQ(arrives[k - 1], 0) << k;
        EXPECT_EQ(receivingTime[k], 0.0) << k;
        EXPECT_EQ(bytes[k - 1], 600);
        EXPECT_GE(departs[k - 1], std::lround(sendingTime[k] * 1e6) - 1) << k;
    }
    EXPECT_THAT(lab.wait(responder, 10).out, HasSubstr("done requests=10 sent=0"));
}
