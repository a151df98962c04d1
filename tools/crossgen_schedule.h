// SPDX-License-Identifier: MIT
// crossgen_schedule.h - when the lab's cross-traffic sender sends each
// packet and how large it is, for a mean rate in IP bits: paced (or in bursts
// on a timer tick), Poisson (exponential gaps), a mix of packet sizes with
// exponential gaps, or on-off bursts.  Pure computation; deterministic for a
// seed.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <string>

namespace crossgen {

enum class Kind { Steady, Poisson, Mix, OnOff };

// The kind named by text ("steady", "poisson", "mix", "onoff"); false if none.
bool parseKind(const std::string& text, Kind* kind);

struct Shape {
    Kind kind = Kind::Poisson;
    double rate = 10e6;        // mean, IP bits per second
    int bytes = 1228;          // IP bytes of each packet (all but Mix)
    int smallest = 28;         // IP bytes the family's headers take: Mix's small packets are at least this
    double tick = 0.001;       // Steady: packets due within a tick leave together at its end (0: paced)
    double on = 0.005, off = 0.005;  // OnOff: mean on and off periods, seconds
    bool fixed = false;        // OnOff: periods of exactly those lengths, else exponential
    uint64_t seed = 1;
};

struct Packet {
    double at;  // seconds from the start
    int bytes;  // IP bytes
};

class Schedule {
public:
    explicit Schedule(const Shape& shape);
    // The next packet; times never go back.
    Packet next();
    // Mean IP bytes of a packet of this shape.
    double meanBytes() const;

private:
    double exponential(double mean) { return -mean * std::log1p(-unit()); }
    double unit() { return std::uniform_real_distribution<double>(0, 1)(rng_); }
    double period(double mean) { return shape_.fixed ? mean : exponential(mean); }
    int mixBytes();

    Shape shape_;
    std::mt19937_64 rng_;
    double due_ = 0;      // when the next packet is due (before Steady's tick)
    double onUntil_ = 0;  // OnOff: end of the on period under way
};

}  // namespace crossgen
