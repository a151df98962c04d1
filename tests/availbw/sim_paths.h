// SPDX-License-Identifier: MIT
// sim_paths.h - the simulated paths the estimator's tests measure, and how
// they measure them.
#pragma once

#include <algorithm>

#include "availest.h"
#include "simpath.h"

namespace simtest {

inline avl_options quick() {
    avl_options o;
    avl_default_options(&o);
    o.max_seconds = 30;
    return o;
}

// A path of one bottleneck of capacity C carrying cross traffic X, steady or
// in bursts every burstPeriod seconds.
inline simpath::Config bottleneck(double capacity, double cross, double burstPeriod = 0) {
    simpath::Config c;
    c.hops[0].capacity = capacity;
    c.hops[0].cross = cross;
    c.hops[0].burstPeriod = burstPeriod;
    return c;
}

// Such a bottleneck as the lab's: a queue of 50 ms behind it, the short
// path between its namespaces, the shaper's late releases and a real
// sender's lateness, frames counted with their Ethernet header.
inline simpath::Config labBottleneck(double capacity, double cross, int seed) {
    simpath::Config c = bottleneck(capacity, cross);
    c.hops[0].queueBytes = capacity / 8 * 0.05;
    c.baseRtt = 200e-6;
    c.stampJitter = 10e-6;
    c.sendJitter = 5e-6;
    c.sendStretch = 0.005;
    c.overheadBytes = 14;
    c.seed = seed;
    return c;
}

inline int measure(simpath::Path& sim, const avl_options& o, avl_result* r) {
    const avl_path p = sim.path();
    return avl_measure_path(&p, &o, r, nullptr, nullptr);
}

// A measurement of such a path with the default options, and in *truth
// what the others left free over it (IP bits of its packets).
inline int measureDefault(simpath::Path& sim, avl_result* r, double* truth) {
    avl_options o;
    avl_default_options(&o);
    const int status = measure(sim, o, r);
    *truth = sim.unusedRate(0, sim.now(), r->packet_bytes);
    return status;
}

inline simpath::Hop steadyHop(double capacity, double cross) {
    simpath::Hop h;
    h.capacity = capacity;
    h.cross = cross;
    return h;
}

// A hop as the lab's: its cross traffic in bursts a millisecond apart, a
// queue of 50 ms.
inline simpath::Hop labHop(double capacity, double share) {
    simpath::Hop h;
    h.capacity = capacity;
    h.cross = share * capacity;
    h.burstPeriod = 0.001;
    h.queueBytes = std::max(32768.0, capacity / 8 * 0.05);
    return h;
}

}  // namespace simtest
