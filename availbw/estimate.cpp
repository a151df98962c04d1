// SPDX-License-Identifier: MIT
// estimate.cpp - the measurement: the prober learns the path (round trip,
// capacity, limits) and takes a first guess; then the search sends each
// stream at the rate where its verdict teaches most, weighs every verdict as
// noisy evidence about the free rate (posterior.h), and stops once the range
// that holds the free rate with 90 % probability is narrow enough, or a
// budget ends it.  The conclusion turns that range, or what stopped the
// search, into the result.
#include "availest.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "bursts.h"
#include "measurement.h"
#include "result_size.h"

namespace availbw {

using namespace tuning;

// Under a limit on echo replies, loss alone may be the limit's: it does not
// say the rate is above what is free.
bool Measurement::risingVerdict(const Outcome& o) const {
    if (p_.limitPps() > 0 && o.byLoss) return false;
    return o.verdict == AVL_RISING;
}

// The capacity is known to within a step of its raise: a range may reach
// that far above it, the estimate not.
void Measurement::capToCapacity(double* low, double* high, double* middle) const {
    const double c = p_.capacity();
    *high = std::min(*high, c * (1 + kRaiseBy));
    *low = std::min(*low, *high);
    *middle = std::clamp(*middle, *low, std::max(*low, std::min(*high, c)));
}

// The range of the free rate: the posterior's central kRangeMass of the
// verdict curve's midpoint, divided by the bias of that midpoint (its high
// end for the low end of the range), and its middle, capped at the
// capacity.
void Measurement::range(double* low, double* high, double* middle) const {
    const Posterior& post = post_.back();
    const double tail = (1 - kRangeMass) / 2;
    *high = post.freeQuantile(1 - tail, kBiasBase - kBiasSlack, kBiasPerWidth);
    *low = post.freeQuantile(tail, kBiasBase + kBiasSlack, kBiasPerWidth);
    *middle = post.freeQuantile(0.5, kBiasBase, kBiasPerWidth);
    capToCapacity(low, high, middle);
}

bool Measurement::narrow() const {
    if (post_.empty() || post_.back().verdicts() < kMinVerdicts) return false;
    double low, high, middle;
    range(&low, &high, &middle);
    return high <= low * (1 + p_.options().resolution);
}

void Measurement::endRound() {
    avl_round q{};
    double middle;
    range(&q.low_bps, &q.high_bps, &middle);
    q.complete = narrow();
    p_.rounds().push_back(q);
    p_.setEstimate(middle);
    p_.setBelow(q.low_bps);
    p_.publish();
}

// The search.  Each stream goes where its verdict teaches most about the
// free rate, as the posterior of all verdicts so far has it; the first from
// the first guess, and while few verdicts are in, a rising stream's pointer
// (a stream that rose by rho over its length L at rate R puts the free rate
// at R - C rho / L) chooses the next, which finds the region quickly.  Only
// the verdicts weigh in the posterior: a pointer may be thrown off by a
// burst of others, a verdict is judged against the odds of being wrong.
void Measurement::search(double guess, const Outcome& first) {
    const auto fresh = [&] {
        post_.clear();
        windows_.clear();  // streams of another length, or sent before a limit was found
        samples_.clear();
        post_.emplace_back(p_.floorRate(), std::max(p_.ceiling(), p_.floorRate() * 2) * kGridAbove);
    };
    fresh();
    if (judged(first)) post_.back().add(first.sentRate, risingVerdict(first));
    addWindow(first);
    const avl_options& o = p_.options();
    // The first stream goes to the first guess, unless the guess stream
    // itself was sent there.
    double pointer = first.sent && first.sentRate <= guess * kSent ? 0 : guess;
    int round = 1, inRound = 0, voids = 0;
    bool filled = false;
    while (round <= o.max_rounds) {
        if (p_.stopped()) {
            // Streams that lean toward flows that yield, too few for a hint,
            // are a hint here, unless the windows doubt the verdicts: more
            // streams tell (tuning_yielding.h).
            const bool burst = windowFarBelow();
            int doubt = firstWindowDoubts() ? 4 : samplesSwing() || burst ? 5 : 0;
            const int why = disagree() ? 1 : hintsGiveWay() || (!doubt && leansGiveWay()) ? 2 : 0;
            // Nothing doubts the verdicts yet: one brief stream at the
            // capacity more may, within what the budget left.
            const bool late = !doubt && why != 2 && lateWindowDoubts(round);
            if (late) doubt = 4;
            // The streams' own windows may answer within the budget spent
            // (windows.cpp); where the verdicts agree but the first guess's
            // window doubts them, the streams at the capacity look first
            // (flows that yield make room for a stream, and read so).
            if (!late && (why == 1 || (why == 0 && !firstWindowDoubts())) && answerFromSamples(why == 0)) break;
            if (why == 0) {
                // The verdicts agree, but the first guess's window puts the
                // free rate far from them, or the streams' own windows swing
                // as on-off traffic swings them, or one met a burst: streams
                // at the capacity tell whether others' traffic comes and
                // goes (fewer bytes will do after a burst, a late window
                // that doubts, or windows that swing: tuning_windows.h).
                // If not, the verdicts' answer stands as the budget left it.
                const Finding ended = p_.finding();
                bool fewer = burst || late || (samplesSwing() && firstWindowFoundFree());
                // A first window that doubts them asks for room for
                // kWindows, unless it read far from them; where the grown
                // budget would not hold kWindows, a brief one more within
                // what the first budget left may read so (tuning_windows.h).
                if (!fewer && doubt == 4)
                    fewer = firstWindowFar() || (!roomForWindows(round, kWindows, /*grown=*/true) && lateWindowDoubts(round));
                const size_t room = fewer ? kDoubtedWindowsRoom : kWindows;
                if (!windowed_ && doubt && p_.resumeWithLargerBudgets(doubt) && !comesAndGoes(round, room))
                    p_.stop(ended);
                break;
            }
            if (!p_.resumeWithLargerBudgets(why)) break;
            // Streams that disagree may have met others' traffic as it came
            // and went: streams at the capacity tell (fewer windows' bytes
            // will do where a stream at the capacity or the streams' own
            // windows already doubt the verdicts, or one met a burst,
            // tuning_windows.h).
            if (why == 1 && !windowed_ && comesAndGoes(round, doubt ? kDoubtedWindowsRoom : kWindows)) break;
        }
        if (round >= 2 && !filled) filled = fillTest(round);
        Posterior& post = post_.back();
        double rate = pointer > 0 ? pointer : post.nextRate();
        pointer = 0;
        rate = std::clamp(rate, p_.floorRate(), std::max(p_.floorRate(), p_.ceiling()));
        for (int k = 0; k < o.streams_per_rate; ++k) {
            const Plan plan = p_.searchPlan(round, rate);
            const Outcome out = p_.stream(plan);
            if (!out.sent) break;
            addWindow(out);
            if (out.lossy && !out.isVoid && p_.limitFoundBy(plan)) {
                fresh();  // what was judged so far was the limit's loss
                break;
            }
            if (!judged(out)) {
                if (++voids > kRetries * 4) p_.stop(Finding(AVL_FAIL_SENDER));
                continue;
            }
            voids = 0;
            const bool up = risingVerdict(out);
            post.add(out.sentRate, up);
            p_.countRise(out.rose);
            // While few verdicts are in, a rising stream points at where the
            // free rate is.
            if (up && out.span > 0 && post.verdicts() <= kPointedVerdicts) {
                const double at = out.byLoss ? out.outRate : out.sentRate - p_.capacity() * out.rise / out.span;
                if (at > post.quantile(kProbeFrom) && at < out.sentRate) pointer = std::max(at, out.sentRate / kFarthestPointer);
            }
            if (++inRound == kVerdictsPerRound) {
                endRound();
                ++round;
                inRound = 0;
                // The streams' own windows already swing, or one met a
                // burst: streams at the capacity tell now (windows.cpp).
                if (comesAndGoesEarly(round)) return;
                // Others' bursts further apart than the streams last: what
                // was judged so far says little of the mean.  Streams at the
                // capacity measure them, or longer streams start the search
                // again.
                if (lengthenForBursts(round)) {
                    if (burstWindowed_) return;
                    fresh();
                    break;
                }
            }
        }
        // Narrow, but with a hint that the cross traffic gives way: more
        // streams tell, as far as the budgets go.
        if ((narrow() && !hintsGiveWay()) || elastic(false) == AVL_ELASTIC_YES) break;
    }
    if (inRound > 0) endRound();
}

// Others' bursts further apart than the streams last (bursts.h), carrying
// at least share of what the verdicts leave to others, and *gap between
// them; only where no time scale was asked for.
bool Measurement::farBursts(double* gap, double share, int leastEvents) const {
    if (p_.options().timescale_s > 0) return false;
    const std::vector<avl_stream>& all = p_.streams();
    if (burstsCapacity_ != p_.capacity() || burstsSeen_.size() > all.size()) {
        burstsSeen_.clear();
        burstsCapacity_ = p_.capacity();
    }
    for (size_t i = burstsSeen_.size(); i < all.size(); ++i) {
        burstsSeen_.emplace_back();
        if (all[i].kind == AVL_KIND_SEARCH || all[i].kind == AVL_KIND_GUESS)
            addBursts(all[i], p_.capacity(), &burstsSeen_.back());
    }
    Bursts b;
    for (const Bursts& one : burstsSeen_) b += one;
    if (b.events < leastEvents) return false;  // before the verdicts' range, which costs more
    double low, high, middle;
    range(&low, &high, &middle);
    if (burstTimescale(b, p_.capacity(), share * std::max(0.0, p_.capacity() - middle), leastEvents) <= 0) return false;
    *gap = b.seconds / b.events;
    return true;
}

// Others' bursts came far apart: the streams grew to span them, or those
// sent so far show them.  Streams shorter than their gaps met one or none,
// each after the last one's queue drained, and how their halves and their
// first replies fared tells where in them the bursts fell, not whether the
// traffic yields (yielding.cpp).
bool Measurement::burstsFarApart() const {
    double gap;
    return r_->burst_gap_s > 0 || farBursts(&gap, 1);
}

// Such bursts make the streams grow to span several of them, and the
// search start again; where the budgets hold fewer than kLengthenedLeast
// such streams at the verdicts' middle, streams at the capacity measure the
// bursts instead (burstWindows), when they can be sent.
bool Measurement::lengthenForBursts(int round) {
    double gap;
    if (!farBursts(&gap, 1)) return false;
    p_.lengthenStreams(std::min(kBurstGaps * gap, kLongestBurstScale), gap);
    double low, high, middle;
    range(&low, &high, &middle);
    if (p_.affordable(p_.searchPlan(round, middle)) < kLengthenedLeast) burstWindows(round, gap);
    return true;
}

// What the streams' first replies met queued of others' traffic, over the
// measurement, comes to kQueuesOverrule of what a figure of middle leaves
// others or more (bursts.h, queuedAtStarts; tuning.h).
bool Measurement::queuesOverrule(double middle) const {
    const double queued = queuedRate();
    return queued >= kQueuesLeast * p_.capacity() && queued >= kQueuesOverrule * std::max(0.0, p_.capacity() - middle);
}

// What the queues the streams met hold of others' traffic, at least, over
// the measurement's time: bits per second.
double Measurement::queuedRate() const {
    const std::vector<avl_stream>& all = p_.streams();
    const double seconds = p_.elapsed();
    if (seconds <= 0) return 0;
    return queuedAtStarts(all.data(), all.size(), p_.capacity(), p_.roundTrip()) / seconds;
}

// The streams disagree: the range a budget left is still wider than
// kDisagreement.  The automatic budgets may then grow.
bool Measurement::disagree() const {
    if (!hasVerdicts()) return true;
    double low, high, middle;
    range(&low, &high, &middle);
    return high > low * kDisagreement;
}

int Measurement::noEstimate(const Finding& f) {
    p_.stop(f);
    // The finding may come after a budget stopped the search: it replaces it.
    r_->failure = f.failure;
    r_->budget_reached = f.failure == AVL_FAIL_BUDGET ? f.budget : r_->budget_reached;
    std::snprintf(r_->reason, sizeof r_->reason, "%s", describe(f).c_str());
    r_->available_bps = r_->low_bps = r_->high_bps = 0;
    r_->support = 0;
    return AVL_NO_ESTIMATE;
}

// The answer, or why there is none.
int Measurement::conclude() {
    // A policer drops what exceeds its rate wherever it comes from, and a
    // stream that arrives evenly finds room where others' bursts do not: its
    // own loss tells the policer's rate, not what the others use of it.
    if (p_.policed()) {
        Finding f(AVL_FAIL_POLICER);
        f.rate = p_.capacity();
        return noEstimate(f);
    }
    // A path that loses much even at low rates cannot be judged by its loss.
    double lowest = 0;
    int packets = 0;
    const double loss = p_.lowRateLoss(&lowest, &packets);
    if (packets >= kBaseLossPackets && loss > kMaxBaseLoss) {
        Finding f(AVL_FAIL_LOSS);
        f.share = loss;
        f.rate = lowest;
        return noEstimate(f);
    }
    const Finding ended = p_.finding();
    if (!hasVerdicts()) {
        if (ended.failure == AVL_FAIL_BUDGET) {
            Finding f = ended;
            f.detail = kBeforeAnyVerdict;
            return noEstimate(f);
        }
        if (ended.failure != AVL_FAIL_NONE) return AVL_NO_ESTIMATE;
        return noEstimate(Finding(AVL_FAIL_SENDER));
    }
    double low, high, middle;
    range(&low, &high, &middle);
    const double verdicts = middle;
    // Traffic that yields leaves no figure to give: what it does not use
    // now, a new flow would share with it.
    r_->elastic = elastic(false);
    if (r_->elastic == AVL_ELASTIC_YES) {
        Finding f(AVL_FAIL_ELASTIC);
        f.rate = p_.capacity();
        return noEstimate(f);
    }
    // The streams still hint that it yields, though too weakly to tell: a
    // figure would be what such traffic leaves a stream for a moment, which
    // is neither what it leaves unused nor what a new flow would get.
    if (hintsGiveWay()) {
        Finding f(AVL_FAIL_ELASTIC);
        f.rate = p_.capacity();
        f.suspected = true;
        return noEstimate(f);
    }
    if (sampled_) {
        const MeanRange m = sampledRange();
        low = m.low;
        high = m.high;
        middle = m.middle;
        capToCapacity(&low, &high, &middle);
    } else if (!swinging_ && !burstWindowed_ && samplesTell()) {
        // The verdicts answer, and the same streams' windows measured the
        // free rate too: the range holds both readings.  Ten verdicts may
        // read a wide curve as a narrow one: Poisson traffic through 100
        // Mbit/s at half load left their range short of the free rate in 17
        // of the 72 simulated runs of 200 they answered, where the windows'
        // answers held in 120 of 127; the range of both missed in 7.  (Only
        // where the windows rule out the verdicts' figure: in 13.)
        const MeanRange m = sampledRange();
        if (m.known && m.low > 0) {
            low = std::min(low, m.low);
            high = std::max(high, m.high);
            capToCapacity(&low, &high, &middle);
        }
    }
    // Streams at the capacity measured others' bursts but cannot answer:
    // too few within the budgets, or their halves hint at traffic that
    // yields.  The verdicts before them met the bursts unevenly.
    if (burstWindowed_ && !swinging_) {
        Finding f = ended.failure == AVL_FAIL_BUDGET ? ended : Finding(AVL_FAIL_UNSTEADY);
        if (windows_.size() >= 2) windowRange(&f.low, &f.high, &middle);
        // (Windows whose gains stood out named the traffic as yielding above.)
        if (f.failure == AVL_FAIL_UNSTEADY) {
            f.count = static_cast<int>(windows_.size());
            f.of = static_cast<int>(kBurstWindowsLeast);
        }
        return noEstimate(f);
    }
    // Streams at the capacity that lost much met others' traffic above the
    // capacity, which overflowed the queue: those that got through met its
    // gaps, and their mean leaves out the rest (tuning_windows.h).
    if (swinging_ && windowsOverflowed()) {
        Finding f = ended.failure == AVL_FAIL_BUDGET ? ended : Finding(AVL_FAIL_UNSTEADY);
        f.detail = kWindowsOverflowed;
        return noEstimate(f);
    }
    if (swinging_) {
        windowRange(&low, &high, &middle);
        r_->free_spread = windowSpread();
        if (high > low * kWidestAnswer) {
            Finding f(AVL_FAIL_UNSTEADY);
            f.low = low;
            f.high = high;
            return noEstimate(f);
        }
    }
    // Others' bursts far apart met the streams, which never grew to span
    // them (farBursts looks only then), and carried well more than the
    // verdicts leave others: between bursts a stream finds the whole
    // capacity free, and the verdicts read the gaps, not the mean (tuning.h,
    // kBurstsOverrule).
    double gap;
    if (!sampled_ && !swinging_ && farBursts(&gap, kBurstsOverrule, kBurstsOverruleEvents)) {
        r_->burst_gap_s = gap;
        Finding f = ended.failure == AVL_FAIL_BUDGET ? ended : Finding(AVL_FAIL_UNSTEADY);
        f.detail = kBurstsUnspanned;
        return noEstimate(f);
    }
    // Others' traffic that overloads the path for longer than a stream
    // lasts keeps a queue that drains only between its bursts, and streams
    // sent each after the last one's queue drained start there: the
    // verdicts read the gaps, and the queues the streams met tell more of
    // others' traffic than the verdicts leave it.
    if (!sampled_ && !swinging_ && queuesOverrule(middle)) {
        Finding f = ended.failure == AVL_FAIL_BUDGET ? ended : Finding(AVL_FAIL_UNSTEADY);
        f.detail = kQueuesUnexplained;
        return noEstimate(f);
    }
    // What stopped the search, when it was not a budget, is the reason
    // where the verdicts left the range wide.
    if (ended.failure != AVL_FAIL_NONE && ended.failure != AVL_FAIL_BUDGET && high > low * kWidestAnswer)
        return noEstimate(ended);
    // Every stream rose, down to the lowest rate sent: less than that is
    // free, and how much less the search cannot tell.
    const bool atFloor = low <= p_.floorRate() * 1.02;
    if (atFloor) {
        Finding f = ended.failure == AVL_FAIL_BUDGET ? ended : Finding(AVL_FAIL_UNSTEADY);
        f.low = 0;
        f.high = high;
        if (f.failure == AVL_FAIL_UNSTEADY) f.low = low;
        return noEstimate(f);
    }
    // Under a limit on echo replies that keeps streams below the capacity, a
    // free rate at that ceiling may be more: at least the low end is free.
    // A capacity read through the limit may itself be low (its trains' few
    // replies spaced by a stall): then streams must reach a raise's step
    // above it, as they would to raise it, for the figure to stand.
    const double room = p_.capacityThroughLimit() ? 1 + kRaiseBy : kCeilingBelowCapacity;
    if (p_.limitPps() > 0 && p_.ceiling() < room * p_.capacity() && high >= p_.ceiling()) {
        Finding f(AVL_FAIL_ECHO_LIMIT);
        f.rate = p_.ceiling();
        f.pps = p_.limitPps();
        const int status = noEstimate(f);
        r_->lower_bound_bps = low;
        return status;
    }
    if (high > low * kWidestAnswer) {
        Finding f = ended.failure == AVL_FAIL_BUDGET ? ended : Finding(AVL_FAIL_UNSTEADY);
        f.low = low;
        f.high = high;
        return noEstimate(f);
    }
    // The streams below the figure, or below the verdicts' middle, found the
    // bottleneck idle far less often than it leaves free: the room they
    // found was made for them, as flows held by a window make it, and the
    // figure is what such flows give up for a moment (tuning_yielding.h).
    // (Windows at the capacity may answer below most streams of the search;
    // where others' bursts came far apart, the verdicts read their gaps.)
    if (idleUnmet(middle) || (!burstsFarApart() && idleUnmet(verdicts))) {
        Finding f(AVL_FAIL_ELASTIC);
        f.rate = p_.capacity();
        f.suspected = true;
        return noEstimate(f);
    }
    // Loss on the way into the bottleneck takes its share off each stream's
    // load there, and the stream reads that much more free; loss after it
    // takes nothing off.  Which it was no stream tells, so the range
    // reaches down by the share all the streams lost of the capacity, the
    // most a stream sends (the lab's router that dropped 3 % of what it
    // forwarded before its shaper made every run read 5 % high, no range
    // holding the free rate).
    low = std::max(0.0, low - p_.streamLoss() * p_.capacity());
    r_->available_bps = middle;
    r_->low_bps = low;
    r_->high_bps = high;
    r_->rounds = static_cast<int>(p_.rounds().size());
    r_->support = 0;
    for (const avl_round& q : p_.rounds()) r_->support += q.low_bps <= middle && middle <= q.high_bps;
    r_->support = std::max(r_->support, 1);
    const double measuredAt = swinging_ ? p_.ceiling() : middle;
    r_->timescale_s = p_.packetsAt(measuredAt) * p_.packetBytes() * 8.0 / measuredAt;
    r_->elastic = elastic(true);
    r_->from_windows = sampled_;
    // Streams at the capacity that found the free rate swinging say nothing
    // of whether the traffic yields: a flow held by a deep window swings so
    // too, and gives way more slowly than they show.
    if (swinging_ && r_->elastic == AVL_ELASTIC_NO) r_->elastic = AVL_ELASTIC_UNKNOWN;
    // What cut the search short stays in the reason beside the estimate.
    if (ended.failure != AVL_FAIL_BUDGET) r_->reason[0] = '\0';
    r_->failure = AVL_FAIL_NONE;
    return 0;
}

int Measurement::run() {
    if (!p_.contact() || !p_.readCapacity()) return AVL_NO_ESTIMATE;
    p_.choosePacketSize(p_.capacity());
    Outcome first;
    const double guess = p_.firstGuess(&first);
    // The capacity may have been read anew: packets for it.  (Smaller ones
    // for the rates searched would sample a queue more often, but more
    // packets a second load the routers' processors, whose own queues then
    // show as rises.)
    p_.choosePacketSize(p_.capacity());
    if (!p_.stopped()) search(guess, first);
    return conclude();
}

}  // namespace availbw

using availbw::Measurement;
using availbw::tuning::kMinPackets;

extern "C" void avl_default_options(avl_options* o) {
    o->size = sizeof *o;
    o->max_bytes = 0;
    o->max_seconds = 0;
    o->timescale_s = 0;
    o->packet_bytes = 0;
    o->stream_bytes = 40000;
    o->streams_per_rate = 1;
    o->resolution = 0.1;
    o->max_rounds = 12;
    o->family = AVL_FAMILY_ANY;
}

// Options a measurement can be run with (null: the defaults).
static bool valid_options(const avl_options* p) {
    if (p == nullptr) return true;
    const avl_options& o = *p;
    return o.max_bytes >= 0 && o.max_seconds >= 0 && o.max_seconds <= 3600 && o.timescale_s >= 0 &&
           o.timescale_s <= 10 && (o.packet_bytes == 0 || (o.packet_bytes >= 64 && o.packet_bytes <= 1500)) &&
           o.stream_bytes >= 64 * kMinPackets && o.stream_bytes <= 1500 * 4096 && o.streams_per_rate >= 1 &&
           o.streams_per_rate <= 9 && o.resolution > 0.005 && o.resolution < 1 && o.max_rounds >= 1 &&
           o.max_rounds <= 100 &&
           (o.family == AVL_FAMILY_ANY || o.family == AVL_FAMILY_IPV4 || o.family == AVL_FAMILY_IPV6);
}

static int measure(const avl_path* path, const avl_options* options, avl_result* result, avl_progress_fn progress,
                   void* context) {
    if (path == nullptr || path->send == nullptr || path->now_ns == nullptr || path->pause == nullptr ||
        path->header_bytes < 8 || path->header_bytes > 60 || path->max_packets < 0 || path->max_wait_ns < 0)
        return AVL_ERR_OPTIONS;
    avl_options o;
    avl_default_options(&o);
    if (options != nullptr) {
        // A caller built against an older, shorter struct: its fields, and
        // the defaults for the rest.
        const size_t known = options->size == 0 ? sizeof o : std::min(options->size, sizeof o);
        std::memcpy(&o, options, known);
        o.size = sizeof o;
    }
    if (!valid_options(&o)) return AVL_ERR_OPTIONS;
    std::snprintf(result->address, sizeof result->address, "%s", path->address != nullptr ? path->address : "");
    // Nothing but error results crosses this interface: memory that runs out
    // ends the measurement, and the result keeps none of its streams.
    Measurement m(*path, o, result, progress, context);
    try {
        const int status = m.run();
        m.handOver();  // the streams and rounds now belong to the result
        return status;
    } catch (const std::bad_alloc&) {
        m.discard();
        return AVL_ERR_MEMORY;
    }
}

extern "C" int avl_measure_path_sized(const avl_path* path, const avl_options* options, avl_result* result,
                                      size_t size, avl_progress_fn progress, void* context) {
    if (result == nullptr) return AVL_ERR_OPTIONS;
    availbw::fillResult(result, size, avl_result{});
    // The measurement fills a whole result of this library's; the caller gets
    // what its struct has room for.
    avl_result full{};
    full.elastic = AVL_ELASTIC_UNKNOWN;
    const int status = measure(path, options, &full, progress, context);
    availbw::fillResult(result, size, full);
    return status;
}

extern "C" int(avl_measure_path)(const avl_path* path, const avl_options* options, avl_result* result,
                                 avl_progress_fn progress, void* context) {
    return avl_measure_path_sized(path, options, result, sizeof *result, progress, context);
}
extern "C" const char* avl_failure_name(int failure) {
    static const char* const names[] = {"none",     "budget",  "no_reply", "unreachable", "loss",  "echo_limit", "policer",
                                        "elastic",  "unsteady", "sender",  "send",        "path",  "cancelled"};
    return failure >= 0 && failure < static_cast<int>(sizeof names / sizeof *names) ? names[failure] : "unknown";
}

extern "C" void avl_free_result_sized(avl_result* r, size_t size) {
    if (r == nullptr) return;
    for (int i = 0; i < r->nstreams; ++i) {
        delete[] r->streams[i].depart_s;
        delete[] r->streams[i].delay_s;
    }
    delete[] r->streams;
    delete[] r->round_ranges;
    availbw::fillResult(r, size, avl_result{});
}

extern "C" void(avl_free_result)(avl_result* r) { avl_free_result_sized(r, sizeof *r); }
