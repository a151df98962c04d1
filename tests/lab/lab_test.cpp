// SPDX-License-Identifier: MIT
// The lab itself: lab.sh up/down/clean, the fixture, loss, the bottleneck and
// the scripted responder on a real path (the engine's lab tests cover TTL
// expiry, unreachable hosts and the kernel's own echo).  Needs root; skips without it.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "lab.h"
#include "packets.h"

namespace {

using tsllab::ByteView;
using tsllab::Bytes;
using tsltest::Lab;
using tsltest::LabOptions;

constexpr std::uint16_t kIdent = 0x414c;

bool nsExists(const std::string& ns) {
    struct stat st;
    return stat(("/run/netns/" + ns).c_str(), &st) == 0;
}

bool anyNamespaceOf(const std::string& lab) {
    return nsExists(lab + "-c") || nsExists(lab + "-r") || nsExists(lab + "-t");
}

tsltest::RunResult labSh(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"bash", TSL_LAB_SH};
    argv.insert(argv.end(), args.begin(), args.end());
    return tsltest::runProgram(argv, 60);
}

std::string addrsOf(const char* a, const char* b, const char* c, const char* d, const char* e, const char* f) {
    std::string bytes;
    for (const char* s : {a, b, c, d, e, f}) {
        in_addr_t v = inet_addr(s);
        bytes.append(reinterpret_cast<const char*>(&v), 4);
    }
    return bytes;
}

// The route that a reply over the lab records: the client as it sends, the
// router toward the target, the target as it receives and as it answers, the
// router toward the client, the client as it receives.
const std::string kRoundTrip =
    addrsOf("198.18.0.1", "198.18.1.254", "198.18.1.2", "198.18.1.2", "198.18.0.254", "198.18.0.1");

struct Arrival {
    Bytes datagram;
    double at = 0;  // kernel receive time, seconds
    std::size_t headerLen() const { return (datagram[0] & 0x0f) * 4u; }
    ByteView icmp() const { return ByteView(datagram).subspan(headerLen()); }
};

// A raw ICMP socket in the lab's client namespace that sends echo requests
// with the 40-byte record-route option, as the probing tools do.
class Prober {
public:
    explicit Prober(Lab& lab) {
        if (!lab.enterClient()) return;
        fd_ = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
        lab.leave();
        if (fd_ < 0) return;
        Bytes rr(40, 0);
        rr[0] = tsllab::kOptRecordRoute;
        rr[1] = 39;
        rr[2] = 4;
        int on = 1;
        if (setsockopt(fd_, IPPROTO_IP, IP_OPTIONS, rr.data(), rr.size()) != 0 ||
            setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Prober() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    bool send(const char* to, std::uint16_t seq, std::size_t dataLen) {
        Bytes data(dataLen, 0);
        for (std::size_t i = 4; i < dataLen; ++i) data[i] = static_cast<std::uint8_t>(i + 4);
        Bytes icmp = tsllab::buildIcmp(tsllab::kIcmpEchoRequest, 0, {0, 0, 0, 0}, data);
        tsllab::writeHost16(icmp, 4, kIdent);
        tsllab::writeHost16(icmp, 6, seq);
        tsllab::fixIcmpChecksum(icmp);
        sockaddr_in dst{};
        dst.sin_family = AF_INET;
        dst.sin_addr.s_addr = inet_addr(to);
        return sendto(fd_, icmp.data(), icmp.size(), 0, reinterpret_cast<sockaddr*>(&dst), sizeof dst) ==
               static_cast<ssize_t>(icmp.size());
    }

    // Collects ICMP datagrams until `want` of them satisfy keep, or
    // timeoutMs passes; returns the kept ones.
    template <typename Keep>
    std::vector<Arrival> receive(std::size_t want, int timeoutMs, Keep keep) {
        std::vector<Arrival> got;
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        while (got.size() < want) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            int left = timeoutMs - static_cast<int>((now.tv_sec - start.tv_sec) * 1000 +
                                                    (now.tv_nsec - start.tv_nsec) / 1000000);
            pollfd pfd{fd_, POLLIN, 0};
            if (left <= 0 || poll(&pfd, 1, left) <= 0) break;
            Arrival a;
            a.datagram.resize(65536);
            char control[256];
            iovec iov{a.datagram.data(), a.datagram.size()};
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            ssize_t n = recvmsg(fd_, &msg, 0);
            if (n < 28) continue;
            a.datagram.resize(static_cast<std::size_t>(n));
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec ts;
                    std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                    a.at = ts.tv_sec + ts.tv_nsec / 1e9;
                }
            if (a.headerLen() + 8 <= a.datagram.size() && keep(a)) got.push_back(std::move(a));
        }
        return got;
    }

private:
    int fd_ = -1;
};

bool isOurReply(const Arrival& a) {
    return a.icmp()[0] == tsllab::kIcmpEchoReply && tsllab::readHost16(a.icmp(), 4) == kIdent;
}

// The addresses recorded in a reply's record-route option, up to its pointer.
std::string recordedRoute(const Arrival& a) {
    if (a.headerLen() < 60 || a.datagram[20] != tsllab::kOptRecordRoute) return "(no route option)";
    const std::size_t ptr = std::min<std::size_t>(a.datagram[22], 40);
    return ptr <= 4 ? "" : std::string(a.datagram.begin() + 23, a.datagram.begin() + 23 + (ptr - 4));
}

TEST(LabScript, UpMakesThreeHostsAndDownRemovesThem) {
    std::string name;
    {
        Lab lab;
        TSL_REQUIRE_LAB(lab);
        name = lab.name();
        EXPECT_TRUE(nsExists(name + "-c") && nsExists(name + "-r") && nsExists(name + "-t"));
        auto addr = lab.runInClient({"ip", "-4", "-o", "addr", "show", "dev", "c0"});
        EXPECT_NE(addr.out.find("198.18.0.1/24"), std::string::npos) << addr.out << addr.err;
        auto route = lab.runInTarget({"ip", "route", "show", "default"});
        EXPECT_NE(route.out.find("via 198.18.1.254"), std::string::npos) << route.out;
        auto fwd = lab.runInRouter({"cat", "/proc/sys/net/ipv4/ip_forward"});
        EXPECT_EQ(fwd.out, "1\n");
        // Nothing in the root namespace.
        EXPECT_NE(tsltest::runProgram({"ip", "link", "show", "dev", "r0"}).status, 0);
    }
    EXPECT_FALSE(anyNamespaceOf(name));
    // Down again is harmless.
    EXPECT_EQ(labSh({"down", name}).status, 0);
}

TEST(LabScript, RefusesBadArgumentsAndCleansUpAFailedUp) {
    TSL_REQUIRE_ROOT("for namespaces");
    const std::string name = "tslfail" + std::to_string(getpid());
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"up", name, "--rate", "fast"}, {"up", name, "--loss", "101"}, {"up", name, "--burst", "100"},
             {"up", name, "--colour"}, {"up", "bad-name"}, {"exec", name, "client", "true"}}) {
        auto r = labSh(bad);
        EXPECT_NE(r.status, 0) << bad[0] << " " << bad[1];
        EXPECT_FALSE(r.err.empty()) << bad[0] << " " << bad[1];
    }
    EXPECT_FALSE(anyNamespaceOf(name));

    // A tc that fails half-way through up: what up made is gone again.
    char dir[] = "/tmp/tsl-lab-fake-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fakeTc = std::string(dir) + "/tc";
    std::ofstream(fakeTc) << "#!/bin/sh\necho 'no qdisc today' >&2\nexit 1\n";
    chmod(fakeTc.c_str(), 0755);
    auto r = tsltest::runShell("PATH=" + std::string(dir) + ":$PATH bash " TSL_LAB_SH " up " + name + " --rate 10");
    unlink(fakeTc.c_str());
    rmdir(dir);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("no qdisc today"), std::string::npos) << r.err;
    EXPECT_FALSE(anyNamespaceOf(name));
    labSh({"down", name});
}

// The name the fixture gives the first lab of a process that has died.
std::string labOfADeadProcess() {
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    if (dead < 0) return "";
    waitpid(dead, nullptr, 0);
    return "tsl" + std::to_string(dead) + "n0";
}

TEST(LabScript, CleanRemovesLabsOfDeadProcesses) {
    TSL_REQUIRE_ROOT("for namespaces");
    const std::string stale = labOfADeadProcess();
    ASSERT_FALSE(stale.empty());
    const std::string alive = "tsl" + std::to_string(getpid()) + "n999";
    ASSERT_EQ(labSh({"up", stale}).status, 0);
    ASSERT_EQ(labSh({"up", alive}).status, 0);
    EXPECT_EQ(labSh({"clean"}).status, 0);
    EXPECT_FALSE(anyNamespaceOf(stale));
    EXPECT_TRUE(nsExists(alive + "-c"));  // its process still runs
    labSh({"down", alive});
    labSh({"down", stale});
    EXPECT_FALSE(anyNamespaceOf(alive));
}

TEST(LabScript, CleanWaitsForALabBeingMade) {
    // A lab named for a dead process, caught half-made by a clean: a tc that
    // stalls holds up at the shaping step while the clean runs.
    TSL_REQUIRE_ROOT("for namespaces");
    const std::string name = labOfADeadProcess();
    ASSERT_FALSE(name.empty());
    char dir[] = "/tmp/tsl-lab-slow-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d = dir, tc = tsltest::splitLines(tsltest::runShell("command -v tc").out).at(0);
    std::ofstream(d + "/tc") << "#!/bin/sh\ntouch " << d << "/in-tc\nsleep 1\nexec " << tc << " \"$@\"\n";
    chmod((d + "/tc").c_str(), 0755);
    auto r = tsltest::runShell("PATH=" + d + ":$PATH bash " TSL_LAB_SH " up " + name + " --rate 10 & up=$!; " +
                               "for i in $(seq 200); do [ -e " + d + "/in-tc ] && break; sleep 0.05; done; " +
                               "bash " TSL_LAB_SH " clean; wait $up");
    EXPECT_EQ(access((d + "/in-tc").c_str(), F_OK), 0) << "up never reached tc";
    tsltest::runShell("rm -rf " + d);
    EXPECT_EQ(r.status, 0) << "up was cut short: " << r.err;
    labSh({"clean"});
    EXPECT_FALSE(anyNamespaceOf(name));
}

TEST(LabFixture, LabLeftByAKilledProcessWithTheSamePidMakesWay) {
    std::string next;
    {
        Lab first;
        TSL_REQUIRE_LAB(first);
        const std::string name = first.name();  // tsl<pid>n<k>; the next lab is n<k+1>
        const size_t n = name.rfind('n');
        next = name.substr(0, n + 1) + std::to_string(std::stoi(name.substr(n + 1)) + 1);
    }
    ASSERT_EQ(labSh({"up", next}).status, 0);  // as a killed test would leave it
    Lab lab;
    EXPECT_EQ(lab.name(), next);
    EXPECT_TRUE(lab.available()) << lab.reason();
}

TEST(LabScript, PrintsAddressesAndChecks) {
    EXPECT_EQ(labSh({"addr", "unheld"}).out, "198.18.1.99\n");
    EXPECT_EQ(labSh({"addr", "router"}).out, std::string(Lab::kRouter) + "\n");
    EXPECT_EQ(labSh({"addr", "target"}).out, std::string(Lab::kTarget) + "\n");
    EXPECT_NE(labSh({"addr", "moon"}).status, 0);
    // Every role with both families, as addr -4 and addr -6 print them.
    std::string all;
    for (const char* role : {"client", "router", "router-target", "target", "unheld"})
        all += std::string(role) + " " + Lab::address(role, AF_INET) + " " + Lab::address(role, AF_INET6) + "\n";
    EXPECT_EQ(labSh({"addr"}).out, all);
    EXPECT_EQ(Lab::address("target", AF_INET), Lab::kTarget);
    EXPECT_NE(Lab::address("unheld", AF_INET6).find(':'), std::string::npos);
    auto check = labSh({"check"});
    if (tsltest::isRoot()) {
        EXPECT_EQ(check.status, 0) << check.err;
    } else {
        EXPECT_EQ(check.status, 1);
        EXPECT_FALSE(check.err.empty());
    }
}

TEST(LabFixture, BackgroundProcessesStartStopAndReport) {
    Lab lab;
    TSL_REQUIRE_LAB(lab);
    int quiet = -1, talker = -1;
    // No line within the wait: false, and the process is gone.
    EXPECT_FALSE(lab.startInClient({"sleep", "30"}, 1, &quiet));
    EXPECT_EQ(lab.stop(quiet).signal, SIGKILL);
    ASSERT_TRUE(lab.startInClient({"sh", "-c", "echo oops >&2; ip -4 -o addr show dev c0; sleep 30"}, 5, &talker));
    // Its first line was on standard error; what it prints next can be
    // watched while it runs.
    for (int i = 0; i < 200 && lab.output(talker).empty(); ++i) usleep(10000);
    EXPECT_NE(lab.output(talker).find("198.18.0.1/24"), std::string::npos);
    auto r = lab.stop(talker);
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_NE(r.out.find("198.18.0.1/24"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "oops\n");
    EXPECT_EQ(lab.stop(talker).out, r.out);  // collected once, kept
}

TEST(LabFixture, EnterRunsCodeInTheClientNamespace) {
    Lab lab;
    TSL_REQUIRE_LAB(lab);
    auto inode = [] {
        struct stat st;
        return stat("/proc/thread-self/ns/net", &st) == 0 ? st.st_ino : 0;
    };
    const auto home = inode();
    ASSERT_TRUE(lab.enterClient());
    EXPECT_NE(inode(), home);
    // A UDP socket here can bind the client's address.
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr(Lab::kClient);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    close(fd);
    EXPECT_TRUE(lab.leave());
    EXPECT_EQ(inode(), home);
}

TEST(LabNetwork, ResponderAnswersInTheScriptedOrder) {
    Lab lab({.noEcho = true});
    TSL_REQUIRE_LAB(lab);
    int responder = -1;
    ASSERT_TRUE(lab.startInTarget({TSL_RESPONDER_BIN, "--order", "0,2,1,3,4,5,6,7,8,9", "--dup", "7", "--linger",
                                   "300", "--timeout", "10"},
                                  5, &responder));
    Prober p(lab);
    ASSERT_TRUE(p.ok());
    for (std::uint16_t seq = 0; seq < 10; ++seq) ASSERT_TRUE(p.send(Lab::kTarget, seq, 600));
    // 11 replies (7 twice), then nothing more: the kernel's echo is off.
    auto replies = p.receive(12, 1500, isOurReply);
    std::vector<int> order;
    for (const auto& r : replies) {
        order.push_back(tsllab::readHost16(r.icmp(), 6));
        EXPECT_EQ(recordedRoute(r), kRoundTrip);
        EXPECT_EQ(r.headerLen(), 60u);
        ASSERT_EQ(r.icmp().size(), 608u);
        EXPECT_EQ(r.icmp()[100], 100 - 4);  // the data came back
    }
    EXPECT_EQ(order, (std::vector<int>{0, 2, 1, 3, 4, 5, 6, 7, 7, 8, 9}));
    auto report = lab.wait(responder, 10);
    EXPECT_EQ(report.status, 0) << report.err;
    auto lines = tsltest::splitLines(report.out);
    ASSERT_EQ(lines.size(), 12u) << report.out;
    EXPECT_EQ(lines[0], "ready");
    EXPECT_EQ(lines[1].rfind("request seq=0 id=16716 data=600 options=0727", 0), 0u) << lines[1];
    EXPECT_EQ(lines[11], "done requests=10 sent=11");
}

TEST(LabNetwork, RouterDropsAtTheGivenRate) {
    Lab lab({.lossPct = 50});
    TSL_REQUIRE_LAB(lab);
    Prober p(lab);
    ASSERT_TRUE(p.ok());
    for (std::uint16_t seq = 0; seq < 200; ++seq) ASSERT_TRUE(p.send(Lab::kTarget, seq, 56));
    // Requests and replies both pass the router: about a quarter come back.
    auto replies = p.receive(200, 1000, isOurReply);
    EXPECT_GT(replies.size(), 20u);
    EXPECT_LT(replies.size(), 90u);
}

// Median gap between replies 2..20 of a train of 1000-byte requests, in µs.
// The first gap is left out (the bucket is full when the train starts), and
// the median passes over a late timer and the short gap that catches up, and
// over the replies that arrive while the train is still being sent, which
// the busy receiver stamps together.
double medianReplyGap(Lab& lab) {
    constexpr std::uint16_t kTrain = 20;
    Prober p(lab);
    if (!p.ok()) return -1;
    for (std::uint16_t seq = 0; seq < kTrain; ++seq)
        if (!p.send(Lab::kTarget, seq, 1000)) return -1;
    auto replies = p.receive(kTrain, 2000, isOurReply);
    if (replies.size() != kTrain) return -1;
    std::vector<double> gaps;
    for (std::size_t i = 2; i < replies.size(); ++i) gaps.push_back((replies[i].at - replies[i - 1].at) * 1e6);
    std::sort(gaps.begin(), gaps.end());
    return (gaps[gaps.size() / 2 - 1] + gaps[gaps.size() / 2]) / 2;
}

TEST(LabNetwork, BottleneckSpacesTheReplies) {
    // A reply frame: 14 bytes Ethernet, 60 IP with options, 8 ICMP, 1000 data.
    // Rates where the test's own sends (each carrying the path's softirq work,
    // slower still under the sanitizers) outpace the bottleneck.
    // A shaper's timer that fires late under a busy machine lets the next
    // frame go at once on its one frame of credit, so a burst of late timers
    // shortens the median gap: up to three trains, and one of them must show
    // the rate.  A shaper at a wrong rate fails all three.
    const double frameBits = (14 + 60 + 8 + 1000) * 8;
    for (double rate : {10.0, 50.0}) {
        Lab lab({.rateMbit = rate});
        TSL_REQUIRE_LAB(lab);
        const double expected = frameBits / rate;  // µs
        std::vector<double> gaps;
        for (int train = 0; train < 3; ++train) {
            gaps.push_back(medianReplyGap(lab));
            if (std::abs(gaps.back() - expected) <= expected * 0.15) break;
        }
        EXPECT_LE(std::abs(gaps.back() - expected), expected * 0.15)
            << "at " << rate << " Mbit/s the median gaps of " << gaps.size() << " trains were "
            << ::testing::PrintToString(gaps) << " µs where " << expected << " was expected";
    }
}

}  // namespace
