// SPDX-License-Identifier: MIT
// The stream runner: pacing on loopback, a stall that shifts the schedule,
// refused requests, lost, late and duplicate replies in the lab, forged and
// foreign replies, a wait under a flood, datagram sockets of an ordinary user
// on IPv4 and IPv6, and the clock of the schedule and the stamps.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "lab.h"
#include "run.h"
#include "tamsel_stream.h"
#include "tsl_engine.h"

namespace {

struct Stream {
    std::vector<int64_t> sendAt, depart, arrive;
    tsl_stream_stats stats{};
    int result = 0;

    // count packets of size bytes, gapUs apart (times in ns).
    Stream(tsl_stream_session* s, int count, int gapUs, int waitMs, int size = 800)
        : sendAt(count), depart(count), arrive(count) {
        for (int i = 0; i < count; ++i) sendAt[i] = int64_t{gapUs} * 1000 * i;
        result = tsl_stream_run(s, count, size, sendAt.data(), depart.data(), arrive.data(),
                                int64_t{waitMs} * 1000000, &stats);
    }
    // Every reply came after its request left.
    bool causal() const {
        for (size_t i = 0; i < arrive.size(); ++i)
            if (arrive[i] != TSL_STREAM_LOST && arrive[i] < depart[i]) return false;
        return true;
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
        for (int64_t g : st.gaps()) err.push_back(std::abs(g - 100000));
        std::nth_element(err.begin(), err.begin() + err.size() / 2, err.end());
        EXPECT_LE(err[err.size() / 2], 3000) << "median gap error";
        const int64_t span = st.depart.back() - st.depart.front();
        EXPECT_NEAR(span - st.stats.shifted_ns, 29900000, 150000);
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
    EXPECT_GE(st.stats.shifted_ns, 4500000);
    const auto g = st.gaps();
    EXPECT_EQ(std::count_if(g.begin(), g.end(), [](int64_t x) { return x >= 4500000; }), 1) << "one long gap";
    // Made up, the 5 ms stall would send some 25 packets back to back; a send
    // preempted on a busy machine shortens one gap at most.
    EXPECT_LE(std::count_if(g.begin(), g.end(), [](int64_t x) { return x < 100000; }), 1) << "no catch-up burst";
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
    int64_t at[3] = {0, 10000, 20000}, backwards[3] = {0, 20000, 10000},
            late[3] = {0, 10000, TSL_STREAM_MAX_SPAN_NS + 1};
    int64_t dep[3], arr[3];
    const int64_t ms = 1000000;
    struct Case { int count, size; int64_t wait; const int64_t* at; } cases[] = {
        {0, 800, ms, at}, {TSL_STREAM_MAX_PACKETS + 1, 800, ms, at}, {3, TSL_STREAM_MIN_DATA - 1, ms, at},
        {3, 65508, ms, at}, {3, 800, -1, at}, {3, 800, TSL_STREAM_MAX_WAIT_NS + 1, at}, {3, 800, ms, backwards},
        {3, 800, ms, late}};
    // Each says why in errno, not what an earlier call left there.
    for (const auto& c : cases) {
        errno = EAGAIN;
        EXPECT_EQ(tsl_stream_run(s, c.count, c.size, c.at, dep, arr, c.wait, nullptr), TSL_STREAM_ERR_ARGUMENT)
            << c.count << " " << c.size << " " << c.wait;
        EXPECT_EQ(errno, EINVAL) << c.count << " " << c.size << " " << c.wait;
    }
    EXPECT_EQ(tsl_stream_run(s, 3, 65507, at, dep, arr, 100 * ms, nullptr), 3) << "the largest datagram";
    tsl_stream_close(s);
    // A family or kind out of range, and an address of the other family.
    tsl_stream_session* x = nullptr;
    errno = EAGAIN;
    EXPECT_EQ(tsl_stream_open_with(&x, "127.0.0.1", 5, TSL_STREAM_ANY_KIND), TSL_STREAM_ERR_ARGUMENT);
    EXPECT_EQ(errno, EINVAL);
    errno = EAGAIN;
    EXPECT_EQ(tsl_stream_open_with(&x, "127.0.0.1", TSL_STREAM_ANY, 3), TSL_STREAM_ERR_ARGUMENT);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(tsl_stream_open_with(&x, "127.0.0.1", TSL_STREAM_IPV6, TSL_STREAM_ANY_KIND), TSL_STREAM_ERR_HOST);
    EXPECT_EQ(tsl_stream_open_with(&x, "::1", TSL_STREAM_IPV4, TSL_STREAM_ANY_KIND), TSL_STREAM_ERR_HOST);
    EXPECT_EQ(x, nullptr);
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
                  return tsl_stream_open_with(&x, "127.0.0.1", TSL_STREAM_ANY, TSL_STREAM_RAW) ==
                                     TSL_STREAM_ERR_SOCKET && x == nullptr ? 0 : 1;
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
    // Its last packet's reply came: the wait for the three missing ends soon
    // after it, not 100 ms after the last send.
    const int64_t waited = tsl_stream_clock_ns() - (first.stats.start_ns + first.depart.back());
    // The late reply of packet 5 comes while the second stream is out.
    Stream second(s, 20, 20000, 100);
    tsl_stream_close(s);
    const auto seen = lab.wait(responder, 10);
    EXPECT_EQ(seen.status, 0) << seen.err;

    EXPECT_EQ(first.result, 17);
    EXPECT_LT(waited, 20000000);
    for (int i : {3, 5, 7}) EXPECT_EQ(first.arrive[i], TSL_STREAM_LOST) << i;
    EXPECT_EQ(first.stats.duplicates, 1);
    EXPECT_EQ(second.result, 20);
    EXPECT_GE(second.stats.ignored, 1) << "the late reply of the first stream";
    EXPECT_EQ(second.stats.duplicates, 0);
}

// ---- In a network namespace of a child process --------------------------------

bool writeFile(const char* path, const char* text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && write(fd, text, strlen(text)) == static_cast<ssize_t>(strlen(text));
    if (fd >= 0) close(fd);
    return ok;
}

// A network namespace of the process's own, with its loopback up.
bool ownNetwork() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "lo");
    bool ok = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

// Runs fn in a child with a network namespace of its own, ICMP datagram
// sockets allowed to the groups in range, as user and group 65534 without
// capabilities; returns its exit status.
template <class Fn>
int asOrdinaryUser(const char* range, Fn fn) {
    return inChild([&] {
        if (!ownNetwork() || !writeFile("/proc/sys/net/ipv4/ping_group_range", range)) return 100;
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
            return 101;
        return fn();
    });
}

// An echo request or reply of size data bytes with the given identifier and
// sequence number, checksummed; the data after the send stamp is zero.
std::vector<unsigned char> echo(int type, uint16_t id, uint16_t seq, int size) {
    std::vector<unsigned char> m(8 + static_cast<size_t>(size), 0);
    tsl::write_echo_header(m.data(), id, type);
    tsl::set_echo_sequence(m.data(), seq);
    tsl::seal_echo(m.data(), static_cast<int>(m.size()), 0);
    return m;
}

sockaddr_in loopback() {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return to;
}

// A process that sends foreign echo replies to 127.0.0.1 as fast as it can,
// at most 5 million of them and for 3 s at most.
pid_t startFlood() {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    const auto reply = echo(tsl::ECHO_REPLY, 0x5a5a, 0, 56);
    const sockaddr_in to = loopback();
    const int64_t end = tsl::monotonic_ns() + 3000000000;
    for (int n = 0; fd >= 0 && n < 5000000 && (n % 256 != 0 || tsl::monotonic_ns() < end); ++n)
        sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    _exit(0);
}

TEST(StreamLoopback, AReplyWithoutTheStreamsTokenIsNotTaken) {
    TSL_REQUIRE_ROOT("for the raw sockets");
    // A spy on loopback learns the session's identifier from its first request.
    const int spy = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    ASSERT_GE(spy, 0);
    timeval second{1, 0};
    setsockopt(spy, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
    tsl_stream_session* s = open("127.0.0.1");
    ASSERT_NE(s, nullptr);
    Stream first(s, 1, 0, 100, 777);
    ASSERT_EQ(first.result, 1);
    int ident = -1;
    unsigned char buf[2048];
    for (int n = 0; n < 100 && ident < 0; ++n) {
        tsl::Datagram d;
        const ssize_t got = recv(spy, buf, sizeof buf, 0);
        if (got < 0) break;
        if (tsl::parse_datagram(buf, static_cast<int>(got), &d) && d.type == tsl::ECHO_REQUEST && d.icmpLen == 785)
            ident = d.id;
    }
    ASSERT_GE(ident, 0) << "the spy saw no request";
    // Replies for the next stream's sequence numbers, sent before it starts,
    // right but for the token.
    const sockaddr_in to = loopback();
    for (uint16_t seq = 0; seq <= 20; ++seq) {
        const auto forged = echo(tsl::ECHO_REPLY, static_cast<uint16_t>(ident), seq, 800);
        sendto(spy, forged.data(), forged.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    close(spy);
    Stream st(s, 20, 1000, 100);
    tsl_stream_close(s);
    EXPECT_EQ(st.result, 20);
    EXPECT_TRUE(st.causal()) << "a forged reply was taken";
    EXPECT_EQ(st.stats.duplicates, 0);
    EXPECT_GE(st.stats.ignored, 20);
}

TEST(StreamLoopback, TwoSessionsTakeOnlyTheirOwnReplies) {
    TSL_REQUIRE_ROOT("for the raw sockets");
    tsl_stream_session* a = open("127.0.0.1");
    tsl_stream_session* b = open("127.0.0.1");
    ASSERT_TRUE(a != nullptr && b != nullptr);
    // The replies to a's stream wait in b's socket when b's stream starts, and
    // the other way round.
    tsl_stream_session* order[3] = {a, b, a};
    for (int round = 0; round < 3; ++round) {
        Stream st(order[round], 50, 200, 100);
        EXPECT_EQ(st.result, 50) << round;
        EXPECT_TRUE(st.causal()) << "a reply of the other session was taken in round " << round;
        EXPECT_EQ(st.stats.duplicates, 0) << round;
        if (round > 0) {
            EXPECT_GE(st.stats.ignored, 50) << "the other session's replies in round " << round;
        }
    }
    tsl_stream_close(a);
    tsl_stream_close(b);
}

TEST(StreamLoopback, TheWaitEndsOnTimeWhileOtherIcmpKeepsComing) {
    TSL_REQUIRE_ROOT("for a network namespace and raw sockets");
    // Nothing answers echo requests in the child's namespace, so the stream
    // waits its whole 300 ms while a flood of foreign echo replies comes.
    EXPECT_EQ(inChild([] {
                  if (!ownNetwork() || !writeFile("/proc/sys/net/ipv4/icmp_echo_ignore_all", "1")) return 100;
                  tsl_stream_session* s = nullptr;
                  if (tsl_stream_open(&s, "127.0.0.1") != 0) return 101;
                  const pid_t flood = startFlood();
                  usleep(50000);
                  Stream st(s, 5, 0, 300);
                  const int64_t waited = tsl_stream_clock_ns() - (st.stats.start_ns + st.depart.back());
                  kill(flood, SIGKILL);
                  waitpid(flood, nullptr, 0);
                  tsl_stream_close(s);
                  std::fprintf(stderr, "waited %.1f ms after the last send, ignored %d\n", waited / 1e6,
                               st.stats.ignored);
                  if (st.result != 0 || st.stats.ignored < 100) return 1;
                  return waited >= 300000000 && waited < 700000000 ? 0 : 2;
              }),
              0);
}

TEST(StreamUnprivileged, DatagramSocketsCarryIpv4AndIpv6) {
    TSL_REQUIRE_ROOT("for a network namespace and to become an ordinary user");
    EXPECT_EQ(asOrdinaryUser("65534 65534",
                             [] {
                                 for (const char* host : {"127.0.0.1", "::1"}) {
                                     const int family = host[0] == ':' ? 6 : 4;
                                     tsl_stream_session* s = nullptr;
                                     if (tsl_stream_open(&s, host) != 0) return 1;
                                     if (tsl_stream_socket_kind(s) != TSL_STREAM_DATAGRAM || tsl_stream_family(s) != family ||
                                         tsl_stream_header_bytes(s) != (family == 6 ? 48 : 28) ||
                                         std::strcmp(tsl_stream_address(s), host) != 0)
                                         return 2;
                                     Stream st(s, 200, 50, 200);
                                     tsl_stream_close(s);
                                     if (st.result != 200 || st.stats.after_receive != 0 || !st.causal()) return 3;
                                 }
                                 return 0;
                             }),
              0);
    // With the range closed there is neither kind of socket.
    EXPECT_EQ(asOrdinaryUser("1 0",
                             [] {
                                 tsl_stream_session* s = nullptr;
                                 return tsl_stream_open(&s, "::1") == TSL_STREAM_ERR_SOCKET && s == nullptr ? 0 : 1;
                             }),
              0);
}

TEST(StreamUnprivileged, TheReceiveBufferHoldsAFastStreamAndCountsWhatItCannot) {
    TSL_REQUIRE_ROOT("for a network namespace and to become an ordinary user");
    // 4096 replies of 1500 bytes are more than the buffer an ordinary user
    // may have: they must be read while the stream is sent.  4096 of 16000
    // bytes back to back leave no time to read: what the buffer cannot hold
    // is counted, and on loopback nothing else is lost.
    EXPECT_EQ(asOrdinaryUser("65534 65534",
                             [] {
                                 tsl_stream_session* s = nullptr;
                                 if (tsl_stream_open(&s, "127.0.0.1") != 0) return 1;
                                 Stream fast(s, TSL_STREAM_MAX_PACKETS, 20, 500, 1472);
                                 Stream burst(s, TSL_STREAM_MAX_PACKETS, 0, 500, 16000);
                                 tsl_stream_close(s);
                                 std::fprintf(stderr, "received %d and %d, overflows %d and %d\n", fast.result,
                                              burst.result, fast.stats.overflows, burst.stats.overflows);
                                 if (fast.result != TSL_STREAM_MAX_PACKETS || fast.stats.overflows != 0) return 2;
                                 return burst.stats.overflows > 0 &&
                                                burst.result + burst.stats.overflows == TSL_STREAM_MAX_PACKETS
                                            ? 0 : 3;
                             }),
              0);
}

TEST(StreamLoopback, AFullSendBufferIsWaitedOnAndCounted) {
    TSL_REQUIRE_ROOT("for a network namespace and a shaper on its loopback");
    // A slow shaper on loopback holds the requests, which stay charged to the
    // socket's send buffer until they leave: the buffer fills, and the sender
    // must wait for room rather than end the stream.
    EXPECT_EQ(inChild([] {
                  if (!ownNetwork() ||
                      std::system("tc qdisc add dev lo root tbf rate 100mbit burst 70000 limit 8000000") != 0)
                      return 100;
                  tsl_stream_session* s = nullptr;
                  if (tsl_stream_open(&s, "127.0.0.1") != 0) return 101;
                  Stream st(s, 60, 0, 2000, 16000);
                  tsl_stream_close(s);
                  std::fprintf(stderr, "result %d, send waits %d, sent over %.1f ms\n", st.result,
                               st.stats.send_waits, (st.depart.back() - st.depart.front()) / 1e6);
                  if (st.result < 0) return 1;
                  if (st.stats.send_waits < 1) return 2;
                  return st.causal() ? 0 : 3;
              }),
              0);
}

TEST(StreamClock, ScheduleAndStampsAreOnTheMonotonicClock) {
    TSL_REQUIRE_ROOT("for the raw sockets");
    // The real-time clock is decades away from the monotonic one: a schedule
    // or a stamp on it would fall far outside the call.
    for (const char* host : {"127.0.0.1", "::1"}) {
        tsl_stream_session* s = open(host);
        ASSERT_NE(s, nullptr) << host;
        EXPECT_EQ(tsl_stream_socket_kind(s), TSL_STREAM_RAW);
        timespec mono;
        clock_gettime(CLOCK_MONOTONIC, &mono);
        const int64_t before = tsl_stream_clock_ns();
        EXPECT_LT(before - tsl::timespec_ns(mono), 1000000000) << "not the monotonic clock";
        Stream st(s, 20, 500, 100);
        const int64_t after = tsl_stream_clock_ns();
        tsl_stream_close(s);
        ASSERT_EQ(st.result, 20) << host;
        EXPECT_GE(st.stats.start_ns, before);
        for (int i = 0; i < 20; ++i) {
            EXPECT_GE(st.arrive[i], st.depart[i]) << host << " " << i;
            EXPECT_LE(st.stats.start_ns + st.arrive[i], after) << host << " " << i;
        }
    }
}

}  // namespace
