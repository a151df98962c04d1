// SPDX-License-Identifier: MIT
// decide.cpp - the pure part of the hop-by-hop search: the train's plan, its
// length on arrival at each hop, where one train grew, and the vote of the
// trains across the sweep.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "hops.h"

namespace hops {

Train planTrain(int hops, int load, int loadData, int smallData, int headerBytes, double rateBps) {
    Train t;
    t.hops = std::max(hops, 0);
    t.load = std::max(load, 0);
    const int count = 2 * t.hops + t.load;
    t.sizes.reserve(count);
    // The gap that puts a load packet on the wire at the rate, headers included.
    const double gapNs = rateBps > 0 ? (loadData + headerBytes) * 8.0 / rateBps * 1e9 : 0;
    const int64_t lastLoad = t.load > 0 ? std::llround(gapNs * (t.load - 1)) : 0;
    auto add = [&](int size, int ttl, int64_t at) {
        t.sizes.push_back(size);
        t.ttls.push_back(ttl);
        t.sendAt.push_back(at);
        t.ipBytes += size + headerBytes;
    };
    for (int h = 1; h <= t.hops; ++h) add(smallData, h, 0);
    for (int i = 0; i < t.load; ++i) add(loadData, 255, std::llround(gapNs * i));
    for (int h = t.hops; h >= 1; --h) add(smallData, h, lastLoad);
    return t;
}

std::vector<int64_t> arrivalLengths(const Train& t, const int64_t* depart, const int64_t* arrive,
                                    const tsl_stream_answer* answers) {
    std::vector<int64_t> lengths(t.hops + 1, -1);
    const int count = static_cast<int>(t.sizes.size());
    if (count == 0) return lengths;
    lengths[0] = depart[count - 1] - depart[0];
    for (int h = 1; h <= t.hops; ++h) {
        const int a = t.head(h), b = t.tail(h);
        if (answers[a].kind == TSL_STREAM_ANSWER_NONE || answers[a].kind != answers[b].kind) continue;
        if (arrive[a] < 0 || arrive[b] < 0) continue;
        lengths[h] = arrive[b] - arrive[a];
    }
    return lengths;
}

Span squeezedAt(const std::vector<int64_t>& lengths) {
    if (lengths.empty() || lengths[0] < 0) return {};
    const double threshold = std::max(kGrowthShare * static_cast<double>(lengths[0]), double(kGrowthFloorNs));
    Span best;
    double bestGrowth = threshold;
    int before = 0;
    for (int h = 1; h < static_cast<int>(lengths.size()); ++h) {
        if (lengths[h] < 0) continue;  // silent: the step spans it
        const double growth = static_cast<double>(lengths[h] - lengths[before]);
        if (growth > bestGrowth) {
            bestGrowth = growth;
            best = {before, h};
        }
        before = h;
    }
    return best;
}

Vote vote(const std::vector<Span>& verdicts) {
    Vote v;
    v.trains = static_cast<int>(verdicts.size());
    for (const Span& s : verdicts) {
        if (!s.named()) continue;
        const int n = static_cast<int>(std::count(verdicts.begin(), verdicts.end(), s));
        // Ties go to the span nearer the client: the first link to squeeze.
        if (n > v.agree || (n == v.agree && s.to < v.span.to)) {
            v.agree = n;
            v.span = s;
        }
    }
    return v;
}

namespace {

std::string mbit(double bps) {
    const double m = bps / 1e6;
    char text[32];
    std::snprintf(text, sizeof text, m < 10 ? "%.2f Mbit/s" : m < 100 ? "%.1f Mbit/s" : "%.0f Mbit/s", m);
    return text;
}

}  // namespace

Decision decide(const std::vector<RateTrains>& sweep) {
    Decision d;
    double highest = 0;
    bool anyTrain = false;
    for (const RateTrains& r : sweep) {
        if (r.verdicts.empty()) continue;
        anyTrain = true;
        highest = std::max(highest, r.rateBps);
        const Vote v = vote(r.verdicts);
        if (v.carried()) {
            d.link = v.span;
            d.agree = v.agree;
            d.trains = v.trains;
            d.rateBps = r.rateBps;
            return d;
        }
        if (v.agree == 0) d.clearBps = r.rateBps;
    }
    if (!anyTrain) d.reason = "no train came back";
    else if (d.clearBps == highest) d.reason = "no hop squeezed a train at up to " + mbit(highest);
    else d.reason = "the trains did not agree where they were squeezed at up to " + mbit(highest);
    return d;
}

}  // namespace hops
