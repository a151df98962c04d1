// SPDX-License-Identifier: MIT
// measure.cpp - the measurement on a real path: the engine's stream runner
// sends the streams.
#include "availest.h"

#include <cerrno>

#include "tamsel_stream.h"

namespace {

int send_stream(void* session, int count, int size, const int64_t* at, int64_t* depart, int64_t* arrive,
                int waitMs) {
    return tsl_stream_run(static_cast<tsl_stream_session*>(session), count, size, at, depart, arrive, waitMs,
                          nullptr);
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
    const int status =
        avl_measure_with(send_stream, session, tsl_stream_address(session), options, result, progress, context);
    const int saved = errno;
    tsl_stream_close(session);
    errno = saved;
    return status;
}
