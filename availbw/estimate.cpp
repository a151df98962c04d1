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
#include "posterior.h"
#include "prober.h"
#include "result_size.h"
#include "tuning.h"

namespace {

using namespace availbw;
using namespace availbw::tuning;

// A line through the origin fitted to count points: its slope, and the
// slope's standard error.
struct Fit {
    size_t count = 0;
    double slope = 0, error = INFINITY;
};

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
    void range(double* low, double* high, double* middle) const;
    bool narrow() const;
    void endRound();
    bool disagree() const;
    bool lengthenForBursts();
    int elastic(bool answered) const;
    double givesWay(size_t* streams = nullptr) const;
    bool hintsGiveWay() const { return givesWay() >= kGiveWayHint; }
    Fit fullGains() const;
    bool fillTest(int round);
    int conclude();
    int noEstimate(const Finding& f);

    void addWindow(const Outcome& o);
    double windowSpread() const;
    bool sendWindow(int round);
    // Stream i was sent by comesAndGoes: the traffic's give-way tests leave
    // it out, as they were before such streams were sent.
    bool windowCheck(size_t i) const {
        return std::find(windowChecks_.begin(), windowChecks_.end(), i) != windowChecks_.end();
    }
    bool comesAndGoes(int round);
    bool firstWindowDoubts() const;
    Fit windowGains() const;
    void windowRange(double* low, double* high, double* middle) const;

    Prober p_;
    avl_result* r_;
    std::vector<Posterior> post_;  // one, made when the search begins (again after a limit is found)
    std::vector<double> windows_;  // free rates of the streams' windows at the capacity (addWindow)
    std::vector<size_t> windowChecks_;  // indices of the streams comesAndGoes sent
    bool windowed_ = false;        // comesAndGoes looked
    bool swinging_ = false;        // ... and found the free rate swinging: the windows give the figure
};

// Under a limit on echo replies, loss alone may be the limit's: it does not
// say the rate is above what is free.
bool Measurement::risingVerdict(const Outcome& o) const {
    if (p_.limitPps() > 0 && o.byLoss) return false;
    return o.verdict == AVL_RISING;
}

// The range of the free rate: the posterior's central kRangeMass of the
// verdict curve's midpoint, divided by the bias of that midpoint (its high
// end for the low end of the range), and its middle.  The range ends at most
// a raise's step above the capacity, the middle not above it.
void Measurement::range(double* low, double* high, double* middle) const {
    const Posterior& post = post_.back();
    const double tail = (1 - kRangeMass) / 2;
    const double c = p_.capacity();
    // The capacity is known to within a step of its raise: the range may
    // reach that far above it, the estimate not.
    *high = std::min(post.freeQuantile(1 - tail, kBiasBase - kBiasSlack, kBiasPerWidth), c * (1 + kRaiseBy));
    *low = std::min(post.freeQuantile(tail, kBiasBase + kBiasSlack, kBiasPerWidth), *high);
    *middle = std::clamp(post.freeQuantile(0.5, kBiasBase, kBiasPerWidth), *low, std::max(*low, std::min(*high, c)));
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
            const int why = disagree() ? 1 : hintsGiveWay() ? 2 : 0;
            if (why == 0) {
                // The verdicts agree, but the first guess's window puts the
                // free rate far from them: streams at the capacity tell
                // whether others' traffic comes and goes.  If not, the
                // verdicts' answer stands as the budget left it.
                const Finding ended = p_.finding();
                if (!windowed_ && firstWindowDoubts() && p_.resumeWithLargerBudgets(4) && !comesAndGoes(round))
                    p_.stop(ended);
                break;
            }
            if (!p_.resumeWithLargerBudgets(why)) break;
            // Streams that disagree may have met others' traffic as it came
            // and went: streams at the capacity tell.
            if (why == 1 && !windowed_ && comesAndGoes(round)) break;
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
                // Others' bursts further apart than the streams last: what
                // was judged so far says little of the mean, longer streams
                // start the search again.
                if (lengthenForBursts()) {
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

// Streams lengthened for others' bursts (bursts.h), once, and only where
// no time scale was asked for.
bool Measurement::lengthenForBursts() {
    if (p_.options().timescale_s > 0) return false;
    Bursts b;
    for (const avl_stream& s : p_.streams())
        if (s.kind == AVL_KIND_SEARCH || s.kind == AVL_KIND_GUESS) addBursts(s, p_.capacity(), &b);
    double low, high, middle;
    range(&low, &high, &middle);
    const double seconds = burstTimescale(b, p_.capacity(), std::max(0.0, p_.capacity() - middle));
    if (seconds <= 0) return false;
    p_.lengthenStreams(seconds, b.seconds / b.events);
    return true;
}

// The streams disagree: the range a budget left is still wider than
// kDisagreement.  The automatic budgets may then grow.
bool Measurement::disagree() const {
    if (post_.empty() || post_.back().verdicts() == 0) return true;
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
    // A policer drops what exceeds its rate wherever it comes from, and a
    // stream that arrives evenly finds room where others' bursts do not: its
    // own loss tells the policer's rate, not what the others use of it.
    if (p_.policed()) {
        Finding f(AVL_FAIL_POLICER);
        f.rate = p_.capacity();
        return noEstimate(f);
    }
    const Finding ended = p_.finding();
    if (post_.empty() || post_.back().verdicts() == 0) {
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
    // Streams at the capacity that found the free rate swinging say nothing
    // of whether the traffic yields: a flow held by a deep window swings so
    // too, and gives way more slowly than they show.
    if (swinging_ && r_->elastic == AVL_ELASTIC_NO) r_->elastic = AVL_ELASTIC_UNKNOWN;
    // What cut the search short stays in the reason beside the estimate.
    if (ended.failure != AVL_FAIL_BUDGET) r_->reason[0] = '\0';
    r_->failure = AVL_FAIL_NONE;
    return 0;
}

// Whether the cross traffic yields to the streams (TCP does: it backs off
// where a stream takes room, and fills the bottleneck again after).  Its
// sign is a standing queue: streams at a quarter of the capacity or less,
// which add little, still find a queue that does not empty for their whole
// length (their lowest delay lies well above the least the path has shown),
// because flows that fill the bottleneck keep it so, while cross traffic
// that does not yield empties it between its bursts.  (Verdicts that
// contradict each other, flat far above rates that rose, are no sign: a
// slow stream's few packets a millisecond alias with bursts a millisecond
// apart and rise now and then on steady paths.)  The other signs are flows
// that give way within each stream (givesWay), and within the streams sent
// at the capacity (fillTest).  Found to yield: AVL_ELASTIC_YES.  Found not
// to: AVL_ELASTIC_NO, for an answer whose streams' gains lie well below what
// flows that give way show (a fit kGiveWayErrors standard errors under
// kGiveWayGain).  Finding no sign is not enough: a flow held by a window
// that keeps more queued than a stream lasts shows none, and its streams
// read flat at what it would give up.  Else AVL_ELASTIC_UNKNOWN.
int Measurement::elastic(bool answered) const {
    const double c = p_.capacity();
    double least = INFINITY;
    std::vector<double> floors;
    for (const avl_stream& s : p_.streams()) {
        if (s.void_stream || s.kind == AVL_KIND_CAPACITY) continue;
        double floor = INFINITY;
        for (int i = s.lead; i < s.packets; ++i)
            if (s.delay_s[i] >= 0) floor = std::min(floor, s.delay_s[i]);
        if (!std::isfinite(floor)) continue;
        least = std::min(least, floor);
        if (s.sent_rate_bps <= c * kLightStream) floors.push_back(floor);
    }
    bool standing = false;
    if (floors.size() >= kStandingStreams) {
        std::nth_element(floors.begin(), floors.begin() + floors.size() / 2, floors.end());
        const double packets = kStandingPackets * 1500 * 8 / c;
        standing = floors[floors.size() / 2] - least > std::max({kStandingQueue, packets, kStandingShare * least});
    }
    size_t streams = 0;
    const double giving = givesWay(&streams);
    if (standing || (giving >= kGiveWayErrors && streams >= kGiveWayStreams)) return AVL_ELASTIC_YES;
    // The streams at the capacity, those of the fill test and those the
    // windows' check sent, each judged as the fill test's.
    for (const Fit& full : {fullGains(), windowGains()})
        if (full.count >= kFullStreams && full.slope >= kFullGain && full.slope >= kFullErrors * full.error)
            return AVL_ELASTIC_YES;
    return answered && giving <= -kGiveWayErrors ? AVL_ELASTIC_NO : AVL_ELASTIC_UNKNOWN;
}

// A stream's second half's arrival rate over its first's, as a logarithm,
// into *gain; false for a stream that cannot say (void, lossy, not judged
// by rate, too few replies).
bool halvesGain(const avl_stream& s, double* gain) {
    if (s.void_stream || s.lost > kGiveWayLoss * s.packets || (s.kind != AVL_KIND_SEARCH && s.kind != AVL_KIND_GUESS))
        return false;
    std::vector<double> at;
    for (int i = s.lead; i < s.packets; ++i)
        if (s.delay_s[i] >= 0) at.push_back(s.depart_s[i] + s.delay_s[i]);
    if (at.size() < kGiveWayPackets) return false;
    std::sort(at.begin(), at.end());
    const size_t half = at.size() / 2;
    const double first = at[half - 1] - at[0], second = at.back() - at[half];
    if (first <= 0 || second <= 0) return false;
    *gain = std::log((at.size() - half - 1) / second * first / (half - 1));
    return true;
}

// The least-squares line through the origin of y over x: its slope, and the
// slope's standard error from the scatter about it (infinite below two
// points).
Fit fitThroughOrigin(const std::vector<double>& x, const std::vector<double>& y) {
    Fit fit;
    fit.count = y.size();
    double xx = 0, xy = 0;
    for (size_t i = 0; i < y.size(); ++i) {
        xx += x[i] * x[i];
        xy += x[i] * y[i];
    }
    if (xx <= 0) return fit;
    fit.slope = xy / xx;
    if (y.size() < 2) return fit;
    double square = 0;
    for (size_t i = 0; i < y.size(); ++i) square += (y[i] - fit.slope * x[i]) * (y[i] - fit.slope * x[i]);
    fit.error = std::sqrt(square / (y.size() - 1) / xx);
    return fit;
}

// The second sign of traffic that yields, for flows that a window holds
// (a receiver's, on a short path): they keep a queue standing through the
// whole measurement, so no stream finds it empty, but they give way within
// a round trip.  A stream then builds a queue at first and stops building
// it once the flows have made room: its replies arrive slower than it was
// sent in its first half and at its rate in the second, the more so the
// larger its share of the capacity.  Cross traffic that does not yield
// keeps its share for the whole stream, and its bursts make either half
// the slower as often.  So the gains of the streams (halvesGain) are
// fitted as a slope times their load; returned: how many standard errors
// that slope lies above kGiveWayGain, and in *streams how many streams
// it rests on.
double Measurement::givesWay(size_t* streams) const {
    std::vector<double> gains, loads;
    const double c = p_.capacity();
    for (size_t i = 0; i < p_.streams().size(); ++i) {
        const avl_stream& s = p_.streams()[i];
        double g;
        if (windowCheck(i) || !halvesGain(s, &g)) continue;
        gains.push_back(g);
        loads.push_back(std::min(s.sent_rate_bps / c, kGiveWayLoad));
    }
    if (streams) *streams = gains.size();
    // Fewer streams than a hint rests on say nothing (hintsGiveWay).
    if (gains.size() < kGiveWayHintStreams) return 0;
    const Fit fit = fitThroughOrigin(loads, gains);
    return (fit.slope - kGiveWayGain) / std::max(fit.error, 1e-9);
}

// The gains of the streams sent at the capacity or near it (fillTest), as
// their mean (the slope over loads of one) and its standard error.
Fit Measurement::fullGains() const {
    std::vector<double> gains;
    for (size_t i = 0; i < p_.streams().size(); ++i) {
        const avl_stream& s = p_.streams()[i];
        double g;
        if (!windowCheck(i) && s.sent_rate_bps >= kFullLoad * p_.capacity() && halvesGain(s, &g)) gains.push_back(g);
    }
    return fitThroughOrigin(std::vector<double>(gains.size(), 1.0), gains);
}

// Streams at the capacity fill the bottleneck: cross traffic that does not
// yield keeps its share of it for a whole stream, so the stream's replies
// arrive at one rate throughout, while traffic that yields makes room
// within a round trip and the second half arrives faster.  The first guess
// is such a stream; when it hints so, or the other streams' gains do
// (givesWay), a few more are sent at the ceiling.  True once done, or
// when it cannot be (streams are held below the capacity).
bool Measurement::fillTest(int round) {
    if (p_.ceiling() < kFullLoad * p_.capacity()) return true;
    const Fit g = fullGains();
    if (g.count == 0 || (g.slope < kFullHint && !hintsGiveWay())) return false;
    for (size_t k = g.count; k < kFullStreams; ++k) {
        const Outcome out = p_.stream(p_.searchPlan(round, p_.ceiling()));
        if (!out.sent) break;
        // A lossy one is left out: its loss may be a limit's, which only the
        // search's twins tell (the twins of these are not sent).
        if (judged(out) && !out.lossy) post_.back().add(out.sentRate, risingVerdict(out));
        addWindow(out);
    }
    return true;
}

// A stream at the capacity or near it, judged and without loss, keeps the
// bottleneck busy for its whole length: the capacity less what it and the
// others sent into it in that time is its window's free rate (the rate
// less the capacity times the delays' slope from its first packets to its
// last).
void Measurement::addWindow(const Outcome& o) {
    if (!o.sent || o.isVoid || o.lossy || o.verdict == AVL_UNCLEAR || o.span <= 0) return;
    if (o.sentRate < kWindowLoad * p_.capacity()) return;
    windows_.push_back(o.sentRate - p_.capacity() * o.slope);
}

// How far the windows' free rates spread: their standard deviation over
// their mean (0 for fewer than two, or a mean at zero).
double Measurement::windowSpread() const {
    const size_t n = windows_.size();
    if (n < 2) return 0;
    double mean = 0, square = 0;
    for (double w : windows_) mean += w / n;
    for (double w : windows_) square += (w - mean) * (w - mean);
    return mean > 0 ? std::sqrt(square / (n - 1)) / mean : 0;
}

bool Measurement::sendWindow(int round) {
    const size_t index = p_.streams().size();
    const Outcome out = p_.stream(p_.searchPlan(round, p_.ceiling()));
    if (!out.sent) return false;
    if (p_.streams().size() > index) windowChecks_.push_back(index);
    // Its verdict stays out of the posterior: at the capacity, between two
    // of others' bursts, it may read flat, and the verdicts are the answer
    // when the windows do not spread.
    addWindow(out);
    return true;
}

// The gains of the streams comesAndGoes sent (halvesGain), as their mean
// and its standard error.
Fit Measurement::windowGains() const {
    std::vector<double> gains;
    for (size_t i : windowChecks_) {
        double g;
        if (halvesGain(p_.streams()[i], &g)) gains.push_back(g);
    }
    return fitThroughOrigin(std::vector<double>(gains.size(), 1.0), gains);
}

// The first stream at the capacity found a free rate more than
// kWindowDoubt away from the middle of the verdicts' range.  Steady traffic
// leaves each window within a few percent of the mean.
bool Measurement::firstWindowDoubts() const {
    if (windows_.empty() || post_.empty() || post_.back().verdicts() == 0) return false;
    double low, high, middle;
    range(&low, &high, &middle);
    return std::fabs(windows_.front() - middle) > kWindowDoubt * middle;
}

// Cross traffic that comes and goes over periods about as long as a stream
// (on for a few milliseconds, then off) leaves each stream much or little
// room, whatever its rate: the verdicts then say little of the mean, and
// their curve reads flat over a wide span of rates.  Streams at the
// capacity measure each window's free rate instead; when those spread by
// kComeAndGo or more of their mean, their mean over kWindows of them is the
// figure (windowRange).  A first kWindowsFirst tell whether they spread;
// traffic that yields would make room for them, and a limit on echo
// replies or a policer keeps them from the capacity: no windows then.
bool Measurement::comesAndGoes(int round) {
    windowed_ = true;
    if (p_.ceiling() < kWindowLoad * p_.capacity() || p_.limitPps() > 0 || p_.policed() || hintsGiveWay())
        return false;
    // All of them must fit in the budgets left, or none is sent.
    if (p_.affordable(p_.searchPlan(round, p_.ceiling())) < static_cast<int>(kWindows)) return false;
    for (size_t tries = 0; windows_.size() < kWindowsFirst && tries < kWindowsFirst + kRetries; ++tries)
        if (!sendWindow(round)) break;
    if (windows_.size() < kWindowsFirst || windowSpread() < kComeAndGo) return false;
    for (size_t tries = 0; windows_.size() < kWindows && tries < kWindows + kRetries; ++tries)
        if (!sendWindow(round)) break;
    // Windows that spread so widely that their mean is no figure either
    // (others' bursts tens of milliseconds apart, which a window meets or
    // misses) leave the answer to the verdicts.
    // Windows that spread so widely that even their mean is no figure
    // (others' bursts tens of milliseconds apart, which a window meets or
    // misses) leave none: the verdicts of streams as short met the same.
    // Traffic that yields makes room for streams at the capacity within
    // each: their second halves arrive faster than their first (fullGains),
    // and their free rates read what it gave up, not what is unused.
    const Fit yielding = windowGains();
    swinging_ = windowSpread() >= kComeAndGo && (yielding.count == 0 || yielding.slope < kFullHint);
    return swinging_;
}

// The windows' mean, and the range that holds the mean free rate with 90 %
// probability: Student's t for their number, and a share kWindowCapacity of
// what others use for the capacity's own error, which each window's rate
// carries.
void Measurement::windowRange(double* low, double* high, double* middle) const {
    const double n = static_cast<double>(windows_.size());
    double mean = 0, square = 0;
    for (double w : windows_) mean += w / n;
    for (double w : windows_) square += (w - mean) * (w - mean);
    const double c = p_.capacity();
    // Student's t at 95 % for n - 1 degrees of freedom (Cornish-Fisher
    // from the normal's 1.645; within 1 % from 4 degrees on).
    const double z = 1.645, df = std::max(1.0, n - 1);
    const double t = z + (z * z * z + z) / (4 * df) + (5 * std::pow(z, 5) + 16 * z * z * z + 3 * z) / (96 * df * df);
    const double half = t * std::sqrt(square / std::max(1.0, n - 1) / n) + kWindowCapacity * std::max(0.0, c - mean);
    *middle = std::clamp(mean, 0.0, c);
    *low = std::max(0.0, mean - half);
    *high = std::min(mean + half, c * (1 + kRaiseBy));
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

}  // namespace

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
