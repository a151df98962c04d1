// SPDX-License-Identifier: MIT
// samples.h - what the streams' own delays say of the free rate.
//
// A stream whose rate is above what the others leave free keeps the
// bottleneck busy: its rate less the capacity times its delays' slope is
// the free rate of its window, to a few percent, whatever the others did
// in it.  A stream below it lets the queue empty, and that difference is
// then only a floor: the window had at least that much free.  Under
// traffic that arrives at random, windows of a few milliseconds scatter by
// a tenth or more about the mean, and the verdicts near the free rate read
// either way; the windows' values say more per stream.  Their mean is
// estimated from both kinds of sample, the floors as censored values of a
// normal distribution of unknown mean and spread, on a grid: flat in the
// mean, flat in the logarithm of the spread.  Pure computation.
#pragma once

#include <vector>

namespace availbw {

struct MeanRange {
    bool known = false;  // false: too few values to say
    double low = 0, middle = 0, high = 0;
};

// The range that holds the windows' mean with probability mass (its central
// part), and its median, from the windows measured (values) and the
// windows known only to have had at least so much free (floors).  Needs
// three values.
MeanRange censoredMean(const std::vector<double>& values, const std::vector<double>& floors, double mass);

}  // namespace availbw
