// SPDX-License-Identifier: MIT
// prober.h - the part of a measurement that sends: plans of streams, the
// budgets, the record of every stream, the loss book, and the steps that
// learn the path before the search (the round trip, the capacity, limits on
// echo replies or bytes).  The search (estimate.cpp) decides which rates to
// send; this sends them and says what each stream showed.  prober.cpp holds
// the streams and budgets, prober_steps.cpp the steps before the search.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "availest.h"

namespace availbw {

// v kept within [low, high]; high wins where the two cross (a host's limit
// on echo replies far below the capacity puts the ceiling under the floor).
inline double bounded(double v, double low, double high) { return std::min(std::max(v, low), high); }

// A stream as it is to be sent: when each packet leaves, and its size.
struct Plan {
    int kind = AVL_KIND_SEARCH;
    int round = 0;
    double rate = 0;  // bits per second of the part after the lead; 0: all back to back
    int bytes = 0;    // IP bytes of each packet
    int lead = 0;     // packets sent back to back before the rate part
    std::vector<int64_t> at;  // ns from the stream's start
    int64_t wait = -1;  // ns to wait for replies after the last send; < 0: as usual

    int packets() const { return static_cast<int>(at.size()); }
    double seconds() const { return at.empty() ? 0 : at.back() / 1e9; }
};

// What one stream gave, besides its record.
struct Outcome {
    bool sent = false;      // false: a budget or the path stopped it
    bool isVoid = false;    // it could not be judged (the sender stalled, too few packets, local drops)
    int verdict = AVL_UNCLEAR;
    bool rose = false;      // its delays rose: it queued
    bool byLoss = false;    // rising only because it lost more than the path loses anyway
    bool lossy = false;     // it lost more than the path loses anyway
    double sentRate = 0;    // achieved, IP bits per second, over the judged part
    double outRate = 0;     // rate of the replies' arrivals, IP bits per second
    double rise = 0, span = 0;  // seconds: the floors' rise over the judged part, its length
    double minDelay = 0, lastDelay = 0;  // seconds
    double spread = 0;      // seconds: the judged part's delays, 90th percentile less the lowest
    double slope = 0;       // the delays' rise from the judged part's first packets to its
                            // last, over the time between their departures (seconds a second)
    int received = 0, lost = 0;  // in the judged part
    int receivedAll = 0;    // replies to the whole stream
};

// Why a measurement ends without an estimate, with what the reason tells.
// describe() writes every reason's text, in one place.
struct Finding {
    explicit Finding(int failure_ = AVL_FAIL_NONE, int budget_ = AVL_BUDGET_NONE, std::string detail_ = {})
        : failure(failure_), budget(budget_), detail(std::move(detail_)) {}
    int failure = AVL_FAIL_NONE;
    int budget = AVL_BUDGET_NONE;  // for AVL_FAIL_BUDGET: which one
    std::string detail;            // the system's error text, an ICMP error, a step's name
    double share = 0;              // loss
    double rate = 0, low = 0, high = 0;  // bits per second
    double pps = 0;                // a limit on echo replies
    int count = 0, of = 0;         // packets
    bool suspected = false;        // for AVL_FAIL_ELASTIC: only hinted at
};
std::string describe(const Finding& f);
// The detail of a budget that ran out before the search had a verdict, and
// of a search whose streams met others' bursts far apart but never grew to
// span them (a budget's, or the streams' disagreement).
extern const char* const kBeforeAnyVerdict;
extern const char* const kBurstsUnspanned;
// ... and of one whose figure leaves others less than the queues the
// streams met hold (Measurement::queuesOverrule).
extern const char* const kQueuesUnexplained;
// ... and of one whose streams at the capacity found the queue overflowing
// (Measurement::windowsOverflowed).
extern const char* const kWindowsOverflowed;

class Prober {
public:
    Prober(const avl_path& path, const avl_options& o, avl_result* r, avl_progress_fn progress, void* context);
    ~Prober() { discard(); }

    // The steps before the search.
    bool contact();
    bool readCapacity();
    void choosePacketSize(double fastest);
    // The first guess at the free rate from one stream at the ceiling, whose
    // outcome (a verdict too) goes to *guess.
    double firstGuess(Outcome* guess);

    // One stream at rate in the search (round for the record).
    Plan searchPlan(int round, double rate) const;
    // A stream at the ceiling kBriefWindowSeconds long (kMinPackets at
    // least), or as long as the search's where a time scale sets those.
    Plan briefWindowPlan(int round) const;
    // How many streams like p the budgets leave room for (each with a pause
    // as long as itself after it, and a few round trips); *bySeconds, when
    // asked, the time budget's count alone.
    int affordable(const Plan& p, int* bySeconds = nullptr) const;
    // ... once the automatic budgets have grown (as they are where they
    // cannot grow), whether or not a budget stopped the measurement.
    int affordableGrown(const Plan& p, int* bySeconds = nullptr) const;
    Outcome stream(const Plan& p);
    // A stream, the wait for its replies and the drain of the most it can
    // have queued: how long after one window starts the next may start
    // whatever the first met.
    double windowSlot(const Plan& p) const;
    // A search stream lost more than the path loses anyway: a twin of small
    // packets tells a host's limit on echo replies (true: found, and the
    // packets were sized anew) from bytes lost.
    bool limitFoundBy(const Plan& lossy);

    // A budget stopped the measurement while the search still needs more:
    // when that budget is automatic, the automatic budgets grow once and the
    // measurement goes on (true).
    bool resumeWithLargerBudgets(int why);
    // ... or sends one more stream that fits what is left of them, without
    // growing them, and stays stopped (not sent: nothing left, or the
    // budget that stopped it is a user's, or they grew already).
    Outcome streamWithinBudgets(const Plan& p);
    // The automatic budgets grow once, for the reason why, before a budget
    // has stopped the measurement (false: a user's budgets, or grown
    // already).
    bool growBudgets(int why);
    // The cross traffic comes in bursts about gap seconds apart, further than
    // the streams last: streams from now on last seconds, and the automatic
    // budgets grow for them.
    void lengthenStreams(double seconds, double gap);
    // The time scale of a stream at the ceiling whose two ends, as its
    // slope averages them, lie seconds apart.
    double endsApart(double seconds) const;
    bool automaticBudgets() const { return automaticBytes_ || automaticSeconds_; }

    // Waits this long before the next stream, or what is left of the time
    // budget when that is less.
    void pause(double seconds);
    void stop(const Finding& f);
    bool stopped() const { return stopped_; }
    const Finding& finding() const { return finding_; }
    void publish();
    void handOver();
    void discard();

    double elapsed() const { return (path_.now_ns(path_.context) - start_) / 1e9; }
    double capacity() const { return capacity_; }
    double roundTrip() const { return rtt_; }
    // Every answered packet of o, sent by p, waited longer than p took to
    // send (kMinStreamSeconds at least): it met a queue that held more than
    // its own packets, and what it lost, such a queue dropped.
    bool waitedInFullQueue(const Outcome& o, const Plan& p) const;
    double ceiling() const { return ceiling_; }
    double limitPps() const { return limitPps_; }
    // The capacity was read from the few replies of trains the host's limit
    // cut short: a stall of either end while they came spaces them wider.
    bool capacityThroughLimit() const { return capacityThroughLimit_; }
    // A policer: the capacity train found bytes limited, or a stream's loss
    // was of bytes while no stream ever queued (random loss can make one
    // twin look so by chance; a path that queues is no policer's).
    bool policed() const { return policed_ || (bytesLost_ && delayRises_ == 0); }
    int packetBytes() const { return packetBytes_; }
    // The capacity in IP bits of the streams' packets (kLinkHeaderBytes).
    double streamCapacity() const;
    int packetsAt(double rate) const;
    double floorRate() const;
    // The share of packets lost at the lowest rates streams were sent at
    // (the first contact's included), that rate and the packets counted.
    double lowRateLoss(double* rate, int* packets) const;
    // The share of their packets all the search's streams lost.
    double streamLoss() const;
    void setBelow(double rate) { below_ = std::max(below_, rate); }
    void setEstimate(double rate) { estimate_ = rate; }
    int delayRises() const { return delayRises_; }
    void countRise(bool rose) { delayRises_ += rose; }
    std::vector<avl_round>& rounds() { return rounds_; }
    const std::vector<avl_stream>& streams() const { return streams_; }
    const avl_options& options() const { return o_; }
    avl_result* result() { return r_; }

private:
    enum class Limit { None, Packets, Bytes, Stopped };
    Outcome capacityTrain(std::vector<double>* gaps);
    Limit findLimit(int trainReplies);
    double passedRate(double spaced, bool* queues);
    void takeLimit();
    int packetSizeFor(double fastest) const;
    int affordableWithin(const Plan& p, int64_t maxBytes, double maxSeconds, int* bySeconds) const;
    int64_t grownBytes() const;
    double grownSeconds() const;
    double lasting(double seconds, double rate) const;
    Plan plan(int kind, int round, double rate, int packets, int bytes, bool withLead) const;
    Plan smallProbe(int count, int64_t gapNs) const;
    bool fits(const Plan& p);
    Finding overBudget(const Plan& p) const;
    bool mayGrow() const;
    void resume();
    void judge(const Plan& p, const std::vector<int64_t>& depart, const std::vector<int64_t>& arrive, Outcome* out);
    void drain(const Plan& p, const Outcome& out);
    double mostQueued(const Plan& p) const;
    double drainTime(const Plan& p, double queued) const;
    int64_t waitNs(const Plan& p) const;
    double baseLoss(double rate) const;
    double drainRate() const;

    // Loss seen at one rate: packets sent and lost in the judged parts.
    struct LossAt {
        double rate;
        int sent, lost;
    };

    avl_path path_;
    avl_options o_;
    avl_result* r_;
    avl_progress_fn progress_;
    void* progressContext_;
    int64_t start_;  // ns on the path's clock
    bool automaticBytes_, automaticSeconds_;
    Finding finding_;
    std::vector<avl_stream> streams_;
    std::vector<avl_round> rounds_;
    std::vector<LossAt> losses_;
    double rtt_ = 0;          // seconds: the least round trip seen
    int contactSent_ = 0, contactLost_ = 0;
    double capacity_ = 0;
    double limitPps_ = 0;     // > 0: the host answers about this many echo requests a second
    double ceiling_ = 0;      // the fastest rate streams may be sent at
    double estimate_ = 0;     // the best idea of the free rate so far (0: none)
    double below_ = 0;        // the highest rate found below what is free
    int packetBytes_ = 0;     // of the streams after the capacity train
    bool stopped_ = false;
    bool handedOver_ = false; // the result owns the streams and rounds
    bool policed_ = false;    // bytes are limited: a policer, or a queue too short for a train
    bool capacityThroughLimit_ = false;  // the capacity trains lost replies to the host's limit
    bool bytesLost_ = false;  // a stream's loss was found to be of bytes, not packets
    int delayRises_ = 0;      // streams whose delays rose: the path queues
};

}  // namespace availbw
