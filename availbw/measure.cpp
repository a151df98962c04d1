// SPDX-License-Identifier: MIT
// measure.cpp - the measurement on a real path: the engine's stream runner
// sends the streams.
#include "availest.h"

#include <cerrno>
#include <vector>

#include "tamsel_stream.h"

namespace {

// The runner counts in nanoseconds, the measurement in microseconds.
int send_stream(void* session, int count, int size, const int64_t* at, int64_t* depart, int64_t* arrive,
                int waitMs) {
    if (count < 1 || count > TSL_STREAM_MAX_PACKETS) return TSL_STREAM_ERR_ARGUMENT;
    std::vector<int64_t> atNs(count), departNs(count), arriveNs(count);
    for (int i = 0; i < count; ++i)
        atNs[i] = at[i] >= 0 && at[i] <= TSL_STREAM_MAX_SPAN_NS / 1000 ? at[i] * 1000 : -1;
    const int got = tsl_stream_run(static_cast<tsl_stream_session*>(session), count, size, atNs.data(),
                                   departNs.data(), arriveNs.data(), int64_t{waitMs} * 1000000, nullptr);
    if (got < 0) return got;
    for (int i = 0; i < count; ++i) {
        depart[i] = departNs[i] / 1000;
        arrive[i] = arriveNs[i] == TSL_STREAM_LOST ? TSL_STREAM_LOST : arriveNs[i] / 1000;
    }
    return got;
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
