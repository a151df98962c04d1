/* SPDX-License-Identifier: MIT */
// fuzz_support.h - what the fuzz targets share: a quiet standard output, a
// train that looks sent, the route list's upkeep and checks of the engine's
// bookkeeping that abort (a finding) when they fail.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "datagrams.h"
#include "tsl_engine.h"

namespace tslfuzz {

// The engine describes messages on standard output; the fuzzer has no use for
// the text, only for the reads that produce it.
inline void quietStdout() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "engine bookkeeping broken: %s\n", what);
    std::abort();
}

// State as the train run leaves it once count packets are out and no reply
// has come: the identifier of the table's replies, arrivals at the no-reply mark.
inline void startTrain(int count) {
    tsl::reset_train_state();
    tsl::ident = kDatagramIdent;
    tsl::whereto.sin_family = AF_INET;
    tsl::whereto.sin_addr.s_addr = htonl(0xc6120102);  // the table's replies come from 198.18.1.2
    tsl::lastSeq = -1;
    tsl::highestFirstSeq = -1;
    tsl::npackets = count;
    for (int i = 0; i < count; ++i) {
        tsl::arrive[i] = TSL_NO_REPLY;
        tsl::returned[i] = 0;
        tsl::bytes[i] = 600;
        tsl::depart[i] = 100 * i;
    }
    tsl::n_outstanding = count;
}

inline int routeCount() {
    int n = 0;
    for (const tsl::RouteNode* node = tsl::sumopt; node != nullptr; node = node->link) ++n;
    return n;
}

inline void freeRoutes() {
    while (tsl::sumopt != nullptr) {
        tsl::RouteNode* next = tsl::sumopt->link;
        delete tsl::sumopt;
        tsl::sumopt = next;
    }
    tsl::curopt = nullptr;
}

// The per-packet tables agree with the counters after any sequence of replies.
inline void checkTrain() {
    int missing = 0, dup = 0;
    for (int i = 0; i < tsl::npackets; ++i) {
        if (tsl::returned[i] < 0) fail("negative reply count");
        if (tsl::returned[i] == 0) {
            ++missing;
            if (tsl::arrive[i] != TSL_NO_REPLY) fail("arrival without a reply");
        } else {
            if (tsl::arrive[i] == TSL_NO_REPLY) fail("reply without an arrival");
            if (tsl::orderOK[i] != 0 && tsl::orderOK[i] != 1) fail("order flag not 0 or 1");
        }
        if (tsl::returned[i] > 1) dup = 1;
    }
    if (tsl::n_outstanding != missing) fail("outstanding count differs from the missing replies");
    if (tsl::duplicatePkts != dup) fail("duplicate flag differs from the reply counts");
    if (tsl::lastSeq < -1 || tsl::lastSeq >= tsl::npackets) fail("last sequence outside the train");
}

}  // namespace tslfuzz
