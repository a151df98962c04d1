// SPDX-License-Identifier: MIT
// posterior.h - what the verdicts of streams say about the free rate.
//
// A stream sent at rate R reads rising when R is above the rate that was
// free while it ran, and flat below; near that rate it may read either way.
// The free rate of a stream's few milliseconds scatters about the free rate
// of the whole measurement, by little under steady cross traffic and by a
// tenth or more under traffic that arrives at random, so a verdict is noisy
// evidence.  Its chance of reading rising is modelled as
//
//     P(rising | R) = lapse + (1 - 2 lapse) * Phi((ln R - ln M) / s)
//
// where M is the rate at which half the streams rise (the curve's midpoint),
// s its width (up to 1: cross traffic in bursts as long as a stream leaves
// the verdicts about even over a wide span of rates) and lapse the chance
// of a verdict wrong whatever the rate (a stream that met a burst of
// others, or missed the bursts that others send every few tens of
// milliseconds).  None is known: the posterior is kept on a grid over all
// three, from a prior that holds every midpoint between the grid's ends
// alike (flat in M, not in ln M: a prior flat in ln M holds half its weight
// below the geometric mean of a hundredth of the capacity and the
// capacity, and where the verdicts say little, as under bursts as long as
// a stream, it drew the range toward a few Mbit/s), flat on ln s, and one
// that favours a small lapse; the width and lapse are integrated out, so
// streams that disagree widen the range and streams that agree narrow it.
// The midpoint lies a little above the free rate (a stream must
// overshoot to build a queue the trend test can see), the more so the
// noisier the verdicts: the free rate is the midpoint divided by that bias,
// as the verdict curves measured in the simulator and the lab have it for
// the curve's width.  Pure computation.
#pragma once

#include <vector>

namespace availbw {

class Posterior {
public:
    // The midpoint lies between low and high (bits per second, low > 0).
    Posterior(double low, double high);

    // A stream at rate read rising (or flat).
    void add(double rate, bool rising);
    int verdicts() const { return verdicts_; }

    // The p-quantile (0 < p < 1) of the midpoint, bits per second.
    double quantile(double p) const;
    // The p-quantile of the free rate, when a curve of width s has its
    // midpoint at free * (1 + base + perWidth * min(s, kBiasWidest)).
    double freeQuantile(double p, double base, double perWidth) const;
    // The rate at which the next stream is expected to teach most: the one
    // whose verdict leaves the least entropy in the midpoint, among rates
    // between the posterior's 2nd and 98th percentiles.
    double nextRate() const;
    // The width s the verdicts point at (its posterior mean, in ln units).
    double width() const;

private:
    double rising(double lnRate, int xi, int si) const;
    std::vector<double> marginal(const std::vector<double>& joint) const;
    void normalize(std::vector<double>* joint) const;

    std::vector<double> x_;  // ln midpoint of each grid column
    std::vector<double> s_;  // each shape's width, ln units
    std::vector<double> l_;  // ... and its chance of a verdict wrong whatever the rate
    std::vector<double> p_;  // joint probability, x-major (x_.size() * s_.size())
    int verdicts_ = 0;
};

}  // namespace availbw
