// SPDX-License-Identifier: MIT
// prober.cpp - sending streams, keeping their record, the budgets and the
// loss book, and the reasons a run gives (describe).  Streams go out over a
// path interface that also keeps the time, so the same code runs on a real
// path and on a simulated one.  The steps that learn the path before the
// search are in prober_steps.cpp.
#include "prober.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "tuning.h"

namespace availbw {

using namespace tuning;

namespace {

std::string printed(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string mbit(double bps) { return printed("%.3g", bps / 1e6) + " Mbit/s"; }

// The delays' rise from the first packets of [from, to) to the last, over
// the time between their departures: the mean delay of each end's
// kWindowEnds share of the replies, at the mean departure of those replies.
// A stream that keeps the bottleneck busy so tells what others sent while it
// ran (windowFree), whatever their traffic did in between.
double endToEndSlope(const std::vector<int64_t>& depart, const std::vector<int64_t>& arrive, int from, int to) {
    std::vector<int> seen;
    for (int i = from; i < to; ++i)
        if (arrive[i] != AVL_LOST) seen.push_back(i);
    const size_t k = std::max<size_t>(kWindowEndsLeast, std::lround(seen.size() * kWindowEnds));
    if (seen.size() < 2 * k) return 0;
    const auto mean = [&](size_t first, double* at) {
        double delay = 0, sent = 0;
        for (size_t j = first; j < first + k; ++j) {
            delay += (arrive[seen[j]] - depart[seen[j]]) / 1e9;
            sent += depart[seen[j]] / 1e9;
        }
        *at = sent / k;
        return delay / k;
    };
    double t0, t1;
    const double d0 = mean(0, &t0), d1 = mean(seen.size() - k, &t1);
    return t1 > t0 ? (d1 - d0) / (t1 - t0) : 0;
}

}  // namespace

const char* const kBeforeAnyVerdict = "before any rate was judged";
const char* const kBurstsUnspanned = "before the streams spanned others' bursts";
const char* const kQueuesUnexplained = "before the streams agreed with the queues they met";
const char* const kWindowsOverflowed = "while others' traffic overflowed the queue";

std::string describe(const Finding& f) {
    switch (f.failure) {
        case AVL_FAIL_BUDGET: {
            std::string why = f.budget == AVL_BUDGET_BYTES ? "byte budget reached" : "time budget reached";
            if (!f.detail.empty()) why += " " + f.detail;
            if (f.detail == kBeforeAnyVerdict) why = "budget too small: " + why;
            if (f.low > 0 && f.high > 0) why += " (" + printed("%.3g", f.low / 1e6) + " to " + mbit(f.high) + " free)";
            else if (f.high > 0) why += " (less than " + mbit(f.high) + " free)";
            else if (f.low > 0) why += " (more than " + mbit(f.low) + " free)";
            return why;
        }
        case AVL_FAIL_NO_REPLY: return "the host did not answer";
        case AVL_FAIL_UNREACHABLE: return f.detail;
        case AVL_FAIL_LOSS:
            if (f.of > 0)
                return "too much loss: " + std::to_string(f.count) + " of the capacity train's " + std::to_string(f.of) +
                       " replies were lost";
            return "too much loss: the path lost " + printed("%.0f", 100 * f.share) + " % of the packets even at " +
                   (f.rate > 0 ? mbit(f.rate) : "a low rate");
        case AVL_FAIL_ECHO_LIMIT:
            return "the host limits its echo replies to about " + printed("%.0f", f.pps) + " a second, too few to measure more than " +
                   mbit(f.rate);
        case AVL_FAIL_POLICER:
            return "the bottleneck drops what exceeds its rate instead of queueing it (a policer); a stream's own "
                   "loss does not tell what others use of its " +
                   mbit(f.rate);
        case AVL_FAIL_ELASTIC:
            if (f.suspected)
                return "the streams hint that the bottleneck of " + mbit(f.rate) +
                       " is kept full by traffic that yields (such as TCP), too weakly to tell: what is unused now "
                       "may not be what a new flow would get";
            return "the bottleneck of " + mbit(f.rate) +
                   " is kept full by traffic that yields (such as TCP): a new flow would get a share of it, not "
                   "only what is unused now";
        case AVL_FAIL_UNSTEADY: {
            // Windows at the capacity may leave no range (too few of them),
            // or one at or below nothing (they met more than a capacity
            // read low lets through): such a range is not printed.
            std::string why = "the streams disagreed too much to narrow the range";
            if (f.detail == kBurstsUnspanned) why += ": others' bursts came too far apart for them";
            if (f.detail == kQueuesUnexplained)
                why += ": the queues they met hold more of others' traffic than the range leaves it";
            if (f.detail == kWindowsOverflowed)
                why += ": others' traffic overflowed the queue while streams at the capacity ran, and those that got "
                       "through read its gaps";
            if (f.of > f.count)
                why += ": the budgets held " + std::to_string(f.count) + " of " + std::to_string(f.of) +
                       " streams at the capacity for bursts far apart";
            if (f.high > 0 && f.high > f.low)
                why += " (" + printed("%.3g", std::max(0.0, f.low) / 1e6) + " to " + mbit(f.high) + " free)";
            return why;
        }
        case AVL_FAIL_SENDER: return "the sender could not keep to its schedule (is the machine busy?)";
        case AVL_FAIL_SEND: return "sending a stream failed: " + f.detail;
        case AVL_FAIL_PATH:
            return "no reply to " + std::to_string(kCapacityBytes) +
                   "-byte echo requests, though smaller ones were answered (does the path carry packets this large?)";
        case AVL_FAIL_CANCELLED: return "cancelled by the caller";
        default: return "";
    }
}

Prober::Prober(const avl_path& path, const avl_options& o, avl_result* r, avl_progress_fn progress, void* context)
    : path_(path), o_(o), r_(r), progress_(progress), progressContext_(context), start_(path.now_ns(path.context)),
      automaticBytes_(o_.max_bytes == 0), automaticSeconds_(o_.max_seconds == 0) {
    if (automaticBytes_) o_.max_bytes = kDefaultBytes;
    // Time for a few rounds of long streams with their pauses.
    if (automaticSeconds_) o_.max_seconds = std::max(kDefaultSeconds, kSecondsPerTimescale * o_.timescale_s);
    r_->max_bytes = o_.max_bytes;
    r_->max_seconds = o_.max_seconds;
}

bool Prober::growBudgets(int why) {
    if (!automaticBudgets() || r_->budget_grown) return false;
    o_.max_bytes = grownBytes();
    o_.max_seconds = grownSeconds();
    r_->max_bytes = o_.max_bytes;
    r_->max_seconds = o_.max_seconds;
    r_->budget_grown = why;
    return true;
}

int64_t Prober::grownBytes() const {
    if (!automaticBytes_ || r_->budget_grown) return o_.max_bytes;
    return std::max<int64_t>(kGrownBytes, std::llround(o_.max_bytes * kBytesGrowth));
}

double Prober::grownSeconds() const {
    return automaticSeconds_ && !r_->budget_grown ? o_.max_seconds * kSecondsGrowth : o_.max_seconds;
}

void Prober::lengthenStreams(double seconds, double gap) {
    o_.timescale_s = seconds;
    r_->burst_gap_s = gap;
    // An automatic budget that the last stream's pause used up grows with
    // the others: the longer streams are still to come.
    if (!resumeWithLargerBudgets(3)) growBudgets(3);
}

double Prober::endsApart(double seconds) const {
    const double gap = packetBytes_ * 8.0 / ceiling_;
    const double between = std::max(1.0, std::round(seconds / gap));
    // The packets each end averages, a kWindowEnds share of the whole.
    const double ends = std::max<double>(kWindowEndsLeast, std::round(between * kWindowEnds / (1 - kWindowEnds)));
    // packetsAt rounds the time up to whole packets: between + ends of them.
    return (between + ends - 0.5) * gap;
}

bool Prober::resumeWithLargerBudgets(int why) {
    if (!mayGrow() || !growBudgets(why)) return false;
    resume();
    return true;
}

Outcome Prober::streamWithinBudgets(const Plan& p) {
    if (!mayGrow() || overBudget(p).failure != AVL_FAIL_NONE) return Outcome{};
    const Finding ended = finding_;
    resume();
    const Outcome out = stream(p);
    stop(ended);  // unless the stream found a failure of its own
    return out;
}

// An automatic budget stopped the measurement, and the budgets have not
// grown yet.
bool Prober::mayGrow() const {
    if (!stopped_ || finding_.failure != AVL_FAIL_BUDGET || r_->budget_grown) return false;
    return finding_.budget == AVL_BUDGET_BYTES ? automaticBytes_ : automaticSeconds_;
}

void Prober::resume() {
    stopped_ = false;
    finding_ = Finding{};
    r_->failure = AVL_FAIL_NONE;
    r_->budget_reached = AVL_BUDGET_NONE;
    r_->reason[0] = '\0';
}

// Packets that take at least seconds at rate.
double Prober::lasting(double seconds, double rate) const { return std::ceil(seconds * rate / (8.0 * packetBytes_)); }

int Prober::packetsAt(double rate) const {
    const auto lasting = [&](double seconds) { return this->lasting(seconds, rate); };
    // With no time scale asked for: stream_bytes, or what the shortest stream
    // carries at the capacity, but kMinStreamSeconds to kMaxStreamSeconds
    // long.  A stream at a share of the capacity so lasts longer, which is
    // what a smaller share needs to show the same overshoot as a rise.
    const double bytes = std::max(static_cast<double>(o_.stream_bytes), capacity_ * kMinStreamSeconds / 8);
    const double n = o_.timescale_s > 0
                         ? lasting(o_.timescale_s)
                         : bounded(std::round(bytes / packetBytes_), lasting(kMinStreamSeconds),
                                   lasting(kMaxStreamSeconds));
    // The lead comes on top, and the whole must fit what the path sends.
    const int lead = (kLeadBytes + packetBytes_ - 1) / packetBytes_;
    const int most = (path_.max_packets > 0 ? path_.max_packets : 1 << 20) - lead;
    return static_cast<int>(bounded(n, kMinPackets, most));
}

double Prober::streamCapacity() const {
    if (packetBytes_ <= 0) return capacity_;
    return capacity_ * packetBytes_ / (packetBytes_ + kLinkHeaderBytes) * (kCapacityBytes + kLinkHeaderBytes) /
           kCapacityBytes;
}

// The lowest rate searched: a hundredth of the capacity, and well under the
// ceiling that a host's limit on echo replies may set far below it.
double Prober::floorRate() const {
    const double floor = std::max(capacity_ / 100, 64000.0);
    return ceiling_ > 0 ? std::min(floor, ceiling_ / 4) : floor;
}

// How long to wait for the replies after the last send of a stream: a few
// round trips, time for a queue as long as the stream (what a stream above
// the free rate builds), and some for a burst of others in it; for packets
// sent back to back, the time a slow bottleneck takes to pass them.  The wait
// ends early once the last packet's reply is in, so only a stream whose last
// packet is lost waits it whole.
int64_t Prober::waitNs(const Plan& p) const {
    int64_t wait = p.wait;
    if (wait < 0) {
        double bits = 0;
        for (size_t i = 0; i < p.at.size() && p.at[i] == 0; ++i) bits += p.bytes * 8.0;
        const double queue = std::max(p.seconds(), p.rate > 0 ? 0.0 : bits / kSlowestPath);
        wait = std::llround((3 * rtt_ + queue + kBurstAllowance) * 1e9);
    }
    return path_.max_wait_ns > 0 ? std::min(wait, path_.max_wait_ns) : wait;
}

void Prober::stop(const Finding& f) {
    if (!stopped_) {
        finding_ = f;
        r_->failure = f.failure;
        if (f.failure == AVL_FAIL_BUDGET) r_->budget_reached = f.budget;
        std::snprintf(r_->reason, sizeof r_->reason, "%s", describe(f).c_str());
    }
    stopped_ = true;
}

void Prober::handOver() {
    r_->streams = nullptr;
    r_->round_ranges = nullptr;
    r_->nstreams = static_cast<int>(streams_.size());
    r_->nrounds = static_cast<int>(rounds_.size());
    r_->duration_s = elapsed();
    if (!streams_.empty()) {
        r_->streams = new avl_stream[streams_.size()];
        std::copy(streams_.begin(), streams_.end(), r_->streams);
    }
    if (!rounds_.empty()) {
        r_->round_ranges = new avl_round[rounds_.size()];
        std::copy(rounds_.begin(), rounds_.end(), r_->round_ranges);
    }
    streams_.clear();
    rounds_.clear();
    handedOver_ = true;
}

// Frees the streams not handed over, and leaves the result without them.
void Prober::discard() {
    if (handedOver_) return;
    for (avl_stream& s : streams_) {
        delete[] s.depart_s;
        delete[] s.delay_s;
    }
    streams_.clear();
    rounds_.clear();
    r_->streams = nullptr;
    r_->nstreams = 0;
    r_->round_ranges = nullptr;
    r_->nrounds = 0;
}

void Prober::publish() {
    r_->streams = streams_.data();
    r_->nstreams = static_cast<int>(streams_.size());
    r_->round_ranges = rounds_.data();
    r_->nrounds = static_cast<int>(rounds_.size());
    r_->duration_s = elapsed();
    if (progress_ != nullptr && progress_(progressContext_, r_) != 0) stop(Finding(AVL_FAIL_CANCELLED));
}

// No pause outlasts the time budget: what is left of it is the longest.
void Prober::pause(double seconds) {
    seconds = std::clamp(seconds, 0.0, std::max(0.0, o_.max_seconds - elapsed()));
    path_.pause(path_.context, std::llround(seconds * 1e9));
}

// The share of packets the path loses anyway, whatever the rate: what streams
// well below this rate lost, or the first contact's share before there are
// any.  Loss above it is what a stream's own rate caused.
double Prober::baseLoss(double rate) const {
    int sent = contactSent_, lost = contactLost_;
    for (const LossAt& l : losses_)
        if (l.rate * 1.1 <= rate) sent += l.sent, lost += l.lost;
    // Half a packet lost in advance: a few packets that all came back do not
    // prove a path without loss.
    return (lost + 0.5) / (sent + 1.0);
}

double Prober::lowRateLoss(double* rate, int* packets) const {
    double lowest = 0;
    for (const LossAt& l : losses_) lowest = lowest > 0 ? std::min(lowest, l.rate) : l.rate;
    int sent = contactSent_, lost = contactLost_;
    for (const LossAt& l : losses_)
        if (l.rate <= lowest * 1.1) sent += l.sent, lost += l.lost;
    *rate = lowest;
    *packets = sent;
    return sent > 0 ? static_cast<double>(lost) / sent : 0;
}

double Prober::streamLoss() const {
    int sent = 0, lost = 0;
    for (const LossAt& l : losses_) sent += l.sent, lost += l.lost;
    return sent > 0 ? static_cast<double>(lost) / sent : 0;
}

// The least the path is thought to have free: what a queue left behind
// drains at.
double Prober::drainRate() const { return std::max({capacity_ / 20, below_, estimate_ / 2}); }

// ---- One stream ------------------------------------------------------------

// The send times of a stream of packets of bytes IP bytes at rate (0: back to
// back), with a lead of packets back to back before the rate part (see
// kLeadBytes).  The trend is judged on the packets at the rate.
Plan Prober::plan(int kind, int round, double rate, int packets, int bytes, bool withLead) const {
    Plan p;
    p.kind = kind;
    p.round = round;
    p.rate = rate;
    p.bytes = bytes;
    p.lead = withLead && rate > 0 ? (kLeadBytes + bytes - 1) / bytes : 0;
    const double gapNs = rate > 0 ? bytes * 8e9 / rate : 0;
    for (int i = 0; i < p.lead + packets; ++i)
        p.at.push_back(i < p.lead ? 0 : std::llround((i - p.lead + 1) * gapNs));
    return p;
}

Plan Prober::searchPlan(int round, double rate) const {
    return plan(AVL_KIND_SEARCH, round, rate, packetsAt(rate), packetBytes_, true);
}

Plan Prober::briefWindowPlan(int round) const {
    if (o_.timescale_s > 0) return searchPlan(round, ceiling_);
    const int n = std::max(kMinPackets, static_cast<int>(lasting(kBriefWindowSeconds, ceiling_)));
    return plan(AVL_KIND_SEARCH, round, ceiling_, std::min(packetsAt(ceiling_), n), packetBytes_, true);
}

// count small packets gapNs apart that check the path (the first at once;
// reported without a rate, as they are not judged).
Plan Prober::smallProbe(int count, int64_t gapNs) const {
    Plan p;
    p.kind = AVL_KIND_PROBE;
    p.bytes = kSmallBytes;
    for (int i = 0; i < count; ++i) p.at.push_back(i * gapNs);
    return p;
}

// Whether the stream still fits the byte and time budgets, its wait for the
// replies included; says which budget ended the measurement when not.
bool Prober::fits(const Plan& p) {
    if (stopped_) return false;
    const Finding over = overBudget(p);
    if (over.failure != AVL_FAIL_NONE) stop(over);
    return over.failure == AVL_FAIL_NONE;
}

Finding Prober::overBudget(const Plan& p) const {
    if (r_->probe_bytes + 2 * int64_t{p.packets()} * p.bytes > o_.max_bytes)
        return Finding(AVL_FAIL_BUDGET, AVL_BUDGET_BYTES);
    if (elapsed() + p.seconds() + waitNs(p) / 1e9 > o_.max_seconds) return Finding(AVL_FAIL_BUDGET, AVL_BUDGET_TIME);
    return Finding{};
}

int Prober::affordable(const Plan& p, int* bySeconds) const {
    if (!stopped_) return affordableWithin(p, o_.max_bytes, o_.max_seconds, bySeconds);
    if (bySeconds) *bySeconds = 0;
    return 0;
}

int Prober::affordableGrown(const Plan& p, int* bySeconds) const {
    return affordableWithin(p, grownBytes(), grownSeconds(), bySeconds);
}

int Prober::affordableWithin(const Plan& p, int64_t maxBytes, double maxSeconds, int* bySeconds) const {
    // Each stream, the drain of the queue it left, a few round trips.
    const double bytes = 2.0 * p.packets() * p.bytes;
    const double seconds = 2 * p.seconds() + 3 * rtt_;
    if (bySeconds) *bySeconds = 0;
    if (bytes <= 0 || seconds <= 0) return 0;
    const double inTime = std::min(std::max(0.0, maxSeconds - elapsed()) / seconds, 1e6);
    if (bySeconds) *bySeconds = static_cast<int>(inTime);
    return static_cast<int>(std::min(std::max(0.0, static_cast<double>(maxBytes - r_->probe_bytes)) / bytes, inTime));
}

// Sends one stream, keeps its record and judges it; then lets the queue it
// built drain.
Outcome Prober::stream(const Plan& p) {
    Outcome out;
    if (!fits(p)) return out;
    const int n = p.packets();
    std::vector<int64_t> depart(n), arrive(n);
    const double began = elapsed();
    const int got = path_.send(path_.context, n, p.bytes - path_.header_bytes, p.at.data(), depart.data(),
                               arrive.data(), waitNs(p));
    if (got < 0) {
        stop(Finding(AVL_FAIL_SEND, AVL_BUDGET_NONE, std::strerror(errno)));
        return out;
    }
    out.sent = true;
    r_->probe_bytes += int64_t{n} * p.bytes + int64_t{got} * p.bytes;

    // In the list first, its arrays then, so that memory running out never
    // leaves them unowned.
    streams_.push_back(avl_stream{});
    streams_.back().depart_s = new double[n];
    streams_.back().delay_s = new double[n];
    avl_stream& s = streams_.back();
    s.round = p.round;
    s.kind = p.kind;
    s.rate_bps = p.rate;
    s.start_s = began;
    s.packets = n;
    s.lead = p.lead;
    s.packet_bytes = p.bytes;
    for (int i = 0; i < n; ++i) {
        s.depart_s[i] = (depart[i] - depart[0]) / 1e9;
        const bool lost = arrive[i] == AVL_LOST;
        s.delay_s[i] = lost ? -1 : (arrive[i] - depart[i]) / 1e9;
        s.lost += lost;
    }
    out.receivedAll = n - s.lost;
    judge(p, depart, arrive, &out);
    // Replies this host dropped itself (its receive buffer overflowed) are
    // not the path's loss: such a stream tells nothing.
    if (path_.overflows != nullptr && path_.overflows(path_.context) > 0) out.isVoid = true;
    s.verdict = out.verdict;
    s.void_stream = out.isVoid;
    s.sent_rate_bps = out.sentRate;
    s.receive_rate_bps = out.outRate;
    publish();
    drain(p, out);
    return out;
}

// Judges the part of the stream that left on schedule.  A stall of the
// sender (another process had the processor) lets the queue drain, so the
// stream is cut at every stall and its longest part judged; a part too short
// proves nothing.
void Prober::judge(const Plan& p, const std::vector<int64_t>& depart, const std::vector<int64_t>& arrive,
                   Outcome* out) {
    const int n = p.packets();
    int from = 0, to = n;
    if (p.rate > 0) {
        const double gapNs = p.bytes * 8e9 / p.rate;
        // A stall shorter than a share of a group of the trend test hardly
        // moves the group's floor; in long streams groups are long.
        const double groupNs = std::max(kShortestGroup, p.seconds() / kMostGroups) * 1e9;
        const double stall = std::max({kStallNs, 2 * gapNs, kStallShare * groupNs});
        int partFrom = p.lead, longest = 0;
        for (int i = p.lead + 1; i <= n; ++i) {
            if (i < n && (depart[i] - depart[i - 1]) - (p.at[i] - p.at[i - 1]) <= stall) continue;
            if (i - partFrom > longest) longest = i - partFrom, from = partFrom;
            partFrom = i;
        }
        to = from + longest;
        out->isVoid = longest < std::max(kMinPackets, (3 * (n - p.lead) + 4) / 5);
    }
    std::vector<double> delays;
    int firstSeen = -1, lastSeen = -1;
    for (int i = from; i < to; ++i) {
        if (arrive[i] == AVL_LOST) {
            ++out->lost;
            continue;
        }
        delays.push_back((arrive[i] - depart[i]) / 1e9);
        if (firstSeen < 0) firstSeen = i;
        lastSeen = i;
    }
    out->received = static_cast<int>(delays.size());
    out->span = to > from ? (depart[to - 1] - depart[from]) / 1e9 : 0;
    out->sentRate = out->span > 0 ? (to - from - 1) * p.bytes * 8.0 / out->span : 0;
    if (lastSeen > firstSeen && arrive[lastSeen] > arrive[firstSeen])
        out->outRate = (out->received - 1) * p.bytes * 8.0 / ((arrive[lastSeen] - arrive[firstSeen]) / 1e9);
    if (!delays.empty()) {
        out->minDelay = *std::min_element(delays.begin(), delays.end());
        out->lastDelay = delays.back();
        std::vector<double> sorted = delays;
        std::sort(sorted.begin(), sorted.end());
        out->spread = sorted[sorted.size() * 9 / 10] - sorted.front();
        rtt_ = rtt_ > 0 ? std::min(rtt_, out->minDelay) : out->minDelay;
    }
    out->slope = endToEndSlope(depart, arrive, from, to);
    if (p.kind != AVL_KIND_SEARCH && p.kind != AVL_KIND_GUESS) return;
    avl_trend t;
    const int groups = std::max(3, static_cast<int>(out->span / kShortestGroup));
    const double base = baseLoss(out->sentRate);
    // A rise counts when it is more than the stamps' jitter and more than
    // what an overload of a hundredth of the stream's rate builds over its
    // length: a slow stream's floors drift by tens of microseconds on an
    // idle path (a shaper's timer), and that is no queue of its making.
    const double tolerance = std::max(kStampJitter, kLeastOverload * out->sentRate * out->span / std::max(capacity_, 1.0));
    out->verdict = avl_judge_delays(delays.data(), out->received, out->lost, base, groups, tolerance, &t);
    out->rise = t.rise;
    out->rose = t.rose;
    out->lossy = t.lossy;
    out->byLoss = t.lossy && !t.rose;
    if (t.groups == 0) out->isVoid = true;  // too few replies to tell
    if (!out->isVoid && p.kind == AVL_KIND_SEARCH) losses_.push_back({out->sentRate, out->received + out->lost, out->lost});
}

// The most a stream can have queued, in seconds at the capacity: its
// lead's bits and those it sent above the least the path is known to have
// free.  More is others' queue swinging (a TCP flow's saw), which is not
// ours to wait for.
double Prober::mostQueued(const Plan& p) const {
    const double bits = p.rate > 0 ? 8.0 * p.lead * p.bytes + std::max(0.0, p.rate - below_) * p.seconds()
                                    : 8.0 * p.packets() * p.bytes;
    return capacity_ > 0 ? bits / capacity_ : std::numeric_limits<double>::infinity();
}

// How long a queue of queued seconds at the capacity takes to empty at
// what is free there, with room to spare.
double Prober::drainTime(const Plan& p, double queued) const {
    const double wanted = std::max(0.001, kDrainFactor * queued * (capacity_ > 0 ? capacity_ / drainRate() : 1));
    return std::min(wanted, std::max(0.001, 4 * p.seconds() + kLongestDrainExtra));
}

double Prober::windowSlot(const Plan& p) const {
    const double most = mostQueued(p);
    const double queued = std::isfinite(most) ? most : 0;
    return p.seconds() + rtt_ + queued + drainTime(p, queued);
}

// What this stream queued drains before the next one starts: the queue it
// left, at the bottleneck's rate, empties at what is free there.
void Prober::drain(const Plan& p, const Outcome& out) {
    // What the stream itself left queued: a queue that stood before it
    // (traffic that keeps the bottleneck full) is not its to drain.
    const double queued = std::min(std::max(0.0, out.lastDelay - std::max(rtt_, out.minDelay)), mostQueued(p));
    const double wanted = drainTime(p, queued);
    const double left = o_.max_seconds - elapsed();
    if (wanted > left) {
        pause(left);
        stop(Finding(AVL_FAIL_BUDGET, AVL_BUDGET_TIME));
        return;
    }
    pause(wanted);
}

}  // namespace availbw
