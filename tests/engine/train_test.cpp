// SPDX-License-Identifier: MIT
// Whole trains from a real process on loopback, and the engine's fatal paths.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>

#include "run.h"

namespace {

using tsltest::countOf;
using tsltest::numbersOf;
using tsltest::runProgram;

TEST(LoopbackTrain, EveryReplyBackInOrderWithItsRoute) {
    TSL_REQUIRE_ROOT("for the raw socket");
    auto r = runProgram({TRAIN_DRIVER, "127.0.0.1", "10", "600", "5", "2"}, 30);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(countOf(r.out, " ++ lost ++"), 0);
    EXPECT_EQ(countOf(r.out, "RESULT rc=0 flags=3 paths=1\n"), 1) << r.out;
    EXPECT_EQ(countOf(r.out, "RESULT rc=0 flags=3 paths=0\n"), 1) << "a known route is not new";
    EXPECT_EQ(countOf(r.out, "Routes: 1\nvia:\n\t127.0.0.1\n"), 1);
    EXPECT_EQ(countOf(r.out, "Routes: 0\nvia:\n\t127.0.0.1\n"), 1) << "the route list spans the process";
    EXPECT_EQ(countOf(r.out, "Timeout exceeded."), 0);

    // The engine's table lines: ten triples of 600, a departure and an arrival, then the suffix.
    int tables = 0, n = 0;
    for (const auto& line : tsltest::splitLines(r.out)) {
        if (line.rfind("* ", 0) == 0) {
            std::istringstream in(line.substr(2));
            int size, depart, arrive, triples = 0;
            while (in >> size >> depart >> arrive) {
                EXPECT_EQ(size, 600);
                EXPECT_GE(arrive, depart);
                ++triples;
            }
            EXPECT_EQ(triples, 10);
            EXPECT_EQ(line.substr(line.size() - 11), " SEQOK  RR ");
            ++tables;
        }
        int seq, depart, arrive, order;
        if (std::sscanf(line.c_str(), "PKT %d bytes=600 depart=%d arrive=%d order=%d", &seq, &depart, &arrive,
                        &order) == 4) {
            EXPECT_GE(arrive, depart);
            EXPECT_EQ(order, 1);
            ++n;
        }
    }
    EXPECT_EQ(tables, 2);
    EXPECT_EQ(n, 20);
}

TEST(LoopbackTrain, EmptyTrainStillReports) {
    TSL_REQUIRE_ROOT("for the raw socket");
    auto r = runProgram({TRAIN_DRIVER, "127.0.0.1", "0", "600", "5"}, 30);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "\n*  SEQOK  NORR \nRoutes: 0\nNo packets with routing info received\nRESULT rc=0 flags=2 paths=0\n");
}

TEST(LoopbackTrain, NoReplyEndsAtTheTimeOut) {
    // A private namespace whose kernel ignores echo requests: nothing answers.
    TSL_REQUIRE_ROOT("for a private network namespace");
    std::string cmd = "ip link set lo up && sysctl -qw net.ipv4.icmp_echo_ignore_all=1 && exec " +
                      std::string(TRAIN_DRIVER) + " 127.0.0.1 10 600 2 1 0";
    const auto start = std::chrono::steady_clock::now();
    auto r = runProgram({"unshare", "--net", "sh", "-c", cmd}, 30);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_GE(took.count(), 2.0) << "the wait lasts the time-out's 2 s";
    EXPECT_LT(took.count(), 3.5) << "and ends then";
    EXPECT_EQ(countOf(r.out, "Timeout exceeded.\n"), 1);
    EXPECT_EQ(countOf(r.out, " ++ lost ++\n"), 10);
    EXPECT_EQ(countOf(r.out, "arrive=-1 "), 10);
    EXPECT_EQ(countOf(r.out, "RESULT rc=0 flags=2 paths=0\n"), 1);
    // The time-out line comes after the requests' own descriptions, before the report.
    EXPECT_LT(r.out.rfind("Echo Request\n"), r.out.find("Timeout exceeded.\n"));
    EXPECT_LT(r.out.find("Timeout exceeded.\n"), r.out.find("pkt 0:"));
    EXPECT_EQ(countOf(r.out, "HANDLER kept ALARMS 0\n"), 1) << "the caller's handler is back, no alarm leaked";
}

TEST(LoopbackTrain, CountAndSizesBeyondTheLimitsAreClamped) {
    // 12 packets asked for, sizes below 0, below 4 and above 65467.  The
    // sanitizers end the driver on any access past the engine's tables or
    // the driver's arrays of exactly 12 entries.
    TSL_REQUIRE_ROOT("for the raw socket");
    auto r = runProgram({TRAIN_DRIVER, "127.0.0.1", "12", "-5,0,3,4,65467,65468,70000,600", "1"}, 30);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(numbersOf(r.out, "pkt %d: ").size(), 10u) << "the report of 10 packets";
    EXPECT_EQ(numbersOf(r.out, "PKT %*d bytes=%d "),
              (std::vector<int>{0, 0, 3, 4, 65467, 65468, 65528, 600, 600, 600, -7, -7}))
        << "sizes as sent; entries from 10 on left alone";
    // No send stamp in fewer than 4 bytes: no reply taken.  More than 65467
    // bytes do not fit in a datagram: the send fails and says so.
    std::vector<int> lost;
    const auto arrivals = numbersOf(r.out, "PKT %*d bytes=%*d depart=%*d arrive=%d ");
    for (size_t i = 0; i < arrivals.size(); ++i)
        if (arrivals[i] == -1) lost.push_back(static_cast<int>(i));
    EXPECT_EQ(lost, (std::vector<int>{0, 1, 2, 5, 6, 10, 11})) << r.out;
    EXPECT_EQ(countOf(r.err, "error: tried to write "), 2) << r.err;
    EXPECT_EQ(countOf(r.out, "depart=-7 "), 2);
}

TEST(LoopbackTrain, NoAlarmOutlivesAQuickTrain) {
    // Trains whose replies all come well before a 1-second time-out; then the
    // program waits 1.5 s: no alarm may strike it, and its own handler stays.
    TSL_REQUIRE_ROOT("for the raw socket");
    auto r = runProgram({TRAIN_DRIVER, "127.0.0.1", "10", "600", "1", "2", "1500"}, 30);
    ASSERT_EQ(r.status, 0) << r.err << " signal " << r.signal;
    EXPECT_EQ(countOf(r.out, "Timeout exceeded."), 0);
    EXPECT_EQ(countOf(r.out, "HANDLER kept ALARMS 0\n"), 1);
}

TEST(FatalPaths, UnknownHostEndsBeforeAnyPacket) {
    // In a network namespace of its own the resolver cannot reach anything,
    // so the lookup fails at once and no query leaves the machine.
    TSL_REQUIRE_ROOT("for a private network namespace");
    auto r = runProgram({"unshare", "--net", TRAIN_DRIVER, "no.such.host.invalid", "10", "600", "5"}, 30);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "train_driver: unknown host: no.such.host.invalid\n");

    std::string longName(120, 'x');
    r = runProgram({"unshare", "--net", TRAIN_DRIVER, longName, "10", "600", "5"}, 30);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "train_driver: unknown host: " + longName.substr(0, 79 - 14) + "\n")
        << "the error text is cut to its 80 characters";
}

TEST(FatalPaths, NoRawSocketWithoutPrivilege) {
    TSL_REQUIRE_ROOT("to drop to an unprivileged user");
    auto r = runProgram({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=-all",
                         "--bounding-set=-all", TRAIN_DRIVER, "127.0.0.1", "10", "600", "5"},
                        30);
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.err, "tsl: socket: Operation not permitted\n");
    EXPECT_EQ(r.out, "");
}

}  // namespace
