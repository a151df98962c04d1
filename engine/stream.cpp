// SPDX-License-Identifier: MIT
// stream.cpp - the stream runner: many echo requests, each sent at its own
// time by busy-waiting on the clock, and their replies timed by the kernel.
// It builds, checksums, matches and stamps with the engine's own functions;
// all of its state lives in a session, and it never ends the process.
#include "tamsel_stream.h"

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <new>

#include "tsl_engine.h"

struct tsl_stream_session {
    int socket = -1;
    sockaddr_in to{};
    uint16_t ident = 0;
    uint16_t nextSeq = 0;  // first sequence number of the next stream
    char address[INET_ADDRSTRLEN] = {};
    unsigned char out[tsl::BUFSIZE];
    unsigned char in[tsl::BUFSIZE];
};

namespace {

int64_t clock_ns() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);  // the clock of the kernel's receive stamps
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// One stream under way: the session, its window and the caller's arrays.
struct Run {
    tsl_stream_session* s;
    int count;
    uint16_t base;     // sequence number of packet 0
    int64_t startNs;   // start instant
    int64_t* arrive;
    tsl_stream_stats stats;
};

// Takes one datagram if one is waiting (never blocks); false when none was.
bool take_one(Run& run) {
    timeval stamp;
    bool stamped = false;
    int cc = tsl::receive_datagram(run.s->socket, run.s->in, tsl::BUFSIZE, MSG_DONTWAIT, &stamp, &stamped);
    if (cc < 0) return false;
    const int64_t arrival = stamped ? static_cast<int64_t>(stamp.tv_sec) * 1000000 + stamp.tv_usec
                                    : clock_ns() / 1000;
    tsl::Datagram d;
    const unsigned idx = tsl::parse_datagram(run.s->in, cc, &d)
                             ? static_cast<uint16_t>(d.seq - run.base)
                             : static_cast<unsigned>(run.count);
    if (idx >= static_cast<unsigned>(run.count) || !tsl::is_our_reply(d, run.s->ident) ||
        d.source != run.s->to.sin_addr.s_addr) {
        run.stats.ignored++;
        return true;
    }
    if (run.arrive[idx] != TSL_STREAM_LOST) {
        run.stats.duplicates++;
        return true;
    }
    run.arrive[idx] = arrival - run.startNs / 1000;
    run.stats.received++;
    if (!stamped) run.stats.after_receive++;
    return true;
}

void take_waiting(Run& run) {
    while (take_one(run)) {
    }
}

// Replies are read while waiting for a send only when this much time is left,
// so a receive never delays a departure.
constexpr int64_t kReadAheadNs = 30000;

bool valid_request(int count, int size, const int64_t* sendAt, int waitMs) {
    if (count < 1 || count > TSL_STREAM_MAX_PACKETS) return false;
    if (size < TSL_STREAM_MIN_DATA || size > TSL_STREAM_MAX_DATA) return false;
    if (waitMs < 0 || waitMs > TSL_STREAM_MAX_WAIT_MS) return false;
    for (int i = 0; i < count; ++i) {
        if (sendAt[i] < 0 || sendAt[i] > TSL_STREAM_MAX_SPAN_US) return false;
        if (i > 0 && sendAt[i] < sendAt[i - 1]) return false;
    }
    return true;
}

}  // namespace

extern "C" int tsl_stream_open(tsl_stream_session** session, const char* host) {
    if (session == nullptr) return TSL_STREAM_ERR_ARGUMENT;
    *session = nullptr;
    if (host == nullptr) return TSL_STREAM_ERR_HOST;
    auto* s = new (std::nothrow) tsl_stream_session;
    if (s == nullptr) return TSL_STREAM_ERR_MEMORY;
    if (tsl::a2sockaddr(&s->to, host, nullptr) != nullptr || s->to.sin_family != AF_INET) {
        delete s;
        return TSL_STREAM_ERR_HOST;
    }
    s->socket = tsl::open_raw_socket(false);
    if (s->socket < 0) {
        int saved = errno;
        delete s;
        errno = saved;
        return TSL_STREAM_ERR_SOCKET;
    }
    inet_ntop(AF_INET, &s->to.sin_addr, s->address, sizeof s->address);
    s->ident = static_cast<uint16_t>(getpid() & 0xffff);
    tsl::write_echo_header(s->out, s->ident);
    tsl::write_pattern(s->out, tsl::BUFSIZE);
    *session = s;
    return 0;
}

extern "C" const char* tsl_stream_address(const tsl_stream_session* session) {
    return session != nullptr ? session->address : "";
}

extern "C" void tsl_stream_close(tsl_stream_session* session) {
    if (session == nullptr) return;
    if (session->socket >= 0) close(session->socket);
    delete session;
}

extern "C" int tsl_stream_run(tsl_stream_session* session, int count, int size, const int64_t* send_at_us,
                              int64_t* depart_us, int64_t* arrive_us, int wait_ms, tsl_stream_stats* stats) {
    if (session == nullptr || send_at_us == nullptr || depart_us == nullptr || arrive_us == nullptr ||
        !valid_request(count, size, send_at_us, wait_ms))
        return TSL_STREAM_ERR_ARGUMENT;
    Run run{session, count, session->nextSeq, 0, arrive_us, {}};
    session->nextSeq = static_cast<uint16_t>(session->nextSeq + count);
    for (int i = 0; i < count; ++i) arrive_us[i] = TSL_STREAM_LOST;

    const int cc = size + 8;
    int64_t shiftNs = 0;
    run.startNs = clock_ns();
    for (int i = 0; i < count; ++i) {
        const int64_t target = run.startNs + send_at_us[i] * 1000 + shiftNs;
        int64_t now = clock_ns();
        while (now < target) {
            if (target - now > kReadAheadNs) take_one(run);
            now = clock_ns();
        }
        // Behind by more than a quarter of the gap (at least 2 us): this packet
        // leaves now and the rest of the schedule moves with it.
        const int64_t gapNs = i > 0 ? (send_at_us[i] - send_at_us[i - 1]) * 1000 : 0;
        const int64_t slackNs = gapNs / 4 > 2000 ? gapNs / 4 : 2000;
        if (now - target > slackNs) {
            shiftNs += now - target;
            run.stats.shifts++;
        }
        tsl::set_echo_sequence(session->out, static_cast<uint16_t>(run.base + i));
        const int64_t first = clock_ns();
        tsl::seal_echo(session->out, cc, static_cast<int32_t>((first - run.startNs) / 1000));
        depart_us[i] = (clock_ns() - run.startNs) / 1000;
        if (sendto(session->socket, session->out, static_cast<size_t>(cc), 0,
                   reinterpret_cast<const sockaddr*>(&session->to), sizeof session->to) != cc) {
            if (stats != nullptr) *stats = run.stats;
            return TSL_STREAM_ERR_SEND;
        }
    }
    run.stats.shifted_us = shiftNs / 1000;

    const int64_t deadline = run.startNs + (depart_us[count - 1] + int64_t{wait_ms} * 1000) * 1000;
    take_waiting(run);
    while (run.stats.received < count) {
        const int64_t left = deadline - clock_ns();
        if (left <= 0) break;
        pollfd p = {session->socket, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>((left + 999999) / 1000000)) > 0) take_waiting(run);
    }
    if (stats != nullptr) *stats = run.stats;
    return run.stats.received;
}

extern "C" const char* tsl_stream_strerror(int error) {
    switch (error) {
        case TSL_STREAM_ERR_HOST: return "unknown host";
        case TSL_STREAM_ERR_SOCKET: return "no raw ICMP socket";
        case TSL_STREAM_ERR_ARGUMENT: return "invalid stream request";
        case TSL_STREAM_ERR_SEND: return "send failed";
        case TSL_STREAM_ERR_MEMORY: return "out of memory";
        default: return error >= 0 ? "no error" : "unknown error";
    }
}
