// SPDX-License-Identifier: MIT
// prober_steps.cpp - the steps that learn the path before the search: a few
// echo requests for the round trip and the loss at a low rate, the capacity
// from a back-to-back train, a check for a host that limits its echo replies
// or a policer, the packet size, and the first guess at the free rate.
#include <algorithm>
#include <cmath>
#include <vector>

#include "prober.h"
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

// Adds to gaps the spacing of the replies to consecutive packets of a stream
// sent faster than the bottleneck passes it (the first pair aside: a token
// bucket on the path may let the first packet through at once).
void replyGaps(const avl_stream& s, std::vector<double>* gaps) {
    for (int i = 2; i < s.packets; ++i) {
        if (s.delay_s[i] < 0 || s.delay_s[i - 1] < 0) continue;
        const double gap = (s.depart_s[i] + s.delay_s[i]) - (s.depart_s[i - 1] + s.delay_s[i - 1]);
        if (gap > 0) gaps->push_back(gap);
    }
}

// Whether a stream's replies came in over a longer time than the requests
// they answer left in (those of the first and last reply): a policer passes
// a packet at once or drops it, and only a queue spreads a stream out.
bool spreadOut(const avl_stream& s) {
    int first = -1, last = -1;
    for (int i = 0; i < s.packets; ++i) {
        if (s.delay_s[i] < 0) continue;
        if (first < 0) first = i;
        else last = i;
    }
    if (first < 0 || last < 0 || last - first < 2) return false;
    const double left = s.depart_s[last] - s.depart_s[first];
    const double came = (s.depart_s[last] + s.delay_s[last]) - (s.depart_s[first] + s.delay_s[first]);
    return left > 0 && came * kSpreadByQueue > left;
}

}  // namespace

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

// A back-to-back train of 1500-byte packets, and its replies' gaps.
Outcome Prober::capacityTrain(std::vector<double>* gaps) {
    const Outcome train = stream(plan(AVL_KIND_CAPACITY, 0, 0, kCapacityPackets, kCapacityBytes, false));
    if (train.sent) replyGaps(streams_.back(), gaps);
    return train;
}

// The capacity, from the median spacing of a back-to-back train's replies.
// Replies that stop after the first few mean that the host or a router
// before it limits echo replies, or that a policer or a short queue limits
// bytes: then the limit is measured, and the capacity read around it.
bool Prober::readCapacity() {
    std::vector<double> gaps;
    Outcome train = capacityTrain(&gaps);
    if (!train.sent) return false;
    // A queue that others' flows keep full takes a whole train now and then
    // (four flows with round trips of 20 ms through the simulator's 50
    // Mbit/s, in 1 run of 200), and so does a policer whose bucket others'
    // traffic emptied (the lab's, in 2 runs of 8, which were then told the
    // path might not carry such packets); a path that does not carry them
    // takes the next train too.
    if (train.receivedAll == 0) {
        train = capacityTrain(&gaps);
        if (!train.sent) return false;
    }
    if (train.receivedAll == 0) {
        stop(Finding(AVL_FAIL_PATH));
        return false;
    }
    // The rate the replies' median gap gives (of three gaps or more).
    const auto spacedAt = [&] { return kCapacityBytes * 8.0 / median_of(gaps); };
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
        const double spaced = gaps.size() >= 3 ? spacedAt() : train.outRate;
        bool queues = false;
        if (limit == Limit::Bytes && !(passed = passedRate(spaced, &queues))) return false;
        policed_ = limit == Limit::Bytes && !queues;
        if (queues) {
            // The rate the queue spaced the train at; where it took nearly
            // all the train, the stream that showed the queue by spreading
            // was sent far faster than it passes, and its replies' gaps tell.
            const avl_stream& last = streams_.back();
            if (gaps.size() < 3 && spreadOut(last)) replyGaps(last, &gaps);
            if (gaps.size() >= 3) passed = spacedAt();
        }
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
    capacity_ = gaps.size() >= 3 ? spacedAt() : passed;
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
// A stream that loses nothing and whose replies arrive at about the rate
// the train's gaps gave (spaced), or one whose replies came spread out over
// a longer time than their requests left in, lost packets or not, met a
// queue, not a policer: the train lost its tail to a queue others keep full
// (flows that fill it until they lose, and yield), and *queues says so.
double Prober::passedRate(double spaced, bool* queues) {
    double passed = 0;
    for (double rate = 8e6; rate <= kFastestProbe; rate *= 2) {
        const int packets = static_cast<int>(bounded(rate * kPassProbeSeconds / (8.0 * kCapacityBytes), 10.0, 400.0));
        const Outcome out = stream(plan(AVL_KIND_PROBE, 0, rate, packets, kCapacityBytes, false));
        if (!out.sent) return 0;
        if (!out.isVoid && spreadOut(streams_.back())) {
            *queues = true;
            return spaced > 0 ? spaced : streams_.back().receive_rate_bps;
        }
        double replied = 0, sent = 0;
        second_half(streams_.back(), &replied, &sent);
        if (passed > 0) return std::max(passed, replied * kCapacityBytes * 8);
        if (replied < 0.9 * sent) {
            passed = replied * kCapacityBytes * 8;
        } else if (spaced > 0 && streams_.back().receive_rate_bps >= kQueuedAtCapacity * spaced) {
            *queues = true;
            return spaced;
        }
    }
    return passed > 0 ? passed : kFastestProbe;
}

bool Prober::waitedInFullQueue(const Outcome& o, const Plan& p) const {
    return o.received > 0 && o.minDelay - rtt_ > std::max(p.seconds(), kMinStreamSeconds);
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
    // A host's limit on echo replies drops packets without holding them; a
    // queue drops them when it is full, and those it keeps wait behind all
    // it holds.  A twin whose every answered packet waited longer than it
    // took to send (kMinStreamSeconds at least) lost its own to a queue, and
    // one that got no reply at all gives no rate to read a limit from (the
    // host answered the stream before it at its rate): neither names one.
    // On-off traffic at 140 Mbit/s through 100 for 20 ms at a time, and at
    // 70 through 50, named a limit of 1 reply a second in 65 and 96
    // simulated runs of 400 so, after twins that waited 30 ms and more.
    if (twin.received == 0 || waitedInFullQueue(twin, p)) return false;
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
