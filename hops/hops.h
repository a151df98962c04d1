// SPDX-License-Identifier: MIT
// hops.h - where on the path the free bandwidth is least, found hop by hop.
//
// The model.  A train leaves as small echo requests with times to live 1, 2,
// ..., k (the head), a load of large requests paced at a chosen rate (time to
// live 255), and the small ones again with times to live k, ..., 1 (the tail).
// Router j drops the head and the tail packet whose time to live runs out
// there, and its two "time exceeded" replies tell how long the train was when
// it reached it; the destination's echo replies do the same for the last hop.
// A link whose free rate is below the load's rate queues the load and
// stretches the train; a link with room to spare passes it as it came.  So
// the hop after which the train grows is where it was squeezed, and the link
// that squeezes trains at the lowest rate of a sweep is the tight one: a
// narrower but idle link squeezes only faster trains.  Several trains at each
// rate vote.
//
// Hops are numbered as a route tracer numbers them: the client is hop 0, the
// router that answers time to live k is hop k.  A link is named by its two
// ends; the link into hop j is (j - 1, j), or a wider span when hops before j
// stayed silent.
//
// This header is the pure part (plans, lengths, decisions, reports) apart from
// the driver that sends the trains (run.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tamsel_stream.h"

namespace hops {

// ---- Tuning ------------------------------------------------------------------
// Load packets in a train, and their IP size: 30 kB, long enough that a queue
// of a few packets of cross traffic moves its length by a few per cent only.
constexpr int kLoadPackets = 20;
constexpr int kLoadIpBytes = 1500;
// A train grew at a hop when its length there exceeds the one before by this
// share of its length as sent, and by this much at least (the replies'
// own jitter on their way back).
constexpr double kGrowthShare = 0.10;
constexpr int64_t kGrowthFloorNs = 250000;
// The sweep's rates as shares of the capacity a back-to-back train measured:
// from half of it (no idle link squeezes, a loaded one may) to well above it
// (the narrowest link squeezes even when idle).
constexpr double kRateShares[] = {0.5, 0.7, 0.9, 1.15, 1.5};
// Trains at each rate before a vote, and more when the vote names a link.
constexpr int kTrainsPerRate = 3;
constexpr int kConfirmTrains = 3;

// ---- A train -----------------------------------------------------------------
struct Train {
    int hops = 0;   // k: head and tail packets with times to live 1..k
    int load = 0;   // load packets between them
    std::vector<int> sizes;        // ICMP data bytes of each packet
    std::vector<int> ttls;         // its time to live
    std::vector<int64_t> sendAt;   // its send time after the start, ns
    int64_t ipBytes = 0;           // IP bytes of all its packets
    int head(int hop) const { return hop - 1; }
    int tail(int hop) const { return hops + load + (hops - hop); }
};

// The train for hops 1..hops: head and tail of smallData bytes back to back,
// a load of `load` packets of loadData bytes evenly spaced at rateBps IP bits
// a second (0: back to back), the tail right after the last of them.
// headerBytes: IP and ICMP header bytes of a request (28 or 48).
Train planTrain(int hops, int load, int loadData, int smallData, int headerBytes, double rateBps);

// The train's length on arrival at hops 0..hops, in ns: at hop 0 as it left
// (from its first to its last departure); at hop j from the arrival of the
// reply to its head packet j to that of the reply to its tail packet j, both
// of one kind (time exceeded, or the destination's echo reply).  -1 where
// either reply is missing.
std::vector<int64_t> arrivalLengths(const Train& t, const int64_t* depart, const int64_t* arrive,
                                    const tsl_stream_answer* answers);

// ---- Decisions -----------------------------------------------------------------
// A link, or a span of links across silent hops: from hop `from` to hop `to`.
struct Span {
    int from = -1, to = -1;
    bool named() const { return to > 0; }
    bool operator==(const Span&) const = default;
};

// Where one train was squeezed: the step between hops with a length where it
// grew most, when that growth passes the thresholds; none otherwise.
Span squeezedAt(const std::vector<int64_t>& lengths);

// The most common named span among trains, and how many named it.
struct Vote {
    Span span;
    int agree = 0;
    int trains = 0;
    bool carried() const { return span.named() && 2 * agree > trains; }  // more than half of the trains
};
Vote vote(const std::vector<Span>& verdicts);

// The trains of one rate of the sweep.
struct RateTrains {
    double rateBps = 0;
    std::vector<Span> verdicts;
};

// The answer of a sweep (rates ascending): the link that most trains of the
// lowest rate where more than half agreed named; and the bracket of its free
// rate, from the highest rate below that where no train was squeezed.
struct Decision {
    Span link;
    int agree = 0, trains = 0;
    double rateBps = 0;        // the rate that decided, 0: none
    double clearBps = 0;       // the highest rate below it where no train grew; 0: none
    std::string reason;        // why none was named
};
Decision decide(const std::vector<RateTrains>& sweep);

// ---- A whole measurement ---------------------------------------------------------
struct Hop {
    int hop = 0;
    std::string address;       // "" for a hop that never answered
    double rttMs = -1;         // from the first probe; -1 none
    int replies = 0, expected = 0;
    int headOnly = 0;          // trains whose head it answered but not their tail
    std::vector<double> lengthMs;  // median arrival length per rate of the sweep; < 0 none
};

struct Result {
    std::string host, address;
    int family = 4;
    bool datagram = false;     // an ICMP datagram socket (errors from its error queue)
    bool targetAnswered = false;
    double capacityBps = 0;    // from the back-to-back train; 0 unknown
    std::vector<double> ratesBps;  // the sweep's rates, ascending
    std::vector<double> sentMs;    // median length of the trains as sent, per rate
    std::vector<Hop> hops;         // hops 1..k
    Decision decision;
    int trains = 0;
    int64_t probeBytes = 0;
    double durationS = 0;
    double spacingS = 0;
    std::vector<std::string> notes;  // limiting routers, an unjudged last link
    bool found() const { return decision.link.named(); }
};

// The answer line: "tight link: hop 2 (ADDR) to hop 3 (ADDR), 5 of 6 trains".
std::string answerLine(const Result& r);
std::string textReport(const Result& r);
std::string jsonReport(const Result& r);
// The train's length on arrival against the hop, one line per rate, as SVG.
std::string plotSvg(const Result& r);

// ---- The driver ------------------------------------------------------------------
struct Options {
    const char* host = nullptr;
    int family = TSL_STREAM_ANY;
    int maxHops = 30;
    int64_t maxBytes = 2000000;
    double maxSeconds = 90;
    double spacingS = 2;
    void (*progress)(void* context, const char* line) = nullptr;
    void* context = nullptr;
};
// Runs the measurement.  Returns 0 and the result, or a negative
// tsl_stream error (unknown host, no socket) with errno kept.
int measure(const Options& o, Result* r);

// The availbw program's --hops mode: its own command line, output and
// statuses (0 a link named, 1 bad usage, 2 none, 5 no socket).
int programMain(int argc, char** argv);
// True when the command line asks for it (an argument --hops or --hops=HOST).
bool requested(int argc, char** argv);

}  // namespace hops
