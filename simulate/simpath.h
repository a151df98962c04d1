// SPDX-License-Identifier: MIT
// simpath.h - a simulated path for the available-bandwidth measurement, in
// simulated time: hops in the replies' direction, each a FIFO queue (or a
// policer) with its own cross traffic, random loss on either way, and a host
// that may limit the echo requests it answers.  Deterministic for a seed.
// Serves the estimator's tests and the simulator benchmark; not installed.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "availest.h"

namespace simpath {

// One link of the reply path.  Rates count the bytes of IP datagrams plus
// overheadBytes per packet (14 for Ethernet, as the lab's shapers count).
struct Hop {
    double capacity = 50e6;       // bits per second
    double cross = 0;             // cross traffic entering here, bits per second (IP bytes)
    double burstPeriod = 0;       // > 0: the cross traffic arrives in one burst every this many s
    double queueBytes = 1e6;      // drop-tail queue limit (bytes waiting beyond the one in service)
    bool police = false;          // a policer (drops above the rate) instead of a queue
    double policeBurstBytes = 3000;
};

struct Config {
    std::vector<Hop> hops = std::vector<Hop>(1);  // in the order the replies cross them
    double baseRtt = 0.002;        // seconds, without queueing
    double stampJitter = 2e-6;     // receive stamps late by up to this, uniformly
    double sendJitter = 0;         // departures late by up to this, uniformly
    double sendStretch = 0;        // the sender keeps its gaps this share too long (a rate a little low)
    double lossRequests = 0, lossReplies = 0;  // random loss on either way
    double echoLimitPps = 0;       // > 0: the host answers at most this many requests a second
    double echoBurst = 5;          // ... after a burst of this many
    bool silent = false;           // the host never answers
    bool broken = false;           // every send fails (EPERM)
    int headerBytes = 28;
    int overheadBytes = 0;
    int crossPacketBytes = 1228;   // IP bytes of a cross-traffic packet
    uint64_t seed = 1;
    // The stream runner's limits, part of the path's contract: a send asked
    // for more fails with EINVAL, as the real one does.
    int maxPackets = 4096;
    int64_t maxWaitNs = INT64_C(60000000000);
};

class Path {
public:
    explicit Path(const Config& c);
    // The interface the measurement runs over; valid while this object lives.
    avl_path path(const char* address = "198.18.1.2");
    // The truth: what the tightest hop leaves free, in IP bits per second of
    // packets of packetBytes IP bytes.
    double freeRate(int packetBytes) const;
    int streams() const { return streams_; }
    double now() const { return now_; }

private:
    struct HopState {
        double busyUntil = 0;  // when the server has sent what it holds
        double nextCross = 0;  // arrival of the next cross-traffic packet or burst
        double crossCredit = 0;  // bytes of a burst not yet sent as whole packets
        double tokens = 0, tokensAt = 0;  // the policer's bucket
    };
    // Passes a packet of bytes arriving at t through hop k; returns when it
    // leaves, or < 0 when dropped.
    double pass(size_t k, double t, double bytes);
    void crossUntil(size_t k, double t);
    int send(int count, int size, const int64_t* at, int64_t* depart, int64_t* arrive, int64_t waitNs);
    double unit() { return std::uniform_real_distribution<double>(0, 1)(rng_); }

    static int sendFn(void* self, int count, int size, const int64_t* at, int64_t* depart, int64_t* arrive,
                      int64_t waitNs);
    static int64_t nowFn(void* self);
    static void pauseFn(void* self, int64_t ns);

    Config c_;
    std::vector<HopState> state_;
    std::mt19937_64 rng_;
    double now_ = 0;
    double echoTokens_ = 0, echoAt_ = 0;
    int streams_ = 0;
};

}  // namespace simpath
