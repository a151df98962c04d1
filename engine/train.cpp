// train.cpp - the socket side of the engine: opening the raw socket, sending
// one echo request, receiving one datagram with its arrival time, and running
// a whole train under its time-out.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tsl_engine.h"

namespace tsl {

// Record-route option set on every socket: type 7, length 39, pointer 4,
// nine empty address slots, end of list.
static const unsigned char rroption[OPTLEN] = {7, 39, 4};

int open_socket() {
    protoent* proto = getprotobyname("icmp");
    if (proto == nullptr) {
        std::fprintf(stderr, "icmp: unknown protocol\n");
        std::exit(10);
    }
    int s = socket(AF_INET, SOCK_RAW, proto->p_proto);
    if (s < 0) {
        // Needs root or the cap_net_raw capability.
        std::fprintf(stderr, "tsl: socket");
        std::exit(5);
    }
    protoent* ipproto = getprotobyname("ip");
    if (ipproto == nullptr) {
        std::fprintf(stderr, "ip: unknown protocol\n");
        std::exit(8);
    }
    if (setsockopt(s, ipproto->p_proto, IP_OPTIONS, rroption, sizeof rroption) < 0) {
        std::perror("setsockopt: IP_OPTIONS");
        std::exit(42);
    }
    // Ask the kernel to stamp each datagram on arrival, so a reply that waits
    // in the socket while the train is still being sent keeps its true time.
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
    // Room for bursts of foreign ICMP traffic while a train is out.
    int rcvbuf = 4 << 20;
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) < 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    // A blocked receive wakes up at least this often, so a time-out that
    // fires just before the receive starts cannot leave the wait hanging.
    timeval poll_every = {0, 100000};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &poll_every, sizeof poll_every);
    return s;
}

int send_icmp(int s, int seq, const sockaddr_in* to) {
    int cc = datalen + 8;
    outpack[2] = outpack[3] = 0;
    uint16_t sq = static_cast<uint16_t>(seq);
    std::memcpy(outpack + 6, &sq, 2);
    this_time = now_us();
    std::memcpy(outpack + 8, &this_time, 4);
    uint16_t sum = in_cksum(outpack, cc);
    std::memcpy(outpack + 2, &sum, 2);
    this_time = now_us();
    print_icmp_msg(outpack);
    ssize_t sent = sendto(s, outpack, static_cast<size_t>(cc), 0, reinterpret_cast<const sockaddr*>(to),
                          sizeof(sockaddr_in));
    if (sent != cc)
        std::fprintf(stderr, "error: tried to write %d chars to %s, ret=%d\n", cc, inet_ntoa(to->sin_addr),
                     static_cast<int>(sent));
    return static_cast<int>(sent);
}

// Arrival time of a datagram: the kernel's receive stamp when it came with
// the datagram, else the time of day now.
static int32_t arrival_time(msghdr* msg) {
#ifndef TSL_RECV_STAMP_AFTER_RECEIVE
    for (cmsghdr* c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMP &&
            c->cmsg_len >= CMSG_LEN(sizeof(timeval))) {
            timeval tv;
            std::memcpy(&tv, CMSG_DATA(c), sizeof tv);
            return stamp_us(&tv);
        }
    }
#else
    (void)msg;
#endif
    return now_us();
}

int recv_icmp(int s, unsigned char* buf, int size) {
    sockaddr_in from;
    iovec iov = {buf, static_cast<size_t>(size)};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(timeval)) + 64];
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t cc = recvmsg(s, &msg, 0);
    if (cc < 0) {
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) std::fprintf(stderr, "ping: recvfrom");
        return -1;
    }
    recv_time = arrival_time(&msg);
    return classify_datagram(buf, static_cast<int>(cc));
}

void finish(int) { TimeOutFlag = 1; }

// Spins on the clock until the time base reaches the given second.
static void wait_until(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0) return;
    if (seconds > 2000.0) seconds = 2000.0;  // stay inside the int32 time base
    int32_t target = static_cast<int32_t>(std::llround(seconds * 1e6));
    while (now_us() < target) {
    }
}

static void send_train(int count, const int* sizes, const double* sendAt) {
    for (int i = 0; i < count; ++i) {
        int size = sizes[i];
        if (size < 0) size = 0;
        if (size > BUFSIZE - 8) size = BUFSIZE - 8;
        datalen = size;
        bytes[i] = datalen;
        returned[i] = 0;
        if (sendAt != nullptr) wait_until(sendAt[i]);
        send_icmp(icmp_socket, i, &whereto);
        n_outstanding++;
        depart[i] = this_time;
    }
}

// Receives until every packet has its first reply or the time-out fires.
// The alarm is cancelled and the caller's SIGALRM disposition restored when
// the wait ends, so no stale alarm can cut short a later train or strike the
// program that called us.
static void wait_for_replies(int timeout) {
    struct sigaction on_alarm {}, previous {};
    on_alarm.sa_handler = finish;
    sigemptyset(&on_alarm.sa_mask);
    on_alarm.sa_flags = 0;  // no restart: the alarm must interrupt a blocked receive
    sigaction(SIGALRM, &on_alarm, &previous);
    alarm(static_cast<unsigned>(timeout > 0 ? timeout : 0));
    while (n_outstanding > 0 && !TimeOutFlag) {
        if (recv_icmp(icmp_socket, packet, BUFSIZE) < 0) continue;
        take_reply(packet_id);
    }
    alarm(0);
    sigaction(SIGALRM, &previous, nullptr);
    // Printed here rather than in the handler, so it stays in order with the
    // rest of standard output whatever its buffering.
    if (TimeOutFlag) {
        std::printf("Timeout exceeded.\n");
        std::fflush(stdout);
    }
}

int run_train(const char* host, int count, const int* sizes, int timeout, const double* sendAt, bool report) {
    lastSeq = -1;
    highestFirstSeq = -1;
    prepare_header();
    if (count < 0) count = 0;
    if (count > MAXPACKETS) count = MAXPACKETS;  // the tables hold 10 packets
    npackets = count;
    for (int i = 0; i < count; ++i) arrive[i] = TSL_NO_REPLY;
    const char* error = a2sockaddr(&whereto, host, nullptr);
    if (error != nullptr) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", my_name, error);
        std::exit(1);
    }
    fill_pattern();
    icmp_socket = open_socket();
    gettimeofday(&starttv, nullptr);
    send_train(count, sizes, sendAt);
    wait_for_replies(timeout);
    if (report) OldReportResults();
    if (close(icmp_socket) < 0) {
        std::printf("couldn't close socket!!!!!!!!\n");
        std::perror("tamsel: ");
    }
    icmp_socket = -1;
    return 0;
}

int OldMain(const char* host, int count, const int* sizes, int timeout) {
    return run_train(host, count, sizes, timeout, nullptr, true);
}

}  // namespace tsl

extern "C" int tamsel(const char* host, int count, const int* sizes, int* departs, int* arrives, int* bytesOut,
                      int* orderFlags, int* flags, int* numPaths, int timeout) {
    tsl::reset_train_state();
    tsl::OldMain(host, count, sizes, timeout);
    tsl::collect_results(count, departs, arrives, bytesOut, orderFlags, flags, numPaths);
    return 0;
}
