// SPDX-License-Identifier: MIT
// The estimator on a real path: a 50 Mbit/s bottleneck carrying 15 Mbit/s of
// steady cross traffic, whose free rate the shaper's own counters tell, from
// the library and from the program over IPv6 and as an ordinary user; a
// network a router says is unreachable; and a host that limits its echo
// replies.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
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

    // A run without an estimate (a budget that ran out while others' bursts
    // kept the range wide) counts as a miss.
    std::vector<double> ratios, capacities;
    std::string seen;
    PinnedToFirstProcessor pinned;
    for (int run = 0; run < 5; ++run) {
        ASSERT_TRUE(lab.enterClient());
        avl_result r;
        const int status = avl_measure(tsltest::Lab::kTarget, nullptr, &r, nullptr, nullptr);
        ASSERT_TRUE(lab.leave());
        ASSERT_GE(status, 0) << r.reason;
        capacities.push_back(r.capacity_bps);
        if (status != 0) {
            ratios.push_back(0);
            seen += std::string("no estimate: ") + r.reason + "\n";
            avl_free_result(&r);
            continue;
        }
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
        EXPECT_LE(r.probe_bytes, 3000000) << "the automatic budget grows to 3 MB at most";
        avl_free_result(&r);
    }
    // The lab's cross traffic and shaper on a machine of two processors
    // leave the free rate lower for seconds now and then (runs then read a
    // fifth to a third low, and their ranges miss the counters' two seconds
    // before): the median of five runs is judged, against gross faults; the
    // accuracy itself is the simulated paths' tests' and the benches' to tell.
    std::sort(ratios.begin(), ratios.end());
    EXPECT_NEAR(ratios[2], 1.0, 0.35) << seen;
    // The train's dispersion reads the shaper a few percent low, more so in
    // a build with the sanitizers, whose receive path is slower (all five
    // runs of one full test run read 43.2 to 43.6 against 49.5).
    std::sort(capacities.begin(), capacities.end());
    std::string read;
    for (double c : capacities) read += " " + std::to_string(c / 1e6);
    EXPECT_NEAR(capacities[2], kRate * 1500 / 1514, 0.15 * kRate) << "dispersion reads the capacity:" << read;
}

// The bottleneck's free rate at the link layer, from the shaper's counters.
double freeLink(tsltest::Lab& lab) {
    const auto measured = tsltest::runProgram({"bash", TSL_LAB_SH, "free", lab.name(), "2"}, 10);
    return measured.status == 0 ? std::stod(measured.out) * 1e6 : 0;
}

// A line of the client namespace's own hosts file (ip netns exec puts it in
// place of /etc/hosts), removed again with the object.
struct ClientHosts {
    std::filesystem::path dir;
    ClientHosts(const tsltest::Lab& lab, const std::string& line) : dir("/etc/netns/" + lab.name() + "-c") {
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "hosts") << line << "\n";
    }
    ~ClientHosts() { std::filesystem::remove_all(dir); }
};

// availbw as run by hand in the client, on the first processor.
tsltest::RunResult availbw(tsltest::Lab& lab, std::vector<std::string> args, bool ordinaryUser = false) {
    std::vector<std::string> argv = {"taskset", "-c", "0"};
    if (ordinaryUser)
        argv.insert(argv.end(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=-all",
                                 "--bounding-set=-all"});
    argv.push_back(AVAILBW_BIN);
    argv.insert(argv.end(), args.begin(), args.end());
    return lab.runInClient(argv, 60);
}

TEST(AvailableLab, Ipv6AndOrdinaryUsersGetTheSameAnswer) {
    const int processors = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
    tsltest::Lab lab({.rateMbit = 50, .crossMbit = 15, .steerCpu = processors > 1 ? processors - 1 : -1,
                      .pingUsers = true});
    TSL_REQUIRE_LAB(lab);
    const double link = freeLink(lab);
    ASSERT_GT(link, 25e6) << "the cross traffic is not flowing as set";
    const std::string target6 = tsltest::Lab::address("target", AF_INET6);
    ClientHosts hosts(lab, target6 + " lab-target");
    struct Run { std::vector<std::string> args; bool user; const char* address; } runs[] = {
        {{"-6", target6}, false, "2001:2:0:1::2"},
        {{"lab-target"}, false, "2001:2:0:1::2"},  // a name with an IPv6 address only
        {{tsltest::Lab::kTarget}, true, tsltest::Lab::kTarget},
    };
    std::vector<double> ratios;
    std::string seen;
    for (const Run& run : runs) {
        std::vector<std::string> args = {"--json", "-q"};
        args.insert(args.end(), run.args.begin(), run.args.end());
        // Others' bursts may keep a range wide until the budget runs out
        // (status 2): a second try then.
        tsltest::RunResult r = availbw(lab, args, run.user);
        if (r.status == 2) r = availbw(lab, args, run.user);
        ASSERT_EQ(r.status, 0) << run.args.back() << (run.user ? " as an ordinary user: " : ": ") << r.err;
        const nlohmann::json j = nlohmann::json::parse(r.out);
        EXPECT_EQ(j["address"], run.address);
        const int bytes = j["packet_bytes"].get<int>();
        const double truth = link * bytes / (bytes + 14);
        ratios.push_back(j["available_bps"].get<double>() / truth);
        seen += run.args.back() + ": " + std::to_string(ratios.back()) + "\n";
    }
    // Each family and socket kind answers; the lab's free rate stays lower
    // for seconds now and then (see above), so the median is held to a third.
    std::sort(ratios.begin(), ratios.end());
    EXPECT_NEAR(ratios[1], 1, 0.35) << seen;
    // The name has no IPv4 address.
    const tsltest::RunResult v4 = availbw(lab, {"-4", "lab-target"});
    EXPECT_EQ(v4.status, 1);
    EXPECT_EQ(v4.err, "availbw: lab-target has no IPv4 address\n");
}

TEST(AvailableLab, AnUnreachableNetworkIsReportedWithTheRouterThatSaidSo) {
    tsltest::Lab lab;
    TSL_REQUIRE_LAB(lab);
    const tsltest::RunResult r = availbw(lab, {"--json", "-q", "--max-time", "2", "198.18.7.7"});
    EXPECT_EQ(r.status, 2) << r.err;
    const nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["failure"], "unreachable") << r.out;
    EXPECT_NE(j["reason"].get<std::string>().find("198.18.0.254 says: destination network unreachable"),
              std::string::npos)
        << j["reason"];
    EXPECT_NE(r.err.find("198.18.0.254 says: destination network unreachable"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("lets it go on"), std::string::npos) << "no budget hint: " << r.err;
}

TEST(AvailableLab, AHostThatLimitsItsEchoRepliesIsNamed) {
    tsltest::Lab lab({.rateMbit = 50, .echoLimitPps = 3000});
    TSL_REQUIRE_LAB(lab);
    const tsltest::RunResult r = availbw(lab, {"--json", "-q", tsltest::Lab::kTarget});
    EXPECT_EQ(r.status, 2) << r.out;
    const nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_TRUE(j["available_bps"].is_null());
    const std::string reason = j["reason"].get<std::string>();
    int perSecond = 0;
    ASSERT_EQ(std::sscanf(reason.c_str(), "the host limits its echo replies to about %d a second", &perSecond), 1)
        << reason;
    EXPECT_NEAR(perSecond, 3000, 900) << reason;
    EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
}

// Four TCP bulk flows keep the 50 Mbit/s bottleneck full and leave next to
// nothing unused: no run gives a figure above the unused rate and a tenth
// of the capacity (narrow ranges at a third of the capacity, as runs once
// gave, fail).
TEST(AvailableLab, CrossTrafficThatYieldsIsNamed) {
    const int processors = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
    tsltest::Lab lab({.rateMbit = 50, .steerCpu = processors > 1 ? processors - 1 : -1, .tcpFlows = 4});
    TSL_REQUIRE_LAB(lab);
    // The flows reach their rate within a second or two of starting; on a
    // busy machine they may leave more unused, and the bound below follows.
    // Without flows through it, 49 Mbit/s would be free, and no figure could
    // fail the bound: they must take more than half.
    const double first = freeLink(lab);
    const double unused = std::min(first, freeLink(lab));
    ASSERT_LT(unused, 25e6) << "no TCP flows through the bottleneck";
    int named = 0;
    std::string seen;
    for (int run = 0; run < 3; ++run) {
        const tsltest::RunResult r = availbw(lab, {"--json", "-q", tsltest::Lab::kTarget});
        const nlohmann::json j = nlohmann::json::parse(r.out);
        seen += std::string(j["elastic"] == true ? "yields" : "") + " " + j["reason"].dump() + " " +
                j["available_bps"].dump() + "\n";
        named += j["elastic"] == true;
        if (!j["available_bps"].is_null()) {
            EXPECT_LE(j["available_bps"].get<double>(), unused + 5e6) << r.out;
        } else {
            EXPECT_EQ(r.status, 2) << r.out;
        }
    }
    // Naming them is a statistical sign (found in 3 to 9 runs of 10 in the
    // lab's bench, varying with the flows' state): judged on simulated paths
    // and in the bench, recorded here.
    RecordProperty("named", named);
    RecordProperty("runs", seen);
}

}  // namespace
