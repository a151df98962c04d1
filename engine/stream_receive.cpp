// SPDX-License-Identifier: MIT
// stream_receive.cpp - the stream runner's receiving side: it takes the
// replies to a stream's requests (and, for the hop search, the routers'
// errors that quote them), matches each to its request by identifier,
// sequence, token and source, and times it by the kernel's stamp.  Every
// datagram is parsed with the engine's bounded parsers; what is not ours is
// only counted.
#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "stream_run.h"

namespace tsl::stream {
namespace {

// Most entries read from a datagram socket's error queue in one go.
constexpr int kMostErrorsAtOnce = 64;

// When a datagram read just now arrived, on the schedule's (monotonic)
// clock.  The kernel stamps on the real-time clock: the offset to the
// monotonic clock sampled right after the read brings the stamp over, kept
// within the window the datagram can have arrived in (from when what it
// answers left, when that is known); without a stamp, the read's own time.
class ArrivalTime {
public:
    ArrivalTime(bool stamped, const timespec& stamp)
        : readNs_(tsl::monotonic_ns()), stamped_(stamped), stampNs_(tsl::timespec_ns(stamp)),
          offsetNs_(stamped ? tsl::realtime_offset_ns() : 0) {}
    int64_t at(int64_t earliestNs = INT64_MIN) const {
        return stamped_ ? tsl::stamp_on_monotonic(stampNs_, offsetNs_, earliestNs, readNs_) : readNs_;
    }
    bool stamped() const { return stamped_; }

private:
    int64_t readNs_;
    bool stamped_;
    int64_t stampNs_, offsetNs_;
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

// ---- Streams with a time to live per packet (the hop search) ----------------
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

// Books the answer to packet idx, which arrived at arrived (no answer comes
// before its request left).
void book_arrival(Run& run, unsigned idx, const ArrivalTime& arrived) {
    run.lastArrivalNs = arrived.at(run.startNs + run.depart[idx]);
    run.arrive[idx] = run.lastArrivalNs - run.startNs;
    run.stats.received++;
    if (!arrived.stamped()) run.stats.after_receive++;
}

// Books the first answer to packet idx of a stream of tsl_stream_run_hops,
// and who gave it.
void book_answer(Run& run, unsigned idx, int kind, const char* from, const ArrivalTime& arrived) {
    if (run.answers[idx].kind != TSL_STREAM_ANSWER_NONE) {
        run.stats.duplicates++;
        return;
    }
    book_arrival(run, idx, arrived);
    run.answers[idx].kind = kind;
    std::snprintf(run.answers[idx].from, sizeof run.answers[idx].from, "%s", from);
}

// The datagram read into the session's buffer, parsed as its socket
// delivers it (a raw IPv4 socket with the IP header).
bool parse_received(const tsl_stream_session* s, int cc, tsl::Datagram* d) {
    return s->kind == TSL_STREAM_RAW && s->family == 4 ? tsl::parse_datagram(s->in, cc, d)
                                                       : tsl::parse_icmp_message(s->in, cc, s->family == 6, d);
}

// Whether a parsed datagram is the echo reply to packet *idx of this stream:
// its identifier and sequence, the stream's token, from the destination.
bool is_reply_of_run(const Run& run, const tsl::Datagram& d, const sockaddr_storage& from, unsigned* idx) {
    const tsl_stream_session* s = run.s;
    *idx = static_cast<uint16_t>(d.seq - run.base);
    return *idx < static_cast<unsigned>(run.count) && d.type == s->echoReply && tsl::is_our_reply(d, s->ident) &&
           d.icmpLen >= kTokenAt + kTokenBytes && std::memcmp(d.icmp + kTokenAt, run.token, kTokenBytes) == 0 &&
           from_destination(s, from);
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
    const ArrivalTime arrived(e.stamped, e.stamp);
    run.lastArrivalNs = arrived.at();
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
    book_answer(run, idx, answer_kind(v6, e.type), from, arrived);
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
    const ArrivalTime arrived(arrival.stamped, arrival.stamp);
    run.lastArrivalNs = arrived.at();
    if (arrival.counted) s->lastDrops = arrival.drops;
    const bool v6 = s->family == 6;
    tsl::Datagram d;
    if (!parse_received(s, cc, &d)) {
        run.stats.ignored++;
        return true;
    }
    char source[TSL_STREAM_ADDRESS_TEXT] = "";
    if (d.hlen > 0) inet_ntop(AF_INET, &d.source, source, sizeof source);
    else address_text(s, from, source);
    unsigned idx = 0;
    if (d.type == s->echoReply) {
        if (is_reply_of_run(run, d, from, &idx)) book_answer(run, idx, TSL_STREAM_ANSWER_ECHO, s->address, arrived);
        else run.stats.ignored++;
        return true;
    }
    tsl::QuotedEcho q;
    if (s->kind == TSL_STREAM_RAW && tsl::parse_quoted_echo(d.icmp, d.icmpLen, v6, &q) &&
        quotes_ours(run, q, true, &idx)) {
        book_answer(run, idx, answer_kind(v6, q.type), source, arrived);
        return true;
    }
    run.stats.ignored++;
    return true;
}

}  // namespace

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
    const ArrivalTime arrived(arrival.stamped, arrival.stamp);
    run.lastArrivalNs = arrived.at();
    if (arrival.counted) s->lastDrops = arrival.drops;
    tsl::Datagram d;
    const bool parsed = parse_received(s, cc, &d);
    tsl::QuotedRequest q;
    if (parsed && s->kind == TSL_STREAM_RAW && tsl::read_quoted_request(d.icmp, d.icmpLen, s->family == 6, &q)) {
        // An error that quotes a request: a router's (or the host's) word on why no reply comes.
        if (s->family == 6) note_error(run, address_of(s, from), q.destination, q.id, q.seq, q.type, q.code);
        else note_error(run, &d.source, q.destination, q.id, q.seq, q.type, q.code);
        return true;
    }
    unsigned idx = 0;
    if (!parsed || !is_reply_of_run(run, d, from, &idx)) {
        run.stats.ignored++;
        return true;
    }
    if (run.arrive[idx] != TSL_STREAM_LOST) run.stats.duplicates++;
    else book_arrival(run, idx, arrived);
    return true;
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

}  // namespace tsl::stream
