// SPDX-License-Identifier: MIT
// measurement.h - one measurement, within the library: the search and its
// conclusion (estimate.cpp), the signs of cross traffic that yields
// (yielding.cpp), and the streams' windows: those at the capacity that
// tell traffic which comes and goes, and every stream's own (windows.cpp).
// Not a public header.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "availest.h"
#include "bursts.h"
#include "posterior.h"
#include "prober.h"
#include "samples.h"
#include "tuning.h"

namespace availbw {

// A line through the origin fitted to count points: its slope, and the
// slope's standard error.
struct Fit {
    size_t count = 0;
    double slope = 0, error = INFINITY;
};

// The give-way fits of all the streams, of those below the capacity, and
// of the lightest, in standard errors above the gain that yielding shows.
struct GiveWayFits {
    double all = 0, light = -INFINITY, lightest = -INFINITY;
    // light's fit over as few as kLeaningStreams streams (leansGiveWay).
    double leaning = -INFINITY;
    size_t allStreams = 0, lightStreams = 0;
    // The larger of all's and light's less kGiveWaySecondLook (a second
    // look at the same streams), and in *streams how many it rests on.
    double giving(size_t* streams) const {
        const double second = light - tuning::kGiveWaySecondLook;
        if (streams) *streams = second > all ? lightStreams : allStreams;
        return std::max(all, second);
    }
};

// The least-squares line through the origin of y over x: its slope, and the
// slope's standard error from the scatter about it (infinite below two
// points).
Fit fitThroughOrigin(const std::vector<double>& x, const std::vector<double>& y);

// A stream's second half's arrival rate over its first's, as a logarithm,
// into *gain; false for a stream that cannot say (void, lossy, not judged
// by rate, too few replies, sent while the host stalled: sendsFellBehind).
bool halvesGain(const avl_stream& s, double* gain);

// A rising stream's floors (the least delay of each eighth after the
// lead): how far they rose by the third eighth (*front) and by the last
// (*total, above zero); false for a stream that cannot say (or sent while
// the host stalled).
bool riseAtFirst(const avl_stream& s, double* front, double* total);

// The moments the records' packets found the bottleneck idle (their delay
// within kIdlePackets full-sized packets at the capacity, or kIdleJitter,
// of least), and how many they would have found where others' traffic
// leaves free bits per second and does not yield: a packet of a stream
// sent at R finds the link idle with a chance of (free - R) / capacity.
// Only the answered packets after each record's lead, of records sent below
// free (the small packets that check the path among them), not the
// capacity's train, whose packets leave at once.
struct Idle {
    double found = 0, expected = 0;
};
Idle idleMoments(const avl_stream* s, size_t n, double capacity, double free, double least);

// How many values, their mean, and their standard deviation (0 below two).
struct Spread {
    double n = 0, mean = 0, sd = 0;
};
Spread spreadOf(const std::vector<double>& values);

// Student's t for df degrees of freedom at the quantile where the normal's
// is z (1.645: 95 %, 2.326: 99 %).
double studentT(double z, double df);

// Gains of streams that fill the bottleneck (fullGains, windowGains) that
// name traffic that yields: kFullStreams or more, their mean kFullGain or
// more and kFullErrors standard errors, and at least Student's t at
// kFullSure for their number (the standard error no less than kGainSpread
// gives).
bool gainsStandOut(const Fit& gains);

class Measurement {
public:
    Measurement(const avl_path& path, const avl_options& o, avl_result* r, avl_progress_fn progress, void* context)
        : p_(path, o, r, progress, context), r_(r) {}

    int run();
    void handOver() { p_.handOver(); }
    void discard() { p_.discard(); }

private:
    void search(double guess, const Outcome& first);
    bool judged(const Outcome& o) const { return o.sent && !o.isVoid && o.verdict != AVL_UNCLEAR; }
    bool risingVerdict(const Outcome& o) const;
    void capToCapacity(double* low, double* high, double* middle) const;
    void range(double* low, double* high, double* middle) const;
    bool narrow() const;
    // At least one verdict is in the posterior (range() then means something).
    bool hasVerdicts() const { return !post_.empty() && post_.back().verdicts() > 0; }
    void endRound();
    bool disagree() const;
    bool lengthenForBursts(int round);
    bool farBursts(double* gap, double share, int leastEvents = tuning::kBurstEvents) const;
    bool queuesOverrule(double middle) const;
    double queuedRate() const;
    int elastic(bool answered) const;
    GiveWayFits giveWayFits() const;
    bool hintsGiveWay() const;
    bool fitsHintGiveWay() const { return giveWayFits().giving(nullptr) >= tuning::kGiveWayHint; }
    bool leansGiveWay() const { return giveWayFits().leaning >= tuning::kLeaning; }
    bool risesAtFirst() const;
    bool startsWander() const;
    bool idleUnmet(double free) const;
    Fit fullGains() const;
    bool fillTest(int round);
    int conclude();
    int noEstimate(const Finding& f);

    Fit gains(bool (Measurement::*which)(size_t, const avl_stream&) const) const;
    bool fullLoad(size_t i, const avl_stream& s) const;
    bool windowCheck(size_t i, const avl_stream&) const { return windowCheck(i); }

    void addWindow(const Outcome& o, bool sample = true);
    double windowSpread() const;
    bool sendWindow(int round, bool brief = false, bool late = false);
    // Stream i was sent by comesAndGoes: the traffic's give-way tests leave
    // it out, as they were before such streams were sent.
    bool windowCheck(size_t i) const {
        return std::find(windowChecks_.begin(), windowChecks_.end(), i) != windowChecks_.end();
    }
    bool burstsFarApart() const;
    // The streams grew to span others' bursts, and this one lasted at
    // least half as long.
    bool spansBursts(const avl_stream& s) const {
        return r_->burst_gap_s > 0 && s.packets > 0 && s.depart_s[s.packets - 1] >= 0.5 * p_.options().timescale_s;
    }
    bool windowsCanTell() const;
    void sendWindows(int round, size_t count, double gap = 0, bool brief = false);
    bool comesAndGoes(int round, size_t room);
    bool comesAndGoesEarly(int round);
    bool burstWindows(int round, double gap);
    bool firstWindowDoubts() const;
    bool lateWindowDoubts(int round);
    bool readsFar(double w) const;
    bool firstWindowFar() const;
    bool roomForWindows(int round, size_t room, bool grown) const;
    bool firstWindowFoundFree() const;
    bool windowFarBelow() const;
    bool windowsContradict() const;
    bool windowsOverflowed() const;
    bool samplesSwing() const;
    bool samplesTell() const;
    Fit windowGains() const;
    void windowRange(double* low, double* high, double* middle) const;
    MeanRange sampledRange() const;
    bool answerFromSamples(bool narrower);

    Prober p_;
    avl_result* r_;
    std::vector<Posterior> post_;  // one, made when the search begins (again after a limit is found)
    std::vector<double> windows_;  // free rates of the streams' windows at the capacity (addWindow)
    std::vector<size_t> windowChecks_;  // indices of the streams comesAndGoes sent
    size_t lossyWindows_ = 0;           // ... of which lost more than kWindowLost of their packets
    bool overflowSeen_ = false;         // ... and one of those waited in a full queue
    bool windowed_ = false;        // comesAndGoes looked
    bool burstWindowed_ = false;   // burstWindows measured others' bursts: its windows decide
    double burstsPerWindow_ = 0;   // ... each window spanning this many of their gaps
    bool swinging_ = false;        // ... and found the free rate swinging, or the verdicts wrong: the
                                   // windows give the figure
    struct Sample {
        double rate, free;  // bits per second: the stream's, and what its window read as free
        bool busy;          // it kept the queue busy: free is the window's; else a floor under it
                            // (the lower of its reading and its rate)
        size_t stream;      // its index among the prober's streams
    };
    std::vector<Sample> samples_;  // every judged stream's window (samples.h)
    bool sampled_ = false;         // a budget ended the search, and the windows' mean gives the figure
    // What each of the prober's streams saw of others' bursts (addBursts;
    // nothing for those not of the search), at burstsCapacity_: the tests
    // of yielding ask after every stream, and on a fast path a stream has
    // thousands of packets.
    mutable std::vector<Bursts> burstsSeen_;
    mutable double burstsCapacity_ = 0;
};

}  // namespace availbw
