// SPDX-License-Identifier: MIT
// report.h - what availbw prints about a measurement: rates and sizes in
// units a person reads, the text report and the JSON object.  Pure functions
// of a finished avl_result, so they are tested without a socket.
#pragma once

#include <cstdint>
#include <string>

#include "availest.h"
#include "tuning.h"

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

// A rate in the unit of prefix 'k', 'm' or 'g' (kbit/s, Mbit/s, Gbit/s), to
// three significant digits or more for large values; prefix 0 adapts as above.
std::string formatRate(double bps, char prefix);

// Ethernet's header on every frame, which interface counters count on top of
// the IP datagram (no preamble, frame check or gap).
using tuning::kLinkHeaderBytes;

// An IP rate of packets of packetBytes (IP) as link bits, or as it is for IP
// accounting (link false) or an unknown packet size.
double accounted(double ipBps, int packetBytes, bool link);

// How a report reads: the unit of its rates, the accounting of its bits, how
// much of the method it shows, and what the program adds to the JSON object.
struct ReportOptions {
    char unit = 0;       // 0: adapts to each figure; 'k', 'm' or 'g': that prefix for all
    bool link = false;   // rates as Ethernet frame bits (IP bytes + 14 a packet), not IP bits
    bool verbose = false;  // the method's details too
    std::string version;   // the program's version, for the JSON object ("" leaves the key out)
    std::string time;      // start of the measurement in RFC 3339, UTC ("": null)
    int status = -1;       // the exit status, for the JSON object (< 0 leaves the key out)
    std::string errorCode; // what went wrong besides the measurement ("": none)
    std::string errorMessage;
};

// The text of a time in RFC 3339, UTC, to the millisecond: "2026-12-08T19:46:10.123Z".
std::string rfc3339(int64_t unixMs);

// The JSON object of a run that measured nothing: the error's code and
// message, the exit status and the version; one line without a line end.
std::string jsonError(const std::string& code, const std::string& message, int status, const std::string& version,
                      const char* host);

// The progress line after a stream: "availbw: 4 streams, round 1, last 35.0
// Mbit/s rising, 72.0 kB, 0.31 s".
std::string progressLine(const avl_result& sofar, const ReportOptions& o = {});

// A range in the unit of its upper end: "27.4 - 29.9 Mbit/s".
std::string formatRange(double lowBps, double highBps);

// A byte count in bytes, kB or MB (powers of 1000): "0.91 MB".
std::string formatBytes(int64_t bytes);


// When a budget ended the measurement: which option lets it go on, and a
// value that would do ("--max-bytes 2M lets it go on"); "" otherwise.
std::string budgetHint(const avl_result& r);

// Why a result holds no estimate: the library's reason, or what is left when
// it gave none.
std::string noEstimateReason(const avl_result& r);

// The text report: aligned lines, one fact each.  host is the name as given.
std::string textReport(const avl_result& r, const std::string& host, const ReportOptions& o = {});

// The JSON object, on one line without a line end.  Figures that do not
// exist (no estimate, no capacity measured) are null.
std::string jsonReport(const avl_result& r, const std::string& host, const ReportOptions& o = {});

}  // namespace availbw
