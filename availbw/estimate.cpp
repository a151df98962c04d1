// SPDX-License-Identifier: MIT
// estimate.cpp - the measurement: a few echo requests for the round trip, the
// capacity from a back-to-back train, a check for a host that limits its echo
// replies, a first guess from one stream's input and output rates, rounds of
// a search that narrows [low, high] with voting streams until three rounds
// agree, and the rounds combined as fuzzy intervals.  Streams go out over a
// path interface that also keeps the time, so the same code runs on a real
// path and on a simulated one.
#include "availest.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "ovintra.h"
#include "result_size.h"

namespace {

// The first contact: a few small echo requests, for the round trip.
constexpr int kContactPackets = 20;    // a millisecond apart: also the loss the path has at a low rate
constexpr int64_t kContactGapNs = 1000000;
constexpr int64_t kFirstContactWaitNs = 50000000;  // grows fourfold while nothing comes back
constexpr double kContactSlack = 0.002;  // seconds the last try leaves of the time budget
constexpr int kSmallBytes = 100;       // IP bytes of the packets that test for a packet-rate limit
constexpr int kCapacityPackets = 16;   // the back-to-back train
constexpr int kCapacityBytes = 1500;
constexpr int kMinPackets = 20;        // shortest stream, also with a short time scale
constexpr double kMinGapUs = 50;       // closest spacing of stream packets at the capacity
// Shortest and longest stream without a time scale; the automatic byte
// budget is ten of the shortest at the capacity, and a stream carries at
// least what the shortest carries at the capacity.
constexpr double kMinStreamSeconds = 0.004;
constexpr double kMaxStreamSeconds = 0.03;
constexpr int kEnoughSupport = 3;      // rounds that agree end the measurement
constexpr double kStampJitter = 10e-6;  // seconds: a rise this small is none
constexpr double kShortestGroup = 0.001;  // seconds
constexpr double kSecondsPerTimescale = 40;  // automatic time budget with a time scale
constexpr int kLeadBytes = 4500;       // sent back to back before a stream's rate part
constexpr int kMaxStreamPackets = 4096;
constexpr int kRetries = 2;            // new tries for a stream that could not be judged
constexpr double kSent = 1.02;         // a rate sent this close to the one asked for counts as it
constexpr double kFirstStep = 0.12;    // first move when the search has no better pointer
constexpr int kRaises = 3;             // times the capacity is raised while a stream above it stays flat
constexpr double kRaiseBy = 0.25;      // ... by this share each time
constexpr double kWideRanges = 3;      // a range of rounds cut short wider than this many resolutions is no estimate
constexpr double kMaxBaseLoss = 0.075;  // a path that loses more at low rates cannot be measured
constexpr double kLimitMargin = 0.8;   // streams keep below this share of an echo-reply limit
constexpr int kLimitProbePackets = 100;  // small packets, 50 us apart, that measure that limit
constexpr int64_t kLimitProbeGapNs = 50000;
constexpr double kSlowestPath = 2e6;   // bits per second that a back-to-back train's replies are waited for
constexpr double kFastestProbe = 1.6e9;  // the fastest stream that looks for what a policer passes
constexpr double kPassProbeSeconds = 0.004;
constexpr double kBurstAllowance = 0.01;  // seconds of others' burst a reply may wait behind

double median_of(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

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
    bool isVoid = false;    // it could not be judged (the sender stalled, too few packets)
    int verdict = AVL_UNCLEAR;
    bool rose = false;      // its delays rose: it queued
    bool byLoss = false;    // rising only because it lost more than the path loses anyway
    bool lossy = false;     // it lost more than the path loses anyway
    double sentRate = 0;    // achieved, IP bits per second, over the judged part
    double outRate = 0;     // rate of the replies' arrivals, IP bits per second
    double rise = 0, span = 0;  // seconds: the floors' rise over the judged part, its length
    double minDelay = 0, lastDelay = 0;  // seconds
    int received = 0, lost = 0;  // in the judged part
    int receivedAll = 0;    // replies to the whole stream
};

// The vote on one rate.  Again: the path turned out to limit echo replies;
// the rate is to be voted on anew with packets chosen for that limit.
enum class Vote { Above, Below, Grey, Again, Stopped };

// Loss seen at one rate: packets sent and lost in the judged parts.
struct LossAt {
    double rate;
    int sent, lost;
};

class Measurement {
public:
    Measurement(const avl_path& path, const avl_options& o, avl_result* r, avl_progress_fn progress,
                void* progressContext)
        : path_(path), o_(o), r_(r), progress_(progress), progressContext_(progressContext),
          start_(path.now_ns(path.context)), automaticBytes_(o_.max_bytes == 0) {
        if (automaticBytes_) o_.max_bytes = 1000000;
        // Time for a few rounds of long streams with their pauses.
        if (o_.max_seconds == 0) o_.max_seconds = std::max(1.0, kSecondsPerTimescale * o_.timescale_s);
    }

    ~Measurement() { discard(); }

    int run();
    void handOver();
    void discard();

private:
    // The steps of a measurement.
    bool contact();
    enum class Limit { None, Packets, Bytes, Stopped };
    Outcome capacityTrain(std::vector<double>* gaps);
    bool readCapacity();
    Limit findLimit(int trainReplies);
    double passedRate();
    Limit lossByPackets(const Plan& original);
    void takeLimit();
    int packetSizeFor(double fastest) const;
    void choosePacketSize(double fastest);
    double firstGuess(double* above);
    void searchRounds(double guess, double above);
    int conclude();
    int noEstimate(const std::string& why, int failure);

    // The steps of one stream.
    Plan plan(int kind, int round, double rate, int packets, int bytes, bool withLead) const;
    Plan smallProbe(int count, int64_t gapNs) const;
    Outcome stream(const Plan& p);
    bool fits(const Plan& p);
    void judge(const Plan& p, const std::vector<int64_t>& depart, const std::vector<int64_t>& arrive, Outcome* out);
    void drain(const Outcome& out, double length);

    Vote vote(int round, double rate, int wanted, double* achieved, double* pointer);
    bool search(int round, double start, double above, avl_round* range);
    bool combine();
    void stop(const std::string& why, int failure);
    int packetsAt(double rate) const;
    int64_t waitNs(const Plan& p) const;
    double baseLoss(double rate) const;
    double lowRateLoss(double* rate, int* packets) const;
    double drainRate() const;
    void publish();

    double elapsed() const { return (path_.now_ns(path_.context) - start_) / 1e9; }
    void pause(double seconds) { path_.pause(path_.context, std::llround(seconds * 1e9)); }

    avl_path path_;
    avl_options o_;
    avl_result* r_;
    avl_progress_fn progress_;
    void* progressContext_;
    int64_t start_;  // ns on the path's clock
    bool automaticBytes_;
    std::vector<avl_stream> streams_;
    std::vector<avl_round> rounds_;
    std::vector<LossAt> losses_;
    double rtt_ = 0;          // seconds: the least round trip seen
    int contactSent_ = 0, contactLost_ = 0;
    double capacity_ = 0;
    double limitPps_ = 0;     // > 0: the host answers about this many echo requests a second
    double ceiling_ = 0;      // the fastest rate streams may be sent at
    double estimate_ = 0;     // the best idea of the free rate so far (0: none)
    double outRate_ = 0;      // the rate the first guess stream's replies came at
    double below_ = 0;        // the highest rate voted below in any round
    int packetBytes_ = 0;     // of the streams after the capacity train
    bool stopped_ = false;
    bool failed_ = false;     // the path itself failed
    bool handedOver_ = false; // the result owns the streams and rounds
    bool policed_ = false;    // bytes are limited: a policer, or a queue too short for a train
    bool bytesLost_ = false;  // a stream's loss was found to be of bytes, not packets
    int delayRises_ = 0;      // streams whose delays rose (the first guess and the search's): the path queues
};

int Measurement::packetsAt(double rate) const {
    const auto lasting = [&](double seconds) { return std::ceil(seconds * rate / (8.0 * packetBytes_)); };
    // With no time scale asked for: stream_bytes, or what the shortest stream
    // carries at the capacity, but at least a few milliseconds, so that cross
    // traffic sent in bursts every millisecond averages out, and at most some
    // tens, so that slow paths are measured in a second too.  A stream at a
    // share of the capacity so lasts longer, which is what a smaller share
    // needs to show the same overshoot as a rise.
    const double bytes = std::max(static_cast<double>(o_.stream_bytes), capacity_ * kMinStreamSeconds / 8);
    const double n = o_.timescale_s > 0
                         ? lasting(o_.timescale_s)
                         : std::clamp(std::round(bytes / packetBytes_), lasting(kMinStreamSeconds),
                                      lasting(kMaxStreamSeconds));
    return static_cast<int>(std::clamp(n, double{kMinPackets}, double{kMaxStreamPackets}));
}

// How long to wait for the replies after the last send of a stream: a few
// round trips, time for a queue as long as the stream (what a stream above
// the free rate builds), and some for a burst of others in it; for packets
// sent back to back, the time a slow bottleneck takes to pass them.  The wait
// ends early once the last packet's reply is in, so only a stream whose last
// packet is lost waits it whole.
int64_t Measurement::waitNs(const Plan& p) const {
    if (p.wait >= 0) return p.wait;
    double bits = 0;
    for (size_t i = 0; i < p.at.size() && p.at[i] == 0; ++i) bits += p.bytes * 8.0;
    const double queue = std::max(p.seconds(), p.rate > 0 ? 0.0 : bits / kSlowestPath);
    return std::llround((3 * rtt_ + queue + kBurstAllowance) * 1e9);
}

void Measurement::stop(const std::string& why, int failure) {
    if (!stopped_) {
        std::snprintf(r_->reason, sizeof r_->reason, "%s", why.c_str());
        r_->failure = failure;
    }
    stopped_ = true;
}

void Measurement::handOver() {
    publish();
    r_->streams = nullptr;
    r_->round_ranges = nullptr;
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
void Measurement::discard() {
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

void Measurement::publish() {
    r_->streams = streams_.data();
    r_->nstreams = static_cast<int>(streams_.size());
    r_->round_ranges = rounds_.data();
    r_->nrounds = static_cast<int>(rounds_.size());
    r_->duration_s = elapsed();
    if (progress_ != nullptr && progress_(progressContext_, r_) != 0 && !stopped_) {
        r_->failure = AVL_FAIL_CANCELLED;
        stop("cancelled by the caller", AVL_FAIL_CANCELLED);
    }
}

// The share of packets the path loses anyway, whatever the rate: what streams
// well below this rate lost, or the first contact's share before there are
// any.  Loss above it is what a stream's own rate caused.
double Measurement::baseLoss(double rate) const {
    int sent = contactSent_, lost = contactLost_;
    for (const LossAt& l : losses_)
        if (l.rate * 1.1 <= rate) sent += l.sent, lost += l.lost;
    // Half a packet lost in advance: a few packets that all came back do not
    // prove a path without loss.
    return (lost + 0.5) / (sent + 1.0);
}

// The share of packets lost at the lowest rates streams were sent at (the
// first contact's included), and that rate.
double Measurement::lowRateLoss(double* rate, int* packets) const {
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
double Measurement::drainRate() const {
    return std::max({capacity_ / 20, below_, estimate_ / 2});
}

// ---- One stream ------------------------------------------------------------

// The send times of a stream of packets of bytes IP bytes at rate (0: back to
// back).  A stream at a rate opens with a few packets back to back: they use
// up the credit of a token bucket on the path, which would otherwise let the
// first part of a stream above the free rate through unqueued.  The trend is
// judged on the packets at the rate that follow.
Plan Measurement::plan(int kind, int round, double rate, int packets, int bytes, bool withLead) const {
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

// count small packets gapNs apart that check the path (the first at once;
// reported without a rate, as they are not judged).
Plan Measurement::smallProbe(int count, int64_t gapNs) const {
    Plan p;
    p.kind = AVL_KIND_PROBE;
    p.bytes = kSmallBytes;
    for (int i = 0; i < count; ++i) p.at.push_back(i * gapNs);
    return p;
}

// Whether the stream still fits the byte and time budgets, its wait for the
// replies included; says which budget ended the measurement when not.
bool Measurement::fits(const Plan& p) {
    if (stopped_) return false;
    if (r_->probe_bytes + 2 * int64_t{p.packets()} * p.bytes > o_.max_bytes) {
        r_->budget_reached = AVL_BUDGET_BYTES;
        stop("byte budget reached", AVL_FAIL_BUDGET);
        return false;
    }
    if (elapsed() + p.seconds() + waitNs(p) / 1e9 > o_.max_seconds) {
        r_->budget_reached = AVL_BUDGET_TIME;
        stop("time budget reached", AVL_FAIL_BUDGET);
        return false;
    }
    return true;
}

// Sends one stream, keeps its record and judges it; then lets the queue it
// built drain.
Outcome Measurement::stream(const Plan& p) {
    Outcome out;
    if (!fits(p)) return out;
    const int n = p.packets();
    std::vector<int64_t> depart(n), arrive(n);
    const double began = elapsed();
    const int got = path_.send(path_.context, n, p.bytes - path_.header_bytes, p.at.data(), depart.data(),
                               arrive.data(), waitNs(p));
    if (got < 0) {
        failed_ = true;
        stop(std::string("sending a stream failed: ") + std::strerror(errno), AVL_FAIL_SEND);
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
void Measurement::judge(const Plan& p, const std::vector<int64_t>& depart, const std::vector<int64_t>& arrive,
                        Outcome* out) {
    const int n = p.packets();
    int from = 0, to = n;
    if (p.rate > 0) {
        const double gapNs = p.bytes * 8e9 / p.rate;
        int partFrom = p.lead, longest = 0;
        for (int i = p.lead + 1; i <= n; ++i) {
            if (i < n && (depart[i] - depart[i - 1]) - (p.at[i] - p.at[i - 1]) <= std::max(50000.0, 2 * gapNs))
                continue;
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
        rtt_ = rtt_ > 0 ? std::min(rtt_, out->minDelay) : out->minDelay;
    }
    if (p.kind != AVL_KIND_SEARCH && p.kind != AVL_KIND_GUESS) return;
    avl_trend t;
    // A group spans at least a millisecond, the period of the most common
    // bursts of cross traffic (timers, pacing), and a stream has three.
    const int groups = std::max(3, static_cast<int>(out->span / kShortestGroup));
    const double base = baseLoss(out->sentRate);
    out->verdict = avl_judge_delays(delays.data(), out->received, out->lost, base, groups, kStampJitter, &t);
    out->rise = t.rise;
    out->rose = t.rose;
    out->lossy = t.lossy;
    out->byLoss = t.lossy && !t.rose;
    if (t.groups == 0) out->isVoid = true;  // too few replies to tell
    if (!out->isVoid && p.kind == AVL_KIND_SEARCH) losses_.push_back({out->sentRate, out->received + out->lost, out->lost});
}

// What this stream queued drains before the next one starts: the queue it
// left, at the bottleneck's rate, empties at what is free there.
void Measurement::drain(const Outcome& out, double length) {
    const double queued = std::max(0.0, out.lastDelay - rtt_);
    double wanted = std::max(0.001, 1.5 * queued * (capacity_ > 0 ? capacity_ / drainRate() : 1));
    wanted = std::min(wanted, std::max(0.001, 4 * length + 0.05));
    const double left = o_.max_seconds - elapsed();
    if (wanted > left) {
        pause(std::max(0.0, left));
        r_->budget_reached = AVL_BUDGET_TIME;
        stop("time budget reached", AVL_FAIL_BUDGET);
        return;
    }
    pause(wanted);
}

// ---- The steps of a measurement --------------------------------------------

// A few small echo requests, sent again with a longer wait while none comes
// back: the least round trip, and a first share of loss.
bool Measurement::contact() {
    bool asked = false;
    for (int64_t wait = kFirstContactWaitNs; !stopped_; wait *= 4) {
        Plan p = smallProbe(kContactPackets, kContactGapNs);
        // The wait is the contact's own: the round trip is not known yet.
        const double left = o_.max_seconds - elapsed() - p.seconds() - kContactSlack;
        if (left <= kContactSlack) break;
        p.wait = std::min<int64_t>(wait, std::llround(left * 1e9));
        const Outcome out = stream(p);
        if (!out.sent) {
            // The time ran out for the next try: no answer to those before.
            if (asked && r_->budget_reached && !failed_) break;
            return false;
        }
        asked = true;
        if (out.receivedAll > 0) {
            contactSent_ += p.packets();
            contactLost_ += p.packets() - out.receivedAll;
            return true;
        }
    }
    r_->budget_reached = asked ? AVL_BUDGET_NONE : AVL_BUDGET_TIME;
    stopped_ = false;
    stop(asked ? "the host did not answer" : "time budget reached", asked ? AVL_FAIL_NO_REPLY : AVL_FAIL_BUDGET);
    return false;
}

// A back-to-back train of 1500-byte packets; adds to gaps the spacing of the
// replies to consecutive packets (the first pair aside: a token bucket on
// the path may let the first packet through at once).
Outcome Measurement::capacityTrain(std::vector<double>* gaps) {
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
bool Measurement::readCapacity() {
    std::vector<double> gaps;
    const Outcome train = capacityTrain(&gaps);
    if (!train.sent) return false;
    if (train.receivedAll == 0) {
        stop("no reply to " + std::to_string(kCapacityBytes) +
             "-byte echo requests, though smaller ones were answered (does the path carry packets this large?)",
             AVL_FAIL_PATH);
        return false;
    }
    double passed = 0;
    if (train.receivedAll < kCapacityPackets * 3 / 4) {
        const Limit limit = findLimit(train.receivedAll);
        if (limit == Limit::Stopped) return false;
        if (limit == Limit::Packets) {
            // Another train once the host's allowance is back: more gaps.
            pause(2 * kCapacityPackets / limitPps_);
            if (!capacityTrain(&gaps).sent) return false;
        }
        if (limit == Limit::Bytes && !(passed = passedRate())) return false;
        policed_ = limit == Limit::Bytes;
    }
    if (gaps.size() < 3 && passed == 0) {
        stop("too much loss: " + std::to_string(kCapacityPackets - train.receivedAll) + " of the capacity train's " +
             std::to_string(kCapacityPackets) + " replies were lost",
             AVL_FAIL_LOSS);
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
Measurement::Limit Measurement::findLimit(int trainReplies) {
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
void Measurement::takeLimit() {
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
double Measurement::passedRate() {
    double passed = 0;
    for (double rate = 8e6; rate <= kFastestProbe; rate *= 2) {
        const int packets = static_cast<int>(std::clamp(rate * kPassProbeSeconds / (8.0 * kCapacityBytes), 10.0, 400.0));
        const Outcome out = stream(plan(AVL_KIND_PROBE, 0, rate, packets, kCapacityBytes, false));
        if (!out.sent) return 0;
        double replied = 0, sent = 0;
        second_half(streams_.back(), &replied, &sent);
        if (passed > 0) return std::max(passed, replied * kCapacityBytes * 8);
        if (replied < 0.9 * sent) passed = replied * kCapacityBytes * 8;
    }
    return passed > 0 ? passed : kFastestProbe;
}

// A stream lost more than the path loses anyway.  A twin of it in small
// packets, on the same schedule, tells whether packets or bytes were too
// many: losing about as much, it finds a host that limits its echo replies,
// at about the rate the twin's replies came at.
Measurement::Limit Measurement::lossByPackets(const Plan& original) {
    const avl_stream& s = streams_.back();
    const double share = static_cast<double>(s.lost) / s.packets;
    Plan p = original;
    p.kind = AVL_KIND_PROBE;
    p.bytes = kSmallBytes;
    const Outcome twin = stream(p);
    if (!twin.sent) return Limit::Stopped;
    const int packets = p.packets();
    if (1.0 - static_cast<double>(twin.receivedAll) / packets < std::max(0.5 * share, 2 * baseLoss(0))) {
        bytesLost_ = true;  // once is enough: what is lost is bytes
        return Limit::Bytes;
    }
    takeLimit();
    return Limit::Packets;
}

// The size of the packets of streams sent at rates up to fastest: small
// enough for many of them in a stream, large enough that the sender keeps up
// and that a limit on echo replies is not reached.
int Measurement::packetSizeFor(double fastest) const {
    if (o_.packet_bytes > 0) return o_.packet_bytes;
    // A policer checks each packet against the bytes it has in hand: small
    // packets spaced evenly would find room where others' large ones,
    // arriving together, do not, and take their share.  Packets as large as
    // theirs lose alike.
    if (policed_) return kCapacityBytes;
    double bytes = std::clamp(fastest * kMinGapUs / 8e6, 400.0, 1500.0);
    if (limitPps_ > 0) bytes = std::clamp(std::ceil(fastest / (8 * kLimitMargin * limitPps_)), bytes, 1500.0);
    return static_cast<int>(bytes);
}

// Packets for the streams up to the capacity, the fastest rate streams may
// be sent at (less under a limit on echo replies), and the automatic budget.
void Measurement::choosePacketSize(double fastest) {
    packetBytes_ = packetSizeFor(fastest);
    ceiling_ = capacity_;
    if (limitPps_ > 0) ceiling_ = std::min(capacity_, kLimitMargin * limitPps_ * packetBytes_ * 8);
    r_->packet_bytes = packetBytes_;
    if (automaticBytes_) {  // room for ten streams of the time scale at the capacity, both ways
        const double seconds = o_.timescale_s > 0 ? o_.timescale_s : kMinStreamSeconds;
        o_.max_bytes = std::max<int64_t>(o_.max_bytes, std::llround(10 * 2 * seconds * capacity_ / 8));
        automaticBytes_ = false;  // set once, from the capacity the train read
    }
}

// The first guess: what one stream at the ceiling gets through,
// C - Rin (C / Rout - 1) on a FIFO bottleneck, and never more than Rout (a
// narrow link before a loaded one makes that formula fail).  A stream there
// that rises also bounds the answer from above.
double Measurement::firstGuess(double* above) {
    double guess = ceiling_;
    Outcome g;
    double rate = ceiling_;
    for (int raised = 0; !stopped_; ++raised) {
        Outcome o;
        for (int tries = 0; tries <= kRetries && !stopped_; ++tries) {
            o = stream(plan(AVL_KIND_GUESS, 0, rate, packetsAt(rate), packetBytes_, true));
            if (!o.isVoid) break;
        }
        // A stream above the capacity that neither queued nor lost: the
        // train read the capacity low (a shaper's timer spaces replies
        // unevenly at high rates), and the path carried that much.
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
            guess = capacity_ - g.sentRate * (capacity_ / g.outRate - 1);
            if (!(guess > 0 && guess < g.outRate)) guess = g.outRate;
        }
        if (g.verdict == AVL_RISING) *above = g.sentRate;
        delayRises_ += g.rose;
        outRate_ = g.outRate;
    }
    return std::clamp(guess, capacity_ / 20, ceiling_);
}

// Streams at one rate vote: rising says the rate is above what is free, flat
// below.  A disagreement brings one more stream; what stays undecided is grey.
// A rising stream also points at where the free rate is: one that rises by
// rho over its length L at rate R puts it at R - C rho / L (a policer's
// loss, at what it let through).
Vote Measurement::vote(int round, double rate, int wanted, double* achieved, double* pointer) {
    const int packets = packetsAt(rate);
    int rising = 0, flat = 0, cast = 0, tries = 0;
    std::vector<double> rates, pointers;
    while (cast < wanted || (rising == flat && cast < wanted + 1)) {
        const Plan p = plan(AVL_KIND_SEARCH, round, rate, packets, packetBytes_, true);
        const Outcome out = stream(p);
        if (!out.sent) return Vote::Stopped;
        if (out.lossy && limitPps_ == 0 && !policed_ && !bytesLost_ && !out.isVoid) {
            const size_t lossyStream = streams_.size() - 1;
            const Limit limit = lossByPackets(p);
            if (limit == Limit::Stopped) return Vote::Stopped;
            if (limit == Limit::Packets) {
                streams_[lossyStream].void_stream = 1;  // its loss was the limit's
                losses_.clear();  // what streams lost so far was the host's limit, not the path's
                choosePacketSize(capacity_);  // as large as the capacity needs under the limit
                return Vote::Again;
            }
        }
        if (out.isVoid) {
            if (++tries > kRetries * wanted) break;
            continue;
        }
        ++cast;
        rates.push_back(out.sentRate);
        // Under a limit on echo replies, loss alone may be the limit's: it
        // does not say the rate is above what is free.
        const int verdict = limitPps_ > 0 && out.byLoss ? AVL_FLAT : out.verdict;
        rising += verdict == AVL_RISING;
        flat += verdict == AVL_FLAT;
        delayRises_ += out.rose;
        if (verdict == AVL_RISING && out.span > 0)
            pointers.push_back(out.byLoss ? out.outRate : out.sentRate - capacity_ * out.rise / out.span);
        if (cast >= wanted && rising != flat) break;
    }
    if (cast == 0) {
        stop("the sender could not keep to its schedule (is the machine busy?)", AVL_FAIL_SENDER);
        return Vote::Stopped;
    }
    *achieved = median_of(rates);
    *pointer = median_of(pointers);
    if (rising > flat) return Vote::Above;
    if (flat > rising) return Vote::Below;
    return Vote::Grey;
}

// One round: narrows a range [below, above] around the free rate until it is
// within the resolution.  It first looks for a single stream that rises, a
// step above start and higher while they stay flat: far from the free rate
// one stream tells, and a rising one points at it.  Then streams vote just
// below and just above that point, so that two votes that go as expected
// close the range; a vote that does not moves the point, to what its rising
// streams point at or by a step that doubles.  above, when not 0, is a rate
// already known to be above.  Returns false when no vote was had.
bool Measurement::search(int round, double start, double above, avl_round* range) {
    const double floor = std::max(capacity_ / 100, 64000.0);
    const double half = 1 + o_.resolution / 2;
    double below = 0;  // the highest rate voted below; 0: none (above likewise)
    double point = std::clamp(start, floor, ceiling_);
    double step = kFirstStep;
    bool pointed = false, any = false;
    for (;;) {
        if (below > 0 && above > 0 && above <= below * (1 + o_.resolution)) {
            range->complete = 1;
            break;
        }
        // Keep the point inside what is known, then take the side of it that
        // is not known yet.
        if (above > 0) point = std::min(point, above / half);
        if (below > 0) point = std::max(point, below * half);
        // (A rate is sent a little off the one asked for: a side within 2 %
        // of its mark has been voted on.)
        double rate;
        if (!pointed) rate = point * (1 + step);
        else if (below < point / half / kSent) rate = point / half;
        else if (above == 0 || above > point * half * kSent) rate = point * half;
        else rate = std::sqrt(below * above);
        if (above > 0 && !pointed) rate = std::min(rate, std::sqrt(std::max(below, point) * above));
        // The guess stream's replies came no faster than what was free (on
        // a FIFO bottleneck they come faster only below it): the first step
        // up need not go past their rate, which a narrow link before the
        // loaded one also keeps below its capacity.
        if (!pointed && round == 1 && outRate_ > 0) rate = std::min(rate, std::max(outRate_, point));
        rate = std::clamp(rate, floor, ceiling_);
        double sent = rate, pointer = 0;
        const Vote v = vote(round, rate, pointed ? std::max(1, o_.streams_per_rate) : 1, &sent, &pointer);
        if (v == Vote::Stopped) break;
        if (v == Vote::Again) continue;
        any = true;
        // What was voted on is the rate really sent, a little off the one asked for.
        if (v == Vote::Grey) {
            // Neither clearly above nor below: the answer is about here.
            below = sent / half;
            above = sent * half;
            range->complete = 1;
            break;
        }
        if (v == Vote::Above) {
            above = above > 0 ? std::min(above, sent) : sent;
            if (rate <= floor) {
                // Less than the floor is free: about nothing, or others'
                // bursts made every stream rise.  Only another round that
                // comes down here too tells which; this one counts as cut
                // short.
                below = 0;
                break;
            }
            // A pointer moves the point at most as far as four first steps:
            // a burst of others within a stream can make it rise too much.
            if (pointer > 0 && pointer < sent) point = std::max(pointer, sent / (1 + 4 * kFirstStep));
            else point = sent / (1 + step), step *= 2;
            pointed = true;
        } else {
            below = std::max(below, sent);
            if (rate >= ceiling_) {  // all that streams may carry is free
                above = std::max(below, ceiling_) * half;
                range->complete = 1;
                break;
            }
            if (rate > point) {
                // Halve the range, but never jump further than the step: a
                // range that reaches up to the capacity says little.
                point = std::min(above > 0 ? std::sqrt(below * above) : ceiling_, sent * (1 + step));
                step *= 2;
            }
        }
        below_ = std::max(below_, below);
        estimate_ = point;
    }
    if (!any) return false;
    range->low_bps = std::min(below, above > 0 ? above : below);
    range->high_bps = std::max(below, above);
    if (below > 0 && above == 0) range->high_bps = 0;  // cut short before any rate was voted above
    return true;
}

// The rounds' ranges as fuzzy intervals: each widened by half the resolution
// on either side, united; the interval most rounds fall into is the answer.
bool Measurement::combine() {
    std::vector<const avl_round*> counted;
    for (const avl_round& q : rounds_)
        if (q.complete) counted.push_back(&q);
    if (counted.empty())  // only rounds a budget cut short: those with both ends known
        for (const avl_round& q : rounds_)
            if (q.low_bps > 0 && q.high_bps > 0) counted.push_back(&q);
    if (counted.empty()) return false;
    const float fuzz = static_cast<float>(o_.resolution / 2);
    std::vector<Set*> bases;
    Set* all = nullptr;
    for (const avl_round* q : counted) {
        // An interval [low, high] is the value (low + high) / 2 widened by
        // (high - low) / (high + low); the widening by fuzz follows.
        const float mid = static_cast<float>((q->low_bps + q->high_bps) / 2);
        const float half = static_cast<float>((q->high_bps - q->low_bps) / (q->high_bps + q->low_bps));
        Set* s = createSet(&mid, 1, half + fuzz);
        bases.push_back(s);
        Set* empty = all == nullptr ? makeSet() : nullptr;
        Set* u = unionSets(all != nullptr ? all : empty, s);
        destroySet(all != nullptr ? all : empty);
        all = u;
    }
    Set* peakSet = nullptr;
    int peak = 0, support = 0;
    findPeakInSet(all, &peakSet, &peak, &support);
    // Among equally supported intervals, the one holding the latest round.
    const Element* chosen = peakSet != nullptr ? peakSet->head : nullptr;
    for (const Element* e = chosen; e != nullptr; e = e->next)
        for (const SetIDList* id = e->setIDs; id != nullptr; id = id->next)
            if (id->set == reinterpret_cast<uintptr_t>(bases.back())) chosen = e;
    // The answer: the rounds in that interval, their middles' median and the
    // hull of their ranges as they were measured (not widened), none of it
    // above the capacity.
    std::vector<double> mids;
    if (chosen != nullptr) {
        r_->low_bps = capacity_;
        r_->high_bps = 0;
        for (size_t i = 0; i < bases.size(); ++i)
            for (const SetIDList* id = chosen->setIDs; id != nullptr; id = id->next)
                if (id->kind == BASE && id->set == reinterpret_cast<uintptr_t>(bases[i])) {
                    mids.push_back((counted[i]->low_bps + counted[i]->high_bps) / 2);
                    r_->low_bps = std::min(r_->low_bps, counted[i]->low_bps);
                    r_->high_bps = std::max(r_->high_bps, counted[i]->high_bps);
                }
    }
    r_->support = static_cast<int>(mids.size());
    r_->rounds = static_cast<int>(counted.size());
    r_->available_bps = std::min(median_of(mids), capacity_);
    r_->low_bps = std::min(r_->low_bps, capacity_);
    r_->high_bps = std::min(r_->high_bps, capacity_);
    destroySet(peakSet);
    destroySet(all);
    for (Set* s : bases) destroySet(s);
    return true;
}

// Rounds until enough of them agree.  The first starts from the first guess,
// each later one from the answer so far; each finds its own rising stream
// and its own votes, so that it does not repeat the last round's.
void Measurement::searchRounds(double guess, double above) {
    double start = guess;
    for (int round = 1; round <= o_.max_rounds && !stopped_ && r_->support < kEnoughSupport; ++round) {
        avl_round range{};
        if (!search(round, start, above, &range)) break;
        rounds_.push_back(range);
        combine();  // the answer so far, and how many rounds agree on it
        start = r_->available_bps > 0 ? r_->available_bps
                : range.high_bps > 0  ? (range.low_bps + range.high_bps) / 2
                                      : range.low_bps;
        above = 0;
        publish();
    }
}

// Ends without an estimate, for why.
int Measurement::noEstimate(const std::string& why, int failure) {
    std::snprintf(r_->reason, sizeof r_->reason, "%s", why.c_str());
    r_->failure = failure;
    stopped_ = true;
    r_->available_bps = r_->low_bps = r_->high_bps = 0;
    r_->support = 0;
    return AVL_NO_ESTIMATE;
}

// The answer, or why there is none.
int Measurement::conclude() {
    // A path that loses much even at low rates cannot be judged by its loss.
    double lowest = 0;
    int packets = 0;
    const double loss = lowRateLoss(&lowest, &packets);
    if (packets >= 100 && loss > kMaxBaseLoss)
        return noEstimate("too much loss: the path lost " + printed("%.0f", 100 * loss) + " % of the packets even at " +
                          (lowest > 0 ? printed("%.3g", lowest / 1e6) + " Mbit/s" : "a low rate"),
                          AVL_FAIL_LOSS);
    if (rounds_.empty()) {
        if (r_->budget_reached) {
            const std::string why = std::string("budget too small: ") + r_->reason + " before any rate was judged";
            std::snprintf(r_->reason, sizeof r_->reason, "%s", why.c_str());
        }
        stop("no stream could be judged", AVL_FAIL_BUDGET);
        return AVL_NO_ESTIMATE;
    }
    // What ended the rounds, for the reasons below.
    const std::string ended = r_->reason[0] != '\0' ? r_->reason : "the rounds ended";
    if (!combine()) {
        // Only one side of the answer is known: say which.
        double below = 0, above = 0;
        for (const avl_round& q : rounds_) below = std::max(below, q.low_bps);
        for (const avl_round& q : rounds_)
            if (q.high_bps > 0) above = above > 0 ? std::min(above, q.high_bps) : q.high_bps;
        const std::string known = above > 0 ? "less than " + printed("%.3g", above / 1e6) + " Mbit/s free"
                                            : "more than " + printed("%.3g", below / 1e6) + " Mbit/s free";
        const std::string why = ended + " before the free rate was bracketed (" + known + ")";
        std::snprintf(r_->reason, sizeof r_->reason, "%s", why.c_str());
        if (r_->failure == AVL_FAIL_NONE) r_->failure = r_->budget_reached ? AVL_FAIL_BUDGET : AVL_FAIL_UNSTEADY;
        return AVL_NO_ESTIMATE;
    }
    // A policer drops what exceeds its rate wherever it comes from, and a
    // stream that arrives evenly finds room where others' bursts do not: its
    // own loss tells the policer's rate, not what the others use of it.  It
    // shows as bytes limited with no queue anywhere: at the capacity train,
    // or in a stream's loss that a twin of small packets did not share.
    if ((policed_ || bytesLost_) && delayRises_ == 0)
        return noEstimate("the bottleneck drops what exceeds its rate instead of queueing it (a policer); a stream's "
                          "own loss does not tell what others use of its " + printed("%.3g", capacity_ / 1e6) + " Mbit/s",
                          AVL_FAIL_POLICER);
    // Only rounds a budget cut short, and their range still wide: too little
    // to give a figure.
    const bool complete = std::any_of(rounds_.begin(), rounds_.end(), [](const avl_round& q) { return q.complete; });
    if (!complete && r_->high_bps > r_->low_bps * (1 + kWideRanges * o_.resolution))
        return noEstimate(ended + " before the range narrowed (" + printed("%.3g", r_->low_bps / 1e6) +
                          " to " + printed("%.3g", r_->high_bps / 1e6) + " Mbit/s free)",
                          r_->budget_reached ? AVL_FAIL_BUDGET : AVL_FAIL_UNSTEADY);
    // Under a limit on echo replies that keeps streams below the capacity, a
    // free rate at that ceiling may be more.
    if (limitPps_ > 0 && ceiling_ < 0.97 * capacity_ && r_->available_bps * (1 + o_.resolution) >= ceiling_) {
        const double bound = ceiling_;
        const int status = noEstimate("the host limits its echo replies to about " + printed("%.0f", limitPps_) +
                          " a second, too few to measure more than " + printed("%.3g", ceiling_ / 1e6) + " Mbit/s",
                          AVL_FAIL_ECHO_LIMIT);
        r_->lower_bound_bps = bound;
        return status;
    }
    const double rate = r_->available_bps;
    r_->timescale_s = rate > 0 ? packetsAt(rate) * packetBytes_ * 8.0 / rate : 0;
    if (!r_->budget_reached && !failed_) r_->reason[0] = '\0';
    r_->failure = AVL_FAIL_NONE;
    return 0;
}

int Measurement::run() {
    if (!contact() || !readCapacity()) return AVL_NO_ESTIMATE;
    choosePacketSize(capacity_);
    double above = 0;
    const double guess = firstGuess(&above);
    // The capacity may have been read anew: packets for it.  (Smaller ones
    // for the rates searched would sample a queue more often, but more
    // packets a second load the routers' processors, whose own queues then
    // show as rises.)
    choosePacketSize(capacity_);
    estimate_ = guess;
    searchRounds(guess, above);
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
    o->streams_per_rate = 2;
    o->resolution = 0.06;
    o->max_rounds = 6;
    o->family = AVL_FAMILY_ANY;
}

// Options a measurement can be run with (null: the defaults).
static bool valid_options(const avl_options* p) {
    if (p == nullptr) return true;
    const avl_options& o = *p;
    return o.max_bytes >= 0 && o.max_seconds >= 0 && o.max_seconds <= 3600 && o.timescale_s >= 0 &&
           o.timescale_s <= 10 && (o.packet_bytes == 0 || (o.packet_bytes >= 64 && o.packet_bytes <= 1500)) &&
           o.stream_bytes >= 64 * kMinPackets && o.stream_bytes <= 1500 * kMaxStreamPackets && o.streams_per_rate >= 1 &&
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
