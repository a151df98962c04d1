// SPDX-License-Identifier: MIT
// stream.cpp - the stream runner: many echo requests, each sent at its own
// time by busy-waiting on the monotonic clock, and their replies timed by the
// kernel; also with a time to live per request, for the hop search.  It
// builds, checksums, matches, stamps and paces with the engine's own
// functions; all of its state lives in a session (opened in
// stream_open.cpp), and it never ends the process or writes to a stream.
#include "tamsel_stream.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <linux/sock_diag.h>
#include <netinet/icmp6.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "stream_session.h"

namespace {

using tsl::stream::kTokenAt;
using tsl::stream::kTokenBytes;
using tsl::stream::random_bytes;
using tsl::stream::refused;

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

// ---- One stream ---------------------------------------------------------------
// Most entries read from a datagram socket's error queue in one go.
constexpr int kMostErrorsAtOnce = 64;

// One stream under way: the session, its window, token and the caller's arrays.
struct Run {
    tsl_stream_session* s;
    int count;
    uint16_t base;          // sequence number of packet 0
    unsigned char token[kTokenBytes];
    int64_t startNs;        // start instant, monotonic clock
    const int64_t* depart;  // departures from the start instant, written before each send
    int64_t* arrive;
    int64_t lastArrivalNs;  // arrival of the datagram read last, monotonic clock
    tsl_stream_stats stats;
    tsl_stream_answer* answers = nullptr;  // a stream of tsl_stream_run_hops: who answered
};

bool from_destination(const tsl_stream_session* s, const sockaddr_storage& from) {
    if (s->family == 6) {
        sockaddr_in6 a, b;
        std::memcpy(&a, &from, sizeof a);
        std::memcpy(&b, &s->to, sizeof b);
        return from.ss_family == AF_INET6 && std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0;
    }
    sockaddr_in a, b;
    std::memcpy(&a, &from, sizeof a);
    std::memcpy(&b, &s->to, sizeof b);
    return from.ss_family == AF_INET && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// The address part of a socket address of the session's family.
const void* address_of(const tsl_stream_session* s, const sockaddr_storage& a) {
    return s->family == 6 ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(&a)->sin6_addr)
                          : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(&a)->sin_addr);
}

// Keeps an ICMP error from source about packet seq of this stream, sent to
// destination (4 or 16 bytes): "ADDRESS says: what".  Errors about others'
// requests, other destinations or earlier streams are only counted.
void note_error(Run& run, const void* source, const void* destination, uint16_t id, uint16_t seq, int type,
                int code) {
    tsl_stream_session* s = run.s;
    const size_t len = s->family == 6 ? 16 : 4;
    run.stats.ignored++;  // no reply, whoever it is about
    if (id != s->ident || static_cast<uint16_t>(seq - run.base) >= static_cast<unsigned>(run.count) ||
        std::memcmp(destination, address_of(s, s->to), len) != 0)
        return;
    char from[INET6_ADDRSTRLEN] = "?";
    inet_ntop(s->family == 6 ? AF_INET6 : AF_INET, source, from, sizeof from);
    const std::string what = tsl::icmp_error_text(s->family == 6, type, code);
    std::snprintf(s->lastError, sizeof s->lastError, "%s says: %s", from, what.c_str());
}

// One record of a datagram socket's error queue: the request it answered
// (into buf, from its ICMP header on), that request's destination, the
// kernel's description and the router's address after it, and the receive
// stamp.
struct QueuedError {
    int bytes = 0;                // of the request in buf
    sockaddr_storage to{};        // where the request went
    bool fromIcmp = false;        // an ICMP or ICMPv6 error, not a local one
    int type = -1, code = -1;
    sockaddr_storage offender{};  // the router that sent it (SO_EE_OFFENDER)
    bool stamped = false;
    timespec stamp{};
};

// Takes the next record of the error queue, if one waits (never blocks).
bool read_queued_error(tsl_stream_session* s, unsigned char* buf, size_t len, QueuedError* e) {
    *e = QueuedError{};
    alignas(cmsghdr) unsigned char control[512];
    iovec iov{buf, len};
    msghdr msg{};
    msg.msg_name = &e->to;
    msg.msg_namelen = sizeof e->to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t cc = recvmsg(s->socket, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (cc < 0) return false;
    e->bytes = static_cast<int>(cc);
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        const size_t data = c->cmsg_len >= CMSG_LEN(0) ? c->cmsg_len - CMSG_LEN(0) : 0;
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS && data >= sizeof e->stamp) {
            std::memcpy(&e->stamp, CMSG_DATA(c), sizeof e->stamp);
            e->stamped = true;
        } else if ((c->cmsg_level == SOL_IP && c->cmsg_type == IP_RECVERR) ||
                   (c->cmsg_level == SOL_IPV6 && c->cmsg_type == IPV6_RECVERR)) {
            sock_extended_err ee;
            if (data < sizeof ee) continue;
            std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
            e->fromIcmp = ee.ee_origin == SO_EE_ORIGIN_ICMP || ee.ee_origin == SO_EE_ORIGIN_ICMP6;
            e->type = ee.ee_type;
            e->code = ee.ee_code;
            // The router's address follows the description, when the kernel knows it.
            std::memcpy(&e->offender, CMSG_DATA(c) + sizeof ee, std::min(data - sizeof ee, sizeof e->offender));
        }
    }
    return true;
}

// Reads the errors a datagram socket keeps on its error queue (never blocks).
void take_errors(Run& run) {
    tsl_stream_session* s = run.s;
    unsigned char quoted[64];
    QueuedError e;
    for (int n = 0; n < kMostErrorsAtOnce && read_queued_error(s, quoted, sizeof quoted, &e); ++n) {
        if (!e.fromIcmp) continue;  // a local error, not a router's
        // The payload is the request as sent, from its ICMP header on.
        if (e.bytes < 8 || quoted[0] != (s->family == 6 ? tsl::ECHO6_REQUEST : tsl::ECHO_REQUEST) ||
            e.offender.ss_family != (s->family == 6 ? AF_INET6 : AF_INET) || e.to.ss_family != e.offender.ss_family) {
            run.stats.ignored++;
            continue;
        }
        uint16_t id, seq;
        std::memcpy(&id, quoted + 4, 2);
        std::memcpy(&seq, quoted + 6, 2);
        note_error(run, address_of(s, e.offender), address_of(s, e.to), id, seq, e.type, e.code);
    }
}
bool take_one_hop(Run& run);

// Takes one datagram if one is waiting (never blocks); false when none was.
bool take_one(Run& run) {
    if (run.answers != nullptr) return take_one_hop(run);
    tsl_stream_session* s = run.s;
    tsl::Arrival arrival;
    sockaddr_storage from{};
    const int cc = tsl::receive_message(s->socket, s->in, tsl::BUFSIZE, MSG_DONTWAIT, &arrival, &from);
    if (cc < 0) {
        // A datagram socket reports an ICMP error about an earlier request
        // once, in place of a datagram: something came that is no reply.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            run.stats.ignored++;
            if (s->kind == TSL_STREAM_DATAGRAM) take_errors(run);
        }
        return false;
    }
    // The kernel stamps on the real-time clock: the offset to the monotonic
    // clock sampled right now brings the stamp onto the schedule's clock,
    // within the window the datagram can have arrived in.
    const int64_t readNs = tsl::monotonic_ns();
    const int64_t offset = arrival.stamped ? tsl::realtime_offset_ns() : 0;
    const int64_t stamp = tsl::timespec_ns(arrival.stamp);
    auto arrived = [&](int64_t earliest) {
        return arrival.stamped ? tsl::stamp_on_monotonic(stamp, offset, earliest, readNs) : readNs;
    };
    run.lastArrivalNs = arrived(INT64_MIN);
    if (arrival.counted) s->lastDrops = arrival.drops;
    tsl::Datagram d;
    const bool parsed = s->kind == TSL_STREAM_RAW && s->family == 4
                            ? tsl::parse_datagram(s->in, cc, &d)
                            : tsl::parse_icmp_message(s->in, cc, s->family == 6, &d);
    tsl::QuotedRequest q;
    if (parsed && s->kind == TSL_STREAM_RAW && tsl::read_quoted_request(d.icmp, d.icmpLen, s->family == 6, &q)) {
        // An error that quotes a request: a router's (or the host's) word on why no reply comes.
        if (s->family == 6) note_error(run, address_of(s, from), q.destination, q.id, q.seq, q.type, q.code);
        else note_error(run, &d.source, q.destination, q.id, q.seq, q.type, q.code);
        return true;
    }
    const unsigned idx = parsed ? static_cast<uint16_t>(d.seq - run.base) : static_cast<unsigned>(run.count);
    if (idx >= static_cast<unsigned>(run.count) || !tsl::is_our_reply(d, s->ident) || d.type != s->echoReply ||
        d.icmpLen < kTokenAt + kTokenBytes || std::memcmp(d.icmp + kTokenAt, run.token, kTokenBytes) != 0 ||
        !from_destination(s, from)) {
        run.stats.ignored++;
        return true;
    }
    if (run.arrive[idx] != TSL_STREAM_LOST) {
        run.stats.duplicates++;
        return true;
    }
    // No reply comes before its request left.
    run.lastArrivalNs = arrived(run.startNs + run.depart[idx]);
    run.arrive[idx] = run.lastArrivalNs - run.startNs;
    run.stats.received++;
    if (!arrival.stamped) run.stats.after_receive++;
    return true;
}

// ---- Streams with a time to live per packet ----------------------------------
// The address text of a socket address of the session's family.
void address_text(const tsl_stream_session* s, const sockaddr_storage& a, char* out) {
    out[0] = '\0';
    if (s->family == 6 && a.ss_family == AF_INET6) {
        sockaddr_in6 v;
        std::memcpy(&v, &a, sizeof v);
        inet_ntop(AF_INET6, &v.sin6_addr, out, TSL_STREAM_ADDRESS_TEXT);
    } else if (s->family == 4 && a.ss_family == AF_INET) {
        sockaddr_in v;
        std::memcpy(&v, &a, sizeof v);
        inet_ntop(AF_INET, &v.sin_addr, out, TSL_STREAM_ADDRESS_TEXT);
    }
}

// True when a quoted request is one of this stream's, to the session's
// destination; the token is checked when the quote holds it.
bool quotes_ours(const Run& run, const tsl::QuotedEcho& q, bool checkDestination, unsigned* idx) {
    const tsl_stream_session* s = run.s;
    *idx = static_cast<uint16_t>(q.seq - run.base);
    if (*idx >= static_cast<unsigned>(run.count) || q.id != s->ident) return false;
    if (q.token != nullptr && std::memcmp(q.token, run.token, kTokenBytes) != 0) return false;
    if (!checkDestination) return true;
    if (!q.hasDestination) return false;
    sockaddr_in6 to6;
    sockaddr_in to4;
    std::memcpy(&to6, &s->to, sizeof to6);
    std::memcpy(&to4, &s->to, sizeof to4);
    return s->family == 6 ? std::memcmp(q.destination, &to6.sin6_addr, 16) == 0
                          : std::memcmp(q.destination, &to4.sin_addr, 4) == 0;
}

// Books the first answer to packet idx.
void book_answer(Run& run, unsigned idx, int kind, const char* from, bool stamped) {
    if (run.answers[idx].kind != TSL_STREAM_ANSWER_NONE) {
        run.stats.duplicates++;
        return;
    }
    run.arrive[idx] = run.lastArrivalNs - run.startNs;
    run.answers[idx].kind = kind;
    std::snprintf(run.answers[idx].from, sizeof run.answers[idx].from, "%s", from);
    run.stats.received++;
    if (!stamped) run.stats.after_receive++;
}

int answer_kind(bool v6, int type) {
    if (type == (v6 ? tsl::TIME6_EXCEEDED : tsl::TIME_EXCEEDED)) return TSL_STREAM_ANSWER_EXCEEDED;
    return TSL_STREAM_ANSWER_UNREACHABLE;
}

// Takes one error from a datagram socket's error queue, if one waits: the
// request it answered as the router quoted it, the kernel's description with
// the router's address after it, and the receive stamp.
bool take_queued_error(Run& run) {
    tsl_stream_session* s = run.s;
    QueuedError e;
    if (!read_queued_error(s, s->in, sizeof s->in, &e)) return false;
    run.lastArrivalNs = e.stamped ? tsl::timespec_ns(e.stamp) - tsl::realtime_offset_ns() : tsl::monotonic_ns();
    const bool v6 = s->family == 6;
    tsl::QuotedEcho q;
    unsigned idx = 0;
    const bool known = v6 ? (e.type == tsl::TIME6_EXCEEDED || e.type == tsl::UNREACHABLE6)
                          : (e.type == tsl::TIME_EXCEEDED || e.type == tsl::UNREACHABLE);
    if (!e.fromIcmp || !known || !tsl::parse_own_echo(s->in, e.bytes, v6, &q) || !quotes_ours(run, q, false, &idx)) {
        run.stats.ignored++;
        return true;
    }
    char from[TSL_STREAM_ADDRESS_TEXT];
    address_text(s, e.offender, from);
    book_answer(run, idx, answer_kind(v6, e.type), from, e.stamped);
    return true;
}

// take_one for a stream of tsl_stream_run_hops: echo replies, and the errors
// that quote its requests.
bool take_one_hop(Run& run) {
    tsl_stream_session* s = run.s;
    if (s->kind == TSL_STREAM_DATAGRAM && take_queued_error(run)) return true;
    tsl::Arrival arrival;
    sockaddr_storage from{};
    const int cc = tsl::receive_message(s->socket, s->in, tsl::BUFSIZE, MSG_DONTWAIT, &arrival, &from);
    if (cc < 0) {
        // A datagram socket reports a queued error once in place of a
        // datagram; the error itself waits in the queue.
        return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && s->kind == TSL_STREAM_DATAGRAM;
    }
    run.lastArrivalNs = arrival.stamped ? tsl::timespec_ns(arrival.stamp) - tsl::realtime_offset_ns()
                                        : tsl::monotonic_ns();
    if (arrival.counted) s->lastDrops = arrival.drops;
    const bool v6 = s->family == 6;
    tsl::Datagram d;
    const bool parsed = s->kind == TSL_STREAM_RAW && !v6 ? tsl::parse_datagram(s->in, cc, &d)
                                                         : tsl::parse_icmp_message(s->in, cc, v6, &d);
    if (!parsed) {
        run.stats.ignored++;
        return true;
    }
    char source[TSL_STREAM_ADDRESS_TEXT] = "";
    if (d.hlen > 0) inet_ntop(AF_INET, &d.source, source, sizeof source);
    else address_text(s, from, source);
    unsigned idx = static_cast<uint16_t>(d.seq - run.base);
    if (d.type == s->echoReply) {
        if (idx < static_cast<unsigned>(run.count) && tsl::is_our_reply(d, s->ident) &&
            d.icmpLen >= kTokenAt + kTokenBytes && std::memcmp(d.icmp + kTokenAt, run.token, kTokenBytes) == 0 &&
            from_destination(s, from)) {
            book_answer(run, idx, TSL_STREAM_ANSWER_ECHO, s->address, arrival.stamped);
            return true;
        }
        run.stats.ignored++;
        return true;
    }
    tsl::QuotedEcho q;
    if (s->kind == TSL_STREAM_RAW && tsl::parse_quoted_echo(d.icmp, d.icmpLen, v6, &q) &&
        quotes_ours(run, q, true, &idx)) {
        book_answer(run, idx, answer_kind(v6, q.type), source, arrival.stamped);
        return true;
    }
    run.stats.ignored++;
    return true;
}

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

// Reads one waiting datagram while a send is due in leftNs, when reading
// takes well less than that, and keeps the cost of a read up to date.  A read
// that took long because the process lost the processor counts as twice the
// cost at most: one outlier must not stop the reads that would bring the
// estimate back down.
void read_ahead(Run& run, int64_t leftNs) {
    tsl_stream_session* s = run.s;
    if (leftNs <= 2 * s->readCostNs + 500) return;
    const int64_t before = tsl::monotonic_ns();
    if (!take_one(run)) return;
    const int64_t took = std::clamp<int64_t>(tsl::monotonic_ns() - before, 500, 2 * s->readCostNs);
    s->readCostNs += (took - s->readCostNs) / 8;
}

// How long the wait may read past its deadline datagrams that had arrived
// before it, when more were waiting than could be read in time.
constexpr int64_t kMostOverrunNs = 20000000;
// Most datagrams read in one go before looking at the time again.
constexpr int kMostReadsAtOnce = 256;

// Reads what waits until none does, every reply is in, or one read has
// arrived at or after until (those behind it in the queue came later still),
// or the overrun limit has passed: a steady flow of other datagrams cannot
// hold it.
void take_waiting(Run& run, int64_t until) {
    for (;;) {
        for (int n = 0; n < kMostReadsAtOnce; ++n) {
            if (!take_one(run)) return;
            if (run.stats.received == run.count || run.lastArrivalNs >= until) return;
        }
        if (tsl::monotonic_ns() >= until + kMostOverrunNs) return;
    }
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
// Counts the packets that had to wait.  With retryErrors, a send that failed
// because the socket reported an ICMP error about an earlier request (it
// does so on the next send too) is tried again, twice at most.  False with
// errno set when the kernel refused it, or it could not be sent within
// kMostSendWaitNs.
bool send_packet(Run& run, int i, int cc, int64_t* departNs, bool retryErrors = false) {
    tsl_stream_session* s = run.s;
    tsl::set_echo_sequence(s->out, static_cast<uint16_t>(run.base + i));
    int64_t giveUp = 0;
    int errorsLeft = retryErrors ? 2 : 0;
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
        return send_packet(run, i, sizes[i] + 8, &depart_ns[i], true);
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
