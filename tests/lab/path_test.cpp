// SPDX-License-Identifier: MIT
// The lab's path conditions measured from outside, with ping and the kernel's
// own counters: IPv6 through the router and its shaper, the target's echo
// limit, the policer, loss in one direction, the narrow hop and echo sockets
// for ordinary users.  Needs root and ping.

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "lab.h"

namespace {

using tsltest::Lab;
using tsltest::RunResult;

RunResult labSh(std::vector<std::string> args) {
    args.insert(args.begin(), {"bash", TSL_LAB_SH});
    return tsltest::runProgram(args, 60);
}

// The number that follows key in text (from position from on), or -1.
long long after(const std::string& text, const std::string& key, size_t from = 0) {
    const size_t at = text.find(key, from);
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + key.size());
}

// Bytes sent by the token bucket that `tc -s -j qdisc show` printed, or -1.
long long tbfBytes(const RunResult& tc) {
    const size_t tbf = tc.out.find("\"kind\":\"tbf\"");
    return tbf == std::string::npos ? -1 : after(tc.out, "\"bytes\":", tbf);
}

RunResult routerQdisc(Lab& lab, const char* dev) { return lab.runInRouter({"tc", "-s", "-j", "qdisc", "show", "dev", dev}); }

// COUNT echo requests of SIZE data bytes from the client to the target, all
// at once; ping waits 0.3 s for the replies.
RunResult pingBurst(Lab& lab, int family, int count, int size = 56) {
    return lab.runInClient({"ping", family == AF_INET6 ? "-6" : "-4", "-q", "-l", std::to_string(count), "-c",
                            std::to_string(count), "-s", std::to_string(size), "-W", "0.3",
                            Lab::address("target", family)},
                           10);
}

int received(const RunResult& ping) {
    const auto n = tsltest::numbersOf(ping.out, "%*d packets transmitted, %d received");
    return n.empty() ? -1 : n[0];
}

TEST(LabScript, RefusesBadValuesOfThePathOptions) {
    TSL_REQUIRE_ROOT("for namespaces");
    const std::string name = "tslopt" + std::to_string(getpid());
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--rate", "10", "--narrow", "0"}, "--narrow"},  {{"--rate", "10", "--narrow", "10"}, "--narrow"},
        {{"--narrow", "5"}, "--narrow"},                  {{"--police"}, "--police"},
        {{"--loss", "1.55"}, "--loss"},                   {{"--loss", "100.1"}, "--loss"},
        {{"--loss", "5", "--loss-on", "up"}, "--loss-on"}, {{"--echo-limit", "0"}, "--echo-limit"},
        {{"--echo-limit", "ten"}, "--echo-limit"},        {{"--echo-burst", "0"}, "--echo-burst"},
    };
    for (const auto& [args, option] : cases) {
        std::vector<std::string> argv = {"up", name};
        argv.insert(argv.end(), args.begin(), args.end());
        const RunResult r = labSh(argv);
        EXPECT_EQ(r.status, 1) << option;
        EXPECT_NE(r.err.find(option + " "), std::string::npos) << r.err;
        EXPECT_NE(access(("/run/netns/" + name + "-c").c_str(), F_OK), 0) << option;
    }
    const RunResult r = labSh({"free", name, "1", "--ip", "20"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--ip "), std::string::npos) << r.err;
    labSh({"down", name});
}

TEST(LabNetwork, Ipv6CrossesTheRouterAndItsShaper) {
    Lab lab({.rateMbit = 10});
    TSL_REQUIRE_LAB(lab);
    const RunResult r = pingBurst(lab, AF_INET6, 3);
    EXPECT_EQ(received(r), 3) << r.out << r.err;
    // The shaper has sent three echo replies (14 bytes Ethernet, 40 IPv6, 8
    // ICMPv6, 56 data) and nothing else since the links came up.
    EXPECT_EQ(tbfBytes(routerQdisc(lab, "r0")), 3 * 118);
}

TEST(LabNetwork, TargetLimitsEchoRequestsOfEachFamily) {
    Lab lab({.echoLimitPps = 100});
    TSL_REQUIRE_LAB(lab);
    // 200 at once: the burst of 5, and about one more per 10 ms they take.
    for (int family : {AF_INET, AF_INET6}) {
        const int got = received(pingBurst(lab, family, 200));
        EXPECT_GE(got, 5) << family;
        EXPECT_LE(got, 15) << family;
    }
}

TEST(LabNetwork, PolicerDropsAboveItsRateWithoutQueueing) {
    Lab lab({.rateMbit = 1.024, .police = true});
    TSL_REQUIRE_LAB(lab);
    // Replies of 1042 bytes on the link.  Of 300 at once the bucket (4542
    // bytes) passes four, one waits for tokens and the rest are dropped: none
    // waits longer than a frame's time at the rate (8.1 ms).
    const RunResult first = pingBurst(lab, AF_INET, 300, 1000);
    EXPECT_NEAR(received(first), 5, 1) << first.out;
    const auto worst = tsltest::numbersOf(first.out, "rtt min/avg/max/mdev = %*f/%*f/%d");
    ASSERT_EQ(worst.size(), 1u) << first.out;
    EXPECT_LE(worst[0], 12) << "queued instead of dropped";
    // A pause lets the bucket fill, never beyond its size.
    usleep(300000);
    const RunResult second = pingBurst(lab, AF_INET, 300, 1000);
    EXPECT_NEAR(received(second), 5, 1) << second.out;
    const RunResult tc = routerQdisc(lab, "r0");
    EXPECT_EQ(after(tc.out, "\"drops\":", tc.out.find("\"kind\":\"tbf\"")), 600 - received(first) - received(second))
        << tc.out;
}

TEST(LabNetwork, LossFallsOnTheChosenDirectionOnly) {
    for (const char* direction : {"requests", "replies"}) {
        Lab lab({.lossPct = 49.5, .lossOn = direction});
        TSL_REQUIRE_LAB(lab);
        const int replies = received(pingBurst(lab, AF_INET, 200)) + received(pingBurst(lab, AF_INET6, 200));
        const std::string stats = lab.runInTarget({"nstat", "-asz", "IcmpInEchos", "Icmp6InEchos"}).out;
        const long long arrived = after(stats, "IcmpInEchos") + after(stats, "Icmp6InEchos");
        const long long lost = after(lab.runInRouter({"nft", "list", "counter", "inet", "lab", "lost"}).out, "packets ");
        EXPECT_NEAR(lost, 198, 60) << direction;
        EXPECT_EQ(arrived, std::string(direction) == "requests" ? 400 - lost : 400) << direction << stats;
        EXPECT_EQ(replies, 400 - lost) << direction;
    }
}

TEST(LabNetwork, NarrowHopComesBeforeTheBottleneckWithoutCrossTraffic) {
    Lab lab({.rateMbit = 50, .narrowMbit = 20, .crossMbit = 10});
    TSL_REQUIRE_LAB(lab);
    const RunResult hop = lab.runInTarget({"tc", "-s", "-j", "qdisc", "show", "dev", "t0"});
    EXPECT_NE(hop.out.find("\"rate\":2500000,"), std::string::npos) << hop.out;
    EXPECT_EQ(tbfBytes(hop), 0);
    EXPECT_EQ(received(pingBurst(lab, AF_INET, 10, 1000)), 10);
    // Through the narrow hop went the ten replies (14 + 20 + 8 + 1000 bytes),
    // and nothing else; the wide one carries the cross traffic (1242 bytes per
    // 1200 of payload) and its free rate is what `free` reports, over the
    // time between its readings.  Over a quarter second divided by that
    // quarter alone, it read 1.5 to 2.8 Mbit/s low where the readings took
    // some 40 ms; a busy machine's sender may fall behind, never ahead.
    EXPECT_EQ(tbfBytes(lab.runInTarget({"tc", "-s", "-j", "qdisc", "show", "dev", "t0"})), 10 * 1042);
    const RunResult before = labSh({"others", lab.name()});
    const RunResult free = labSh({"free", lab.name(), "0.25"});
    const RunResult after = labSh({"others", lab.name()});
    const double expected = 50 - 10 * 1242.0 / 1200;
    EXPECT_GT(std::atof(free.out.c_str()), expected - 1.2) << free.out << free.err;
    EXPECT_LT(std::atof(free.out.c_str()), expected + 4) << free.out << free.err;
    // `others` counts the cross traffic at its sink: 1228 IP bytes each, at
    // 10 Mbit/s of payload, and the bottleneck's rate in link bytes.
    double t0, t1, rate;
    long long p0, p1, b0, b1;
    ASSERT_EQ(std::sscanf(before.out.c_str(), "%lf %lf %lld %lld", &t0, &rate, &p0, &b0), 4) << before.out << before.err;
    ASSERT_EQ(std::sscanf(after.out.c_str(), "%lf %*f %lld %lld", &t1, &p1, &b1), 3) << after.out << after.err;
    EXPECT_EQ(rate, 50e6 / 8);
    EXPECT_EQ(b1 - b0, (p1 - p0) * 1228);
    EXPECT_NEAR((b1 - b0) * 8 / (t1 - t0), 10e6 * 1228 / 1200, 1.5e6) << before.out << after.out;
}

TEST(LabNetwork, PingUsersLetsOrdinaryUsersSendEchoRequests) {
    for (bool open : {false, true}) {
        Lab lab({.pingUsers = open});
        TSL_REQUIRE_LAB(lab);
        for (int family : {AF_INET, AF_INET6}) {
            // ping starts from env, a program without capabilities, so that
            // it has none: setpriv keeps its own across the exec, and ping's
            // file capability would then open a raw socket.
            const RunResult r = lab.runInClient({"setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups",
                                                 "--no-new-privs", "env", "ping", family == AF_INET6 ? "-6" : "-4",
                                                 "-c", "1", "-W", "1", Lab::address("target", family)},
                                                10);
            EXPECT_EQ(r.status == 0, open) << family << ": " << r.out << r.err;
        }
    }
}

}  // namespace
