// SPDX-License-Identifier: MIT
// crossgen_schedule.cpp - the sender's schedule of packets.
#include "crossgen_schedule.h"

#include <algorithm>
#include <cmath>

namespace crossgen {

namespace {

// The packet-size mix: IP bytes and how many of each in twelve packets.
constexpr int kMixBytes[] = {40, 576, 1500};
constexpr int kMixWeights[] = {7, 4, 1};
constexpr int kMixTotal = 12;

}  // namespace

bool parseKind(const std::string& text, Kind* kind) {
    if (text == "steady") *kind = Kind::Steady;
    else if (text == "poisson") *kind = Kind::Poisson;
    else if (text == "mix") *kind = Kind::Mix;
    else if (text == "onoff") *kind = Kind::OnOff;
    else return false;
    return true;
}

Schedule::Schedule(const Shape& shape) : shape_(shape), rng_(shape.seed) {
    switch (shape_.kind) {
    case Kind::Steady:
        break;
    case Kind::Poisson:
    case Kind::Mix:
        due_ = exponential(meanBytes() * 8 / shape_.rate);
        break;
    case Kind::OnOff:
        onUntil_ = period(shape_.on);
        break;
    }
}

double Schedule::meanBytes() const {
    if (shape_.kind != Kind::Mix) return shape_.bytes;
    double sum = 0;
    for (size_t i = 0; i < std::size(kMixBytes); ++i) sum += kMixWeights[i] * std::max(kMixBytes[i], shape_.smallest);
    return sum / kMixTotal;
}

int Schedule::mixBytes() {
    int pick = static_cast<int>(unit() * kMixTotal);
    size_t i = 0;
    for (; i + 1 < std::size(kMixWeights) && pick >= kMixWeights[i]; ++i) pick -= kMixWeights[i];
    return std::max(kMixBytes[i], shape_.smallest);
}

Packet Schedule::next() {
    Packet p{due_, shape_.bytes};
    switch (shape_.kind) {
    case Kind::Steady:
        // Paced at the rate, each packet held to the end of its tick, as a
        // sender woken by a timer sends what fell due since it last woke.
        if (shape_.tick > 0) p.at = std::ceil(due_ / shape_.tick - 1e-9) * shape_.tick;
        due_ += shape_.bytes * 8 / shape_.rate;
        break;
    case Kind::Poisson:
        due_ += exponential(shape_.bytes * 8 / shape_.rate);
        break;
    case Kind::Mix:
        p.bytes = mixBytes();
        due_ += exponential(meanBytes() * 8 / shape_.rate);
        break;
    case Kind::OnOff: {
        // Paced at the peak rate while on; the time to the next packet left
        // at the end of an on period carries over to the next one, so the
        // mean rate holds whatever the periods' lengths.
        const double peak = shape_.rate * (shape_.on + shape_.off) / shape_.on;
        double next = due_ + shape_.bytes * 8 / peak;
        for (int i = 0; next >= onUntil_ && i < 1000000; ++i) {
            const double start = onUntil_ + period(shape_.off);
            next = start + (next - onUntil_);
            onUntil_ = start + period(shape_.on);
        }
        due_ = next;
        break;
    }
    }
    return p;
}

}  // namespace crossgen
