// SPDX-License-Identifier: MIT
// estimate.cpp - the measurement: the capacity from a back-to-back train, a
// first guess from one stream's input and output rates, rounds of a search
// that narrows [low, high] with voting streams until three rounds agree, and
// the rounds combined as fuzzy intervals.  Streams go out through a sender
// function, so the same code runs on a real path and on a simulated one.
#include "availest.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ovintra.h"
#include "tamsel_stream.h"

namespace {

constexpr int kIcmpIpHeader = 28;      // IP header without options, ICMP header
constexpr int kCapacityPackets = 16;   // the back-to-back train
constexpr int kCapacityBytes = 1500;
constexpr int kMinPackets = 20;        // shortest stream, also with a short time scale
constexpr double kMinGapUs = 50;       // closest spacing of stream packets at the capacity
// Shortest and longest stream without a time scale; the automatic byte
// budget is ten of the shortest at the capacity.
constexpr double kMinStreamSeconds = 0.004;
constexpr double kMaxStreamSeconds = 0.03;
constexpr int kEnoughSupport = 3;      // rounds that agree end the measurement
constexpr double kStampJitter = 20e-6;  // seconds
constexpr double kShortestGroup = 0.001;  // seconds
constexpr double kSecondsPerTimescale = 40;  // automatic time budget with a time scale
constexpr int kLeadBytes = 4500;       // sent back to back before a stream's rate part
constexpr int kMaxStreamPackets = 4096;
constexpr int kRetries = 2;            // new tries for a stream whose sender fell behind
constexpr double kFirstStep = 0.12;    // first move from the first guess; each further move doubles

double monotonic() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

void pause_for(double seconds) {
    if (seconds <= 0) return;
    timespec ts{static_cast<time_t>(seconds), static_cast<long>((seconds - std::floor(seconds)) * 1e9)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

double median_of(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// What one stream gave, besides its record.
struct Outcome {
    bool sent = false;      // false: a budget or the sender stopped it
    int verdict = AVL_UNCLEAR;
    bool isVoid = false;
    double sentRate = 0;    // achieved, IP bits per second
    double outRate = 0;     // rate of the replies' arrivals, IP bits per second
    double minDelay = 0, lastDelay = 0;  // seconds
    int received = 0;
};

// The vote on one rate.
enum class Vote { Above, Below, Grey, Stopped };

class Measurement {
public:
    Measurement(avl_send_fn send, void* sendContext, const avl_options& o, avl_result* r,
                avl_progress_fn progress, void* progressContext)
        : send_(send), sendContext_(sendContext), o_(o), r_(r), progress_(progress),
          progressContext_(progressContext), start_(monotonic()), automaticBytes_(o_.max_bytes == 0) {
        if (automaticBytes_) o_.max_bytes = 1000000;
        // Time for a few rounds of long streams with their pauses.
        if (o_.max_seconds == 0) o_.max_seconds = std::max(1.0, kSecondsPerTimescale * o_.timescale_s);
    }

    int run();
    void handOver();

private:
    Outcome stream(int kind, int round, double rate, int packets, int bytes);
    Vote vote(int round, double rate, double* achieved);
    bool search(int round, double start, double step, double above, avl_round* range);
    bool combine();
    bool budgetAllows(double rate, int packets, int bytes);
    void stop(const char* why);
    int packetsAt(double rate) const;
    void publish();

    avl_send_fn send_;
    void* sendContext_;
    avl_options o_;
    avl_result* r_;
    avl_progress_fn progress_;
    void* progressContext_;
    double start_;
    bool automaticBytes_;
    std::vector<avl_stream> streams_;
    std::vector<avl_round> rounds_;
    double capacity_ = 0;
    int packetBytes_ = 0;  // of the streams after the capacity train
    int waitMs_ = 1000;
    bool stopped_ = false;
    bool failed_ = false;  // the sender itself failed
};

int Measurement::packetsAt(double rate) const {
    const auto lasting = [&](double seconds) { return std::ceil(seconds * rate / (8.0 * packetBytes_)); };
    // With no time scale asked for: stream_bytes, but at least a few
    // milliseconds, so that cross traffic sent in bursts every millisecond
    // averages out, and at most some tens, so that slow paths are measured
    // in a second too.
    const double n = o_.timescale_s > 0
                         ? lasting(o_.timescale_s)
                         : std::clamp(std::round(static_cast<double>(o_.stream_bytes) / packetBytes_),
                                      lasting(kMinStreamSeconds), lasting(kMaxStreamSeconds));
    return static_cast<int>(std::clamp(n, double{kMinPackets}, double{kMaxStreamPackets}));
}

void Measurement::stop(const char* why) {
    if (!stopped_) std::snprintf(r_->reason, sizeof r_->reason, "%s", why);
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
}

// Whether a stream of this shape still fits the byte and time budgets.
bool Measurement::budgetAllows(double rate, int packets, int bytes) {
    if (stopped_) return false;
    const int64_t cost = 2 * int64_t{packets} * bytes;
    if (r_->probe_bytes + cost > o_.max_bytes) {
        r_->budget_reached = 1;
        stop("byte budget reached");
        return false;
    }
    const double length = rate > 0 ? packets * bytes * 8.0 / rate : 0;
    if (monotonic() - start_ + length > o_.max_seconds) {
        r_->budget_reached = 1;
        stop("time budget reached");
        return false;
    }
    return true;
}

void Measurement::publish() {
    r_->streams = streams_.data();
    r_->nstreams = static_cast<int>(streams_.size());
    r_->round_ranges = rounds_.data();
    r_->nrounds = static_cast<int>(rounds_.size());
    r_->duration_s = monotonic() - start_;
    if (progress_ != nullptr) progress_(progressContext_, r_);
}

// Sends one stream of packets of bytes IP bytes at rate (0: back to back),
// keeps its record and judges it; then lets the queue it built drain.
Outcome Measurement::stream(int kind, int round, double rate, int packets, int bytes) {
    Outcome out;
    // A stream at a rate opens with a few packets back to back: they use up
    // the credit of a token bucket on the path, which would otherwise let the
    // first part of a stream above the free rate through unqueued.  The trend
    // is judged on the packets at the rate that follow.
    const int lead = rate > 0 ? (kLeadBytes + bytes - 1) / bytes : 0;
    packets += lead;
    if (!budgetAllows(rate, packets, bytes)) return out;
    std::vector<int64_t> at(packets), depart(packets), arrive(packets);
    const double gapUs = rate > 0 ? bytes * 8e6 / rate : 0;
    for (int i = 0; i < packets; ++i) at[i] = i < lead ? 0 : std::llround((i - lead + 1) * gapUs);
    const double began = monotonic() - start_;
    const int got = send_(sendContext_, packets, bytes - kIcmpIpHeader, at.data(), depart.data(), arrive.data(),
                          waitMs_);
    if (got < 0) {
        failed_ = true;
        const std::string why = std::string("sending a stream failed: ") +
                                (got == TSL_STREAM_ERR_SEND ? std::strerror(errno) : tsl_stream_strerror(got));
        stop(why.c_str());
        return out;
    }
    out.sent = true;
    r_->probe_bytes += int64_t{packets} * bytes + int64_t{got} * bytes;

    avl_stream s{};
    s.round = round;
    s.kind = kind;
    s.rate_bps = rate;
    s.start_s = began;
    s.packets = packets;
    s.lead = lead;
    s.packet_bytes = bytes;
    s.depart_s = new double[packets];
    s.delay_s = new double[packets];
    for (int i = 0; i < packets; ++i) {
        s.depart_s[i] = (depart[i] - depart[0]) / 1e6;
        const bool lost = arrive[i] == TSL_STREAM_LOST;
        s.delay_s[i] = lost ? -1 : (arrive[i] - depart[i]) / 1e6;
        s.lost += lost;
    }
    // The part of the stream that left on schedule.  A stall of the sender
    // (another process had the processor) lets the queue drain, so the stream
    // is cut at every stall and its longest part judged; a part too short
    // proves nothing.
    int from = 0, to = packets;
    if (rate > 0) {
        int partFrom = lead, longest = 0;
        for (int i = lead + 1; i <= packets; ++i) {
            if (i < packets && (depart[i] - depart[i - 1]) - (at[i] - at[i - 1]) <= std::max(50.0, 2 * gapUs))
                continue;
            if (i - partFrom > longest) longest = i - partFrom, from = partFrom;
            partFrom = i;
        }
        to = from + longest;
        out.isVoid = longest < std::max(kMinPackets, (3 * (packets - lead) + 4) / 5);
    }
    std::vector<double> delays;
    int lost = 0, firstSeen = -1, lastSeen = -1;
    for (int i = from; i < to; ++i) {
        if (s.delay_s[i] < 0) {
            ++lost;
            continue;
        }
        delays.push_back(s.delay_s[i]);
        if (firstSeen < 0) firstSeen = i;
        lastSeen = i;
    }
    out.received = static_cast<int>(delays.size());
    const double span = (depart[to - 1] - depart[from]) / 1e6;
    out.sentRate = span > 0 ? (to - from - 1) * bytes * 8.0 / span : 0;
    s.sent_rate_bps = out.sentRate;
    if (lastSeen > firstSeen && arrive[lastSeen] > arrive[firstSeen])
        out.outRate = (out.received - 1) * bytes * 8.0 / ((arrive[lastSeen] - arrive[firstSeen]) / 1e6);
    if (kind != AVL_KIND_CAPACITY) {
        avl_trend t;
        // Steps below half a packet's time on the bottleneck, and below the
        // jitter of the receive stamps, are none.
        const double tolerance = std::min(0.5 * bytes * 8.0 / capacity_, kStampJitter);
        // A group spans at least a millisecond, the period of the most
        // common bursts of cross traffic (timers, pacing).
        const int groups = static_cast<int>(span / kShortestGroup);
        out.verdict = avl_judge_delays(delays.data(), out.received, lost, std::max(1, groups), tolerance, &t);
    }
    s.verdict = out.verdict;
    s.void_stream = out.isVoid;
    if (!delays.empty()) {
        out.minDelay = *std::min_element(delays.begin(), delays.end());
        out.lastDelay = delays.back();
    }
    streams_.push_back(s);
    publish();
    // What this stream queued drains before the next one starts.
    const double length = rate > 0 ? packets * bytes * 8.0 / rate : 0;
    pause_for(std::clamp(2 * (out.lastDelay - out.minDelay), 0.001, std::max(0.001, 2 * length)));
    return out;
}

// Streams at one rate vote: rising says the rate is above what is free, flat
// below.  A disagreement brings one more stream; what stays undecided is grey.
Vote Measurement::vote(int round, double rate, double* achieved) {
    const int packets = packetsAt(rate);
    int rising = 0, flat = 0, cast = 0, tries = 0;
    std::vector<double> rates;
    const int wanted = std::max(1, o_.streams_per_rate);
    while (cast < wanted || (rising == flat && cast < wanted + 1)) {
        const Outcome out = stream(AVL_KIND_SEARCH, round, rate, packets, packetBytes_);
        if (!out.sent) return Vote::Stopped;
        if (out.isVoid) {
            if (++tries > kRetries * wanted) break;
            continue;
        }
        ++cast;
        rates.push_back(out.sentRate);
        rising += out.verdict == AVL_RISING;
        flat += out.verdict == AVL_FLAT;
        if (cast >= wanted && rising != flat) break;
    }
    if (cast == 0) {
        stop("the sender could not keep to its schedule (is the machine busy?)");
        return Vote::Stopped;
    }
    *achieved = median_of(rates);
    if (rising > flat) return Vote::Above;
    if (flat > rising) return Vote::Below;
    return Vote::Grey;
}

// One round: from start, moves by step (doubling with every move) until a
// rate voted below and one voted above bracket the answer, then halves the
// bracket (in ratio) until it is within the resolution.  above, when not 0,
// is a rate already known to be above.  Returns false when no vote was had.
bool Measurement::search(int round, double start, double step, double above, avl_round* range) {
    const double floor = std::max(capacity_ / 100, 64000.0);
    double below = 0;  // the highest rate voted below; 0: none (above likewise)
    double rate = std::clamp(start, floor, capacity_);
    bool any = false;
    for (;;) {
        double sent = rate;
        const Vote v = vote(round, rate, &sent);
        if (v == Vote::Stopped) break;
        any = true;
        // What was voted on is the rate really sent, a little below the one asked for.
        if (v == Vote::Above) above = above > 0 ? std::min(above, sent) : sent;
        if (v == Vote::Below) below = std::max(below, sent);
        if (v == Vote::Grey) {
            // Neither clearly above nor below: the answer is about here.
            below = sent / (1 + o_.resolution / 2);
            above = sent * (1 + o_.resolution / 2);
            range->complete = 1;
            break;
        }
        if (below > 0 && above > 0) {
            if (above <= below * (1 + o_.resolution)) {
                range->complete = 1;
                break;
            }
            // Halve the bracket, but never jump further than the step: a
            // bracket that reaches up to the capacity says little.
            rate = v == Vote::Above ? std::max(std::sqrt(below * above), rate / (1 + step))
                                    : std::min(std::sqrt(below * above), rate * (1 + step));
            step *= 2;
            continue;
        }
        if (v == Vote::Above) {
            if (rate <= floor) {  // less than the floor is free: about nothing
                range->complete = 1;
                break;
            }
            rate = std::max(floor, rate / (1 + step));
        } else {
            if (rate >= capacity_) {  // all of the capacity is free
                above = capacity_ * (1 + o_.resolution / 2);
                below = std::max(below, capacity_ / (1 + o_.resolution / 2));
                range->complete = 1;
                break;
            }
            rate = std::min(capacity_, rate * (1 + step));
        }
        step *= 2;
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
    // hull of their ranges as they were measured (not widened).
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
    r_->available_bps = median_of(mids);
    destroySet(peakSet);
    destroySet(all);
    for (Set* s : bases) destroySet(s);
    return true;
}

int Measurement::run() {
    // The capacity, from the spacing of a back-to-back train's replies.
    waitMs_ = 1000;
    const Outcome train = stream(AVL_KIND_CAPACITY, 0, 0, kCapacityPackets, kCapacityBytes);
    if (!train.sent) return AVL_NO_ESTIMATE;
    const avl_stream& cap = streams_.back();
    std::vector<double> gaps;
    double previous = -1;
    for (int i = 0; i < cap.packets; ++i) {
        if (cap.delay_s[i] < 0) continue;
        const double arrival = cap.depart_s[i] + cap.delay_s[i];
        if (previous >= 0 && i > 1 && arrival > previous) gaps.push_back(arrival - previous);
        previous = arrival;
    }
    if (train.received == 0) {
        stop("the host did not answer");
        return AVL_NO_ESTIMATE;
    }
    if (train.received < kCapacityPackets / 2 || gaps.size() < 4) {
        stop("too much loss: most of the capacity train's replies were lost");
        return AVL_NO_ESTIMATE;
    }
    capacity_ = kCapacityBytes * 8.0 / median_of(gaps);
    r_->capacity_bps = capacity_;
    // Packets small enough for many of them in a stream, large enough that
    // the sender keeps up at the capacity.
    packetBytes_ = o_.packet_bytes > 0
                       ? o_.packet_bytes
                       : static_cast<int>(std::clamp(capacity_ * kMinGapUs / 8e6, 400.0, 1500.0));
    if (automaticBytes_) {  // room for ten streams of the time scale at the capacity, both ways
        const double seconds = o_.timescale_s > 0 ? o_.timescale_s : kMinStreamSeconds;
        o_.max_bytes = std::max<int64_t>(o_.max_bytes, std::llround(10 * 2 * seconds * capacity_ / 8));
    }
    // Long enough for replies held up behind a full queue, short enough not
    // to wait long for a lost one.
    waitMs_ = static_cast<int>(std::clamp(1000 * (4 * train.minDelay) + 50, 50.0, 1000.0));

    // The first guess: what one stream at the capacity gets through.  A
    // stream at the capacity that rises also bounds the answer from above.
    double guess = capacity_, above = 0;
    Outcome g;
    for (int tries = 0; tries <= kRetries && !stopped_; ++tries) {
        g = stream(AVL_KIND_GUESS, 0, capacity_, packetsAt(capacity_), packetBytes_);
        if (!g.isVoid) break;
    }
    if (g.sent && !g.isVoid && g.outRate > 0 && g.sentRate > 0) {
        if (g.outRate < 0.97 * g.sentRate) guess = capacity_ - g.sentRate * (capacity_ / g.outRate - 1);
        if (g.verdict == AVL_RISING) above = g.sentRate;
    }
    guess = std::clamp(guess, capacity_ / 20, capacity_);

    // Rounds, each from where the last one ended, until enough of them agree.
    double start = guess, step = kFirstStep;
    for (int round = 1; round <= o_.max_rounds && !stopped_ && r_->support < kEnoughSupport; ++round) {
        avl_round range{};
        if (!search(round, start, step, above, &range)) break;
        rounds_.push_back(range);
        combine();  // the answer so far, and how many rounds agree on it
        start = range.high_bps > 0 ? (range.low_bps + range.high_bps) / 2 : range.low_bps;
        step = o_.resolution;
        above = 0;
        publish();
    }
    if (rounds_.empty()) {
        if (r_->budget_reached) {
            const std::string why = std::string("budget too small: ") + r_->reason + " before any rate was judged";
            std::snprintf(r_->reason, sizeof r_->reason, "%s", why.c_str());
        }
        stop("no stream could be judged");
        return AVL_NO_ESTIMATE;
    }
    if (!combine()) {
        // Only one side of the answer is known: say which.
        double below = 0, above = 0;
        for (const avl_round& q : rounds_) below = std::max(below, q.low_bps);
        for (const avl_round& q : rounds_)
            if (q.high_bps > 0) above = above > 0 ? std::min(above, q.high_bps) : q.high_bps;
        char known[80];
        if (above > 0) std::snprintf(known, sizeof known, "less than %.3g Mbit/s free", above / 1e6);
        else std::snprintf(known, sizeof known, "more than %.3g Mbit/s free", below / 1e6);
        const std::string why = std::string(r_->reason) + " before the free rate was bracketed (" + known + ")";
        std::snprintf(r_->reason, sizeof r_->reason, "%s", why.c_str());
        return AVL_NO_ESTIMATE;
    }
    const double rate = r_->available_bps;
    r_->timescale_s = rate > 0 ? packetsAt(rate) * packetBytes_ * 8.0 / rate : 0;
    if (!r_->budget_reached && !failed_) r_->reason[0] = '\0';
    return 0;
}

}  // namespace

extern "C" void avl_default_options(avl_options* o) {
    o->max_bytes = 0;
    o->max_seconds = 0;
    o->timescale_s = 0;
    o->packet_bytes = 0;
    o->stream_bytes = 40000;
    o->streams_per_rate = 2;
    o->resolution = 0.06;
    o->max_rounds = 6;
}

// Options a measurement can be run with (null: the defaults).
static bool valid_options(const avl_options* p) {
    if (p == nullptr) return true;
    const avl_options& o = *p;
    return o.max_bytes >= 0 && o.max_seconds >= 0 && o.max_seconds <= 3600 && o.timescale_s >= 0 &&
           o.timescale_s <= 10 && (o.packet_bytes == 0 || (o.packet_bytes >= 64 && o.packet_bytes <= 1500)) &&
           o.stream_bytes >= 64 * kMinPackets && o.stream_bytes <= 1500 * kMaxStreamPackets && o.streams_per_rate >= 1 &&
           o.streams_per_rate <= 9 && o.resolution > 0.005 && o.resolution < 1 && o.max_rounds >= 1 &&
           o.max_rounds <= 100;
}

extern "C" int avl_measure_with(avl_send_fn send, void* sendContext, const char* address, const avl_options* options,
                                avl_result* result, avl_progress_fn progress, void* context) {
    if (result == nullptr) return AVL_ERR_OPTIONS;
    *result = avl_result{};
    if (!valid_options(options)) return AVL_ERR_OPTIONS;
    if (send == nullptr) return AVL_ERR_OPTIONS;
    avl_options o;
    avl_default_options(&o);
    if (options != nullptr) o = *options;
    std::snprintf(result->address, sizeof result->address, "%s", address != nullptr ? address : "");
    Measurement m(send, sendContext, o, result, progress, context);
    const int status = m.run();
    m.handOver();  // the streams and rounds now belong to the result
    return status;
}

extern "C" void avl_free_result(avl_result* r) {
    if (r == nullptr) return;
    for (int i = 0; i < r->nstreams; ++i) {
        delete[] r->streams[i].depart_s;
        delete[] r->streams[i].delay_s;
    }
    delete[] r->streams;
    delete[] r->round_ranges;
    *r = avl_result{};
}
