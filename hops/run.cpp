// SPDX-License-Identifier: MIT
// run.cpp - the hop-by-hop search on a real path: a first probe that finds the
// hops, a back-to-back train that finds the capacity, and the sweep of paced
// trains, each sent by the stream runner with a time to live per packet.
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

#include "hops.h"

namespace hops {

namespace {

// A train that left more than this share longer than planned (the sender
// lost the processor) went out slower than its rate, and does not vote.
constexpr double kMostLateShare = 0.15;
constexpr int64_t kMostLateNs = 300000;
// Longest wait for the first probe's answers.
constexpr int64_t kProbeWaitNs = 1000000000;
// The wait after a train's last packet: a few round trips and twice the time
// it took to send, at least this and at most that.
constexpr int64_t kLeastWaitNs = 200000000, kMostWaitNs = 3000000000;

void sleepUntil(int64_t at) {
    const timespec ts = {static_cast<time_t>(at / 1000000000), static_cast<long>(at % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

double median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// IP bytes of an answer to a request of ipBytes: the echo reply is as large;
// an error quotes the request (IPv4: as far as 576 bytes in all, IPv6: 1280).
int64_t answerBytes(int kind, int ipBytes, int header) {
    if (kind == TSL_STREAM_ANSWER_NONE) return 0;
    if (kind == TSL_STREAM_ANSWER_ECHO) return ipBytes;
    const int most = header == 28 ? 576 : 1280;
    return std::min(header + ipBytes, most);
}

class Search {
public:
    Search(const Options& o, Result* r, tsl_stream_session* s) : o_(o), r_(r), s_(s) {
        header_ = tsl_stream_header_bytes(s);
        start_ = tsl_stream_clock_ns();
    }

    void run() {
        if (!probe()) return finish();
        std::vector<int64_t> lengths;
        if (!train(0, kLeastWaitNs * 5, &lengths)) return finish();
        // The capacity from the back-to-back train's length at the last hop that gave one.
        for (int h = k_; h >= 1 && r_->capacityBps == 0; --h)
            if (lengths[h] > 0) r_->capacityBps = kLoadPackets * kLoadIpBytes * 8.0 / (lengths[h] * 1e-9);
        if (r_->capacityBps == 0) {
            reason_ = "no train came back whole from any hop";
            return finish();
        }
        sweep();
        finish();
    }

private:
    // The first probe: one small request for each time to live, all at once.
    bool probe() {
        const int n = o_.maxHops;
        std::vector<int> sizes(n, TSL_STREAM_MIN_DATA), ttls(n);
        std::vector<int64_t> at(n, 0), depart(n), arrive(n);
        std::vector<tsl_stream_answer> answers(n);
        for (int i = 0; i < n; ++i) ttls[i] = i + 1;
        lastStart_ = tsl_stream_clock_ns();
        const int got = tsl_stream_run_hops(s_, n, sizes.data(), ttls.data(), at.data(), depart.data(),
                                            arrive.data(), answers.data(), kProbeWaitNs, nullptr);
        for (int i = 0; i < n; ++i) r_->probeBytes += header_ + TSL_STREAM_MIN_DATA +
                                                      answerBytes(answers[i].kind, header_ + TSL_STREAM_MIN_DATA, header_);
        if (got < 0) {
            reason_ = std::string("the first probe failed: ") + tsl_stream_strerror(got);
            return false;
        }
        int last = 0;
        for (int i = 0; i < n; ++i) {
            if (answers[i].kind == TSL_STREAM_ANSWER_NONE) continue;
            last = i + 1;
            if (answers[i].kind != TSL_STREAM_ANSWER_EXCEEDED) break;  // the destination, or a dead end
        }
        if (last == 0) {
            reason_ = "nothing on the path answered";
            return false;
        }
        k_ = last;
        r_->targetAnswered = answers[last - 1].kind == TSL_STREAM_ANSWER_ECHO;
        if (answers[last - 1].kind == TSL_STREAM_ANSWER_UNREACHABLE)
            r_->notes.push_back("hop " + std::to_string(last) + " (" + answers[last - 1].from +
                                ") answered that the destination is unreachable");
        for (int h = 1; h <= k_; ++h) {
            Hop hop;
            hop.hop = h;
            if (answers[h - 1].kind != TSL_STREAM_ANSWER_NONE) {
                hop.address = answers[h - 1].from;
                hop.rttMs = (arrive[h - 1] - depart[h - 1]) / 1e6;
                maxRttNs_ = std::max(maxRttNs_, arrive[h - 1] - depart[h - 1]);
            }
            r_->hops.push_back(hop);
        }
        ++r_->trains;
        return true;
    }

    // Whether the budget allows one more train of ipBytes sent (and as many
    // back) that waits up to waitNs; says why not in reason_.
    bool affordable(int64_t ipBytes, int64_t waitNs) {
        if (r_->probeBytes + 2 * ipBytes > o_.maxBytes) {
            budget_ = "--max-bytes";
            return false;
        }
        const int64_t startAt = std::max(tsl_stream_clock_ns(), lastStart_ + spacingNs());
        if ((startAt + waitNs - start_) / 1e9 > o_.maxSeconds) {
            budget_ = "--max-time";
            return false;
        }
        return true;
    }

    int64_t spacingNs() const { return std::llround(o_.spacingS * 1e9); }

    // One train at rateBps (0: back to back); its arrival lengths in *lengths.
    bool train(double rateBps, int64_t waitNs, std::vector<int64_t>* lengths) {
        const Train t = planTrain(k_, kLoadPackets, kLoadIpBytes - header_, TSL_STREAM_MIN_DATA, header_, rateBps);
        if (rateBps > 0) waitNs = std::clamp<int64_t>(4 * maxRttNs_ + 2 * t.sendAt.back() + 50000000, kLeastWaitNs,
                                                      kMostWaitNs);
        if (!affordable(t.ipBytes, waitNs)) return false;
        const int n = static_cast<int>(t.sizes.size());
        std::vector<int64_t> depart(n), arrive(n);
        std::vector<tsl_stream_answer> answers(n);
        sleepUntil(lastStart_ + spacingNs());
        lastStart_ = tsl_stream_clock_ns();
        const int got = tsl_stream_run_hops(s_, n, t.sizes.data(), t.ttls.data(), t.sendAt.data(), depart.data(),
                                            arrive.data(), answers.data(), waitNs, nullptr);
        for (int i = 0; i < n; ++i)
            r_->probeBytes += t.sizes[i] + header_ + answerBytes(answers[i].kind, t.sizes[i] + header_, header_);
        ++r_->trains;
        if (got < 0) {
            reason_ = std::string("a train failed: ") + tsl_stream_strerror(got);
            return false;
        }
        for (int h = 1; h <= k_; ++h) {
            Hop& hop = r_->hops[h - 1];
            const bool head = answers[t.head(h)].kind != TSL_STREAM_ANSWER_NONE;
            const bool tail = answers[t.tail(h)].kind != TSL_STREAM_ANSWER_NONE;
            hop.expected += 2;
            hop.replies += head + tail;
            if (head && !tail) ++hop.headOnly;
            if (hop.address.empty() && head) hop.address = answers[t.head(h)].from;
        }
        *lengths = arrivalLengths(t, depart.data(), arrive.data(), answers.data());
        plannedNs_ = t.sendAt.back();
        return true;
    }

    void tell(double rateBps, const Span& verdict) {
        if (o_.progress == nullptr) return;
        char line[160];
        std::snprintf(line, sizeof line, "train %d at %.3g Mbit/s: %s, %.1f s", r_->trains, rateBps / 1e6,
                      verdict.named() ? ("grew from hop " + std::to_string(verdict.from) + " to hop " +
                                         std::to_string(verdict.to)).c_str()
                                      : "no hop squeezed it",
                      (tsl_stream_clock_ns() - start_) / 1e9);
        o_.progress(o_.context, line);
    }

    // count more voting trains at one rate (a late train is replaced once);
    // false when the budget or a failure ended them.
    bool trainsAt(RateTrains* at, std::map<int, std::vector<double>>* ms, int count) {
        const size_t wanted = at->verdicts.size() + count;
        for (int tries = 0; at->verdicts.size() < wanted && tries < 2 * count; ++tries) {
            std::vector<int64_t> lengths;
            if (!train(at->rateBps, 0, &lengths)) return false;
            const Span verdict = squeezedAt(lengths);
            if (lengths[0] > plannedNs_ * (1 + kMostLateShare) + kMostLateNs) {
                ++late_;
                continue;
            }
            at->verdicts.push_back(verdict);
            tell(at->rateBps, verdict);
            for (int h = 0; h <= k_; ++h)
                if (lengths[h] >= 0) (*ms)[h].push_back(lengths[h] / 1e6);
        }
        return true;
    }

    // Rates upward from below the capacity until more than half the trains
    // of one rate, confirmed by more of them, name the same link.
    void sweep() {
        for (double share : kRateShares) {
            RateTrains at{share * r_->capacityBps, {}};
            std::map<int, std::vector<double>> ms;
            bool going = trainsAt(&at, &ms, kTrainsPerRate);
            if (going && vote(at.verdicts).carried()) going = trainsAt(&at, &ms, kConfirmTrains);
            if (!at.verdicts.empty()) {
                sweep_.push_back(at);
                r_->ratesBps.push_back(at.rateBps);
                r_->sentMs.push_back(median(ms[0]));
                for (int h = 1; h <= k_; ++h) r_->hops[h - 1].lengthMs.push_back(median(ms[h]));
            }
            if (!going || vote(at.verdicts).carried()) break;
        }
    }

    void finish() {
        r_->decision = decide(sweep_);
        if (sweep_.empty() && late_ > 0)
            reason_ = "every train left slower than its rate (the sender lost the processor)";
        if (!reason_.empty() && !r_->found()) r_->decision.reason = reason_;
        if (!budget_.empty()) {
            const std::string text = "the budget (" + budget_ + ") ended the sweep";
            if (r_->found()) r_->notes.push_back(text);
            else r_->decision.reason += "; " + text;
        }
        for (const Hop& h : r_->hops)
            if (h.headOnly > 0)
                r_->notes.push_back("hop " + std::to_string(h.hop) + " (" + (h.address.empty() ? "*" : h.address) +
                                    ") answered the head of " + std::to_string(h.headOnly) +
                                    " trains but not their tail: it limits its replies; a longer --spacing may help");
        if (late_ > 0)
            r_->notes.push_back(std::to_string(late_) + " trains left slower than their rate (the sender lost the "
                                "processor) and did not vote");
        if (k_ > 0 && !r_->targetAnswered)
            r_->notes.push_back(r_->host + " did not answer echo requests: the link after hop " + std::to_string(k_) +
                                " is unjudged");
        r_->durationS = (tsl_stream_clock_ns() - start_) / 1e9;
    }

    const Options& o_;
    Result* r_;
    tsl_stream_session* s_;
    int header_ = 28;
    int k_ = 0;
    int64_t start_ = 0, lastStart_ = 0, maxRttNs_ = 0;
    int64_t plannedNs_ = 0;  // how long the last train was planned to take to send
    int late_ = 0;           // trains that left too slowly to vote
    std::vector<RateTrains> sweep_;
    std::string reason_, budget_;
};

}  // namespace

int measure(const Options& o, Result* r) {
    *r = Result{};
    r->host = o.host != nullptr ? o.host : "";
    r->spacingS = o.spacingS;
    if (o.maxHops < 1 || o.maxHops > 255 || o.spacingS < 0 || o.maxBytes < 1 || !(o.maxSeconds > 0))
        return TSL_STREAM_ERR_ARGUMENT;
    tsl_stream_session* s = nullptr;
    const int opened = tsl_stream_open_with(&s, o.host, o.family, TSL_STREAM_ANY_KIND);
    if (opened != 0) return opened;
    r->address = tsl_stream_address(s);
    r->family = tsl_stream_family(s);
    r->datagram = tsl_stream_socket_kind(s) == TSL_STREAM_DATAGRAM;
    Search(o, r, s).run();
    tsl_stream_close(s);
    return 0;
}

}  // namespace hops
