// SPDX-License-Identifier: MIT
// crossgen.cpp - tsl_crossgen, the lab's cross traffic: UDP datagrams at a
// mean rate counted in IP bits, paced, at random (Poisson), as a mix of
// packet sizes or in on-off bursts; and a sink that takes them in and counts
// them.  A lab tool: it sends only to loopback and to the benchmark ranges
// the lab's namespaces use (198.18.0.0/15, 2001:2::/48).
//
//   tsl_crossgen send ADDRESS --rate MBIT [--kind steady|poisson|mix|onoff]
//                [--size BYTES] [--port N] [--tick MS] [--on MS] [--off MS]
//                [--fixed] [--seconds S] [--seed N]
//   tsl_crossgen sink [--port N] [--seconds S]
//
// Both run until --seconds have passed (default a day) or SIGTERM or SIGINT
// comes, then print one line: what they sent or took in, in packets, IP
// bytes and seconds (the sink's from its first datagram to its last), and
// the mean rate in Mbit/s.  --size is in IP bytes (default 1228, a 1200-byte
// payload over IPv4); the mix sends 40, 576 and 1500 IP bytes in 7 : 4 : 1;
// on-off sends paced at rate x (on + off) / on during periods of mean --on
// and --off ms (default 5 and 5; exponential unless --fixed); steady sends
// what fell due at each --tick ms (default 1; 0: paced).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "crossgen_schedule.h"

namespace {

constexpr int kDefaultPort = 5300;
constexpr double kLongest = 86400;          // seconds: the most a run lasts
constexpr int kIpv4Headers = 28, kIpv6Headers = 48;  // IP and UDP headers
constexpr double kSpinBelow = 20e-6;        // seconds: a send due this soon is not slept for

volatile sig_atomic_t stopping = 0;
void onSignal(int) { stopping = 1; }

int usage() {
    std::fprintf(stderr,
                 "usage: tsl_crossgen send ADDRESS --rate MBIT [--kind steady|poisson|mix|onoff] [--size BYTES]\n"
                 "                    [--port N] [--tick MS] [--on MS] [--off MS] [--fixed] [--seconds S] [--seed N]\n"
                 "       tsl_crossgen sink [--port N] [--seconds S]\n");
    return 2;
}

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void sleepUntil(double t) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(t);
    ts.tv_nsec = static_cast<long>((t - ts.tv_sec) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && !stopping) {
    }
}

// A number from text within [low, high]; false when it is not one.
bool number(const char* text, double low, double high, double* out) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v >= low && v <= high)) return false;
    *out = v;
    return true;
}

// The destination, if it is one this tool may send to.
bool destination(const char* text, int port, sockaddr_storage* to, socklen_t* length) {
    std::memset(to, 0, sizeof *to);
    auto* v4 = reinterpret_cast<sockaddr_in*>(to);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(to);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        const uint32_t a = ntohl(v4->sin_addr.s_addr);
        if (a >> 24 != 127 && a >> 17 != (198u << 7 | 18u >> 1)) return false;
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        *length = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
        const uint8_t* b = v6->sin6_addr.s6_addr;
        static const uint8_t kBench[6] = {0x20, 0x01, 0x00, 0x02, 0x00, 0x00};
        if (!IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr) && std::memcmp(b, kBench, sizeof kBench) != 0) return false;
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        *length = sizeof *v6;
        return true;
    }
    return false;
}

void summary(const char* verb, long packets, double bytes, double seconds) {
    std::printf("%s %ld packets, %.0f IP bytes in %.3f s: %.3f Mbit/s\n", verb, packets, bytes, seconds,
                seconds > 0 ? bytes * 8 / seconds / 1e6 : 0.0);
}

int send(int argc, char** argv) {
    if (argc < 1) return usage();
    const char* address = argv[0];
    crossgen::Shape shape;
    double rateMbit = 0, port = kDefaultPort, seconds = kLongest, value = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string o = argv[i];
        if (o == "--fixed") {
            shape.fixed = true;
            continue;
        }
        if (i + 1 >= argc) return usage();
        const char* v = argv[++i];
        bool ok = true;
        if (o == "--rate") ok = number(v, 0.001, 10000, &rateMbit);
        else if (o == "--kind") ok = crossgen::parseKind(v, &shape.kind);
        else if (o == "--size") ok = number(v, 0, 1500, &value), shape.bytes = static_cast<int>(value);
        else if (o == "--port") ok = number(v, 1, 65535, &port);
        else if (o == "--tick") ok = number(v, 0, 1000, &value), shape.tick = value / 1e3;
        else if (o == "--on") ok = number(v, 0.01, 10000, &value), shape.on = value / 1e3;
        else if (o == "--off") ok = number(v, 0, 10000, &value), shape.off = value / 1e3;
        else if (o == "--seconds") ok = number(v, 0.001, kLongest, &seconds);
        else if (o == "--seed") ok = number(v, 0, 1e15, &value), shape.seed = static_cast<uint64_t>(value);
        else return usage();
        if (!ok) {
            std::fprintf(stderr, "tsl_crossgen: bad value '%s' for %s\n", v, o.c_str());
            return 2;
        }
    }
    if (rateMbit <= 0) return usage();
    shape.rate = rateMbit * 1e6;
    sockaddr_storage to;
    socklen_t toLength = 0;
    if (!destination(address, static_cast<int>(port), &to, &toLength)) {
        std::fprintf(stderr, "tsl_crossgen: %s is not an address of loopback, 198.18.0.0/15 or 2001:2::/48\n",
                     address);
        return 2;
    }
    shape.smallest = to.ss_family == AF_INET ? kIpv4Headers : kIpv6Headers;
    if (shape.bytes < shape.smallest) {
        std::fprintf(stderr, "tsl_crossgen: --size must leave room for the headers (%d bytes)\n", shape.smallest);
        return 2;
    }
    const int fd = socket(to.ss_family, SOCK_DGRAM, 0);
    if (fd < 0) {
        std::perror("tsl_crossgen: socket");
        return 1;
    }
    std::vector<char> payload(1500, 'x');
    crossgen::Schedule schedule(shape);
    long packets = 0, refused = 0;
    double bytes = 0;
    const double start = now();
    while (!stopping) {
        const crossgen::Packet p = schedule.next();
        if (p.at > seconds) break;
        if (start + p.at - now() > kSpinBelow) sleepUntil(start + p.at);
        if (stopping) break;
        // Late sends go at once: the mean rate holds, the gaps shrink.
        if (sendto(fd, payload.data(), p.bytes - shape.smallest, 0, reinterpret_cast<sockaddr*>(&to), toLength) < 0) {
            if (errno == EINTR || errno == ENOBUFS || errno == EAGAIN || errno == ECONNREFUSED) {
                ++refused;
                continue;
            }
            std::fprintf(stderr, "tsl_crossgen: sending failed: %s\n", std::strerror(errno));
            close(fd);
            return 1;
        }
        ++packets;
        bytes += p.bytes;
    }
    const double took = stopping ? now() - start : seconds;
    close(fd);
    summary("sent", packets, bytes, took);
    if (refused > 0) std::printf("refused %ld sends\n", refused);
    return 0;
}

int sink(int argc, char** argv) {
    double port = kDefaultPort, seconds = kLongest;
    for (int i = 0; i < argc; ++i) {
        const std::string o = argv[i];
        if (i + 1 >= argc) return usage();
        const char* v = argv[++i];
        bool ok;
        if (o == "--port") ok = number(v, 1, 65535, &port);
        else if (o == "--seconds") ok = number(v, 0.001, kLongest, &seconds);
        else return usage();
        if (!ok) {
            std::fprintf(stderr, "tsl_crossgen: bad value '%s' for %s\n", v, o.c_str());
            return 2;
        }
    }
    // Both families on one socket where the host has IPv6, else IPv4 alone.
    int fd = socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_storage at{};
    socklen_t atLength;
    if (fd >= 0) {
        const int no = 0;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&at);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_any;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        atLength = sizeof *v6;
    } else {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        auto* v4 = reinterpret_cast<sockaddr_in*>(&at);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_ANY);
        v4->sin_port = htons(static_cast<uint16_t>(port));
        atLength = sizeof *v4;
    }
    const int big = 4 << 20;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big) < 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&at), atLength) < 0) {
        std::perror("tsl_crossgen: sink socket");
        if (fd >= 0) close(fd);
        return 1;
    }
    std::printf("listening on port %d\n", static_cast<int>(port));
    std::fflush(stdout);
    std::vector<char> buffer(65536);
    long packets = 0;
    double bytes = 0, first = 0, last = 0;
    const double start = now();
    while (!stopping && now() - start < seconds) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        sockaddr_storage from;
        socklen_t fromLength = sizeof from;
        const ssize_t got = recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got < 0) continue;
        last = now();
        if (packets == 0) first = last;
        const bool v4 = from.ss_family == AF_INET ||
                        IN6_IS_ADDR_V4MAPPED(&reinterpret_cast<sockaddr_in6*>(&from)->sin6_addr);
        ++packets;
        bytes += got + (v4 ? kIpv4Headers : kIpv6Headers);
    }
    close(fd);
    summary("received", packets, bytes, last - first);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    if (argc < 2) return usage();
    const std::string command = argv[1];
    if (command == "send") return send(argc - 2, argv + 2);
    if (command == "sink") return sink(argc - 2, argv + 2);
    return usage();
}
