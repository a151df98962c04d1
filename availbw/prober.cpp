// SPDX-License-Identifier: MIT
// prober.cpp - sending streams, keeping their record and the budgets, and
// the steps that learn the path before the search: a few echo requests for
// the round trip, the capacity from a back-to-back train, a check for a host
// that limits its echo replies or a policer.  Streams go out over a path
// interface that also keeps the time, so the same code runs on a real path
// and on a simulated one.
#include "prober.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "tuning.h"

namespace availbw {

using namespace tuning;

namespace {

double median_of(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// v kept within [low, high]; high wins where the two cross (a host's limit
// on echo replies far below the capacity puts the ceiling under the floor).
double bounded(double v, double low, double high) { return std::min(std::max(v, low), high); }

// The replies a second to the second half of a stream, and the packets a
// second it was sent at there: the first half may pass on a token bucket's
// credit or a host's allowance.
void second_half(const avl_stream& s, double* replied, double* sent) {
    int received = 0;
    for (int i = s.packets / 2; i < s.packets; ++i) received += s.delay_s[i] >= 0;
    const double span = std::max(s.depart_s[s.packets - 1] - s.depart_s[s.packets / 2 - 1], 1e-6);
    *replied = received / span;
    *sent = (s.packets - s.packets / 2) / span;
}

std::string printed(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string mbit(double bps) { return printed("%.3g", bps / 1e6) + " Mbit/s"; }

}  // namespace

const char* const kBeforeAnyVerdict = "before any rate was judged";

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
            return "the bottleneck of " + mbit(f.rate) +
                   " is kept full by traffic that yields (such as TCP): a new flow would get a share of it, not "
                   "only what is unused now";
        case AVL_FAIL_UNSTEADY:
            return "the streams disagreed too much to narrow the range (" + printed("%.3g", f.low / 1e6) + " to " +
                   mbit(f.high) + " free)";
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

bool Prober::growBudgets() {
    if (!automaticBudgets() || r_->budget_grown) return false;
    if (automaticBytes_) o_.max_bytes = std::max<int64_t>(kGrownBytes, std::llround(o_.max_bytes * kBytesGrowth));
    if (automaticSeconds_) o_.max_seconds *= kSecondsGrowth;
    r_->max_bytes = o_.max_bytes;
    r_->max_seconds = o_.max_seconds;
    r_->budget_grown = 1;
    return true;
}

bool Prober::resumeWithLargerBudgets() {
    if (!stopped_ || finding_.failure != AVL_FAIL_BUDGET) return false;
    const bool automatic = finding_.budget == AVL_BUDGET_BYTES ? automaticBytes_ : automaticSeconds_;
    if (!automatic || !growBudgets()) return false;
    stopped_ = false;
    finding_ = Finding{};
    r_->failure = AVL_FAIL_NONE;
    r_->budget_reached = AVL_BUDGET_NONE;
    r_->reason[0] = '\0';
    return true;
}

int Prober::packetsAt(double rate) const {
    const auto lasting = [&](double seconds) { return std::ceil(seconds * rate / (8.0 * packetBytes_)); };
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

void Prober::pause(double seconds) { path_.pause(path_.context, std::llround(seconds * 1e9)); }

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
    if (r_->probe_bytes + 2 * int64_t{p.packets()} * p.bytes > o_.max_bytes) {
        stop(Finding(AVL_FAIL_BUDGET, AVL_BUDGET_BYTES));
        return false;
    }
    if (elapsed() + p.seconds() + waitNs(p) / 1e9 > o_.max_seconds) {
        stop(Finding(AVL_FAIL_BUDGET, AVL_BUDGET_TIME));
        return false;
    }
    return true;
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
    drain(out, p.seconds());
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

// What this stream queued drains before the next one starts: the queue it
// left, at the bottleneck's rate, empties at what is free there.
void Prober::drain(const Outcome& out, double length) {
    // What the stream itself left queued: a queue that stood before it
    // (traffic that keeps the bottleneck full) is not its to drain.
    const double queued = std::max(0.0, out.lastDelay - std::max(rtt_, out.minDelay));
    double wanted = std::max(0.001, kDrainFactor * queued * (capacity_ > 0 ? capacity_ / drainRate() : 1));
    wanted = std::min(wanted, std::max(0.001, 4 * length + kLongestDrainExtra));
    const double left = o_.max_seconds - elapsed();
    if (wanted > left) {
        pause(std::max(0.0, left));
        stop(Finding(AVL_FAIL_BUDGET, AVL_BUDGET_TIME));
        return;
    }
    pause(wanted);
}

// ---- The steps before the search -------------------------------------------

// A few small echo requests, sent again with a longer wait while none comes
// back: the least round trip, and a first share of loss.
bool Prober::contact() {
    bool asked = false;
    const int64_t longest = path_.max_wait_ns > 0 ? path_.max_wait_ns : INT64_MAX / 4;
    for (int64_t wait = kFirstContactWaitNs; !stopped_; wait = std::min(wait * 4, longest)) {
        Plan p = smallProbe(kContactPackets, kContactGapNs);
        // The wait is the contact's own: the round trip is not known yet.
        const double left = o_.max_seconds - elapsed() - p.seconds() - kContactSlack;
        if (left <= kContactSlack) break;
        p.wait = std::min<int64_t>(wait, std::llround(left * 1e9));
        const Outcome out = stream(p);
        if (!out.sent) {
            // The time ran out for the next try: no answer to those before.
            if (asked && finding_.failure == AVL_FAIL_BUDGET) break;
            return false;
        }
        asked = true;
        if (out.receivedAll > 0) {
            contactSent_ += p.packets();
            contactLost_ += p.packets() - out.receivedAll;
            return true;
        }
        // A router answered for the host: what it said is the answer.
        const char* error = path_.icmp_error != nullptr ? path_.icmp_error(path_.context) : nullptr;
        if (error != nullptr && error[0] != '\0') {
            stop(Finding(AVL_FAIL_UNREACHABLE, AVL_BUDGET_NONE, error));
            return false;
        }
    }
    stopped_ = false;
    if (asked) {
        r_->budget_reached = AVL_BUDGET_NONE;
        stop(Finding(AVL_FAIL_NO_REPLY));
    } else {
        stop(Finding(AVL_FAIL_BUDGET, AVL_BUDGET_TIME, "before the host was reached"));
    }
    return false;
}

// A back-to-back train of 1500-byte packets; adds to gaps the spacing of the
// replies to consecutive packets (the first pair aside: a token bucket on
// the path may let the first packet through at once).
Outcome Prober::capacityTrain(std::vector<double>* gaps) {
    const Outcome train = stream(plan(AVL_KIND_CAPACITY, 0, 0, kCapacityPackets, kCapacityBytes, false));
    if (!train.sent) return train;
    const avl_stream& cap = streams_.back();
    for (int i = 2; i < cap.packets; ++i) {
        if (cap.delay_s[i] < 0 || cap.delay_s[i - 1] < 0) continue;
        const double gap = (cap.depart_s[i] + cap.delay_s[i]) - (cap.depart_s[i - 1] + cap.delay_s[i - 1]);
        if (gap > 0) gaps->push_back(gap);
    }
    return train;
}

// The capacity, from the median spacing of a back-to-back train's replies.
// Replies that stop after the first few mean that the host or a router
// before it limits echo replies, or that a policer or a short queue limits
// bytes: then the limit is measured, and the capacity read around it.
bool Prober::readCapacity() {
    std::vector<double> gaps;
    const Outcome train = capacityTrain(&gaps);
    if (!train.sent) return false;
    if (train.receivedAll == 0) {
        stop(Finding(AVL_FAIL_PATH));
        return false;
    }
    double passed = 0;
    if (train.receivedAll < kCapacityPackets * 3 / 4) {
        const Limit limit = findLimit(train.receivedAll);
        if (limit == Limit::Stopped) return false;
        if (limit == Limit::Packets) {
            // Another train once the host's allowance is back: more gaps.
            // The wait counts in the time budget like every other.
            const double wait = 2 * kCapacityPackets / limitPps_;
            if (elapsed() + wait > o_.max_seconds) {
                stop(Finding(AVL_FAIL_BUDGET, AVL_BUDGET_TIME));
                return false;
            }
            pause(wait);
            if (!capacityTrain(&gaps).sent) return false;
            capacityThroughLimit_ = true;
        }
        if (limit == Limit::Bytes && !(passed = passedRate())) return false;
        policed_ = limit == Limit::Bytes;
    }
    if (gaps.size() < 3 && passed == 0) {
        Finding f(AVL_FAIL_LOSS);
        f.count = kCapacityPackets - train.receivedAll;
        f.of = kCapacityPackets;
        stop(f);
        return false;
    }
    // Behind a policer the replies that pass keep the spacing of the links
    // around it; what it passes of a fast stream is its rate.
    capacity_ = gaps.size() >= 3 ? kCapacityBytes * 8.0 / median_of(gaps) : passed;
    if (passed > 0) capacity_ = std::min(capacity_, passed);
    r_->capacity_bps = capacity_;
    return true;
}

// A back-to-back train lost its tail.  A train of small packets tells
// whether bytes or packets are limited; when packets are, small packets paced
// at 20000 a second measure how many a second the host answers.
Prober::Limit Prober::findLimit(int trainReplies) {
    const Outcome smallTrain = stream(plan(AVL_KIND_PROBE, 0, 0, kCapacityPackets, kSmallBytes, false));
    if (!smallTrain.sent) return Limit::Stopped;
    if (smallTrain.receivedAll > std::max(trainReplies + 2, kCapacityPackets * 3 / 4)) return Limit::Bytes;
    const Outcome paced = stream(smallProbe(kLimitProbePackets, kLimitProbeGapNs));
    if (!paced.sent) return Limit::Stopped;
    if (paced.receivedAll >= kLimitProbePackets * 19 / 20) return Limit::None;  // not at these rates
    takeLimit();
    return Limit::Packets;
}

// The host's limit on echo replies: the rate the last stream's replies came
// at in its second half (the first takes the host's allowance).
void Prober::takeLimit() {
    double replied = 0, sent = 0;
    second_half(streams_.back(), &replied, &sent);
    limitPps_ = std::max(replied, 1.0);
    r_->echo_limit_pps = limitPps_;
}

// What a policer (or a queue too short for a train) lets through: streams of
// 1500-byte packets at rates that double from 8 Mbit/s until one loses more
// than a tenth of its second half, and one more (the faster the stream, the
// larger its share of what the policer passes beside others' traffic); the
// rate the second half of the last passed at.  0 when a budget ended it.
double Prober::passedRate() {
    double passed = 0;
    for (double rate = 8e6; rate <= kFastestProbe; rate *= 2) {
        const int packets = static_cast<int>(bounded(rate * kPassProbeSeconds / (8.0 * kCapacityBytes), 10.0, 400.0));
        const Outcome out = stream(plan(AVL_KIND_PROBE, 0, rate, packets, kCapacityBytes, false));
        if (!out.sent) return 0;
        double replied = 0, sent = 0;
        second_half(streams_.back(), &replied, &sent);
        if (passed > 0) return std::max(passed, replied * kCapacityBytes * 8);
        if (replied < 0.9 * sent) passed = replied * kCapacityBytes * 8;
    }
    return passed > 0 ? passed : kFastestProbe;
}

bool Prober::limitFoundBy(const Plan& original) {
    if (limitPps_ > 0 || policed() || stopped_) return false;
    const size_t lossyStream = streams_.size() - 1;
    const avl_stream& s = streams_.back();
    const double share = static_cast<double>(s.lost) / s.packets;
    Plan p = original;
    p.kind = AVL_KIND_PROBE;
    p.bytes = kSmallBytes;
    const Outcome twin = stream(p);
    if (!twin.sent) return false;
    if (1.0 - static_cast<double>(twin.receivedAll) / p.packets() < std::max(0.5 * share, 2 * baseLoss(0))) {
        bytesLost_ = true;  // once is enough: what is lost is bytes
        return false;
    }
    takeLimit();
    streams_[lossyStream].void_stream = 1;  // its loss was the limit's
    losses_.clear();  // what streams lost so far was the host's limit, not the path's
    choosePacketSize(capacity_);  // as large as the capacity needs under the limit
    return true;
}

// The size of the packets of streams sent at rates up to fastest: small
// enough for many of them in a stream, large enough that the sender keeps up
// and that a limit on echo replies is not reached.
int Prober::packetSizeFor(double fastest) const {
    if (o_.packet_bytes > 0) return o_.packet_bytes;
    // A policer checks each packet against the bytes it has in hand: small
    // packets spaced evenly would find room where others' large ones,
    // arriving together, do not, and take their share.  Packets as large as
    // theirs lose alike.
    if (policed_) return kCapacityBytes;
    double bytes = bounded(fastest * kMinGapUs / 8e6, 400.0, 1500.0);
    if (limitPps_ > 0) bytes = bounded(std::ceil(fastest / (8 * kLimitMargin * limitPps_)), bytes, 1500.0);
    return static_cast<int>(bytes);
}

// Packets for the streams up to the capacity, the fastest rate streams may
// be sent at (less under a limit on echo replies), and the automatic budget.
void Prober::choosePacketSize(double fastest) {
    packetBytes_ = packetSizeFor(fastest);
    ceiling_ = capacity_;
    if (limitPps_ > 0) ceiling_ = std::min(capacity_, kLimitMargin * limitPps_ * packetBytes_ * 8);
    r_->packet_bytes = packetBytes_;
    if (automaticBytes_ && r_->budget_grown == 0) {  // room for ten streams of the time scale at the capacity, both ways
        const double seconds = o_.timescale_s > 0 ? o_.timescale_s : kMinStreamSeconds;
        o_.max_bytes = std::max<int64_t>(o_.max_bytes, std::llround(10 * 2 * seconds * capacity_ / 8));
        r_->max_bytes = o_.max_bytes;
    }
}

// The first guess: what one stream at the ceiling gets through,
// C - Rin (C / Rout - 1) on a FIFO bottleneck, and never more than Rout (a
// narrow link before a loaded one makes that formula fail).
double Prober::firstGuess(Outcome* guess) {
    double estimate = ceiling_;
    Outcome g;
    double rate = ceiling_;
    for (int raised = 0; !stopped_; ++raised) {
        Outcome o;
        for (int tries = 0; tries <= kRetries && !stopped_; ++tries) {
            o = stream(plan(AVL_KIND_GUESS, 0, rate, packetsAt(rate), packetBytes_, true));
            if (!o.isVoid) break;
        }
        // A stream above the capacity that neither queued nor lost: the
        // train read the capacity low, and the path carried that much.
        if (raised > 0 && o.sent && !o.isVoid && o.verdict == AVL_FLAT && !o.lossy && o.sentRate > 0.95 * rate) {
            capacity_ = ceiling_ = rate;
            r_->capacity_bps = capacity_;
        }
        if (raised == 0 || o.sent) g = o;
        // One at the capacity that stayed flat: a quarter more tells.
        if (!(o.sent && !o.isVoid && o.verdict == AVL_FLAT && !o.lossy && limitPps_ == 0 && raised < kRaises &&
              rate == ceiling_))
            break;
        rate = ceiling_ * (1 + kRaiseBy);
    }
    if (g.sent && !g.isVoid && g.outRate > 0 && g.sentRate > 0) {
        if (g.outRate < 0.97 * g.sentRate) {
            estimate = capacity_ - g.sentRate * (capacity_ / g.outRate - 1);
            if (!(estimate > 0 && estimate < g.outRate)) estimate = g.outRate;
        }
        delayRises_ += g.rose;
    }
    *guess = g;
    return bounded(estimate, capacity_ / 20, ceiling_);
}

}  // namespace availbw
