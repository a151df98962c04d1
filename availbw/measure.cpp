// SPDX-License-Identifier: MIT
// measure.cpp - the measurement on a real path: the engine's stream runner
// sends the streams, the monotonic clock keeps the time and a sleep pauses.
#include "availest.h"

#include <time.h>

#include <cerrno>
#include <vector>

#include "tamsel_stream.h"

namespace {

int send_stream(void* session, int count, int size, const int64_t* at, int64_t* depart, int64_t* arrive,
                int64_t waitNs) {
    std::vector<int64_t> atUs(at, at + count);
    for (int64_t& t : atUs) t /= 1000;
    const int got = tsl_stream_run(static_cast<tsl_stream_session*>(session), count, size, atUs.data(), depart,
                                   arrive, static_cast<int>(waitNs / 1000000), nullptr);
    for (int i = 0; i < count; ++i) {
        depart[i] *= 1000;
        if (arrive[i] != TSL_STREAM_LOST) arrive[i] *= 1000;
    }
    return got;
}

int64_t now_ns(void*) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void pause_ns(void*, int64_t ns) {
    if (ns <= 0) return;
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace

extern "C" int avl_measure(const char* host, const avl_options* options, avl_result* result,
                           avl_progress_fn progress, void* context) {
    if (result == nullptr) return AVL_ERR_OPTIONS;
    *result = avl_result{};
    tsl_stream_session* session = nullptr;
    switch (tsl_stream_open(&session, host)) {
        case 0: break;
        case TSL_STREAM_ERR_HOST: return AVL_ERR_HOST;
        case TSL_STREAM_ERR_SOCKET: return AVL_ERR_SOCKET;
        default: return AVL_ERR_MEMORY;
    }
    const avl_path path{session, send_stream, now_ns, pause_ns, 28, tsl_stream_address(session)};
    const int status = avl_measure_path(&path, options, result, progress, context);
    const int saved = errno;
    tsl_stream_close(session);
    errno = saved;
    return status;
}
