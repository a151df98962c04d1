// SPDX-License-Identifier: MIT
// The stream runner: pacing on loopback, a stall that shifts the schedule,
// refused requests, and lost, late and duplicate replies in the lab.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <vector>

#include "lab.h"
#include "run.h"
#include "tamsel_stream.h"

namespace {

struct Stream {
    std::vector<int64_t> sendAt, depart, arrive;
    tsl_stream_stats stats{};
    int result = 0;

    // count packets of size bytes, gapUs apart.
    Stream(tsl_stream_session* s, int count, int gapUs, int waitMs, int size = 800)
        : sendAt(count), depart(count), arrive(count) {
        for (int i = 0; i < count; ++i) sendAt[i] = int64_t{gapUs} * i;
        result = tsl_stream_run(s, count, size, sendAt.data(), depart.data(), arrive.data(), waitMs, &stats);
    }
    std::vector<int64_t> gaps() const {
        std::vector<int64_t> g;
        for (size_t i = 1; i < depart.size(); ++i) g.push_back(depart[i] - depart[i - 1]);
        return g;
    }
};

tsl_stream_session* open(const char* host) {
    tsl_stream_session* s = nullptr;
    EXPECT_EQ(tsl_stream_open(&s, host), 0);
    return s;
}

TEST(StreamLoopback, KeepsTheScheduleAndStampsEveryReply) {
    TSL_REQUIRE_ROOT("for the raw socket");
    tsl_stream_session* s = open("127.0.0.1");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(tsl_stream_address(s), "127.0.0.1");
    // Two streams in one session: each window gets exactly its own replies.
    for (int round = 0; round < 2; ++round) {
        Stream st(s, 300, 100, 200);
        ASSERT_EQ(st.result, 300) << "round " << round;
        EXPECT_EQ(st.stats.duplicates, 0);
        EXPECT_EQ(st.stats.after_receive, 0) << "arrivals must carry the kernel's stamp";
        for (int i = 0; i < 300; ++i) ASSERT_GE(st.arrive[i], st.depart[i]) << i;
        // Within a few microseconds of the schedule, shifts aside.
        std::vector<int64_t> err;
        for (int64_t g : st.gaps()) err.push_back(std::abs(g - 100));
        std::nth_element(err.begin(), err.begin() + err.size() / 2, err.end());
        EXPECT_LE(err[err.size() / 2], 3) << "median gap error";
        const int64_t span = st.depart.back() - st.depart.front();
        EXPECT_NEAR(span - st.stats.shifted_us, 29900, 150);
    }
    tsl_stream_close(s);
}

volatile sig_atomic_t stalled = 0;
// Holds the sender for 5 ms in the middle of its stream.
void stall(int) {
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    do clock_gettime(CLOCK_MONOTONIC, &now);
    while ((now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec) < 5000000L);
    stalled = 1;
}

TEST(StreamLoopback, AStallShiftsTheRestInsteadOfBursting) {
    TSL_REQUIRE_ROOT("for the raw socket");
    tsl_stream_session* s = open("127.0.0.1");
    ASSERT_NE(s, nullptr);
    struct sigaction on{}, old{};
    on.sa_handler = stall;
    sigaction(SIGALRM, &on, &old);
    itimerval at{{0, 0}, {0, 8000}};
    setitimer(ITIMER_REAL, &at, nullptr);
    Stream st(s, 100, 200, 100);
    sigaction(SIGALRM, &old, nullptr);
    tsl_stream_close(s);
    ASSERT_EQ(stalled, 1);
    ASSERT_EQ(st.result, 100);
    EXPECT_GE(st.stats.shifts, 1);
    EXPECT_GE(st.stats.shifted_us, 4500);
    const auto g = st.gaps();
    EXPECT_EQ(std::count_if(g.begin(), g.end(), [](int64_t x) { return x >= 4500; }), 1) << "one long gap";
    EXPECT_EQ(std::count_if(g.begin(), g.end(), [](int64_t x) { return x < 150; }), 0) << "no catch-up burst";
}

// Runs fn in a child process and returns its exit status.
template <class Fn>
int inChild(Fn fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

TEST(StreamRequests, AreRefusedWithTheirReason) {
    TSL_REQUIRE_ROOT("for the raw socket");
    tsl_stream_session* s = open("127.0.0.1");
    ASSERT_NE(s, nullptr);
    int64_t at[3] = {0, 10, 20}, backwards[3] = {0, 20, 10}, late[3] = {0, 10, TSL_STREAM_MAX_SPAN_US + 1};
    int64_t dep[3], arr[3];
    struct Case { int count, size, wait; const int64_t* at; } cases[] = {
        {0, 800, 10, at}, {TSL_STREAM_MAX_PACKETS + 1, 800, 10, at}, {3, 3, 10, at}, {3, 65508, 10, at},
        {3, 800, -1, at}, {3, 800, TSL_STREAM_MAX_WAIT_MS + 1, at}, {3, 800, 10, backwards}, {3, 800, 10, late}};
    for (const auto& c : cases)
        EXPECT_EQ(tsl_stream_run(s, c.count, c.size, c.at, dep, arr, c.wait, nullptr), TSL_STREAM_ERR_ARGUMENT)
            << c.count << " " << c.size << " " << c.wait;
    EXPECT_EQ(tsl_stream_run(s, 3, 65507, at, dep, arr, 100, nullptr), 3) << "the largest datagram";
    tsl_stream_close(s);
    // No name service in a network namespace of its own: the name cannot resolve.
    EXPECT_EQ(inChild([] {
                  tsl_stream_session* x = nullptr;
                  return unshare(CLONE_NEWNET) == 0 && tsl_stream_open(&x, "no-such-host.invalid") == TSL_STREAM_ERR_HOST ? 0 : 1;
              }),
              0);
    // Without privilege there is no raw socket, and the process goes on.
    EXPECT_EQ(inChild([] {
                  tsl_stream_session* x = nullptr;
                  if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) return 2;
                  return tsl_stream_open(&x, "127.0.0.1") == TSL_STREAM_ERR_SOCKET && x == nullptr ? 0 : 1;
              }),
              0);
}

TEST(StreamLab, LostLateAndDuplicateRepliesAreMarked) {
    tsltest::Lab lab({.noEcho = true});
    TSL_REQUIRE_LAB(lab);
    int responder = -1;
    ASSERT_TRUE(lab.startInTarget({TSL_RESPONDER_BIN, "--count", "40", "--drop", "3,7", "--delay", "5:250",
                                   "--dup", "9", "--timeout", "20"},
                                  5, &responder));
    ASSERT_TRUE(lab.enterClient());
    tsl_stream_session* s = open(tsltest::Lab::kTarget);
    ASSERT_TRUE(lab.leave());
    ASSERT_NE(s, nullptr);
    Stream first(s, 20, 1000, 100);
    // The late reply of packet 5 comes while the second stream is out.
    Stream second(s, 20, 20000, 100);
    tsl_stream_close(s);
    const auto seen = lab.wait(responder, 10);
    EXPECT_EQ(seen.status, 0) << seen.err;

    EXPECT_EQ(first.result, 17);
    for (int i : {3, 5, 7}) EXPECT_EQ(first.arrive[i], TSL_STREAM_LOST) << i;
    EXPECT_EQ(first.stats.duplicates, 1);
    EXPECT_EQ(second.result, 20);
    EXPECT_GE(second.stats.ignored, 1) << "the late reply of the first stream";
    EXPECT_EQ(second.stats.duplicates, 0);
}

}  // namespace
