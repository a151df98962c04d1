// SPDX-License-Identifier: MIT
// stream.cpp - the stream runner: many echo requests, each sent at its own
// time by busy-waiting on the monotonic clock, and their replies timed by the
// kernel; also with a time to live per request, for the hop search.  This
// part sends a stream on its schedule and waits for its replies, which
// stream_receive.cpp takes and matches; it builds, checksums, stamps and
// paces with the engine's own functions.  All of its state lives in a
// session (opened in stream_open.cpp), and it never ends the process or
// writes to a stream.
#include "tamsel_stream.h"

#include <linux/icmp.h>
#include <linux/sock_diag.h>
#include <netinet/icmp6.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "stream_run.h"

namespace {

using tsl::stream::kTokenAt;
using tsl::stream::random_bytes;
using tsl::stream::read_ahead;
using tsl::stream::refused;
using tsl::stream::Run;
using tsl::stream::take_errors;
using tsl::stream::take_waiting;

// ---- Receive buffer ---------------------------------------------------------
// Room the kernel counts for one received datagram beyond its bytes (its
// buffer head and alignment); the kernel doubles what is asked for on top.
constexpr int kDatagramOverhead = 1024;
// The most a stream asks for; beyond it a stream relies on its replies being
// read while it is sent.
constexpr int kMostBuffer = 64 << 20;

// Asks for a receive buffer that holds every reply of a stream of count
// datagrams of ipBytes: beyond the system's limit when the process has the
// privilege for it (SO_RCVBUFFORCE), else up to that limit (SO_RCVBUF,
// net.core.rmem_max).  A buffer is never made smaller.
void reserve_buffer(tsl_stream_session* s, int count, int ipBytes) {
    const int64_t want = std::min<int64_t>(int64_t{count} * (ipBytes + kDatagramOverhead), kMostBuffer);
    if (want <= s->askedBuffer) return;
    const int bytes = static_cast<int>(want);
    if (setsockopt(s->socket, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        setsockopt(s->socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    s->askedBuffer = bytes;
}

// The socket's count of datagrams dropped for a full buffer: asked of the
// kernel, which counts drops after the last datagram too; else as last seen
// on a datagram (SO_RXQ_OVFL).
uint32_t drops_so_far(tsl_stream_session* s) {
    uint32_t info[SK_MEMINFO_VARS];
    socklen_t len = sizeof info;
    if (getsockopt(s->socket, SOL_SOCKET, SO_MEMINFO, info, &len) == 0 &&
        len >= (SK_MEMINFO_DROPS + 1) * sizeof(uint32_t))
        return info[SK_MEMINFO_DROPS];
    return s->lastDrops;
}

// ---- Sending a stream ----------------------------------------------------------
// The socket set for a stream of tsl_stream_run_hops (on) or back as
// tsl_stream_run wants it (off): a raw socket's filter lets the errors
// through; a datagram socket queues them.
void hop_errors(tsl_stream_session* s, bool on) {
    if (s->kind == TSL_STREAM_DATAGRAM) {
        const int v = on ? 1 : 0;  // off also empties the queue
        if (s->family == 6) setsockopt(s->socket, SOL_IPV6, IPV6_RECVERR, &v, sizeof v);
        else setsockopt(s->socket, SOL_IP, IP_RECVERR, &v, sizeof v);
        return;
    }
    if (s->family == 4) {
        icmp_filter filter{};
        filter.data = ~(1u << ICMP_ECHOREPLY);
        if (on) filter.data &= ~((1u << ICMP_TIME_EXCEEDED) | (1u << ICMP_DEST_UNREACH));
        setsockopt(s->socket, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    } else {
        icmp6_filter filter;
        ICMP6_FILTER_SETBLOCKALL(&filter);
        ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &filter);
        if (on) {
            ICMP6_FILTER_SETPASS(ICMP6_TIME_EXCEEDED, &filter);
            ICMP6_FILTER_SETPASS(ICMP6_DST_UNREACH, &filter);
        }
        setsockopt(s->socket, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    }
}

// Sets the time to live of what the socket sends next; -1: the system's default.
bool set_ttl(tsl_stream_session* s, int ttl) {
    if (s->family == 6) return setsockopt(s->socket, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &ttl, sizeof ttl) == 0;
    return setsockopt(s->socket, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) == 0;
}

// How long one packet may wait for room to be sent: a socket that stays
// full longer than this is stuck, and the stream fails with EAGAIN.
constexpr int64_t kMostSendWaitNs = 1000000000;
// How long to sleep before trying again when the device queue was full
// (ENOBUFS), which the socket cannot be polled for.
constexpr int64_t kDeviceQueuePauseNs = 100000;

// Stamps and sends packet i.  A socket whose send buffer is full (EAGAIN),
// or a device queue that is (ENOBUFS), is waited on until it takes the
// packet, which is then stamped again: its stamps are when it really left.
// Counts the packets that had to wait.  A send that failed because the
// socket reported an ICMP error about an earlier request (it does so on the
// next send when the error came in since the last read of the error queue)
// is tried again, twice at most: the error stays queued for the run to read,
// and the stream goes on.  False with
// errno set when the kernel refused it, or it could not be sent within
// kMostSendWaitNs.
bool send_packet(Run& run, int i, int cc, int64_t* departNs) {
    tsl_stream_session* s = run.s;
    tsl::set_echo_sequence(s->out, static_cast<uint16_t>(run.base + i));
    int64_t giveUp = 0;
    int errorsLeft = 2;
    for (;;) {
        const int64_t first = tsl::monotonic_ns();
        const auto stamp = static_cast<int32_t>((first - run.startNs) / 1000);
        if (s->kernelChecksum) {
            tsl::stamp_echo(s->out, stamp);
        } else {
            s->out[2] = s->out[3] = 0;  // checksummed again with the new stamp
            tsl::seal_echo(s->out, cc, stamp);
        }
        *departNs = tsl::monotonic_ns() - run.startNs;
        const ssize_t sent = sendto(s->socket, s->out, static_cast<size_t>(cc), MSG_DONTWAIT,
                                    reinterpret_cast<const sockaddr*>(&s->to), s->toLen);
        if (sent == cc) return true;
        if (sent >= 0) {
            errno = EMSGSIZE;  // a datagram socket never sends part of one
            return false;
        }
        if (errno == EINTR) continue;
        if ((errno == EHOSTUNREACH || errno == ENETUNREACH || errno == ECONNREFUSED || errno == EPROTO ||
             errno == EACCES) &&
            errorsLeft-- > 0)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) return false;
        const int error = errno;
        const int64_t now = tsl::monotonic_ns();
        if (giveUp == 0) {
            giveUp = now + kMostSendWaitNs;
            run.stats.send_waits++;
        } else if (now >= giveUp) {
            errno = error;
            return false;
        }
        const int64_t wait = error == ENOBUFS ? std::min(kDeviceQueuePauseNs, giveUp - now) : giveUp - now;
        const timespec ts = {static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
        if (error == ENOBUFS) {
            nanosleep(&ts, nullptr);
        } else {
            pollfd p = {s->socket, POLLOUT, 0};
            ppoll(&p, 1, &ts, nullptr);
        }
    }
}

// A refused request, with errno saying so (EINVAL).
// Starts a run of count packets of up to ipBytes: a token of its own in the
// packet (a reply must echo it to be taken, so neither a forger who cannot
// see the requests nor a late reply of an earlier stream passes for a reply
// of this one), room in the receive buffer, its sequence numbers taken and
// every packet lost until its reply comes.  False when no random bytes came.
bool begin_run(Run& run, int ipBytes) {
    tsl_stream_session* s = run.s;
    if (!random_bytes(run.token, sizeof run.token)) return false;
    std::memcpy(s->out + kTokenAt, run.token, sizeof run.token);
    reserve_buffer(s, run.count, ipBytes);
    s->nextSeq = static_cast<uint16_t>(s->nextSeq + run.count);
    for (int i = 0; i < run.count; ++i) run.arrive[i] = TSL_STREAM_LOST;
    return true;
}

// Sends the run's packets at their times from now, reading replies in the
// gaps; send(i) sends packet i.  A sender that fell behind moves the rest of
// the schedule (counted in the stats) rather than catch up in a burst.
template <class Send>
bool send_on_schedule(Run& run, const int64_t* sendAtNs, Send send) {
    tsl::ScheduleShift shift;
    run.startNs = tsl::monotonic_ns();
    run.stats.start_ns = run.startNs;
    const bool sent = tsl::pace_sends(
        run.count, tsl::monotonic_ns, [&](int i) { return run.startNs + sendAtNs[i]; },
        [&](int64_t left) { read_ahead(run, left); }, send, 2000, &shift);
    run.stats.shifts = shift.shifts;
    run.stats.shifted_ns = shift.total;
    return sent;
}

bool valid_request(int count, int size, const int64_t* sendAt, int64_t waitNs) {
    if (count < 1 || count > TSL_STREAM_MAX_PACKETS) return false;
    if (size < TSL_STREAM_MIN_DATA || size > TSL_STREAM_MAX_DATA) return false;
    if (waitNs < 0 || waitNs > TSL_STREAM_MAX_WAIT_NS) return false;
    for (int i = 0; i < count; ++i) {
        if (sendAt[i] < 0 || sendAt[i] > TSL_STREAM_MAX_SPAN_NS) return false;
        if (i > 0 && sendAt[i] < sendAt[i - 1]) return false;
    }
    return true;
}

}  // namespace

extern "C" int tsl_stream_run(tsl_stream_session* session, int count, int size, const int64_t* send_at_ns,
                              int64_t* depart_ns, int64_t* arrive_ns, int64_t wait_ns, tsl_stream_stats* stats) {
    if (session == nullptr || send_at_ns == nullptr || depart_ns == nullptr || arrive_ns == nullptr ||
        !valid_request(count, size, send_at_ns, wait_ns))
        return refused();
    Run run{session, count, session->nextSeq, {}, 0, depart_ns, arrive_ns, 0, {}};
    if (!begin_run(run, size + tsl_stream_header_bytes(session))) return TSL_STREAM_ERR_RANDOM;
    session->lastError[0] = '\0';
    const uint32_t dropsBefore = drops_so_far(session);

    const int cc = size + 8;
    const bool sent = send_on_schedule(run, send_at_ns, [&](int i) { return send_packet(run, i, cc, &depart_ns[i]); });
    if (!sent) {
        if (stats != nullptr) *stats = run.stats;
        return TSL_STREAM_ERR_SEND;
    }

    int64_t deadline = run.startNs + depart_ns[count - 1] + wait_ns;
    while (run.stats.received < count) {
        take_waiting(run, deadline);
        // Once the last packet's reply is in, only a straggler can still come.
        if (arrive_ns[count - 1] != TSL_STREAM_LOST)
            deadline = std::min(deadline, run.startNs + arrive_ns[count - 1] + TSL_STREAM_SETTLE_NS);
        const int64_t left = deadline - tsl::monotonic_ns();
        if (run.stats.received == count || left <= 0) break;
        pollfd p = {session->socket, POLLIN, 0};
        const timespec wait = {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        if (ppoll(&p, 1, &wait, nullptr) > 0 && (p.revents & POLLERR) != 0 && session->kind == TSL_STREAM_DATAGRAM)
            take_errors(run);
    }
    run.stats.overflows = static_cast<int>(drops_so_far(session) - dropsBefore);
    if (stats != nullptr) *stats = run.stats;
    return run.stats.received;
}

extern "C" void tsl_stream_reserve(tsl_stream_session* session, int count, int ip_bytes) {
    if (session == nullptr || count < 1 || ip_bytes < 1) return;
    reserve_buffer(session, std::min(count, TSL_STREAM_MAX_PACKETS), std::min(ip_bytes, 65535));
}

extern "C" int tsl_stream_last_error(const tsl_stream_session* session, char* buf, size_t len) {
    if (session == nullptr || session->lastError[0] == '\0') {
        if (buf != nullptr && len > 0) buf[0] = '\0';
        return 0;
    }
    if (buf != nullptr && len > 0) std::snprintf(buf, len, "%s", session->lastError);
    return 1;
}

extern "C" int tsl_stream_run_hops(tsl_stream_session* session, int count, const int* sizes, const int* ttls,
                                   const int64_t* send_at_ns, int64_t* depart_ns, int64_t* arrive_ns,
                                   tsl_stream_answer* answers, int64_t wait_ns, tsl_stream_stats* stats) {
    if (session == nullptr || sizes == nullptr || ttls == nullptr || send_at_ns == nullptr ||
        depart_ns == nullptr || arrive_ns == nullptr || answers == nullptr ||
        !valid_request(count, TSL_STREAM_MIN_DATA, send_at_ns, wait_ns))
        return TSL_STREAM_ERR_ARGUMENT;
    int largest = 0;
    for (int i = 0; i < count; ++i) {
        if (sizes[i] < TSL_STREAM_MIN_DATA || sizes[i] > TSL_STREAM_MAX_DATA || ttls[i] < 1 || ttls[i] > 255)
            return TSL_STREAM_ERR_ARGUMENT;
        largest = std::max(largest, sizes[i]);
    }
    Run run{session, count, session->nextSeq, {}, 0, depart_ns, arrive_ns, 0, {}, answers};
    if (!begin_run(run, largest + tsl_stream_header_bytes(session))) return TSL_STREAM_ERR_RANDOM;
    for (int i = 0; i < count; ++i) answers[i] = tsl_stream_answer{TSL_STREAM_ANSWER_NONE, ""};
    hop_errors(session, true);
    const uint32_t dropsBefore = drops_so_far(session);

    int ttlNow = -1;
    const bool sent = send_on_schedule(run, send_at_ns, [&](int i) {
        if (ttls[i] != ttlNow) {
            if (!set_ttl(session, ttls[i])) return false;
            ttlNow = ttls[i];
        }
        // The routers' errors about earlier requests come back on this socket.
        return send_packet(run, i, sizes[i] + 8, &depart_ns[i]);
    });
    const int sendError = errno;
    set_ttl(session, -1);
    if (sent) {
        const int64_t deadline = run.startNs + depart_ns[count - 1] + wait_ns;
        while (run.stats.received < count) {
            take_waiting(run, deadline);
            const int64_t left = deadline - tsl::monotonic_ns();
            if (run.stats.received == count || left <= 0) break;
            pollfd p = {session->socket, POLLIN, 0};  // errors in the queue wake it too (POLLERR)
            const timespec wait = {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
            ppoll(&p, 1, &wait, nullptr);
        }
    }
    hop_errors(session, false);
    run.stats.overflows = static_cast<int>(drops_so_far(session) - dropsBefore);
    if (stats != nullptr) *stats = run.stats;
    if (!sent) {
        errno = sendError;
        return TSL_STREAM_ERR_SEND;
    }
    return run.stats.received;
}

extern "C" const char* tsl_stream_strerror(int error) {
    switch (error) {
        case TSL_STREAM_ERR_HOST: return "unknown host";
        case TSL_STREAM_ERR_SOCKET: return "no ICMP socket";
        case TSL_STREAM_ERR_ARGUMENT: return "invalid stream request";
        case TSL_STREAM_ERR_SEND: return "send failed";
        case TSL_STREAM_ERR_MEMORY: return "out of memory";
        case TSL_STREAM_ERR_RANDOM: return "no random bytes";
        default: return error >= 0 ? "no error" : "unknown error";
    }
}
