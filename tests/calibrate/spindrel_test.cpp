// SPDX-License-Identifier: MIT
// Tests of the busy-wait timer, the trial classification, the report lines and
// the program's first output.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "run.h"
#include "spindrel.h"

extern "C" int summarizeOneOverrunFromC(char* text, int size);

namespace {

// What write() makes the calibration functions print.
template <class Write>
std::string captured(Write write) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    write(f);
    fclose(f);
    std::string text(buf, len);
    free(buf);
    return text;
}

timeval plus(timeval t, int usec) {
    long long total = t.tv_sec * 1000000LL + t.tv_usec + usec;
    return {static_cast<time_t>(total / 1000000), static_cast<suseconds_t>(total % 1000000)};
}

// Tallies one crafted trial of wait + error microseconds starting at 1000.999998.
std::string tallyError(waitTally& t, int error) {
    timeval start{1000, 999998};
    timeval end = plus(start, t.wait + error);
    ++t.j;
    return captured([&](FILE* f) { EXPECT_EQ(tallyTrial(f, &t, &start, &end), t.wait + error); });
}

std::string summaryOf(const waitTally& t) {
    return captured([&](FILE* f) { printSummary(f, &t); });
}

// What this platform's printf makes of the NaN of 0.0 / 0 under "%f": x86's
// default NaN has its sign bit set.
#if defined(__x86_64__) || defined(__i386__)
const char* const kNanText = "-nan";
#else
const char* const kNanText = "nan";
#endif

}  // namespace

TEST(WaitTime, NeverReturnsBeforeTheWaitLessFourHasPassed) {
    for (int wait : {5, 10, 37, 100, 1000, 5000}) {
        timeval before, after;
        gettimeofday(&before, nullptr);
        waitTime(wait);
        gettimeofday(&after, nullptr);
        EXPECT_GE(elapsedUsec(&before, &after), wait - SPINDREL_EARLY) << "wait " << wait;
        EXPECT_GE(elapsedUsec(&tv1, &tv2), wait - SPINDREL_EARLY) << "wait " << wait;
    }
    // A wait of a millisecond cannot be met by two readings a few nanoseconds apart.
    unsigned long reads = clockReads;
    waitTime(1000);
    EXPECT_GT(clockReads - reads, 2u);
}

TEST(WaitTime, WaitOfFourOrLessReturnsAfterTheSecondReading) {
    for (int wait : {4, 3, 0, -1, -1000000, INT_MIN}) {
        unsigned long reads = clockReads;
        waitTime(wait);
        EXPECT_EQ(clockReads - reads, 2u) << "wait " << wait;
    }
}

TEST(Tally, ThresholdsAndTrialLines) {
    waitTally t;
    startTally(&t, 100);
    EXPECT_EQ(tallyError(t, 6), "");
    EXPECT_EQ(tallyError(t, -5), "");
    EXPECT_EQ(tallyError(t, 0), "");
    EXPECT_EQ(t.counter, 0);
    EXPECT_EQ(t.counter2, 0);

    // Crossing into the next second; the microseconds are not padded.
    EXPECT_EQ(tallyError(t, 7), "wait 100usec, diff=107usec, stv=1000.999998, etv=1001.105\n");
    EXPECT_EQ(tallyError(t, -6),
              "diff less: wait 100usec, diff=94usec, stv=1000.999998, etv=1001.92\n");
    EXPECT_EQ(t.counter, 1);
    EXPECT_EQ(t.counter2, 1);

    // A clock stepped back gives a negative duration: a shortfall like any other.
    EXPECT_EQ(tallyError(t, -1000100),
              "diff less: wait 100usec, diff=-1000000usec, stv=1000.999998, etv=999.999998\n");
    EXPECT_EQ(t.counter2, 2);
}

TEST(Tally, MinMaxAndMeanOverTheCountedTrialsOnly) {
    waitTally t;
    startTally(&t, 1000);
    for (int error : {20, 7, -6, 6, 100, 9, -400}) tallyError(t, error);
    EXPECT_EQ(t.counter, 4);
    EXPECT_EQ(t.counter2, 2);
    EXPECT_EQ(summaryOf(t),
              "for 1000usec, j=7times, error>6 counter=4, error<-5 counter2=2\n"
              "    min=7, max=100, avg=34.000000\n");

    // The first overrun sets min although it is above the starting 6.
    startTally(&t, 10);
    tallyError(t, 50);
    EXPECT_EQ(summaryOf(t),
              "for 10usec, j=1times, error>6 counter=1, error<-5 counter2=0\n"
              "    min=50, max=50, avg=50.000000\n");
}

TEST(Tally, NoOverrunGivesStartingMinMaxAndNan) {
    waitTally t;
    startTally(&t, 100000);
    tallyError(t, 0);
    tallyError(t, -9);
    EXPECT_EQ(summaryOf(t), std::string("for 100000usec, j=2times, error>6 counter=0, "
                                        "error<-5 counter2=1\n    min=6, max=0, avg=") +
                                kNanText + "\n");
}

TEST(Tally, HeaderWorksFromC) {
    char text[256] = {};
    EXPECT_EQ(summarizeOneOverrunFromC(text, sizeof text), 1);
    EXPECT_STREQ(text,
                 "wait 10usec, diff=19usec, stv=5.0, etv=5.19\n"
                 "for 10usec, j=1times, error>6 counter=1, error<-5 counter2=0\n"
                 "    min=9, max=9, avg=9.000000\n");
}

namespace {

// Holds the process up for 150 microseconds, as a preemption would.
void stall(int) {
    timespec from, now;
    clock_gettime(CLOCK_MONOTONIC, &from);
    do {
        clock_gettime(CLOCK_MONOTONIC, &now);
    } while ((now.tv_sec - from.tv_sec) * 1000000000L + (now.tv_nsec - from.tv_nsec) < 150000);
}

// Parses a trial line and writes its values back with the line's format: equal
// to the line only when the line is exactly in that format.  Gives the wait and
// the duration through the pointers.
std::string reprintTrial(const std::string& line, int* wait, int* diff) {
    const char* lead = line.rfind("diff less: ", 0) == 0 ? "diff less: " : "";
    long ss, es;
    int su, eu;
    if (sscanf(line.c_str() + strlen(lead), "wait %dusec, diff=%dusec, stv=%ld.%d, etv=%ld.%d",
               wait, diff, &ss, &su, &es, &eu) != 6)
        return "";
    timeval s{ss, su}, e{es, eu};
    EXPECT_EQ(*diff, elapsedUsec(&s, &e)) << line;
    char text[200];
    snprintf(text, sizeof text, "%swait %dusec, diff=%dusec, stv=%ld.%d, etv=%ld.%d", lead, *wait,
             *diff, ss, su, es, eu);
    return text;
}

}  // namespace

// A short real run, stalled every millisecond so that overruns occur: every
// line must be exactly what the formats make of the values it shows, and the
// summary must agree with the trial lines.
TEST(Calibration, ShortRunWritesExactLines) {
    struct sigaction sa = {}, old = {};
    sa.sa_handler = stall;
    sa.sa_flags = SA_RESTART;
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
    itimerval every{{0, 1000}, {0, 1000}}, off{};
    setitimer(ITIMER_REAL, &every, nullptr);
    waitTally t;
    std::string text = captured([&](FILE* f) { calibrateWait(f, &t, 10, 3000, nullptr); });
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);

    std::vector<std::string> lines = tsltest::splitLines(text);
    ASSERT_GE(lines.size(), 3u) << "no overrun although the run was stalled";
    int count = 0, lo = INT_MAX, hi = INT_MIN;
    double sum = 0;
    for (size_t i = 0; i + 2 < lines.size(); ++i) {
        int wait = 0, diff = 0;
        EXPECT_EQ(reprintTrial(lines[i], &wait, &diff), lines[i]);
        EXPECT_EQ(wait, 10);
        EXPECT_GT(diff - wait, SPINDREL_OVER_LIMIT) << lines[i];
        ++count;
        lo = std::min(lo, diff - wait);
        hi = std::max(hi, diff - wait);
        sum += diff - wait;
    }
    char summary[200];
    snprintf(summary, sizeof summary,
             "for 10usec, j=3000times, error>6 counter=%d, error<-5 counter2=0\n"
             "    min=%d, max=%d, avg=%f\n",
             count, lo, hi, sum / count);
    EXPECT_EQ(lines[lines.size() - 2] + "\n" + lines.back() + "\n", summary);
    EXPECT_EQ(t.counter, count);
    EXPECT_EQ(text.back(), '\n');
}

// The program ignores arguments and starts the fixed plan at once: within one
// second the trials and summary of 10 microseconds are out.
TEST(Program, StartsTheRunAtOnceAndIgnoresArguments) {
    tsltest::RunResult r = tsltest::runProgram({SPINDREL_PROGRAM, "--help"}, 1);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines = tsltest::splitLines(r.out);
    size_t i = 0;
    for (int wait = 0, diff = 0; i < lines.size() && lines[i].rfind("for ", 0) != 0; ++i) {
        EXPECT_EQ(reprintTrial(lines[i], &wait, &diff), lines[i]);
        EXPECT_EQ(wait, 10);
    }
    ASSERT_LT(i + 1, lines.size()) << r.out;
    EXPECT_EQ(lines[i].rfind("for 10usec, j=1000times, error>6 counter=", 0), 0u) << lines[i];
    EXPECT_EQ(lines[i + 1].rfind("    min=", 0), 0u) << lines[i + 1];
}
