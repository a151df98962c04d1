// SPDX-License-Identifier: MIT
// A measurement's contract over simulated paths: why it gives no estimate,
// its budgets and options, running out of memory, what the path accepts
// (packets, waits, pauses), drops on this host, and its callers (a progress
// callback that cancels, a result struct from an older header).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "availest.h"
#include "sim_paths.h"
#include "simpath.h"

namespace {

using namespace simtest;

TEST(Estimate, SaysWhyThereIsNoEstimate) {
    struct Case {
        const char* what;
        int64_t maxBytes;
        double loss;
        bool silent, broken;
        const char* reason;
        int failure;
        double echoLimitPps = 0;
        bool police = false;
    } cases[] = {
        {"silent host", 0, 0, true, false, "the host did not answer", AVL_FAIL_NO_REPLY},
        {"lossy path", 0, 0.8, false, false, "too much loss", AVL_FAIL_LOSS},
        {"15 % loss", 0, 0.15, false, false, "too much loss: the path lost 1", AVL_FAIL_LOSS},
        {"sender error", 0, 0, false, true, "sending a stream failed", AVL_FAIL_SEND},
        {"small budget", 60000, 0, false, false, "budget too small", AVL_FAIL_BUDGET},
        {"echo limit", 0, 0, false, false, "the host limits its echo replies to about 2", AVL_FAIL_ECHO_LIMIT, 3000},
        {"policer", 0, 0, false, false, "drops what exceeds its rate instead of queueing it", AVL_FAIL_POLICER, 0, true},
    };
    for (const auto& c : cases) {
        simpath::Config config = bottleneck(50e6, 20e6);
        config.lossReplies = c.loss, config.silent = c.silent, config.broken = c.broken;
        config.echoLimitPps = c.echoLimitPps;
        config.hops[0].police = c.police;
        simpath::Path path(config);
        avl_options o = quick();
        o.max_bytes = c.maxBytes;
        avl_result r;
        EXPECT_EQ(measure(path, o, &r), AVL_NO_ESTIMATE) << c.what;
        EXPECT_NE(std::string(r.reason).find(c.reason), std::string::npos) << c.what << ": " << r.reason;
        EXPECT_STREQ(avl_failure_name(r.failure), avl_failure_name(c.failure)) << c.what;
        if (c.failure == AVL_FAIL_ECHO_LIMIT) {
            EXPECT_GT(r.lower_bound_bps, 5e6) << "at least this much is free";
        }
        if (c.maxBytes > 0) {
            EXPECT_LE(r.probe_bytes, c.maxBytes) << c.what;
        }
        avl_free_result(&r);
    }
}

// A host that echoes 3000 requests a second, after a burst of five, on an
// idle 50 Mbit/s path: the capacity trains bring back five replies each, and
// receive stamps late by up to half a millisecond read them as 26 to 38
// Mbit/s.  Streams then reach that capacity under the limit, but not past
// it: the run names the limit rather than give the capacity it misread.
TEST(Estimate, ACapacityReadThroughAnEchoLimitIsNoAnswer) {
    for (const uint64_t seed : {3, 6}) {
        simpath::Config config = bottleneck(50e6, 0);
        config.echoLimitPps = 3000;
        config.stampJitter = 500e-6;
        config.seed = seed;
        simpath::Path path(config);
        avl_result r;
        EXPECT_EQ(measure(path, quick(), &r), AVL_NO_ESTIMATE) << "seed " << seed << ": " << r.available_bps;
        EXPECT_EQ(r.failure, AVL_FAIL_ECHO_LIMIT) << "seed " << seed << ": " << r.reason;
        avl_free_result(&r);
    }
}

TEST(Estimate, BudgetsCutShortAndSaySo) {
    simpath::Path path(bottleneck(50e6, 20e6));
    avl_options o = quick();
    o.max_bytes = 500000;
    avl_result r;
    measure(path, o, &r);
    EXPECT_EQ(r.budget_reached, AVL_BUDGET_BYTES);
    EXPECT_NE(std::string(r.reason).find("byte budget reached"), std::string::npos) << r.reason;
    EXPECT_LE(r.probe_bytes, 500000);
    EXPECT_LT(r.support, 3);
    avl_free_result(&r);

    // A time budget shorter than the streams between pauses.
    o.max_bytes = 0;
    o.max_seconds = 0.012;
    ASSERT_EQ(measure(path, o, &r), AVL_NO_ESTIMATE);
    EXPECT_NE(std::string(r.reason).find("time budget reached"), std::string::npos) << r.reason;
    EXPECT_LT(r.duration_s, 0.02);
    avl_free_result(&r);

    // Longer streams with a time scale: every search stream lasts it.
    o = quick();
    o.timescale_s = 0.05;
    ASSERT_EQ(measure(path, o, &r), 0) << r.reason;
    for (int i = 0; i < r.nstreams; ++i) {
        if (r.streams[i].kind == AVL_KIND_SEARCH) {
            EXPECT_GE(r.streams[i].depart_s[r.streams[i].packets - 1], 0.049) << i;
        }
    }
    EXPECT_NEAR(r.timescale_s, 0.05, 0.002);
    avl_free_result(&r);
}

// Where the first byte budget ends the search, one brief stream at the
// capacity checks the verdicts within what that budget left: the run stays
// within it and still says which budget ended it.  A user's budget gets no
// such stream.
TEST(Estimate, TheLastCheckKeepsToTheBudget) {
    for (int64_t userBytes : {int64_t{0}, int64_t{1000000}}) {
        simpath::Path path(labBottleneck(50e6, 20e6, 1));
        avl_options o;
        avl_default_options(&o);
        o.max_bytes = userBytes;
        avl_result r;
        ASSERT_EQ(measure(path, o, &r), 0) << r.reason;
        EXPECT_EQ(r.budget_reached, AVL_BUDGET_BYTES) << userBytes;
        EXPECT_NE(std::string(r.reason).find("byte budget reached"), std::string::npos) << r.reason;
        EXPECT_EQ(r.budget_grown, 0);
        EXPECT_LE(r.probe_bytes, userBytes ? userBytes : 1000000);
        ASSERT_GE(r.nstreams, 2);
        const avl_stream &last = r.streams[r.nstreams - 1], &before = r.streams[r.nstreams - 2];
        EXPECT_EQ(last.rate_bps > 0.97 * 50e6 && last.packets < before.packets, userBytes == 0)
            << last.rate_bps << " " << last.packets << " after " << before.packets;
        avl_free_result(&r);
    }
}

TEST(Estimate, RefusesOptionsOutOfRange) {
    simpath::Path path(bottleneck(50e6, 20e6));
    avl_options o = quick();
    avl_result r;
    for (auto spoil : {+[](avl_options& x) { x.max_bytes = -1; }, +[](avl_options& x) { x.max_seconds = -1; },
                       +[](avl_options& x) { x.timescale_s = -1; }, +[](avl_options& x) { x.packet_bytes = 63; },
                       +[](avl_options& x) { x.packet_bytes = 1501; }, +[](avl_options& x) { x.streams_per_rate = 0; },
                       +[](avl_options& x) { x.resolution = 0; }, +[](avl_options& x) { x.max_rounds = 0; }}) {
        avl_options bad = o;
        spoil(bad);
        EXPECT_EQ(measure(path, bad, &r), AVL_ERR_OPTIONS);
    }
    EXPECT_EQ(path.streams(), 0);
}

// Memory that runs out inside a measurement: its C interface returns an
// error and keeps no half-made streams.
TEST(Estimate, RunningOutOfMemoryIsAnError) {
    simpath::Path sim(bottleneck(50e6, 20e6));
    avl_path p = sim.path();
    static int sends;
    sends = 0;
    p.send = [](void* self, int count, int size, const int64_t* at, int64_t* depart, int64_t* arrive,
                int64_t wait) -> int {
        if (++sends == 4) throw std::bad_alloc();
        const avl_path inner = static_cast<simpath::Path*>(self)->path();
        return inner.send(self, count, size, at, depart, arrive, wait);
    };
    avl_result r;
    EXPECT_EQ(avl_measure_path(&p, nullptr, &r, nullptr, nullptr), AVL_ERR_MEMORY);
    EXPECT_EQ(r.nstreams, 0);
    EXPECT_EQ(r.streams, nullptr);
    avl_free_result(&r);
}

// What the path accepts is part of its contract, and the simulator refuses
// the rest as the real stream runner does: streams of no more packets than
// it takes (a long time scale on a fast path asked for more), waits no
// longer than it allows (the first contact's wait grew past it), and every
// pause inside the time budget (the one after a host's limit was found was
// not).  None of these may end a measurement with "sending a stream failed".
TEST(Estimate, KeepsToWhatThePathAccepts) {
    simpath::Path fast(bottleneck(200e6, 0));
    avl_options o = quick();
    o.timescale_s = 0.5;
    o.max_seconds = 60;
    avl_result r;
    EXPECT_EQ(measure(fast, o, &r), 0) << r.reason;
    for (int i = 0; i < r.nstreams; ++i) EXPECT_LE(r.streams[i].packets, 4096) << "stream " << i;
    avl_free_result(&r);

    simpath::Config silentHost = bottleneck(50e6, 0);
    silentHost.silent = true;
    simpath::Path silent(silentHost);
    o = quick();
    o.max_seconds = 600;
    EXPECT_EQ(measure(silent, o, &r), AVL_NO_ESTIMATE);
    EXPECT_EQ(r.failure, AVL_FAIL_NO_REPLY) << r.reason;
    avl_free_result(&r);

    // A host that answers 100 echo requests a second: the pause for its
    // allowance to come back is longer than this budget.
    simpath::Config limited = bottleneck(50e6, 0);
    limited.echoLimitPps = 100;
    simpath::Path slow(limited);
    o = quick();
    o.max_seconds = 0.25;
    measure(slow, o, &r);
    EXPECT_LE(r.duration_s, 0.25 + 1e-6);
    avl_free_result(&r);

    // A limit so far below a fast capacity that the streams' ceiling falls
    // under the lowest rate searched: an answer or a reason, never a range
    // turned inside out.
    simpath::Config gigabit = bottleneck(1e9, 0);
    gigabit.echoLimitPps = 500;
    simpath::Path tight(gigabit);
    const int status = measure(tight, quick(), &r);
    EXPECT_TRUE(status == 0 || r.failure == AVL_FAIL_ECHO_LIMIT) << r.failure << ": " << r.reason;
    EXPECT_GT(r.echo_limit_pps, 0);
    EXPECT_LE(r.low_bps, r.high_bps);
    avl_free_result(&r);
}

// Replies the host dropped itself (its receive buffer overflowed) are not
// the path's loss: a stream that had some is not judged, and the answer
// comes from the others.
TEST(Estimate, LocalDropsAreNotThePathsLoss) {
    simpath::Path sim(bottleneck(50e6, 15e6));
    avl_path p = sim.path();
    static int sends;
    sends = 0;
    p.send = [](void* self, int count, int size, const int64_t* at, int64_t* depart, int64_t* arrive,
                int64_t wait) -> int {
        ++sends;
        const avl_path inner = static_cast<simpath::Path*>(self)->path();
        const int got = inner.send(self, count, size, at, depart, arrive, wait);
        // Every fourth stream's last replies were dropped here, not on the path.
        if (sends % 4 == 0 && count > 10) {
            for (int i = count - count / 3; i < count; ++i) arrive[i] = AVL_LOST;
            return got - count / 3;
        }
        return got;
    };
    p.overflows = [](void*) { return sends % 4 == 0 ? 1 : 0; };
    avl_result r;
    ASSERT_EQ(avl_measure_path(&p, nullptr, &r, nullptr, nullptr), 0) << r.reason;
    int dropped = 0;
    for (int i = 0; i < r.nstreams; ++i)
        if ((i + 1) % 4 == 0 && r.streams[i].kind == AVL_KIND_SEARCH) {
            EXPECT_EQ(r.streams[i].void_stream, 1) << "stream " << i;
            ++dropped;
        }
    EXPECT_GT(dropped, 0);
    EXPECT_NEAR(r.available_bps, sim.freeRate(r.packet_bytes), 0.1 * sim.freeRate(r.packet_bytes));
    avl_free_result(&r);
}

// The library's interface: a caller may stop a measurement from its
// progress callback, and a caller built against the first, shorter result
// struct gets no byte written past it.
TEST(Estimate, CallersCanStopItAndKeepTheirStructs) {
    simpath::Path sim(bottleneck(50e6, 15e6));
    const avl_path p = sim.path();
    int calls = 0;
    avl_result r;
    const int status = avl_measure_path(
        &p, nullptr, &r, [](void* context, const avl_result*) { return ++*static_cast<int*>(context) == 3 ? 1 : 0; },
        &calls);
    EXPECT_EQ(status, AVL_NO_ESTIMATE);
    EXPECT_EQ(r.failure, AVL_FAIL_CANCELLED);
    EXPECT_EQ(r.nstreams, 3);
    EXPECT_EQ(calls, 3);
    EXPECT_STREQ(r.reason, "cancelled by the caller");
    avl_free_result(&r);

    // The first release's struct ended with round_ranges.
    const size_t first = offsetof(avl_result, failure);
    std::vector<unsigned char> bytes(sizeof(avl_result) + 16, 0xAB);
    avl_result* older = reinterpret_cast<avl_result*>(bytes.data());
    simpath::Path again(bottleneck(50e6, 15e6));
    const avl_path q = again.path();
    ASSERT_EQ(avl_measure_path_sized(&q, nullptr, older, first, nullptr, nullptr), 0);
    EXPECT_GT(older->available_bps, 0);
    for (size_t i = first; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], 0xAB) << "byte " << i << " written";
    avl_free_result_sized(older, first);
    for (size_t i = first; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], 0xAB) << "byte " << i << " cleared";
}

}  // namespace
