// SPDX-License-Identifier: MIT
// simpath.cpp - the simulated path: each echo request crosses the request
// way, the host and then every hop of the reply way in turn; a hop serves its
// cross traffic and the replies in the order they arrive.  Hops keep their
// state between streams, so a queue left by one stream is still there for
// the next unless the pause let it drain.
#include "simpath.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <iterator>

namespace simpath {

namespace {

constexpr int kSendError = -4;  // what the engine's runner returns for a refused send
constexpr double kDropped = -1e300;  // what pass returns for a packet it dropped (elastic flows run before 0)
constexpr double kMaxWindow = 20000;  // packets: an elastic flow's window never grows past this
constexpr double kCountEvery = 10e-6;  // seconds between two points of a hop's counter

// The packet-size mix: sizes in IP bytes and how many of each in twelve.
constexpr double kMixBytes[] = {40, 576, 1500};
constexpr int kMixWeights[] = {7, 4, 1};
constexpr double kMixMeanBytes = (7 * 40 + 4 * 576 + 1500) / 12.0;

}  // namespace

Path::Path(const Config& c) : c_(c), state_(c.hops.size()), rng_(c.seed) {
    // Each hop's cross traffic starts at a random phase.
    for (size_t k = 0; k < state_.size(); ++k) {
        const Hop& h = c_.hops[k];
        HopState& s = state_[k];
        s.tokens = h.policeBurstBytes;
        if (h.kind == Cross::Steady || h.cross <= 0) {
            const double period = h.burstPeriod > 0 ? h.burstPeriod : h.cross > 0 ? c_.crossPacketBytes * 8 / h.cross : 0;
            s.nextCross = period * unit();
        } else if (h.kind == Cross::OnOff) {
            // On at time 0 with the share of time the traffic is on; the
            // period under way has as long to go as a new one would.
            const double on = onLength(h), off = offLength(h);
            const bool isOn = unit() * (h.onSeconds + h.offSeconds) < h.onSeconds;
            s.nextCross = isOn ? 0 : off;
            s.onUntil = s.nextCross + on;
        } else {
            s.nextCross = exponential(meanCrossBytes(h) * 8 / h.cross);
        }
        // Elastic flows start one after the other, well before time 0, so
        // that by then they have found what the link holds.
        for (int f = 0; f < h.elasticFlows; ++f) {
            Flow flow;
            flow.rtt = h.elasticRtt * (0.75 + 0.5 * unit());
            s.flows.push_back(flow);
            s.events.push({-h.elasticWarmup * (1 - 0.1 * f / h.elasticFlows), f, Start, 0});
        }
        if (h.elasticFlows > 0) {
            s.until = s.busyUntil = s.tokensAt = -h.elasticWarmup;
            crossUntil(k, 0);
        }
    }
    echoTokens_ = c_.echoBurst;
}

avl_path Path::path(const char* address) {
    return avl_path{this, sendFn, nowFn, pauseFn, c_.headerBytes, address, c_.maxPackets, c_.maxWaitNs, nullptr, nullptr};
}

double Path::meanCrossBytes(const Hop& h) const {
    return h.kind == Cross::Mix ? kMixMeanBytes : c_.crossPacketBytes;
}

double Path::onLength(const Hop& h) { return h.onOffFixed ? h.onSeconds : exponential(h.onSeconds); }
double Path::offLength(const Hop& h) { return h.onOffFixed ? h.offSeconds : exponential(h.offSeconds); }

double Path::freeRate(int packetBytes) const {
    double least = -1;
    for (size_t k = 0; k < c_.hops.size(); ++k) {
        const Hop& h = c_.hops[k];
        const double mean = meanCrossBytes(h);
        double freeLink = h.capacity - h.cross * (mean + c_.overheadBytes) / mean;
        const double until = state_[k].until;
        if (h.elasticFlows > 0 && until > 0) freeLink = h.capacity - (acceptedBits(k, until) - acceptedBits(k, 0)) / until;
        const double free = freeLink * packetBytes / (packetBytes + c_.overheadBytes);
        if (least < 0 || free < least) least = free;
    }
    return std::max(0.0, least);
}

double Path::acceptedBits(size_t k, double t) const {
    const auto& points = state_[k].accepted;
    const auto after = std::upper_bound(points.begin(), points.end(), t,
                                        [](double v, const std::pair<double, double>& p) { return v < p.first; });
    return after == points.begin() ? 0 : std::prev(after)->second;
}

double Path::unusedRate(double t0, double t1, int packetBytes) {
    if (!(t1 > t0)) return 0;
    double least = -1;
    for (size_t k = 0; k < c_.hops.size(); ++k) {
        crossUntil(k, t1);
        const double used = (acceptedBits(k, t1) - acceptedBits(k, t0)) / (t1 - t0);
        const double free = (c_.hops[k].capacity - used) * packetBytes / (packetBytes + c_.overheadBytes);
        if (least < 0 || free < least) least = free;
    }
    return std::max(0.0, least);
}

double Path::pass(size_t k, double t, double bytes, bool probe) {
    const Hop& h = c_.hops[k];
    HopState& s = state_[k];
    const double bits = (bytes + c_.overheadBytes) * 8;
    double leaves;
    if (h.police) {
        s.tokens = std::min(h.policeBurstBytes, s.tokens + (t - s.tokensAt) * h.capacity / 8);
        s.tokensAt = t;
        if (s.tokens < bits / 8) return kDropped;
        s.tokens -= bits / 8;
        leaves = t;
    } else {
        const double waiting = std::max(0.0, s.busyUntil - t) * h.capacity / 8;
        if (waiting > h.queueBytes) return kDropped;
        s.busyUntil = std::max(t, s.busyUntil) + bits / h.capacity;
        leaves = s.busyUntil;
    }
    // Elastic flows yield to a stream: what they leave free is what the link
    // leaves idle, so there the stream's own packets count as used too.
    if (!probe || h.elasticFlows > 0) {
        const double total = (s.accepted.empty() ? 0 : s.accepted.back().second) + bits;
        if (s.accepted.empty() || t - s.accepted.back().first >= kCountEvery) s.accepted.emplace_back(t, total);
        else s.accepted.back().second = total;
    }
    return leaves;
}

// The cross-traffic packet (or burst) due at nextCross, and when the next is due.
void Path::crossPacket(size_t k) {
    const Hop& h = c_.hops[k];
    HopState& s = state_[k];
    const double packet = c_.crossPacketBytes;
    switch (h.kind) {
    case Cross::Steady:
        if (h.burstPeriod > 0) {
            s.crossCredit += h.cross * h.burstPeriod / 8;
            for (; s.crossCredit >= packet; s.crossCredit -= packet) pass(k, s.nextCross, packet, false);
            s.nextCross += h.burstPeriod;
        } else {
            pass(k, s.nextCross, packet, false);
            s.nextCross += packet * 8 / h.cross;
        }
        break;
    case Cross::Poisson:
        pass(k, s.nextCross, packet, false);
        s.nextCross += exponential(packet * 8 / h.cross);
        break;
    case Cross::Mix: {
        int pick = static_cast<int>(unit() * 12);
        size_t i = 0;
        for (; i + 1 < std::size(kMixWeights) && pick >= kMixWeights[i]; ++i) pick -= kMixWeights[i];
        pass(k, s.nextCross, kMixBytes[i], false);
        s.nextCross += exponential(kMixMeanBytes * 8 / h.cross);
        break;
    }
    case Cross::OnOff: {
        // Paced at the peak rate while on; the time to the next packet left
        // at the end of an on period carries over to the next one, so that
        // the mean rate holds whatever the periods' lengths.
        pass(k, s.nextCross, packet, false);
        const double peak = h.cross * (h.onSeconds + h.offSeconds) / h.onSeconds;
        double next = s.nextCross + packet * 8 / peak;
        for (int i = 0; next >= s.onUntil && i < 1000000; ++i) {
            const double start = s.onUntil + offLength(h);
            next = start + (next - s.onUntil);
            s.onUntil = start + onLength(h);
        }
        s.nextCross = next;
        break;
    }
    }
}

// Flow f sends what its window allows at t; each packet is acknowledged a
// round trip after it left the hop, or found lost when the packets behind it
// are acknowledged: a round trip after it would have left.
void Path::flowSends(size_t k, int f, double t) {
    HopState& s = state_[k];
    Flow& flow = s.flows[f];
    const double bytes = c_.hops[k].elasticPacketBytes;
    while (flow.inFlight < std::max(1, static_cast<int>(flow.cwnd))) {
        const double leaves = pass(k, t, bytes, false);
        ++flow.inFlight;
        if (leaves == kDropped) s.events.push({std::max(t, s.busyUntil) + flow.rtt, f, LossFound, t});
        else s.events.push({leaves + flow.rtt, f, Acked, t});
    }
}

void Path::crossUntil(size_t k, double t) {
    const Hop& h = c_.hops[k];
    HopState& s = state_[k];
    constexpr double kNever = 1e300;
    for (;;) {
        const double nextCross = h.cross > 0 ? s.nextCross : kNever;
        const double nextEvent = s.events.empty() ? kNever : s.events.top().at;
        if (std::min(nextCross, nextEvent) > t) break;
        if (nextCross <= nextEvent) {
            crossPacket(k);
            continue;
        }
        const Event e = s.events.top();
        s.events.pop();
        Flow& flow = s.flows[e.flow];
        if (e.what != Start) --flow.inFlight;
        if (e.what == Acked) {
            // One packet more a round trip; one more per acknowledgement
            // until the first loss.
            const double most = c_.hops[k].elasticWindow > 0 ? c_.hops[k].elasticWindow : kMaxWindow;
            flow.cwnd = std::min(most, flow.cwnd + (flow.cwnd < flow.ssthresh ? 1 : 1 / flow.cwnd));
        } else if (e.what == LossFound && e.sent > flow.lastCut) {
            // Halved once for the losses of one window: those of packets
            // sent before the last cut were part of it.
            flow.cwnd = std::max(1.0, flow.cwnd / 2);
            flow.ssthresh = flow.cwnd;
            flow.lastCut = e.at;
        }
        flowSends(k, e.flow, e.at);
    }
    s.until = std::max(s.until, t);
}

int Path::send(int count, int size, const int64_t* at, int64_t* depart, int64_t* arrive, int64_t waitNs) {
    if (c_.broken) {
        errno = EPERM;
        return kSendError;
    }
    // What the real runner refuses, refused here too.
    if (count < 1 || (c_.maxPackets > 0 && count > c_.maxPackets) || waitNs < 0 ||
        (c_.maxWaitNs > 0 && waitNs > c_.maxWaitNs)) {
        errno = EINVAL;
        return kSendError;
    }
    ++streams_;
    const double start = now_, bytes = size + c_.headerBytes;
    double last = start, latest = start;
    std::vector<double> arrival(count, -1);
    for (int i = 0; i < count; ++i) {
        const double leaves = start + at[i] / 1e9 * (1 + c_.sendStretch) + c_.sendJitter * unit();
        last = std::max(last, leaves);
        depart[i] = std::llround((leaves - start) * 1e9);
        double t = leaves + c_.baseRtt / 2;
        if (c_.silent || unit() < c_.lossRequests) continue;
        if (c_.echoLimitPps > 0) {
            echoTokens_ = std::min(c_.echoBurst, echoTokens_ + (t - echoAt_) * c_.echoLimitPps);
            echoAt_ = t;
            if (echoTokens_ < 1) continue;
            echoTokens_ -= 1;
        }
        for (size_t k = 0; k < c_.hops.size() && t >= 0; ++k) {
            crossUntil(k, t);
            t = pass(k, t, bytes);
        }
        if (t < 0 || unit() < c_.lossReplies) continue;
        arrival[i] = t + c_.baseRtt / 2 + c_.stampJitter * unit();
        if (c_.wander > 0) arrival[i] += c_.wander * (1 + std::sin(2 * M_PI * leaves / c_.wanderPeriod));
    }
    // Replies later than the wait are lost to this stream; the wait ends
    // early once every reply is in, or a millisecond after the last
    // packet's reply (the rest are lost: replies come in order).
    double deadline = last + waitNs / 1e9;
    if (count > 0 && arrival[count - 1] >= 0 && arrival[count - 1] <= deadline)
        deadline = std::min(deadline, std::max(*std::max_element(arrival.begin(), arrival.end()), arrival[count - 1]) + 0.001);
    int got = 0;
    for (int i = 0; i < count; ++i) {
        const bool in = arrival[i] >= 0 && arrival[i] <= deadline;
        arrive[i] = in ? std::llround((arrival[i] - start) * 1e9) : AVL_LOST;
        if (in) latest = std::max(latest, arrival[i]), ++got;
    }
    now_ = got == count ? std::max(last, latest) : deadline;
    return got;
}

int Path::sendFn(void* self, int count, int size, const int64_t* at, int64_t* depart, int64_t* arrive,
                 int64_t waitNs) {
    return static_cast<Path*>(self)->send(count, size, at, depart, arrive, waitNs);
}

int64_t Path::nowFn(void* self) { return std::llround(static_cast<Path*>(self)->now_ * 1e9); }

void Path::pauseFn(void* self, int64_t ns) {
    if (ns > 0) static_cast<Path*>(self)->now_ += ns / 1e9;
}

}  // namespace simpath
