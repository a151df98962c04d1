// SPDX-License-Identifier: MIT
// train.cpp - the socket side of the engine: opening the raw socket, sending
// one echo request, receiving one datagram with its arrival time, and running
// a whole train under its time-out.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/ip.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tsl_engine.h"

namespace tsl {

// Record-route option set on every train socket: type 7, length 39, pointer
// 4, nine empty address slots, end of list.
static const unsigned char rroption[OPTLEN] = {7, 39, 4};

// A socket option the kernel refused: said on standard error with what it
// costs, so a changed behaviour is never silent.
static void report_refused(const char* option, const char* consequence) {
    std::fprintf(stderr, "tsl: setsockopt %s: %s; %s\n", option, std::strerror(errno), consequence);
}

int open_raw_socket(bool recordRoute) {
    protoent* proto = getprotobyname("icmp");
    if (proto == nullptr) return SOCK_NO_ICMP;
    int s = socket(AF_INET, SOCK_RAW, proto->p_proto);
    if (s < 0) return SOCK_DENIED;  // needs root or the cap_net_raw capability
    if (recordRoute) {
        protoent* ipproto = getprotobyname("ip");
        if (ipproto == nullptr) {
            close(s);
            return SOCK_NO_IP;
        }
        if (setsockopt(s, ipproto->p_proto, IP_OPTIONS, rroption, sizeof rroption) < 0) {
            int saved = errno;
            close(s);
            errno = saved;
            return SOCK_OPTIONS;
        }
    }
    // Ask the kernel to stamp each datagram on arrival, so a reply that waits
    // in the socket while packets are still being sent keeps its true time.
    int on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on) < 0)
        report_refused("SO_TIMESTAMP", "arrival times are taken after each receive");
    // Room for bursts of foreign ICMP traffic while packets are out.
    int rcvbuf = 4 << 20;
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) < 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    // A blocked receive wakes up at least this often, so a time-out that
    // fires just before the receive starts cannot leave the wait hanging.
    timeval poll_every = {0, 100000};
    if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &poll_every, sizeof poll_every) < 0)
        report_refused("SO_RCVTIMEO", "a time-out that fires just before a receive may not end the wait");
    return s;
}

int open_socket() {
    int s = open_raw_socket(true);
    switch (s) {
        case SOCK_NO_ICMP:
            std::fprintf(stderr, "icmp: unknown protocol\n");
            std::exit(10);
        case SOCK_DENIED:
            std::fprintf(stderr, "tsl: socket: %s\n", std::strerror(errno));
            std::exit(5);
        case SOCK_NO_IP:
            std::fprintf(stderr, "ip: unknown protocol\n");
            std::exit(8);
        case SOCK_OPTIONS:
            std::perror("setsockopt: IP_OPTIONS");
            std::exit(42);
        default:
            return s;
    }
}

int send_icmp(int s, int seq, const sockaddr_in* to) {
    int cc = datalen + 8;
    set_echo_sequence(outpack, static_cast<uint16_t>(seq));
    this_time = now_us();
    seal_echo(outpack, cc, this_time);
    this_time = now_us();
    print_icmp_msg(outpack);
    ssize_t sent = sendto(s, outpack, static_cast<size_t>(cc), 0, reinterpret_cast<const sockaddr*>(to),
                          sizeof(sockaddr_in));
    if (sent < 0)
        std::fprintf(stderr, "error: tried to write %d chars to %s, ret=%d: %s\n", cc, inet_ntoa(to->sin_addr),
                     static_cast<int>(sent), std::strerror(errno));
    else if (sent != cc)
        std::fprintf(stderr, "error: tried to write %d chars to %s, ret=%d\n", cc, inet_ntoa(to->sin_addr),
                     static_cast<int>(sent));
    return static_cast<int>(sent);
}

// The kernel's receive stamp and the socket's drop counter of a datagram,
// when they came with it.
static void read_control(msghdr* msg, Arrival* arrival) {
    for (cmsghdr* c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level != SOL_SOCKET) continue;
#ifndef TSL_RECV_STAMP_AFTER_RECEIVE
        if (c->cmsg_type == SCM_TIMESTAMP && c->cmsg_len >= CMSG_LEN(sizeof(timeval))) {
            timeval tv;
            std::memcpy(&tv, CMSG_DATA(c), sizeof tv);
            arrival->stamp.tv_sec = tv.tv_sec;
            arrival->stamp.tv_nsec = tv.tv_usec * 1000;
            arrival->stamped = true;
        } else if (c->cmsg_type == SCM_TIMESTAMPNS && c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            std::memcpy(&arrival->stamp, CMSG_DATA(c), sizeof arrival->stamp);
            arrival->stamped = true;
        }
#endif
        if (c->cmsg_type == SO_RXQ_OVFL && c->cmsg_len >= CMSG_LEN(sizeof(uint32_t))) {
            std::memcpy(&arrival->drops, CMSG_DATA(c), sizeof arrival->drops);
            arrival->counted = true;
        }
    }
}

int receive_message(int s, unsigned char* buf, int size, int flags, Arrival* arrival, sockaddr_storage* from) {
    iovec iov = {buf, static_cast<size_t>(size)};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(uint32_t)) + 64];
    msghdr msg{};
    if (from != nullptr) {
        msg.msg_name = from;
        msg.msg_namelen = sizeof *from;
    }
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t cc = recvmsg(s, &msg, flags);
    if (cc < 0) return -1;
    *arrival = Arrival{};
    read_control(&msg, arrival);
    return static_cast<int>(cc);
}

int receive_datagram(int s, unsigned char* buf, int size, int flags, timeval* kernelStamp, bool* stamped) {
    Arrival arrival;
    int cc = receive_message(s, buf, size, flags, &arrival, nullptr);
    if (cc < 0) return -1;
    *stamped = arrival.stamped;
    if (arrival.stamped) {
        kernelStamp->tv_sec = arrival.stamp.tv_sec;
        kernelStamp->tv_usec = static_cast<suseconds_t>(arrival.stamp.tv_nsec / 1000);
    }
    return cc;
}

static ArrivalSources arrivalSources;

ArrivalSources last_arrival_sources() { return arrivalSources; }

int recv_icmp(int s, unsigned char* buf, int size) {
    timeval stamp;
    bool stamped = false;
    int cc = receive_datagram(s, buf, size, 0, &stamp, &stamped);
    if (cc < 0) {
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            std::fprintf(stderr, "ping: recvfrom: %s\n", std::strerror(errno));
        return -1;
    }
    recv_time = stamped ? stamp_us(&stamp) : now_us();
    int accepted = classify_datagram(buf, cc);
    if (accepted >= 0) {
        if (stamped) {
            arrivalSources.kernel++;
        } else {
#ifndef TSL_RECV_STAMP_AFTER_RECEIVE
            // The socket asked for stamps; a reply without one is timed late.
            if (arrivalSources.afterReceive == 0)
                std::fprintf(stderr, "tsl: a reply came without its kernel receive stamp; "
                                     "its arrival time was taken after the receive\n");
#endif
            arrivalSources.afterReceive++;
        }
    }
    return accepted;
}

void finish(int) { TimeOutFlag = 1; }

int32_t send_target_us(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds >= MAX_SEND_SPAN) return -1;
    return static_cast<int32_t>(std::llround(seconds * 1e6));
}

// Sends the train, back to back or with packet i at sendAt[i] seconds after
// monoStart (a time outside the time base, which the probe refuses, does not
// wait).  The schedule runs on the monotonic clock, so a step of the time of
// day can neither hold the sends nor bunch them; the departure stamps stay on
// the time of day, as the arrival stamps are.
static void send_train(int count, const int* sizes, const double* sendAt, int64_t monoStart) {
    for (int i = 0; i < count; ++i) {
        int size = sizes[i];
        if (size < 0) size = 0;
        if (size > BUFSIZE - 8) size = BUFSIZE - 8;
        bytes[i] = size;
        returned[i] = 0;
    }
    pace_sends(
        count, monotonic_ns,
        [sendAt, monoStart](int i) {
            const int32_t target = sendAt != nullptr ? send_target_us(sendAt[i]) : -1;
            return target > 0 ? monoStart + int64_t{target} * 1000 : INT64_MIN;
        },
        [](int64_t) {},
        [](int i) {
            datalen = bytes[i];
            send_icmp(icmp_socket, i, &whereto);
            n_outstanding++;
            depart[i] = this_time;
            return true;
        },
        0, nullptr);
}

static int64_t timeval_ns(const timeval& tv) { return int64_t{tv.tv_sec} * 1000000000 + int64_t{tv.tv_usec} * 1000; }

// ns as a timer value, rounded up to the next microsecond so that a time left
// never rounds to zero (which would disarm the timer).
static timeval timer_value(int64_t ns) {
    const int64_t us = ns > 0 ? (ns + 999) / 1000 : 1;
    return timeval{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
}

// Puts the caller's real-time timer back as it would stand had the train not
// borrowed it: what was left of it less the time the train took, its
// interval kept.  Returns true when it fell due during the train (its
// interval then goes on from that instant); the caller raises SIGALRM.
static bool restore_caller_timer(const itimerval& caller, int64_t tookNs) {
    if (caller.it_value.tv_sec == 0 && caller.it_value.tv_usec == 0) return false;
    const int64_t leftNs = timeval_ns(caller.it_value) - tookNs;
    itimerval again = caller;
    if (leftNs > 0) {
        again.it_value = timer_value(leftNs);
        setitimer(ITIMER_REAL, &again, nullptr);
        return false;
    }
    const int64_t every = timeval_ns(caller.it_interval);
    if (every > 0) {
        again.it_value = timer_value(every - (-leftNs) % every);
        setitimer(ITIMER_REAL, &again, nullptr);
    }
    return true;
}

// Blocks SIGALRM in the calling thread; *old, when given, gets the mask before.
static void block_alarm(sigset_t* old) {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, old);
}

// A SIGALRM waits for the thread or the process.
static bool alarm_pending() {
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGALRM) == 1;
}

// Receives until every packet has its first reply or the time-out passes.
// The train borrows the real-time timer: arming its own hands back the
// caller's pending one exactly (setitimer, to the microsecond; alarm() would
// round it to seconds), it cancels its own when the wait ends and puts the
// caller's SIGALRM disposition back, so no stale alarm can cut short a later
// train or strike the program that called us.  The handler is installed
// before the timer is armed, with SIGALRM blocked around the pair, so the
// alarm can never find the caller's disposition (by default, the end of the
// process).  The alarm wakes a blocked receive; the wait also ends at a
// deadline on the monotonic clock, tested between receives (which wake at
// least every 100 ms), for a caller that blocks SIGALRM: its alarm never
// runs the handler.  An alarm of ours left pending by such a caller is taken
// back.  The caller's timer then goes on with what was left of it.  Returns
// true when it fell due during the train: the entry point raises SIGALRM once
// the results are out, late by the train at most, never lost.
static bool wait_for_replies(int timeout) {
    sigset_t callerMask;
    block_alarm(&callerMask);
    const bool pendingBefore = alarm_pending();
    struct sigaction on_alarm {}, previous {};
    on_alarm.sa_handler = finish;
    sigemptyset(&on_alarm.sa_mask);
    on_alarm.sa_flags = 0;  // no restart: the alarm must interrupt a blocked receive
    sigaction(SIGALRM, &on_alarm, &previous);
    itimerval ours{}, caller{};
    ours.it_value.tv_sec = timeout > 0 ? timeout : 0;
    setitimer(ITIMER_REAL, &ours, &caller);
    // Taken after the caller's timer was read and before it is set again, so
    // the time counted off it is never more than passed: over many trains it
    // drifts late by microseconds, never early.
    const int64_t started = monotonic_ns();
    const int64_t deadline = timeout > 0 ? started + int64_t{timeout} * 1000000000 : INT64_MAX;
    pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);

    while (n_outstanding > 0 && !TimeOutFlag) {
        if (monotonic_ns() >= deadline) {
            TimeOutFlag = 1;
            break;
        }
        if (recv_icmp(icmp_socket, packet, BUFSIZE) < 0) continue;
        take_reply(packet_id);
    }

    block_alarm(nullptr);
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    if (!pendingBefore && alarm_pending()) {
        // Ours, held back by the caller's mask: taken so it never reaches them.
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        const timespec now{0, 0};
        sigtimedwait(&alarm, nullptr, &now);
    }
    sigaction(SIGALRM, &previous, nullptr);
    pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);
    const bool due = restore_caller_timer(caller, monotonic_ns() - started);
    // Printed here rather than in the handler, so it stays in order with the
    // rest of standard output whatever its buffering.
    if (TimeOutFlag) {
        std::printf("Timeout exceeded.\n");
        std::fflush(stdout);
    }
    return due;
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
    arrivalSources = {};
    gettimeofday(&starttv, nullptr);
    const int64_t monoStart = monotonic_ns();
    send_train(count, sizes, sendAt, monoStart);
    const bool callerAlarmDue = wait_for_replies(timeout);
    if (report) OldReportResults();
    if (close(icmp_socket) < 0) {
        std::printf("couldn't close socket!!!!!!!!\n");
        std::perror("tamsel: ");
    }
    icmp_socket = -1;
    return callerAlarmDue ? 1 : 0;
}

int OldMain(const char* host, int count, const int* sizes, int timeout) {
    return run_train(host, count, sizes, timeout, nullptr, true);
}

}  // namespace tsl

extern "C" int tamsel(const char* host, int count, const int* sizes, int* departs, int* arrives, int* bytesOut,
                      int* orderFlags, int* flags, int* numPaths, int timeout) {
    tsl::reset_train_state();
    const int callerAlarmDue = tsl::OldMain(host, count, sizes, timeout);
    tsl::collect_results(count, departs, arrives, bytesOut, orderFlags, flags, numPaths);
    // The caller's alarm that fell due during the train, to the caller's own
    // disposition, now that the results are theirs.
    if (callerAlarmDue) raise(SIGALRM);
    return 0;
}
