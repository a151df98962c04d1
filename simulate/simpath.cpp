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

namespace simpath {

namespace {

constexpr int kSendError = -4;  // what the engine's runner returns for a refused send

}  // namespace

Path::Path(const Config& c) : c_(c), state_(c.hops.size()), rng_(c.seed) {
    // Each hop's cross traffic starts at a random phase.
    for (size_t k = 0; k < state_.size(); ++k) {
        const Hop& h = c_.hops[k];
        const double period = h.burstPeriod > 0 ? h.burstPeriod : h.cross > 0 ? c_.crossPacketBytes * 8 / h.cross : 0;
        state_[k].nextCross = period * unit();
        state_[k].tokens = h.policeBurstBytes;
    }
    echoTokens_ = c_.echoBurst;
}

avl_path Path::path(const char* address) {
    return avl_path{this, sendFn, nowFn, pauseFn, c_.headerBytes, address, c_.maxPackets, c_.maxWaitNs, nullptr, nullptr};
}

double Path::freeRate(int packetBytes) const {
    double least = -1;
    for (const Hop& h : c_.hops) {
        const double crossLink = h.cross * (c_.crossPacketBytes + c_.overheadBytes) / c_.crossPacketBytes;
        const double free = (h.capacity - crossLink) * packetBytes / (packetBytes + c_.overheadBytes);
        if (least < 0 || free < least) least = free;
    }
    return std::max(0.0, least);
}

double Path::pass(size_t k, double t, double bytes) {
    const Hop& h = c_.hops[k];
    HopState& s = state_[k];
    const double bits = (bytes + c_.overheadBytes) * 8;
    if (h.police) {
        s.tokens = std::min(h.policeBurstBytes, s.tokens + (t - s.tokensAt) * h.capacity / 8);
        s.tokensAt = t;
        if (s.tokens < bits / 8) return -1;
        s.tokens -= bits / 8;
        return t;
    }
    const double waiting = std::max(0.0, s.busyUntil - t) * h.capacity / 8;
    if (waiting > h.queueBytes) return -1;
    s.busyUntil = std::max(t, s.busyUntil) + bits / h.capacity;
    return s.busyUntil;
}

void Path::crossUntil(size_t k, double t) {
    const Hop& h = c_.hops[k];
    HopState& s = state_[k];
    if (h.cross <= 0) return;
    const double packet = c_.crossPacketBytes;
    while (s.nextCross <= t) {
        if (h.burstPeriod > 0) {
            s.crossCredit += h.cross * h.burstPeriod / 8;
            for (; s.crossCredit >= packet; s.crossCredit -= packet) pass(k, s.nextCross, packet);
            s.nextCross += h.burstPeriod;
        } else {
            pass(k, s.nextCross, packet);
            s.nextCross += packet * 8 / h.cross;
        }
    }
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
