// SPDX-License-Identifier: MIT
// measure.cpp - the measurement on a real path: the engine's stream runner
// sends the streams on a raw ICMP socket, or a datagram one where that is all
// the process may open, over IPv4 or IPv6; its monotonic clock keeps the time
// and a sleep on that clock pauses.
#include "availest.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "result_size.h"
#include "tamsel_stream.h"

namespace {

// The session and what the runner met in the last stream.
struct RealPath {
    tsl_stream_session* session;
    tsl_stream_stats last;
};

int send_stream(void* context, int count, int size, const int64_t* at, int64_t* depart, int64_t* arrive,
                int64_t waitNs) {
    auto* path = static_cast<RealPath*>(context);
    path->last = tsl_stream_stats{};
    return tsl_stream_run(path->session, count, size, at, depart, arrive, waitNs, &path->last);
}

// Replies this host dropped itself for a full receive buffer: not the path's loss.
int overflows(void* context) { return static_cast<RealPath*>(context)->last.overflows; }

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

extern "C" int avl_measure_sized(const char* host, const avl_options* options, avl_result* result, size_t size,
                                 avl_progress_fn progress, void* context) {
    if (result == nullptr) return AVL_ERR_OPTIONS;
    availbw::fillResult(result, size, avl_result{});
    const int family = options != nullptr ? options->family : AVL_FAMILY_ANY;
    if (family != AVL_FAMILY_ANY && family != AVL_FAMILY_IPV4 && family != AVL_FAMILY_IPV6) return AVL_ERR_OPTIONS;
    tsl_stream_session* session = nullptr;
    switch (tsl_stream_open_with(&session, host, family, TSL_STREAM_ANY_KIND)) {
        case 0: break;
        case TSL_STREAM_ERR_HOST: return AVL_ERR_HOST;
        case TSL_STREAM_ERR_SOCKET: return AVL_ERR_SOCKET;
        case TSL_STREAM_ERR_RANDOM: return no_random_bytes(result, size, errno);
        case TSL_STREAM_ERR_ARGUMENT: return AVL_ERR_OPTIONS;
        default: return AVL_ERR_MEMORY;
    }
    RealPath real{session, {}};
    const avl_path path{&real,
                        send_stream,
                        now_ns,
                        pause_ns,
                        tsl_stream_header_bytes(session),
                        tsl_stream_address(session),
                        TSL_STREAM_MAX_PACKETS,
                        TSL_STREAM_MAX_WAIT_NS,
                        overflows,
                        nullptr};
    const int status = avl_measure_path_sized(&path, options, result, size, progress, context);
    const int saved = errno;
    tsl_stream_close(session);
    errno = saved;
    return status;
}

extern "C" int(avl_measure)(const char* host, const avl_options* options, avl_result* result,
                            avl_progress_fn progress, void* context) {
    return avl_measure_sized(host, options, result, sizeof *result, progress, context);
}
