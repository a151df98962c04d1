/* SPDX-License-Identifier: MIT */
// summary.h - the closing arithmetic of the pass loop, kept apart so that it
// can be checked with any set of pass estimates.  Internal to the module.
#pragma once

// Adds the positive estimates of passes 0..passes-1 in single precision,
// prints "valid reading #=N, sum=S, avg=A" (A unrounded, NaN when N is 0) and
// returns the mean in single precision, or 0 when no estimate was positive.
float summarizeEstimates(const float* estimates, int passes);
