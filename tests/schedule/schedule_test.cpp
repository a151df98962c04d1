// SPDX-License-Identifier: MIT
// Tests of the send schedule, the probe's request check, the train table, and
// the program dorral on the command line and on loopback, where a step of the
// time of day neither holds nor bunches the probe's sends.
#include <gtest/gtest.h>

#include <sys/time.h>
#include <time.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dorral.h"
#include "probe.h"
#include "run.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// Builds the schedule of n packets over lower..upper and returns what it printed.
std::string schedule(int n, double lower, double upper, int rule = 1)
{
    noOfMsgs = n;
    equalBWTimeGap = rule;
    CaptureStdout();
    setupNextIteration(lower, upper);
    std::string out = GetCapturedStdout();
    equalBWTimeGap = 1;
    return out;
}

const char kDefaultLines[] =
    "sendingTime[1]=0.010000\nsendingTime[2]=0.010540\nsendingTime[3]=0.010810\n"
    "sendingTime[4]=0.010990\nsendingTime[5]=0.011125\nsendingTime[6]=0.011233\n"
    "sendingTime[7]=0.011323\nsendingTime[8]=0.011400\nsendingTime[9]=0.011468\n"
    "sendingTime[10]=0.011528\n";

std::string table(int count, const int *d, const int *a, const int *b, int flags, int paths)
{
    CaptureStdout();
    reportResults(count, d, a, b, flags, paths);
    return GetCapturedStdout();
}

}  // namespace

TEST(DorralSchedule, DefaultRisesInEqualRateStepsToTheUpperBound)
{
    receivingTime[3] = 7.0;
    absGapDifference[10] = 7.0;
    EXPECT_EQ(schedule(10, 0.0, 1e7), kDefaultLines);
    double sum = 0.0;
    for (int k = 1; k <= 9; k++) {  // 600 bytes at k * 1e7 / 9 bytes per second
        EXPECT_NEAR(sendingTimeGap[k] * 1e6, 540.0 / k, 1e-9) << k;
        sum += 540.0 / k;
    }
    EXPECT_EQ(absSendingTimeGap[1], 0.0);
    EXPECT_NEAR(absSendingTimeGap[10] * 1e6, sum, 1e-9);
    EXPECT_EQ(receivingTime[3], 0.0);
    EXPECT_EQ(absGapDifference[10], 0.0);
    EXPECT_EQ(packetSize[0], 600);
    EXPECT_EQ(packetSize[9], 600);
    EXPECT_EQ(sendingTime[0], 0.0);
}

TEST(DorralSchedule, OnePacketPrintsOneLineAndCountsStopAtTheArraysEnd)
{
    EXPECT_EQ(schedule(1, 0.0, 1e7), "sendingTime[1]=0.010000\n");
    const std::string out = schedule(150, 0.0, 1e7);
    EXPECT_NE(out.find("sendingTime[99]="), std::string::npos);
    EXPECT_EQ(out.find("sendingTime[100]="), std::string::npos);
}

TEST(DorralSchedule, EqualTimeRuleStepsGapsDownEvenlyAndPrintsNoGaps)
{
    // From 600 bytes at 1e6 B/s (600 us) down to 600 bytes at 1e7 B/s (60 us).
    EXPECT_EQ(schedule(10, 1e6, 1e7, 0), "sendingTime[1]=0.010000\n");
    for (int k = 1; k <= 9; k++)
        EXPECT_NEAR(sendingTimeGap[k] * 1e6, 600.0 - (k - 1) * 67.5, 1e-6) << k;
    EXPECT_NEAR(sendingTime[10], 0.01 + 9 * 330e-6, 1e-12);
    EXPECT_NEAR(absSendingTimeGap[10], 9 * 330e-6, 1e-12);
}

TEST(DorralProbe, RefusesTheNanScheduleOfTheEqualTimeRuleWithoutSending)
{
    schedule(10, 0.0, 1e7, 0);
    EXPECT_EQ(sendingTime[1], 0.01);
    EXPECT_TRUE(std::isnan(sendingTimeGap[1]));
    EXPECT_TRUE(std::isnan(sendingTime[2]));
    EXPECT_TRUE(std::isnan(absSendingTimeGap[10]));

    int bytes[DORRAL_ARRAY_LEN], order[DORRAL_ARRAY_LEN], flags = -7, paths = -7;
    std::fill(bytes, bytes + DORRAL_ARRAY_LEN, -7);
    std::fill(order, order + DORRAL_ARRAY_LEN, -7);
    receivingTime[1] = -7.0;
    EXPECT_NE(startProbe("127.0.0.1", 10, packetSize, sendingTime, sendingTimeGap, receivingTime,
                         bytes, order, &flags, &paths, 30),
              0);
    // Had the engine run, it would have filled all of these.
    EXPECT_EQ(bytes[0], -7);
    EXPECT_EQ(order[0], -7);
    EXPECT_EQ(flags, -7);
    EXPECT_EQ(paths, -7);
    EXPECT_EQ(receivingTime[1], -7.0);
    int d[10], a[10];
    EXPECT_EQ(fetchProbeTimes(10, d, a), 0);
}

TEST(DorralProbe, AcceptsOnlyUsableRequests)
{
    schedule(10, 0.0, 1e7);
    const char *h = "127.0.0.1";
    EXPECT_EQ(checkProbeRequest(h, 10, packetSize, sendingTime, 30), 0);
    EXPECT_EQ(checkProbeRequest(h, 0, packetSize, sendingTime, 30), 0);
    EXPECT_NE(checkProbeRequest(nullptr, 10, packetSize, sendingTime, 30), 0);
    EXPECT_NE(checkProbeRequest(h, 11, packetSize, sendingTime, 30), 0);
    EXPECT_NE(checkProbeRequest(h, -1, packetSize, sendingTime, 30), 0);
    EXPECT_NE(checkProbeRequest(h, 10, packetSize, sendingTime, 0), 0);

    struct Change { int index; double time; int size; } bad[] = {
        {5, sendingTime[4] - 1e-6, 600},  // runs backwards
        {1, -0.001, 600},                 // before the start instant
        {10, INFINITY, 600},
        {10, NAN, 600},
        {10, 2117.5, 600},                // with 30 s of wait, past the time base
        {3, sendingTime[3], 3},           // no room for the send stamp
        {3, sendingTime[3], PROBE_MAX_DATA + 1},
    };
    for (const Change &c : bad) {
        const double keptTime = sendingTime[c.index];
        const int keptSize = packetSize[c.index - 1];
        sendingTime[c.index] = c.time;
        packetSize[c.index - 1] = c.size;
        EXPECT_NE(checkProbeRequest(h, 10, packetSize, sendingTime, 30), 0)
            << "packet " << c.index << " at " << c.time << " with " << c.size;
        sendingTime[c.index] = keptTime;
        packetSize[c.index - 1] = keptSize;
    }
    sendingTime[5] = sendingTime[4];  // two packets at one instant: fine
    EXPECT_EQ(checkProbeRequest(h, 10, packetSize, sendingTime, 30), 0);
}

TEST(DorralTrainTable, MarksArrivalZeroLostAndEndsWithTheSuffix)
{
    const int d[] = {10000, 10540}, a[] = {10100, 0}, b[] = {600, 600};
    EXPECT_EQ(table(2, d, a, b, 3, 1),
              "pkt 0: 600 bytes depart 10000 arrive 10100 rtt= 100 us \n"
              "pkt 1: 600 bytes depart 10540 arrive 0 rtt= -10540 us  ++ lost ++\n"
              "bytes    departT  arriveT \n=============================\n"
              "  600    10000    10100\n"
              "  600    10540        0\n"
              " SEQOK  RR \n");
    EXPECT_EQ(table(0, d, a, b, 4, 2),
              "bytes    departT  arriveT \n=============================\n"
              " NOTSEQOK  NORR_DUP multipath: 2\n");
    EXPECT_EQ(table(0, d, a, b, 7, 0),
              "bytes    departT  arriveT \n=============================\n"
              " SEQOK  RR_DUP \n");
    // Times across the wrap of the 32-bit time base: the difference wraps too.
    const int late[] = {2147483000}, wrapped[] = {-2147483296};
    EXPECT_EQ(tsltest::splitLines(table(1, late, wrapped, b, 3, 1))[0],
              "pkt 0: 600 bytes depart 2147483000 arrive -2147483296 rtt= 1000 us ");
}

TEST(DorralProgram, WrongArgumentCountPrintsUsageOnStandardErrorOnly)
{
    for (const auto &argv : std::vector<std::vector<std::string>>{
             {DORRAL_PROGRAM}, {DORRAL_PROGRAM, "127.0.0.1", "127.0.0.1"}}) {
        tsltest::RunResult r = tsltest::runProgram(argv, 20);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Usage: vennic hostname\n");
    }
}

TEST(DorralProgram, ProbesLoopbackOnTheDefaultSchedule)
{
    TSL_REQUIRE_ROOT("for the raw ICMP socket");
    tsltest::RunResult r = tsltest::runProgram({DORRAL_PROGRAM, "127.0.0.1"}, 60);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind(std::string("VENNIC (1.0) 127.0.0.1\n") + kDefaultLines, 0), 0u) << r.out;

    // The table: ten rows of bytes, departure and arrival after the header.
    const std::vector<std::string> lines = tsltest::splitLines(r.out);
    size_t row = 0;
    while (row < lines.size() && lines[row] != "=============================")
        row++;
    ASSERT_LT(row + 12, lines.size()) << r.out;
    const double sched[] = {0.010000, 0.010540, 0.010810, 0.010990, 0.011125,
                            0.011233, 0.011323, 0.011400, 0.011468, 0.011528};
    int d[10], a[10];
    for (int i = 0; i < 10; i++) {
        int b = 0;
        ASSERT_EQ(std::sscanf(lines[row + 1 + i].c_str(), "%d %d %d", &b, &d[i], &a[i]), 3);
        EXPECT_EQ(b, 600);
        EXPECT_GE(d[i], std::lround(sched[i] * 1e6) - 1) << "packet " << i << " left early";
        EXPECT_GE(a[i], d[i]);
        if (i > 0) {  // a late packet may leave in the same microsecond as the next
            EXPECT_GE(d[i], d[i - 1]);
            EXPECT_GE(a[i], a[i - 1]);
        }
    }
    EXPECT_GT(a[0], 0);
    EXPECT_GT(d[9], d[0]);
    EXPECT_EQ(lines[row + 11], " SEQOK  RR ");
    EXPECT_EQ(lines.back(), "dorral: probing result=0.000000");
    EXPECT_EQ(r.out.find("LOGME"), std::string::npos);
}

TEST(DorralProbe, DeparturesKeepTheScheduleOnLoopback)
{
    // Neither late nor shifted: the first packet leaves less than 20 % of the
    // schedule's 1528 us after its time, and the nine gaps add up to 1528 us
    // within 20 %.  A spin preempted on a loaded machine makes a train late,
    // so up to ten trains get the chance.
    TSL_REQUIRE_ROOT("for the raw ICMP socket");
    schedule(10, 0.0, 1e7);
    const double span = (sendingTime[10] - sendingTime[1]) * 1e6;
    bool kept = false;
    std::string seen;
    for (int run = 0; run < 10 && !kept; run++) {
        int bytes[DORRAL_ARRAY_LEN] = {}, order[DORRAL_ARRAY_LEN] = {}, flags = 0, paths = 0, d[10], a[10];
        CaptureStdout();
        const int status = startProbe("127.0.0.1", 10, packetSize, sendingTime, sendingTimeGap,
                                      receivingTime, bytes, order, &flags, &paths, 5);
        GetCapturedStdout();
        ASSERT_EQ(status, 0);
        ASSERT_EQ(fetchProbeTimes(10, d, a), 10);
        const double late = d[0] - sendingTime[1] * 1e6, gaps = d[9] - d[0];
        kept = late < 0.2 * span && std::fabs(gaps - span) < 0.2 * span;
        seen += " " + std::to_string(std::lround(late)) + "/" + std::to_string(std::lround(gaps));
    }
    EXPECT_TRUE(kept) << "first packet late by / gaps added up to, in us:" << seen;
}

// The engine's reads of the time of day come here (the test is linked with
// --wrap=gettimeofday): once armed, every read after the next one is moved by
// stepUs, as a step of the clock just after a probe began would move it.
namespace {
int64_t stepUs = 0;
int readsBeforeStep = -1;  // -1: not armed
}  // namespace

extern "C" int __real_gettimeofday(timeval *tv, void *tz);
extern "C" int __wrap_gettimeofday(timeval *tv, void *tz)
{
    const int r = __real_gettimeofday(tv, tz);
    if (readsBeforeStep > 0) {
        --readsBeforeStep;
    } else if (readsBeforeStep == 0 && r == 0 && tv != nullptr) {
        const int64_t us = int64_t{tv->tv_sec} * 1000000 + tv->tv_usec + stepUs;
        tv->tv_sec = static_cast<time_t>(us / 1000000);
        tv->tv_usec = static_cast<suseconds_t>(us % 1000000);
    }
    return r;
}

TEST(DorralProbe, AStepOfTheClockNeitherHoldsNorBunchesTheSends)
{
    // A second back would hold sends paced on the time of day for a second, a
    // second ahead would send the rest at once.  The arrivals are the
    // kernel's stamps, which the step does not move: their gaps add up to
    // the schedule's 1528 us within 20 %, and the probe ends at once.
    TSL_REQUIRE_ROOT("for the raw ICMP socket");
    schedule(10, 0.0, 1e7);
    const double span = (sendingTime[10] - sendingTime[1]) * 1e6;
    for (const int64_t step : {int64_t{-1000000}, int64_t{1000000}}) {
        bool kept = false;
        std::string seen;
        for (int run = 0; run < 10 && !kept; run++) {
            int bytes[DORRAL_ARRAY_LEN] = {}, order[DORRAL_ARRAY_LEN] = {}, flags = 0, paths = 0, d[10], a[10];
            timespec start{}, end{};
            CaptureStdout();
            stepUs = step;
            readsBeforeStep = 1;  // the probe's start instant is read as it is
            clock_gettime(CLOCK_MONOTONIC, &start);
            const int status = startProbe("127.0.0.1", 10, packetSize, sendingTime, sendingTimeGap,
                                          receivingTime, bytes, order, &flags, &paths, 5);
            clock_gettime(CLOCK_MONOTONIC, &end);
            readsBeforeStep = -1;
            GetCapturedStdout();
            ASSERT_EQ(status, 0);
            ASSERT_EQ(fetchProbeTimes(10, d, a), 10);
            const double took = (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
            const double gaps = a[9] - a[0];
            kept = took < 0.5 && std::fabs(gaps - span) < 0.2 * span;
            seen += " " + std::to_string(took) + " s/" + std::to_string(std::lround(gaps)) + " us";
        }
        EXPECT_TRUE(kept) << "step " << step << " us: took / arrival gaps added up to:" << seen;
    }
}

TEST(DorralProbe, FillsArrivalTimesInSecondsAndTheTableTimesOnLoopback)
{
    TSL_REQUIRE_ROOT("for the raw ICMP socket");
    schedule(10, 0.0, 1e7);
    int bytes[DORRAL_ARRAY_LEN] = {}, order[DORRAL_ARRAY_LEN] = {}, flags = 0, paths = 0;
    CaptureStdout();  // loopback shows the engine our own requests
    const int status = startProbe("127.0.0.1", 10, packetSize, sendingTime, sendingTimeGap,
                                  receivingTime, bytes, order, &flags, &paths, 5);
    GetCapturedStdout();
    ASSERT_EQ(status, 0);
    EXPECT_EQ(flags & 3, 3);
    int d[10], a[10];
    ASSERT_EQ(fetchProbeTimes(12, d, a), 10);
    for (int k = 1; k <= 10; k++) {
        EXPECT_EQ(bytes[k - 1], 600);
        EXPECT_EQ(order[k - 1], 1);
        EXPECT_GT(a[k - 1], 0);
        EXPECT_DOUBLE_EQ(receivingTime[k], a[k - 1] / 1e6) << k;
    }
}
