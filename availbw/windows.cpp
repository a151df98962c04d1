// SPDX-License-Identifier: MIT
// windows.cpp - what each stream's window left free: streams at the
// capacity tell cross traffic that comes and goes while a stream runs (when
// their free rates swing, their mean is the figure), and every judged
// stream's window, measured or floored, may answer where the verdicts
// leave a wider range (samples.h).
#include <algorithm>
#include <cmath>
#include <vector>

#include "measurement.h"

namespace availbw {

using namespace tuning;

// A stream at the capacity or near it, judged and without loss, keeps the
// bottleneck busy for its whole length: the capacity less what it and the
// others sent into it in that time is its window's free rate (the rate
// less the capacity times the delays' slope from its first packets to its
// last).
// Below the capacity, the same difference is the window's free rate when
// the stream kept the queue from emptying, and a floor under it otherwise
// (the idle time counts against it).  The queue stayed busy when the
// stream rose and reads no more than its own rate, or when its delays
// climbed clearly, whatever its verdict; a flat stream that reads about
// its own rate may have let the queue empty.
// Not a sample when not asked for: the late check's brief window
// (lateWindowDoubts) spreads more than the search's streams, and the
// samples' mean weighs each alike (as a sample, Poisson traffic through
// 50 Mbit/s held the free rate in 376 simulated runs of 400, not 383).
void Measurement::addWindow(const Outcome& o, bool sample) {
    if (!o.sent || o.isVoid || o.lossy || o.verdict == AVL_UNCLEAR || o.span <= 0) return;
    const double free = o.sentRate - p_.capacity() * o.slope;
    const bool busy = free <= o.sentRate * (1 + kBusyMargin) &&
                      (o.verdict == AVL_RISING || free < o.sentRate * (1 - kBusyMargin));
    // A queue that drains from before the stream reads above its rate; the
    // stream's own rate is then what it shows was free.
    if (sample) samples_.push_back({o.sentRate, busy ? free : std::min(free, o.sentRate), busy, p_.streams().size() - 1});
    if (o.sentRate >= kWindowLoad * p_.capacity()) windows_.push_back(free);
}

Spread spreadOf(const std::vector<double>& values) {
    Spread s;
    s.n = static_cast<double>(values.size());
    if (values.empty()) return s;
    for (double v : values) s.mean += v / s.n;
    double square = 0;
    for (double v : values) square += (v - s.mean) * (v - s.mean);
    s.sd = values.size() > 1 ? std::sqrt(square / (s.n - 1)) : 0;
    return s;
}

double studentT(double z, double df) {
    // Cornish-Fisher from the normal's quantile z: within 1 % of the table
    // from 4 degrees of freedom at 95 %, 7 % low at 3 degrees and 99 %.
    return z + (z * z * z + z) / (4 * df) + (5 * std::pow(z, 5) + 16 * z * z * z + 3 * z) / (96 * df * df);
}

// How far the windows' free rates spread: their standard deviation over
// their mean (0 for fewer than two, or a mean at zero).
double Measurement::windowSpread() const {
    const Spread s = spreadOf(windows_);
    return s.n >= 2 && s.mean > 0 ? s.sd / s.mean : 0;
}

bool Measurement::sendWindow(int round, bool brief, bool late) {
    const size_t index = p_.streams().size();
    const Plan plan = brief ? p_.briefWindowPlan(round) : p_.searchPlan(round, p_.ceiling());
    const double began = p_.elapsed();
    const Outcome out = late ? p_.streamWithinBudgets(plan) : p_.stream(plan);
    if (!out.sent) return false;
    // A window that met others' traffic on leaves a longer queue to drain
    // than one that met it off, and the next brief window, started after
    // that drain, would meet an off period more often than its share of
    // the time: each starts a slot after the last one started instead, as
    // long as the most a window can queue takes (windowSlot).  None once a
    // budget has ended the measurement.
    if (brief && !late && !p_.stopped()) p_.pause(std::max(0.0, began + p_.windowSlot(plan) - p_.elapsed()));
    if (p_.streams().size() > index) windowChecks_.push_back(index);
    if (out.lost > kWindowLost * (out.lost + out.received)) {
        ++lossyWindows_;
        overflowSeen_ = overflowSeen_ || p_.waitedInFullQueue(out, plan);
    }
    // Its verdict stays out of the posterior: at the capacity, between two
    // of others' bursts, it may read flat, and the verdicts are the answer
    // when the windows do not spread.
    addWindow(out, !late);
    return true;
}

// The gains of the streams comesAndGoes sent.
Fit Measurement::windowGains() const { return gains(&Measurement::windowCheck); }

// The first stream at the capacity found a free rate more than
// kWindowDoubt away from the middle of the verdicts' range.  Steady traffic
// leaves each window within a few percent of the mean.
bool Measurement::firstWindowDoubts() const {
    if (windows_.empty() || !hasVerdicts()) return false;
    double low, high, middle;
    range(&low, &high, &middle);
    return std::fabs(windows_.front() - middle) > kWindowDoubt * middle;
}

// A budget ended the search where nothing doubted the verdicts, and only
// the first stream at the capacity was sent: it may have met others'
// traffic in one of its on periods, as the search's streams did, every one
// of them reading a free rate about as low (on-off bursts through 100
// Mbit/s: 25 to 40 where 57 was free).  One brief stream more, within what
// the automatic budget left, tells: a window far above the verdicts'
// middle, or one that saw others use far more than the verdicts leave
// them (readsFar), doubts them as the first would have.  Sent
// too where the first window doubts the verdicts, but not far, and the
// grown budget would not hold kWindows (tuning_windows.h).
bool Measurement::lateWindowDoubts(int round) {
    if (windowed_ || windows_.size() > 1 || !hasVerdicts() || !windowsCanTell() || leansGiveWay()) return false;
    const size_t before = windows_.size();
    return sendWindow(round, /*brief=*/true, /*late=*/true) && windows_.size() > before && readsFar(windows_.back());
}

// A window at the capacity found some of it free, but far from the
// verdicts: more than kLateWindowAbove times their middle, others using
// less than kLateOthersBelow of what the verdicts leave them, or others
// using more than kFarOthersAbove times that (tuning_windows.h).
bool Measurement::readsFar(double w) const {
    if (w <= 0 || !hasVerdicts()) return false;
    double low, high, middle;
    range(&low, &high, &middle);
    const double c = p_.capacity();
    return (w > kLateWindowAbove * middle && c - w < kLateOthersBelow * (c - middle)) ||
           (middle < c && c - w > kFarOthersAbove * (c - middle));
}

bool Measurement::firstWindowFar() const { return !windows_.empty() && readsFar(windows_.front()); }

// The first stream at the capacity, if any, found some of it free.  One
// that found none met a bottleneck kept full, by a narrower link ahead
// than the capacity read (the simulator's links of 40 and 100 Mbit/s) or
// by flows that yield, and the streams at the capacity that would follow
// read as little: they cannot tell whether others' traffic comes and goes.
bool Measurement::firstWindowFoundFree() const { return windows_.empty() || windows_.front() > 0; }

// A stream's window that kept the queue busy found less than
// kWindowFarBelow of the verdicts' middle free, yet more than none: it met
// others' traffic far above their mean rate, a burst.  (One that found none
// free was sent faster than a narrower link ahead carries, the capacity
// read being the tight link's: -70 to -95 Mbit/s on the simulator's links
// of 40 and 100 Mbit/s.)
bool Measurement::windowFarBelow() const {
    if (!hasVerdicts()) return false;
    double low, high, middle;
    range(&low, &high, &middle);
    return std::any_of(samples_.begin(), samples_.end(), [&](const Sample& s) {
        return s.busy && s.free > 0 && s.free < kWindowFarBelow * middle;
    });
}

// Streams at the capacity can be sent: traffic that yields would make room
// for them, and a limit on echo replies or a policer keeps them from the
// capacity.
bool Measurement::windowsCanTell() const {
    return p_.ceiling() >= kWindowLoad * p_.capacity() && p_.limitPps() == 0 && !p_.policed() && !hintsGiveWay();
}

// The budgets, or the automatic ones once grown, hold room windows of the
// search's length in bytes and kWindows in time.
bool Measurement::roomForWindows(int round, size_t room, bool grown) const {
    const Plan plan = p_.searchPlan(round, p_.ceiling());
    int inTime = 0;
    const int bytes = grown ? p_.affordableGrown(plan, &inTime) : p_.affordable(plan, &inTime);
    return bytes >= static_cast<int>(room) && inTime >= static_cast<int>(kWindows);
}

// Sends streams at the capacity until there are count windows, or the
// budgets end them; with a gap, each after a pause spread over kBurstPhases
// gaps (the fractional parts of the golden ratio's multiples), so that
// they meet others' bursts that far apart at every phase.
void Measurement::sendWindows(int round, size_t count, double gap, bool brief) {
    const double golden = (std::sqrt(5.0) - 1) / 2;
    for (size_t tries = 0; windows_.size() < count && tries < count + kRetries; ++tries) {
        if (gap > 0) p_.pause(std::fmod(tries * golden, 1.0) * kBurstPhases * gap);
        if (!sendWindow(round, brief)) break;
    }
}

// Cross traffic that comes and goes over periods about as long as a stream
// (on for a few milliseconds, then off) leaves each stream much or little
// room, whatever its rate: the verdicts then say little of the mean, and
// their curve reads flat over a wide span of rates.  Streams at the
// capacity measure each window's free rate instead; when those spread by
// kComeAndGo or more of their mean, their mean is the figure (windowRange).
// A first kWindowsFirst tell whether they spread (or ten, where five leave
// it open); where they show others' bursts far apart, burstWindows measures
// those.  The rest are brief, kWindowsWithBrief in all
// (tuning_windows.h).  True when the windows decide the answer.
bool Measurement::comesAndGoes(int round, size_t room) {
    windowed_ = true;
    if (!windowsCanTell()) return false;
    // The time budget must hold kWindows of the search's length and the
    // byte budget room of them (kDoubtedWindowsRoom), more than they take,
    // or none is sent.
    if (!roomForWindows(round, room, /*grown=*/false)) return false;
    sendWindows(round, kWindowsFirst);
    if (windows_.size() < kWindowsFirst) return false;
    double gap;
    if (farBursts(&gap, kBurstOthersSwinging)) return burstWindows(round, gap);
    if (windowSpread() < kComeAndGo && !windowsContradict()) {
        if (windowSpread() < kMayComeAndGo) return false;
        sendWindows(round, 2 * kWindowsFirst);
        if (windowSpread() < kComeAndGoOfTen && !windowsContradict()) return false;
    }
    sendWindows(round, kWindowsWithBrief, p_.searchPlan(round, p_.ceiling()).seconds(), true);
    // Traffic that yields makes room for streams at the capacity within
    // each: their second halves arrive faster than their first (fullGains),
    // and their free rates read what it gave up, not what is unused.  A mean
    // gain of kFullGain is enough to doubt them, whether or not it stands
    // out: one TCP flow in the lab, whose windows' gains stood out less than
    // the fill test asks, read 13 and 17 free where 6 was unused, and such a
    // flow's twenty windows gained 0.25 to 0.37 in the lab.  On-off bursts
    // that end within a stream swing the gains both ways: their mean reached
    // 0.10 to 0.14 in 8 runs of 200 in the simulator, and 0.10 in 1 of 16
    // in the lab (where a mean of kFullHint stopped those runs' windows,
    // the verdicts answered, and 4 of the 8 ranges missed).
    const Fit gains = windowGains();
    swinging_ = (windowSpread() >= kComeAndGo || windowsContradict()) && (gains.count == 0 || gains.slope < kFullGain);
    return swinging_;
}

// After a round of the search, while the verdicts still disagree: the
// streams' own windows already swing, or one met a burst (windowFarBelow),
// so others' traffic seems to come and go, and verdicts spent until the
// first budget ends would add little.  The automatic budgets grow now, as
// they would at its end, and streams at the capacity tell (comesAndGoes,
// with room for kDoubtedWindowsRoom); where they do not decide, the search
// goes on within the grown budgets.  Not where the first stream at the
// capacity found nothing free: flows that yield and keep the bottleneck
// full leave the slower streams' windows little room too, which is no
// burst (tuning_windows.h).  True when the windows decide the answer.
bool Measurement::comesAndGoesEarly(int round) {
    if (windowed_ || !disagree() || !windowsCanTell() || !firstWindowFoundFree()) return false;
    if (!samplesSwing() && !windowFarBelow()) return false;
    return p_.growBudgets(5) && comesAndGoes(round, kDoubtedWindowsRoom);
}

// Others' bursts about gap seconds apart, further than the streams last:
// streams at the capacity, the two ends their slope averages one gap apart
// (or as many gaps as kMinStreamSeconds takes), so that each counts one
// burst wherever it starts, and each started after a pause
// spread over kBurstPhases gaps (tuning.h), as many as the budgets hold up
// to kWindows; their mean is the figure when kBurstWindowsLeast or more
// were sent and their halves' gains do not stand out as the fill test asks
// (a burst in one half or the other swings each one's gain: 0.13 to 0.16
// in the mean of twenty, by 1.5 standard errors, for bursts 5 ms apart in
// the simulator).  False when they cannot be sent: the caller lengthens the
// streams instead.
bool Measurement::burstWindows(int round, double gap) {
    if (!windowsCanTell()) return false;
    burstsPerWindow_ = std::max(1.0, std::ceil(kMinStreamSeconds / gap));
    p_.lengthenStreams(p_.endsApart(burstsPerWindow_ * gap), gap);
    burstWindowed_ = true;
    windows_.clear();  // shorter, and sent at the bursts' phase as it came
    sendWindows(round, std::min<size_t>(kWindows, std::max(0, p_.affordable(p_.searchPlan(round, p_.ceiling())))), gap);
    const Fit gains = windowGains();
    swinging_ = windows_.size() >= kBurstWindowsLeast && !gainsStandOut(gains);
    return true;
}

// More than kOverflowedWindows of the streams comesAndGoes or
// burstWindows sent lost more than kWindowLost of their packets each, one
// of those waited in a full queue (every answered packet longer than the
// window took to send), and the queues the streams met held others'
// traffic of kQueuesLeast of the capacity or more: others' traffic
// overflowed the queue, not a path that loses at random or dropped
// everything for a moment (tuning_windows.h).
bool Measurement::windowsOverflowed() const {
    return lossyWindows_ > kOverflowedWindows * windowChecks_.size() && overflowSeen_ &&
           queuedRate() >= kQueuesLeast * p_.capacity();
}

// The windows' range lies above the verdicts'.  Traffic that comes and
// goes leaves the verdicts about even over a wide span of rates, and where
// its on periods fell so that a few streams rose, their range is narrow
// and low (on-off bursts in the simulator: the verdicts put the free rate
// at 20 to 26 Mbit/s where 29 was, the first five windows' mean at 36).  No
// verdict's bias moves the windows' mean, and more of them narrow its
// range: it is the figure.  Windows below the verdicts are no such sign: a
// flow that a window holds gives way to the slower streams, not within the
// short ones at the capacity, and the search goes on to name it.
bool Measurement::windowsContradict() const {
    if (!hasVerdicts()) return false;
    double wLow, wHigh, wMiddle, low, high, middle;
    windowRange(&wLow, &wHigh, &wMiddle);
    range(&low, &high, &middle);
    return wLow > high;
}

// The windows' mean, and the range that holds the mean free rate with 90 %
// probability: Student's t for their number, and a share kWindowCapacity of
// what others use for the capacity's own error, which each window's rate
// carries.
void Measurement::windowRange(double* low, double* high, double* middle) const {
    const double c = p_.capacity();
    // Each window at the capacity read what the others used of the train's
    // capacity; in IP bits of the streams' packets, which carry more header
    // per byte, they used less by the share streamCapacity gives, and the
    // window found that much more free.  On-off bursts through 50 Mbit/s,
    // 400-byte packets: the median run read 2 % low in the simulator (1000
    // runs), 0.2 % so; in the lab, alternated, 0.9 % low and 0.2 % high,
    // the range holding in 53 runs of 60 where 50 held.  (The decisions
    // keep the windows as read: their bounds were measured so.)
    const double share = p_.streamCapacity() / c;
    std::vector<double> free;
    for (double w : windows_) free.push_back(c - share * (c - w));
    const Spread s = spreadOf(free);
    const double t = studentT(1.645, std::max(1.0, s.n - 1));  // 95 % one-sided
    double half = t * s.sd / std::sqrt(std::max(1.0, s.n)) + kWindowCapacity * std::max(0.0, c - s.mean);
    // Windows that span bursts whole count a whole number of them each:
    // where all counted as many, a share of kUnseenWindows / n of windows
    // that would count one fewer or one more may still be unseen, each
    // moving the mean by one burst's share of what others use.
    if (burstWindowed_)
        half = std::max(half, (kUnseenWindows / std::max(1.0, s.n) / burstsPerWindow_ + kWindowCapacity) *
                                  std::max(0.0, c - s.mean));
    *middle = std::clamp(s.mean, 0.0, c);
    *low = std::max(0.0, s.mean - half);
    *high = std::min(s.mean + half, c * (1 + kRaiseBy));
}

// The windows that kept the queue busy spread by kSamplesSwing of their
// mean or more, as traffic that comes and goes swings them (on for some
// milliseconds, then off), where a normal fits them badly and the verdicts
// of the same streams read flat over a wide span of rates.
bool Measurement::samplesSwing() const {
    std::vector<double> busy;
    for (const Sample& s : samples_)
        if (s.busy) busy.push_back(s.free);
    const Spread swing = spreadOf(busy);
    return busy.size() >= kLeastSamples && swing.sd >= kSamplesSwing * swing.mean;
}

// The windows' mean free rate, and the range that holds it with the
// verdicts' probability.
// The capacity's error weighs on a window by what its stream sent above
// the free rate: a stream more than kSampleReach times the verdicts'
// middle (the first guess at the capacity, on a path mostly used) does
// not count, unless it queued nothing: its floor is its own rate, which
// no capacity's error moves (on-off bursts in the lab: two streams at
// the capacity passed untouched in the silence where the others' windows
// read half the truth, and were the only sign of it).
MeanRange Measurement::sampledRange() const {
    double low, high, middle;
    range(&low, &high, &middle);
    std::vector<double> values, floors;
    for (const Sample& s : samples_)
        if (s.rate <= kSampleReach * middle || (!s.busy && s.free >= s.rate))
            (s.busy ? values : floors).push_back(s.free);
    MeanRange m = censoredMean(values, floors, kRangeMass);
    // The capacity's own error, as for the windows at the capacity.
    const double error = kWindowCapacity * std::max(0.0, p_.capacity() - m.middle);
    m.low = std::max(0.0, m.low - error);
    m.high += error;
    return m;
}

// A budget ended the search before the verdicts' range narrowed to the
// resolution.  Traffic at random leaves the verdicts about even over a span
// of rates, and steady traffic needs more of them than a budget holds to
// narrow the range, while the windows of the same streams tell each its
// free rate.  Their mean is the figure when enough windows kept the queue
// busy and their range is no wider than kDisagreement (the streams' windows
// then agree, as the verdicts would; kSampledWidest where the first window
// doubts the verdicts) and, where the verdicts agree (narrower), narrower
// than the verdicts' range.  Not under a limit on echo replies or a policer
// (their loss, not the queue, ends a stream's rise) nor with hints of
// traffic that yields, or streams that lean so (its windows show what it
// gave up).
bool Measurement::answerFromSamples(bool narrower) {
    if (!samplesTell()) return false;
    const MeanRange m = sampledRange();
    // Windows whose mean the verdicts rule out (a capacity misread, a
    // sender that stalled) are not the answer either: more streams tell.
    double low, high, middle;
    range(&low, &high, &middle);
    const double widest = firstWindowDoubts() ? kSampledWidest : kDisagreement;
    sampled_ = m.known && m.low > 0 && m.high <= m.low * widest && low <= m.middle && m.middle <= high &&
               (!narrower || m.high / m.low < high / low);
    return sampled_;
}

// Enough of the judged streams' windows kept the queue busy to tell the
// mean free rate, and nothing says they read something else.
bool Measurement::samplesTell() const {
    if (p_.limitPps() > 0 || p_.policed() || hintsGiveWay() || leansGiveWay()) return false;
    size_t busy = 0;
    std::vector<double> gains;
    for (const Sample& s : samples_) {
        double g;
        busy += s.busy;
        if (s.busy && halvesGain(p_.streams()[s.stream], &g)) gains.push_back(g);
    }
    // Flows that yield make room within each stream: its second half
    // arrives faster than its first, and its window reads what they gave
    // up (one TCP flow through the lab's 50 Mbit/s: 13 where 5 was unused).
    // The streams at the capacity show it most (fillTest): a mean gain of
    // theirs of kFullHint is doubt enough, though it names nothing (the same
    // flow: 13.5 where 4.5 was unused, from the windows).
    const Fit full = fullGains();
    if (spreadOf(gains).mean >= kFullHint || (full.count > 0 && full.slope >= kFullHint)) return false;
    // Windows that swing as traffic which comes and goes swings them (on
    // for some milliseconds, then off: a normal fits such windows badly)
    // are left to the streams at the capacity (comesAndGoes).
    return busy >= kLeastSamples && !samplesSwing();
}

}  // namespace availbw
