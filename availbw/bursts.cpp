// SPDX-License-Identifier: MIT
// bursts.cpp - others' bursts in a stream's delays (bursts.h).
#include "bursts.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "tuning.h"

namespace availbw {

using namespace tuning;

void addBursts(const avl_stream& s, double capacity, Bursts* b) {
    if (s.void_stream || s.delay_s == nullptr || s.depart_s == nullptr || capacity <= 0 || s.packets - s.lead < 2)
        return;
    const double jump = kBurstPackets * 1500 * 8 / capacity;
    int events = 0;
    double bytes = 0;
    for (int k = s.lead + 1; k < s.packets;) {
        // The lowest delay of the packets sent in the window before this one.
        double low = INFINITY;
        for (int j = k - 1; j >= s.lead && s.depart_s[k] - s.depart_s[j] <= kBurstWindow; --j)
            if (s.delay_s[j] >= 0) low = std::min(low, s.delay_s[j]);
        if (s.delay_s[k] < 0 || !(s.delay_s[k] - low > jump)) {
            ++k;
            continue;
        }
        // A burst: what it added is the highest the delays climb over the
        // next span; another is counted only after that span.
        double peak = s.delay_s[k];
        const double until = s.depart_s[k] + kBurstSpan;
        for (++k; k < s.packets && s.depart_s[k] <= until; ++k) peak = std::max(peak, s.delay_s[k]);
        ++events;
        bytes += (peak - low) * capacity / 8;
    }
    ++b->streams;
    b->withBursts += events > 0;
    b->events += events;
    b->bytes += bytes;
    b->seconds += std::max(0.0, s.depart_s[s.packets - 1] - s.depart_s[s.lead]);
}

double burstTimescale(const Bursts& b, double capacity, double others, int leastEvents) {
    if (b.events < leastEvents || b.withBursts < 2 || b.seconds <= 0 || capacity <= 0) return 0;
    const double gap = b.seconds / b.events;
    const double length = b.seconds / b.streams;
    const double rate = b.bytes * 8 / b.seconds;
    if (rate < kBurstShare * capacity || rate < kBurstOthers * others || gap < kBurstLeastGap ||
        length >= kBurstGaps * gap)
        return 0;
    return std::min(kBurstGaps * gap, kLongestBurstScale);
}

bool sendsFellBehind(const avl_stream& s) {
    if (s.depart_s == nullptr || s.packets < 2) return false;
    std::vector<double> gaps;
    for (int k = 1; k < s.packets; ++k) gaps.push_back(s.depart_s[k] - s.depart_s[k - 1]);
    const double longest = *std::max_element(gaps.begin(), gaps.end());
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    return longest > 2 * gaps[gaps.size() / 2] + kLateSend;
}

double queuedAtStarts(const avl_stream* s, size_t n, double capacity, double least) {
    if (capacity <= 0) return 0;
    const double jitter = kBurstPackets * 1500 * 8 / capacity;
    // The queue a stream's first packet met (infinite where it got no reply).
    const auto metAtStart = [&](const avl_stream& a) {
        return a.packets > 0 && a.delay_s != nullptr && a.delay_s[0] >= 0 ? a.delay_s[0] - least : INFINITY;
    };
    // Others' bits that arrived while a record ran, at least: the most its
    // delays climbed from one answered packet to a later one, less its own
    // packets sent between them (a queue grows only by what arrives).
    // A record whose sends fell behind gives no climb: its replies waited
    // for the host, not behind others' bits.  Nor does a climb shorter than
    // kLeastClimb, which a moment's stall of a router gives.
    const auto roseWithin = [&](const avl_stream& a) {
        if (a.delay_s == nullptr || a.depart_s == nullptr || a.packets < 2 || sendsFellBehind(a)) return 0.0;
        const double bits = a.packet_bytes * 8.0;
        double most = 0, lowest = INFINITY;  // lowest: the delay in bits less own bits sent up to it
        for (int k = 0; k < a.packets; ++k) {
            if (a.delay_s[k] < 0) continue;
            const double at = a.delay_s[k] * capacity - k * bits;
            if (std::isfinite(lowest)) most = std::max(most, at + bits - lowest);
            lowest = std::min(lowest, at);
        }
        return most > kLeastClimb * capacity ? most : 0.0;
    };
    // Each count is of others' traffic between two records' starts (or
    // after the last one's), the higher of the two floors on it.
    double bits = 0;
    // What the first record's first packet met queued came before the
    // measurement, but the link served it within the measurement, before
    // that packet.
    const double first = n > 0 ? metAtStart(s[0]) : INFINITY;
    if (std::isfinite(first) && first > jitter) bits += first * capacity;
    for (size_t i = 1; i <= n; ++i) {
        const avl_stream& before = s[i - 1];
        const double rose = roseWithin(before);
        const double queue = i < n ? metAtStart(s[i]) : INFINITY;
        if (!std::isfinite(queue)) {
            if (rose > jitter * capacity) bits += rose;
            continue;
        }
        const avl_stream& a = s[i];
        const double since = a.start_s - before.start_s;
        // What was queued when the last answered packet before left, less
        // what was served since (infinite where none was answered).
        double earlier = INFINITY;
        if (before.delay_s != nullptr && before.depart_s != nullptr)
            for (int k = before.packets - 1; k >= 0; --k)
                if (before.delay_s[k] >= 0) {
                    earlier = std::max(0.0, before.delay_s[k] - least - (since - before.depart_s[k]));
                    break;
                }
        // At most the stream before's own packets, and what of the queue
        // its first packet met is still there.
        const double own = before.packets * before.packet_bytes * 8.0 / capacity;
        const double old = std::max(0.0, metAtStart(before) - since);
        const double queued = std::max(queue - std::min(earlier, own + old), rose / capacity);
        if (queued > jitter) bits += queued * capacity;
    }
    return bits;
}

}  // namespace availbw
