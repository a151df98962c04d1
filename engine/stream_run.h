// SPDX-License-Identifier: MIT
// stream_run.h - one stream under way, as the runner's parts share it (not
// installed): stream.cpp sends it and waits for it, stream_receive.cpp takes
// and matches what comes back.
#pragma once

#include <cstdint>

#include "stream_session.h"

namespace tsl::stream {

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

// Takes one datagram if one is waiting, or for a stream of
// tsl_stream_run_hops one queued error (never blocks); false when none was.
bool take_one(Run& run);
// Reads one waiting datagram while a send is due in leftNs, when reading
// takes well less than that.
void read_ahead(Run& run, int64_t leftNs);
// Reads what waits, up to what arrived at until (see stream_receive.cpp).
void take_waiting(Run& run, int64_t until);
// Reads the errors a datagram socket keeps on its error queue (never blocks).
void take_errors(Run& run);

}  // namespace tsl::stream
