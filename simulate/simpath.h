// SPDX-License-Identifier: MIT
// simpath.h - a simulated path for the available-bandwidth measurement, in
// simulated time: hops in the replies' direction, each a FIFO queue (or a
// policer) with its own cross traffic, random loss on either way, and a host
// that may limit the echo requests it answers.  Cross traffic arrives paced
// or in periodic bursts, at random (Poisson), as a mix of packet sizes, in
// on-off bursts, or as elastic flows that back off on loss and so fill the
// link.  Deterministic for a seed.
// Serves the estimator's tests and the simulator benchmark; not installed.
#pragma once

#include <cmath>
#include <cstdint>
#include <queue>
#include <random>
#include <vector>

#include "availest.h"

namespace simpath {

// How the cross traffic of a hop arrives; every kind keeps the mean rate
// Hop::cross in IP bits.
enum class Cross {
    Steady,   // paced packets of crossPacketBytes, or one burst every burstPeriod
    Poisson,  // packets of crossPacketBytes with exponential gaps
    Mix,      // exponential gaps, 40, 576 and 1500 byte packets in 7 : 4 : 1
    OnOff,    // paced packets at cross * (on + off) / on during on periods, none during off
};

// One link of the reply path.  Rates count the bytes of IP datagrams plus
// overheadBytes per packet (14 for Ethernet, as the lab's shapers count).
struct Hop {
    double capacity = 50e6;       // bits per second
    double cross = 0;             // cross traffic entering here, bits per second (IP bytes)
    double burstPeriod = 0;       // > 0: the cross traffic arrives in one burst every this many s
    double queueBytes = 1e6;      // drop-tail queue limit (bytes waiting beyond the one in service)
    bool police = false;          // a policer (drops above the rate) instead of a queue
    double policeBurstBytes = 3000;
    Cross kind = Cross::Steady;
    double onSeconds = 0.005, offSeconds = 0.005;  // OnOff: mean length of the periods,
    bool onOffFixed = false;                       // ... exponential unless fixed
    // Elastic flows through this hop besides the cross traffic: each keeps a
    // window of packets in flight, grows it by one packet a round trip and
    // halves it on a loss (the queue overflowed), so together they keep the
    // queue full and leave the link next to nothing.
    int elasticFlows = 0;
    double elasticRtt = 0.02;     // mean round trip without the queue; each flow's is within +-25 %
    int elasticPacketBytes = 1500;
    double elasticWarmup = 2;     // seconds the flows run before the path's time 0
    // > 0: no flow's window grows past this many packets, as a receiver's
    // window holds a flow on a short path; such flows lose nothing and keep
    // a queue of their windows less what the path holds in flight, and give
    // way within a round trip when a stream takes room (their rate is their
    // window over a round trip the stream lengthens).
    int elasticWindow = 0;
};

struct Config {
    std::vector<Hop> hops = std::vector<Hop>(1);  // in the order the replies cross them
    double baseRtt = 0.002;        // seconds, without queueing
    double stampJitter = 2e-6;     // receive stamps late by up to this, uniformly
    double sendJitter = 0;         // departures late by up to this, uniformly
    double sendStretch = 0;        // the sender keeps its gaps this share too long (a rate a little low)
    double lossRequests = 0, lossReplies = 0;  // random loss on either way
    // > 0: each reply waits wander x (1 + sin(2 pi t / wanderPeriod)) seconds
    // more, t its departure: a queue that others keep standing but never at
    // one level, as flows that halve on loss keep it.
    double wander = 0, wanderPeriod = 0.05;
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
    // packets of packetBytes IP bytes: its capacity less the cross traffic's
    // mean rate, and for a hop with elastic flows what was left unused from
    // time 0 to as far as the hop has been simulated.
    double freeRate(int packetBytes) const;
    // What the tightest hop left unused from t0 to t1 (simulated seconds), by
    // its own counters of the cross traffic and elastic flows it accepted (and
    // on a hop with elastic flows the streams' packets too: there the truth
    // is the time the link stood idle, as a stream only takes from them), in
    // IP bits per second of packets of packetBytes IP bytes; simulates the
    // cross traffic up to t1 first, so streams sent after it start at t1 or
    // later (pause to there).
    double unusedRate(double t0, double t1, int packetBytes);
    // Link bits of cross traffic and elastic flows (and streams, where there
    // are such flows) hop k accepted up to t.
    double acceptedBits(size_t k, double t) const;
    int streams() const { return streams_; }
    double now() const { return now_; }
    // Lets simulated time pass, as the path's pause does.
    void pause(double seconds) { if (seconds > 0) now_ += seconds; }

private:
    struct Flow {
        double rtt = 0, cwnd = 2, ssthresh = 1e9, lastCut = -1e9;
        int inFlight = 0;
    };
    enum What { Start, Acked, LossFound };
    struct Event {
        double at;
        int flow;
        What what;
        double sent;  // when the packet acknowledged or lost was sent
        bool operator>(const Event& o) const { return at > o.at; }
    };
    struct HopState {
        double busyUntil = 0;  // when the server has sent what it holds
        double nextCross = 0;  // arrival of the next cross-traffic packet or burst
        double crossCredit = 0;  // bytes of a burst not yet sent as whole packets
        double tokens = 0, tokensAt = 0;  // the policer's bucket
        double onUntil = 0;    // OnOff: end of the on period under way (or the next start)
        double until = 0;      // cross traffic simulated up to here
        std::vector<Flow> flows;
        std::priority_queue<Event, std::vector<Event>, std::greater<Event>> events;
        // (time, cumulated link bits) of the cross traffic accepted, a point
        // at least every 10 us of traffic.
        std::vector<std::pair<double, double>> accepted;
    };
    // Passes a packet of bytes arriving at t through hop k; returns when it
    // leaves, or a large negative time when dropped.  The hop counts what it
    // accepts of others.
    double pass(size_t k, double t, double bytes, bool probe = true);
    void crossUntil(size_t k, double t);
    void crossPacket(size_t k);
    double meanCrossBytes(const Hop& h) const;
    double onLength(const Hop& h);
    double offLength(const Hop& h);
    void flowSends(size_t k, int f, double t);
    double exponential(double mean) { return -mean * std::log(1 - unit()); }
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
