// SPDX-License-Identifier: MIT
// report.h - what availbw prints about a measurement: rates and sizes in
// units a person reads, the text report and the JSON object.  Pure functions
// of a finished avl_result, so they are tested without a socket.
#pragma once

#include <cstdint>
#include <string>

#include "availest.h"

namespace availbw {

// "rising", "flat" or "unclear" (also for a value the library never gives).
const char* verdictName(int verdict);

// True when the result holds an estimate: a positive, finite figure with at
// least one round behind it.
bool hasEstimate(const avl_result& r);

// A unit for rates: bits per second in it, and its name ("Mbit/s").
struct RateUnit {
    double scale;
    const char* name;
};

// The largest unit in which the rate reads at least 1 once rounded to three
// significant digits (999.96 Mbit/s reads 1.00 Gbit/s, not 1000 Mbit/s).
RateUnit rateUnit(double bps);

// A rate in bit/s, kbit/s, Mbit/s or Gbit/s, whichever keeps it between 1
// and 1000, to three significant digits: "28.6 Mbit/s".
std::string formatRate(double bps);

// A range in the unit of its upper end: "27.4 - 29.9 Mbit/s".
std::string formatRange(double lowBps, double highBps);

// A byte count in bytes, kB or MB (powers of 1000): "0.91 MB".
std::string formatBytes(int64_t bytes);

// The support of the estimate in words: "5 of 6 rounds agree".
std::string formatSupport(int support, int rounds);

// Why a result holds no estimate: the library's reason, or what is left when
// it gave none.
std::string noEstimateReason(const avl_result& r);

// The text report: aligned lines, one fact each.  host is the name as given.
std::string textReport(const avl_result& r, const std::string& host);

// The JSON object, on one line without a line end.  Figures that do not
// exist (no estimate, no capacity measured) are null.
std::string jsonReport(const avl_result& r, const std::string& host);

}  // namespace availbw
