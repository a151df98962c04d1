// SPDX-License-Identifier: MIT
// stream_open.cpp - the stream runner's sessions: the target resolved, an
// ICMP socket of either kind opened and set up, and an echo identifier of
// the session's own, held for as long as the session is open.
#include <arpa/inet.h>
#include <linux/icmp.h>
#include <netdb.h>
#include <netinet/icmp6.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "stream_session.h"

namespace tsl::stream {

// Fills buf with n random bytes; false with errno set when the kernel has none.
bool random_bytes(void* buf, size_t n) {
    auto* p = static_cast<unsigned char*>(buf);
    for (int tries = 0; n > 0 && tries < 16; ++tries) {
        const ssize_t got = getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    if (n > 0) errno = EAGAIN;
    return n == 0;
}

}  // namespace tsl::stream

namespace {

using tsl::stream::random_bytes;
using tsl::stream::refused;

// ---- Identifiers --------------------------------------------------------------
// The identifiers of this process's open sessions: a raw session draws one
// that no other session has, so that each takes only its own replies.
std::mutex identsLock;
std::vector<uint16_t> identsInUse;

// A random identifier no open session of the process has, nor the trains'
// (the low 16 bits of the process id); false with errno set when none could
// be drawn.
bool draw_identifier(uint16_t* ident) {
    const uint16_t trains = static_cast<uint16_t>(getpid() & 0xffff);
    std::lock_guard<std::mutex> hold(identsLock);
    for (int tries = 0; tries < 64; ++tries) {
        uint16_t v;
        if (!random_bytes(&v, sizeof v)) return false;
        if (v == trains || std::find(identsInUse.begin(), identsInUse.end(), v) != identsInUse.end()) continue;
        identsInUse.push_back(v);
        *ident = v;
        return true;
    }
    errno = EADDRINUSE;
    return false;
}

void hold_identifier(uint16_t ident) {
    std::lock_guard<std::mutex> hold(identsLock);
    identsInUse.push_back(ident);
}

void release_identifier(uint16_t ident) {
    std::lock_guard<std::mutex> hold(identsLock);
    auto at = std::find(identsInUse.begin(), identsInUse.end(), ident);
    if (at != identsInUse.end()) identsInUse.erase(at);
}

// ---- Opening ----------------------------------------------------------------
// Resolves host to the first address of the family (AF_UNSPEC: of any).
int resolve(const char* host, int af, tsl_stream_session* s) {
    addrinfo hints{};
    hints.ai_family = af;
    hints.ai_socktype = SOCK_DGRAM;  // one entry per address
    addrinfo* found = nullptr;
    const int status = getaddrinfo(host, nullptr, &hints, &found);
    if (status == EAI_MEMORY) {
        errno = ENOMEM;
        return TSL_STREAM_ERR_MEMORY;
    }
    if (status != 0 || found == nullptr) return TSL_STREAM_ERR_HOST;
    int result = TSL_STREAM_ERR_HOST;
    const int family = found->ai_addr->sa_family;
    const socklen_t need = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if ((family == AF_INET || family == AF_INET6) && found->ai_addrlen >= need) {
        std::memcpy(&s->to, found->ai_addr, need);
        s->toLen = need;
        s->family = family == AF_INET ? 4 : 6;
        result = 0;
    }
    freeaddrinfo(found);
    return result;
}

// How much the errno of a failed socket() tells the user: a shortage of
// resources most, a refusal next, a kind the system lacks least.
int telling(int error) {
    switch (error) {
        case EAFNOSUPPORT:
        case EPROTONOSUPPORT:
        case ESOCKTNOSUPPORT:
        case EPROTOTYPE:
        case EINVAL:
            return 0;
        case EPERM:
        case EACCES:
            return 1;
        default:
            return 2;
    }
}

// Opens the session's socket of the kind asked for (raw first, for any);
// false with errno kept from the attempt that tells the user most.
bool open_socket(tsl_stream_session* s, int kind) {
    const int af = s->family == 6 ? AF_INET6 : AF_INET;
    const int proto = s->family == 6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP};
    int error = 0;
    for (int k : {TSL_STREAM_RAW, TSL_STREAM_DATAGRAM}) {
        if (kind != TSL_STREAM_ANY_KIND && kind != k) continue;
        s->socket = socket(af, (k == TSL_STREAM_RAW ? SOCK_RAW : SOCK_DGRAM) | SOCK_CLOEXEC, proto);
        if (s->socket >= 0) {
            s->kind = k;
            return true;
        }
        if (error == 0 || telling(errno) > telling(error)) error = errno;
    }
    errno = error;
    return false;
}

// Socket options of a stream socket.  None is needed for a measurement, so a
// refusal changes only what it says: without nanosecond stamps replies are
// timed after the receive (counted in after_receive); without the filter,
// other ICMP messages take room in the buffer and are ignored.
void set_options(tsl_stream_session* s) {
    int on = 1;
    setsockopt(s->socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    setsockopt(s->socket, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    if (s->kind != TSL_STREAM_RAW) {
        // The kernel passes a datagram socket its own replies only, and the
        // ICMP errors about its requests on the error queue when asked to.
        if (s->family == 4) setsockopt(s->socket, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
        else setsockopt(s->socket, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
        return;
    }
    // A raw socket gets every ICMP message to the host, our own requests on
    // loopback among them: let only echo replies and the errors that may
    // quote a request take room in its buffer.
    if (s->family == 4) {
        icmp_filter filter{};
        filter.data = ~((1u << ICMP_ECHOREPLY) | (1u << ICMP_DEST_UNREACH) | (1u << ICMP_TIME_EXCEEDED) |
                        (1u << ICMP_PARAMETERPROB));
        setsockopt(s->socket, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    } else {
        icmp6_filter filter;
        ICMP6_FILTER_SETBLOCKALL(&filter);
        for (const int type : {ICMP6_ECHO_REPLY, ICMP6_DST_UNREACH, ICMP6_PACKET_TOO_BIG, ICMP6_TIME_EXCEEDED,
                               ICMP6_PARAM_PROB})
            ICMP6_FILTER_SETPASS(type, &filter);
        setsockopt(s->socket, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    }
}

// The identifier of a datagram socket is the one the kernel gives it on bind:
// it writes it into every request and passes the socket only replies that
// carry it.
bool bind_identifier(tsl_stream_session* s) {
    sockaddr_storage any{};
    any.ss_family = s->family == 6 ? AF_INET6 : AF_INET;
    const socklen_t len = s->family == 6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (bind(s->socket, reinterpret_cast<const sockaddr*>(&any), len) != 0) return false;
    sockaddr_storage bound{};
    socklen_t got = sizeof bound;
    if (getsockname(s->socket, reinterpret_cast<sockaddr*>(&bound), &got) != 0) return false;
    // The port field holds the identifier in network order, as it goes on the wire.
    if (s->family == 6) {
        sockaddr_in6 a;
        std::memcpy(&a, &bound, sizeof a);
        s->ident = a.sin6_port;
    } else {
        sockaddr_in a;
        std::memcpy(&a, &bound, sizeof a);
        s->ident = a.sin_port;
    }
    hold_identifier(s->ident);
    return true;
}

}  // namespace

extern "C" int tsl_stream_open_with(tsl_stream_session** session, const char* host, int family, int kind) {
    if (session == nullptr) return refused();
    *session = nullptr;
    if (family != TSL_STREAM_ANY && family != TSL_STREAM_IPV4 && family != TSL_STREAM_IPV6) return refused();
    if (kind != TSL_STREAM_ANY_KIND && kind != TSL_STREAM_RAW && kind != TSL_STREAM_DATAGRAM) return refused();
    if (host == nullptr) return TSL_STREAM_ERR_HOST;
    auto* s = new (std::nothrow) tsl_stream_session;
    if (s == nullptr) {
        errno = ENOMEM;
        return TSL_STREAM_ERR_MEMORY;
    }
    const int af = family == TSL_STREAM_IPV4 ? AF_INET : family == TSL_STREAM_IPV6 ? AF_INET6 : AF_UNSPEC;
    const int resolved = resolve(host, af, s);
    if (resolved != 0) {
        delete s;
        return resolved;
    }
    if (!open_socket(s, kind)) {
        const int saved = errno;
        delete s;
        errno = saved;
        return TSL_STREAM_ERR_SOCKET;
    }
    set_options(s);
    // The buffer the socket starts with (the kernel reports twice what was
    // asked for): a stream only ever makes it larger.
    int initial = 0;
    socklen_t initialLen = sizeof initial;
    if (getsockopt(s->socket, SOL_SOCKET, SO_RCVBUF, &initial, &initialLen) == 0) s->askedBuffer = initial / 2;
    int failure = 0;
    if (s->kind == TSL_STREAM_DATAGRAM) {
        if (!bind_identifier(s)) failure = TSL_STREAM_ERR_SOCKET;
    } else if (!draw_identifier(&s->ident)) {
        failure = TSL_STREAM_ERR_RANDOM;
    }
    if (failure != 0) {
        const int saved = errno;
        close(s->socket);
        delete s;
        errno = saved;
        return failure;
    }
    // ICMPv6 sockets and datagram sockets have the kernel write the checksum.
    s->kernelChecksum = s->family == 6 || s->kind == TSL_STREAM_DATAGRAM;
    s->echoReply = s->family == 6 ? tsl::ECHO6_REPLY : tsl::ECHO_REPLY;
    sockaddr_in6 to6;
    sockaddr_in to4;
    std::memcpy(&to6, &s->to, sizeof to6);
    std::memcpy(&to4, &s->to, sizeof to4);
    if (s->family == 6) inet_ntop(AF_INET6, &to6.sin6_addr, s->address, sizeof s->address);
    else inet_ntop(AF_INET, &to4.sin_addr, s->address, sizeof s->address);
    tsl::write_echo_header(s->out, s->ident, s->family == 6 ? tsl::ECHO6_REQUEST : tsl::ECHO_REQUEST);
    tsl::write_pattern(s->out, tsl::BUFSIZE);
    *session = s;
    return 0;
}

extern "C" int tsl_stream_open(tsl_stream_session** session, const char* host) {
    return tsl_stream_open_with(session, host, TSL_STREAM_ANY, TSL_STREAM_ANY_KIND);
}

extern "C" int tsl_stream_family(const tsl_stream_session* session) {
    return session != nullptr ? session->family : 0;
}

extern "C" int tsl_stream_socket_kind(const tsl_stream_session* session) {
    return session != nullptr ? session->kind : 0;
}

extern "C" int tsl_stream_header_bytes(const tsl_stream_session* session) {
    if (session == nullptr) return 0;
    return (session->family == 6 ? 40 : 20) + 8;
}

extern "C" const char* tsl_stream_address(const tsl_stream_session* session) {
    return session != nullptr ? session->address : "";
}

extern "C" int64_t tsl_stream_clock_ns(void) { return tsl::monotonic_ns(); }

extern "C" void tsl_stream_close(tsl_stream_session* session) {
    if (session == nullptr) return;
    if (session->socket >= 0) close(session->socket);
    release_identifier(session->ident);
    delete session;
}
