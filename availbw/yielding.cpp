// SPDX-License-Identifier: MIT
// yielding.cpp - whether the cross traffic yields to the streams, as TCP
// does: a queue that stands, streams that others make room for, and the
// streams at the capacity sent to tell (fillTest).
#include <algorithm>
#include <cmath>
#include <vector>

#include "measurement.h"

namespace availbw {

using namespace tuning;

// Whether the cross traffic yields to the streams (TCP does: it backs off
// where a stream takes room, and fills the bottleneck again after).  Its
// sign is a standing queue: streams at a quarter of the capacity or less,
// which add little, still find a queue that does not empty for their whole
// length (their lowest delay lies well above the least the path has shown),
// because flows that fill the bottleneck keep it so, while cross traffic
// that does not yield empties it between its bursts; and the streams' first
// replies meet such a queue too, at a level that wanders with the flows'
// windows (startsWander).  (Verdicts that
// contradict each other, flat far above rates that rose, are no sign: a
// slow stream's few packets a millisecond alias with bursts a millisecond
// apart and rise now and then on steady paths.)  The other signs are flows
// that give way within each stream (giveWayFits), and within the streams sent
// at the capacity (fillTest).  Found to yield: AVL_ELASTIC_YES.  Found not
// to: AVL_ELASTIC_NO, for an answer whose streams' gains lie well below what
// flows that give way show (a fit kGiveWayErrors standard errors under
// kGiveWayGain, and the fits of the lighter streams, where there are
// enough, kGiveWayHint under it: four TCP flows' streams at the capacity,
// gaining -0.3 to -0.4, pulled the whole fit 2.7 and 2.9 errors under in 2
// lab runs of 20, while their streams below the capacity lay 0.4 and 0.6
// errors above and under; steady, random, mixed and on-off UDP found not
// to yield in 28 lab runs had those 1.9 errors under or more, or too few
// such streams to fit).  Finding no sign is not enough: a flow held by
// a window that keeps more queued than a stream lasts shows none, and its
// streams read flat at what it would give up.  Else AVL_ELASTIC_UNKNOWN.
namespace {

// The lowest delay among a stream's packets [from, to) that came back
// (INFINITY for none).
double lowestDelay(const avl_stream& s, int from, int to) {
    double lowest = INFINITY;
    for (int i = from; i < to; ++i)
        if (s.delay_s[i] >= 0) lowest = std::min(lowest, s.delay_s[i]);
    return lowest;
}

}  // namespace

int Measurement::elastic(bool answered) const {
    const double c = p_.capacity();
    double least = INFINITY;
    std::vector<double> floors;
    for (const avl_stream& s : p_.streams()) {
        if (s.void_stream || s.kind == AVL_KIND_CAPACITY) continue;
        const double floor = lowestDelay(s, s.lead, s.packets);
        if (!std::isfinite(floor)) continue;
        least = std::min(least, floor);
        if (s.sent_rate_bps <= c * kLightStream) floors.push_back(floor);
    }
    // The floors' median over all such streams, and over the first
    // kStandingFirst of them alone, above least by more than the bars.
    const auto above = [&](std::vector<double> f, double packets, double share) {
        std::nth_element(f.begin(), f.begin() + f.size() / 2, f.end());
        return f[f.size() / 2] - least > std::max({kStandingQueue, packets * 1500 * 8 / c, share * least});
    };
    bool standing = false;
    if (floors.size() >= kStandingStreams) {
        const std::vector<double> first(floors.begin(), floors.begin() + std::min(floors.size(), kStandingFirst));
        standing = above(floors, kStandingPackets, kStandingShare) ||
                   above(first, kStandingFirstPackets, kStandingFirstShare);
    }
    // Where others' bursts came far apart (burstsFarApart), the streams'
    // first replies met what queue the last burst left, and wander as a
    // flow's would (bursts 5 ms apart through 100 Mbit/s at half load named
    // as yielding in 6 simulated runs of 60).
    const bool far = burstsFarApart();
    standing = standing || (!far && startsWander());
    size_t streams = 0;
    const GiveWayFits fits = giveWayFits();
    const double giving = fits.giving(&streams);
    if (standing || (giving >= kGiveWayErrors && streams >= kGiveWayStreams) || fits.lightest >= kLightestErrors)
        return AVL_ELASTIC_YES;
    // The streams at the capacity, those of the fill test and those the
    // windows' check sent, each judged as the fill test's.  Where others'
    // bursts came far apart, streams sent each after the last drained
    // locked to their phase, and their halves tell where the bursts fell
    // (bursts 5 ms apart through 100 Mbit/s: five such streams gained 0.46
    // in the mean; 20 ms apart through 50 Mbit/s at 40 % load, seven gained
    // 0.89); only the windows started at spread moments tell then.
    if (!far && gainsStandOut(fullGains())) return AVL_ELASTIC_YES;
    if (gainsStandOut(windowGains())) return AVL_ELASTIC_YES;
    const bool light = fits.light <= -kGiveWayHint && fits.lightest <= -kGiveWayHint;
    return answered && fits.all <= -kGiveWayErrors && light ? AVL_ELASTIC_NO : AVL_ELASTIC_UNKNOWN;
}

// Each stream starts after the queue it left has drained: cross traffic
// that does not yield and leaves room lets the queue empty between its
// bursts, so most streams' first replies come back at about the least
// delay.  A flow that fills the buffer until it loses keeps the queue
// standing at a level that wanders with its window: of the first
// kWanderingStreams streams, the median's first replies lie kWanderingQueue
// and kWanderingPackets full-sized packets at the capacity above the
// earliest (and kStandingFirstShare of it), and even the lowest quarter's
// lie kEmptyQueue and kEmptyPackets above it (tuning_yielding.h).  Only
// the first: on a path with little free, the queue the streams leave
// climbs over a run, as for the light streams' floors.
bool Measurement::startsWander() const {
    std::vector<double> starts;
    for (const avl_stream& s : p_.streams()) {
        if (starts.size() == kWanderingStreams) break;
        if (s.void_stream || (s.kind != AVL_KIND_SEARCH && s.kind != AVL_KIND_GUESS)) continue;
        const double start = lowestDelay(s, 0, std::min(s.packets, kStartPackets));
        if (std::isfinite(start)) starts.push_back(start);
    }
    if (starts.size() < kWanderingStreams) return false;
    std::sort(starts.begin(), starts.end());
    const double least = starts.front(), packet = 1500 * 8 / p_.capacity();
    const double median = starts[starts.size() / 2] - least, quarter = starts[starts.size() / 4] - least;
    return median > std::max({kWanderingQueue, kWanderingPackets * packet, kStandingFirstShare * least}) &&
           quarter > std::max(kEmptyQueue, kEmptyPackets * packet);
}

Idle idleMoments(const avl_stream* s, size_t n, double capacity, double free, double least) {
    Idle idle;
    if (capacity <= 0) return idle;
    const double near = std::max(kIdlePackets * 1500 * 8 / capacity, kIdleJitter);
    for (size_t k = 0; k < n; ++k) {
        const avl_stream& r = s[k];
        if (r.void_stream || r.delay_s == nullptr || r.kind == AVL_KIND_CAPACITY || r.sent_rate_bps >= free) continue;
        for (int i = std::max(0, r.lead); i < r.packets; ++i) {
            if (r.delay_s[i] < 0) continue;
            idle.expected += (free - r.sent_rate_bps) / capacity;
            idle.found += r.delay_s[i] - least <= near;
        }
    }
    return idle;
}

// The streams below the figure free found the bottleneck idle far less
// often than others' traffic that does not yield would have left it so
// (tuning_yielding.h).
bool Measurement::idleUnmet(double free) const {
    const std::vector<avl_stream>& all = p_.streams();
    const Idle idle = idleMoments(all.data(), all.size(), p_.capacity(), free, p_.roundTrip());
    return idle.expected >= kIdleExpected && idle.found < kIdleShare * idle.expected;
}

// The streams hint that the traffic yields, too weakly to name it: the
// give-way fits lean so (kGiveWayHint), the rising streams' floors rose at
// first and then stayed (risesAtFirst), or the windows' check was refused
// its answer because its streams at the capacity gained kFullGain in the
// mean (comesAndGoes).  Such windows read what the flows gave up; the
// verdicts of the same search met the same flows, and one TCP flow in the
// lab read 12 Mbit/s free where 5 was unused so, with status 0.  Windows
// sent at others' bursts far apart gain by where the bursts fell, and only
// standing out names anything there.  Once such bursts were seen at all
// (burstsFarApart), no windows' gains hint: the windows' check sends its
// streams each after the last drained, locked to the bursts' phase (four
// gained 0.2 alike in 7 simulated runs of 60, bursts 20 ms apart through
// 50 Mbit/s at a fifth's load).  Nor do the windows' gains hint where the
// give-way fits of all the streams lie kGiveWayErrors under what flows
// that give way show: a burst of on-off traffic that ends within a window
// makes its second half faster, and four such windows gained 0.16 and 0.23
// in the mean in 2 lab runs of 100 (bursts through 100 Mbit/s), whose
// twenty-odd streams' fits lay 4.3 and 2.3 errors under.  Alternated in
// the lab, 20 runs a row twice: such bursts through 100 Mbit/s answered in
// 75 runs of 80 where 71 did, through 50 in 40 of 40 where 38, and one or
// four TCP flows were named in 79 runs of 80 where 78 were; in the
// simulator 6 runs of 3000 of random and on-off traffic through 50 Mbit/s
// answer now, each range holding the free rate.
namespace {

// Gains of streams that fill the bottleneck as large as traffic that
// yields shows: kFullStreams or more, their mean kFullGain or more.
bool gainsReach(const Fit& g) { return g.count >= kFullStreams && g.slope >= kFullGain; }

}  // namespace

bool Measurement::hintsGiveWay() const {
    if (fitsHintGiveWay() || risesAtFirst()) return true;
    if (burstsFarApart()) return false;
    return gainsReach(windowGains()) && giveWayFits().all > -kGiveWayErrors;
}

// The standard error of the gains' mean, but no less than kGainSpread's
// share for their number (gainsReach makes sure there are some): a few
// streams may gain alike by chance, and their own spread then says they
// are sure.
static double gainError(const Fit& g) {
    return std::max(g.error, kGainSpread / std::sqrt(static_cast<double>(g.count)));
}

bool gainsStandOut(const Fit& g) {
    if (!gainsReach(g)) return false;
    return g.slope >= std::max(kFullErrors, studentT(kFullSure, g.count - 1.0)) * gainError(g);
}

bool halvesGain(const avl_stream& s, double* gain) {
    if (s.void_stream || s.lost > kGiveWayLoss * s.packets || (s.kind != AVL_KIND_SEARCH && s.kind != AVL_KIND_GUESS) ||
        sendsFellBehind(s))
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

bool riseAtFirst(const avl_stream& s, double* front, double* total) {
    if (s.void_stream || s.kind != AVL_KIND_SEARCH || s.verdict != AVL_RISING || s.packets < s.lead + 2 ||
        sendsFellBehind(s))
        return false;
    // Each eighth spans a group of the trend test at least: others' bursts a
    // millisecond apart raise a shorter stream's floors in steps, at first
    // as often as later.
    if (s.depart_s[s.packets - 1] - s.depart_s[s.lead] < 8 * kShortestGroup) return false;
    std::vector<double> delays;
    for (int i = s.lead; i < s.packets; ++i)
        if (s.delay_s[i] >= 0) delays.push_back(s.delay_s[i]);
    if (delays.size() < kGiveWayPackets) return false;
    const size_t eighth = delays.size() / 8;
    const auto floor = [&](size_t from) {
        return *std::min_element(delays.begin() + from, delays.begin() + from + eighth);
    };
    *front = floor(2 * eighth) - floor(0);
    *total = floor(delays.size() - eighth) - floor(0);
    return *total > 0;
}

// Flows that yield make room within a round trip: a stream that takes more
// than they leave raises the queue until they have slowed, and no further,
// so its delays rise at first and then stay.  Others' traffic that does not
// yield lets a stream above the free rate raise the queue for its whole
// length.  The rising streams below kFullLoad, kFrontStreams of them or
// more, whose floors rose kFrontShare of their rise or more by their third
// eighth (the sums of both) hint so (tuning_yielding.h).
bool Measurement::risesAtFirst() const {
    double front = 0, total = 0;
    size_t count = 0;
    for (size_t i = 0; i < p_.streams().size(); ++i) {
        const avl_stream& s = p_.streams()[i];
        double f, t;
        if (windowCheck(i) || s.sent_rate_bps >= kFullLoad * p_.capacity() || !riseAtFirst(s, &f, &t)) continue;
        front += f;
        total += t;
        ++count;
    }
    return count >= kFrontStreams && front >= kFrontShare * total;
}

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
// that slope lies above kGiveWayGain, of all the streams (0 for fewer than
// kGiveWayHintStreams, which say nothing), of those below kFullLoad, and
// of those at kLightStream or less (-INFINITY for too few).  A flow held by a window
// whose round trip outlasts a stream at the capacity gives way only after
// it, and such streams' gains of about nothing hide what the longer,
// lighter streams show.  The lightest outlast even the round trip of flows
// that keep 20 ms queued together, so they build a queue in their first
// half only and gain about their load.  Where others' bursts came far
// apart and the streams grew to span them, the shorter streams before met
// one burst or none, each after the last drained, and their halves tell
// where in them the bursts fell (bursts 20 ms apart through 50 Mbit/s at
// half load: fits 1.5 to 3.1 errors above, which named UDP as yielding).
GiveWayFits Measurement::giveWayFits() const {
    std::vector<double> gains, loads, lightGains, lightLoads, lightestGains, lightestLoads;
    const double c = p_.capacity();
    const bool far = burstsFarApart();
    for (size_t i = 0; i < p_.streams().size(); ++i) {
        const avl_stream& s = p_.streams()[i];
        double g;
        if (windowCheck(i) || (far && !spansBursts(s)) || !halvesGain(s, &g)) continue;
        const double load = std::min(s.sent_rate_bps / c, kGiveWayLoad);
        gains.push_back(g);
        loads.push_back(load);
        if (s.sent_rate_bps < kFullLoad * c) {
            lightGains.push_back(g);
            lightLoads.push_back(load);
        }
        if (s.sent_rate_bps <= kLightStream * c) {
            lightestGains.push_back(g);
            lightestLoads.push_back(load);
        }
    }
    const auto errors = [](const std::vector<double>& x, const std::vector<double>& y) {
        const Fit fit = fitThroughOrigin(x, y);
        return (fit.slope - kGiveWayGain) / std::max(fit.error, 1e-9);
    };
    GiveWayFits f;
    f.allStreams = gains.size();
    f.lightStreams = lightGains.size();
    if (gains.size() >= kGiveWayHintStreams) f.all = errors(loads, gains);
    if (lightGains.size() >= kLeaningStreams) f.leaning = errors(lightLoads, lightGains);
    if (lightGains.size() >= kGiveWayHintStreams) f.light = f.leaning;
    if (lightestGains.size() >= kGiveWayHintStreams) f.lightest = errors(lightestLoads, lightestGains);
    return f;
}

// The gains of the streams sent at the capacity or near it (fillTest), as
// their mean (the slope over loads of one) and its standard error.
Fit Measurement::fullGains() const { return gains(&Measurement::fullLoad); }

bool Measurement::fullLoad(size_t i, const avl_stream& s) const {
    return !windowCheck(i) && s.sent_rate_bps >= kFullLoad * p_.capacity();
}

// The gains of the streams that which picks (halvesGain), as their mean
// (the slope over loads of one) and its standard error.
Fit Measurement::gains(bool (Measurement::*which)(size_t, const avl_stream&) const) const {
    std::vector<double> gains;
    for (size_t i = 0; i < p_.streams().size(); ++i) {
        double g;
        if ((this->*which)(i, p_.streams()[i]) && halvesGain(p_.streams()[i], &g)) gains.push_back(g);
    }
    return fitThroughOrigin(std::vector<double>(gains.size(), 1.0), gains);
}

// Streams at the capacity fill the bottleneck: cross traffic that does not
// yield keeps its share of it for a whole stream, so the stream's replies
// arrive at one rate throughout, while traffic that yields makes room
// within a round trip and the second half arrives faster.  The first guess
// is such a stream; when it hints so, or the other streams' gains do
// (giveWayFits), more are sent at the ceiling: kFullStreams in all, and as
// many again when their mean gain reaches kFullGain and kFullErrors
// standard errors but not what Student's t asks of so few (on-off bursts
// that end within a stream make its second half faster now and then:
// three of four such streams named UDP traffic as yielding in the lab).
// True once done, or when it cannot be (streams are held below the
// capacity).
bool Measurement::fillTest(int round) {
    if (p_.ceiling() < kFullLoad * p_.capacity()) return true;
    const Fit g = fullGains();
    // (Not on the other hints: in the lab, four more streams at the
    // capacity then named steady and on-off UDP as yielding now and then.)
    if (g.count == 0 || (g.slope < kFullHint && !fitsHintGiveWay())) return false;
    for (size_t most = kFullStreams;; most = 2 * kFullStreams) {
        for (size_t k = fullGains().count; k < most; ++k) {
            const Outcome out = p_.stream(p_.searchPlan(round, p_.ceiling()));
            if (!out.sent) return true;
            // A lossy one is left out: its loss may be a limit's, which only
            // the search's twins tell (the twins of these are not sent).
            if (judged(out) && !out.lossy) post_.back().add(out.sentRate, risingVerdict(out));
            addWindow(out);
        }
        const Fit f = fullGains();
        const bool closeCall = f.slope >= kFullGain && f.slope >= kFullErrors * f.error && !gainsStandOut(f);
        if (most > kFullStreams || !closeCall) return true;
    }
}

}  // namespace availbw
