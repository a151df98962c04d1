// SPDX-License-Identifier: MIT
// measure.cpp - the measurement on a real path: the engine's stream runner
// sends the streams on a raw ICMP socket, or a datagram one where that is all
// the process may open, over IPv4 or IPv6; its monotonic clock keeps the time
// and a sleep on that clock pauses.  avl_open is the one step that may need
// privilege, so that a program can give it up before it sends.
#include "availest.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "result_size.h"
#include "tamsel_stream.h"

namespace {

// The largest packet the measurement sends, in IP bytes.
constexpr int kMostPacketBytes = 1500;

}  // namespace

// A real path: the stream runner's session, what the runner met in the last
// stream and the last ICMP error that answered one of its requests.
struct avl_session {
    tsl_stream_session* stream = nullptr;
    tsl_stream_stats last{};
    char icmpError[128] = {};
};

namespace {

int send_stream(void* context, int count, int size, const int64_t* at, int64_t* depart, int64_t* arrive,
                int64_t waitNs) {
    auto* session = static_cast<avl_session*>(context);
    session->last = tsl_stream_stats{};
    const int got = tsl_stream_run(session->stream, count, size, at, depart, arrive, waitNs, &session->last);
    const int saved = errno;
    tsl_stream_last_error(session->stream, session->icmpError, sizeof session->icmpError);
    errno = saved;
    return got;
}

const char* icmp_error(void* context) {
    const auto* session = static_cast<const avl_session*>(context);
    return session->icmpError[0] != '\0' ? session->icmpError : nullptr;
}

// Replies this host dropped itself for a full receive buffer: not the path's loss.
int overflows(void* context) { return static_cast<const avl_session*>(context)->last.overflows; }

int64_t now_ns(void*) { return tsl_stream_clock_ns(); }

void pause_ns(void*, int64_t ns) {
    if (ns <= 0) return;
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
    }
}

// No measurement for want of random bytes (for the session's identifier),
// said as what it is, with the system's reason.
int no_random_bytes(avl_result* result, size_t size, int error) {
    avl_result r{};
    std::snprintf(r.reason, sizeof r.reason, "no random bytes for the echo identifier: %s", std::strerror(error));
    r.failure = AVL_FAIL_SEND;
    availbw::fillResult(result, size, r);
    errno = error;
    return AVL_NO_ESTIMATE;
}

}  // namespace

extern "C" int avl_open(avl_session** session, const char* host, int family) {
    if (session == nullptr) return AVL_ERR_OPTIONS;
    *session = nullptr;
    if (family != AVL_FAMILY_ANY && family != AVL_FAMILY_IPV4 && family != AVL_FAMILY_IPV6) return AVL_ERR_OPTIONS;
    auto* s = new (std::nothrow) avl_session;
    if (s == nullptr) return AVL_ERR_MEMORY;
    const int opened = tsl_stream_open_with(&s->stream, host, family, TSL_STREAM_ANY_KIND);
    if (opened != 0) {
        const int saved = errno;
        delete s;
        errno = saved;
        switch (opened) {
            case TSL_STREAM_ERR_HOST: return AVL_ERR_HOST;
            case TSL_STREAM_ERR_SOCKET: return AVL_ERR_SOCKET;
            case TSL_STREAM_ERR_RANDOM: return AVL_ERR_SYSTEM;
            case TSL_STREAM_ERR_ARGUMENT: return AVL_ERR_OPTIONS;
            default: return AVL_ERR_MEMORY;
        }
    }
    // The largest buffer any stream asks for, while the process may still
    // have the privilege to pass the system's limit.
    tsl_stream_reserve(s->stream, TSL_STREAM_MAX_PACKETS, kMostPacketBytes);
    *session = s;
    return 0;
}

extern "C" int avl_measure_session_sized(avl_session* session, const avl_options* options, avl_result* result,
                                         size_t size, avl_progress_fn progress, void* context) {
    if (result == nullptr) return AVL_ERR_OPTIONS;
    if (session == nullptr) {
        availbw::fillResult(result, size, avl_result{});
        return AVL_ERR_OPTIONS;
    }
    const avl_path path{session,
                        send_stream,
                        now_ns,
                        pause_ns,
                        tsl_stream_header_bytes(session->stream),
                        tsl_stream_address(session->stream),
                        TSL_STREAM_MAX_PACKETS,
                        TSL_STREAM_MAX_WAIT_NS,
                        overflows,
                        icmp_error};
    return avl_measure_path_sized(&path, options, result, size, progress, context);
}

extern "C" int(avl_measure_session)(avl_session* session, const avl_options* options, avl_result* result,
                                    avl_progress_fn progress, void* context) {
    return avl_measure_session_sized(session, options, result, sizeof *result, progress, context);
}

extern "C" void avl_close(avl_session* session) {
    if (session == nullptr) return;
    tsl_stream_close(session->stream);
    delete session;
}

extern "C" int avl_measure_sized(const char* host, const avl_options* options, avl_result* result, size_t size,
                                 avl_progress_fn progress, void* context) {
    if (result == nullptr) return AVL_ERR_OPTIONS;
    availbw::fillResult(result, size, avl_result{});
    avl_session* session = nullptr;
    const int opened = avl_open(&session, host, options != nullptr ? options->family : AVL_FAMILY_ANY);
    if (opened == AVL_ERR_SYSTEM) return no_random_bytes(result, size, errno);
    if (opened != 0) return opened;
    const int status = avl_measure_session_sized(session, options, result, size, progress, context);
    const int saved = errno;
    avl_close(session);
    errno = saved;
    return status;
}

extern "C" int(avl_measure)(const char* host, const avl_options* options, avl_result* result,
                            avl_progress_fn progress, void* context) {
    return avl_measure_sized(host, options, result, sizeof *result, progress, context);
}
