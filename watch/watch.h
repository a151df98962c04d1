// SPDX-License-Identifier: MIT
// watch.h - availbw watching a path over time: a measurement every interval,
// a line (or a JSON object) for each, changes in the free rate found as they
// happen, a summary at the end and a time-series picture kept up to date.
//
// Everything but run() is a pure function of the measurements it is given,
// so the schedule, the change test, the summary and the output are tested on
// synthetic series.  run() owns the clock, the signals and the files.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "availest.h"

namespace watch {

// Seconds between measurements when --count is given without --interval.
constexpr double kDefaultInterval = 10;

// One measurement as watching keeps it.
struct Sample {
    int64_t unixMs = 0;     // when it started, milliseconds since 1970 (UTC)
    bool answered = false;  // it gave an estimate
    double estimateBps = 0, lowBps = 0, highBps = 0;
    double capacityBps = 0; // 0: not measured
    int elastic = AVL_ELASTIC_UNKNOWN;
    int64_t probeBytes = 0;
    double durationS = 0;
    std::string reason;     // without an estimate: why
};

// The watching part of a finished measurement.
Sample sampleOf(const avl_result& r, int64_t unixMs);

// "2026-12-08T18:40:01.123Z": RFC 3339, UTC, milliseconds.
std::string formatTime(int64_t unixMs);

// When each measurement starts, in seconds on a clock of the caller's.  The
// k-th is planned at k intervals after the first, moved at random by up to a
// tenth of the interval either way, so that the measurements do not lock onto
// a period in the cross traffic.  A measurement that ends after the next one's
// planned start makes that one start at once, and the plan goes on one
// interval after that late start (measurements are never crowded to catch up).
class Schedule {
public:
    static constexpr double kJitter = 0.1;  // share of the interval a start moves by at most

    Schedule(double intervalS, double firstStartS, uint64_t seed);
    // The start of the next measurement, given when the last one ended.
    // *late is set when that end was past the planned start.
    double next(double lastEndS, bool* late);

private:
    double interval_;
    double planned_;  // the next start before its random move
    std::mt19937_64 random_;
};

// A change in the free rate that the measurements confirmed.
struct Change {
    size_t first = 0;     // sample (index into the caller's series) where the new level began
    size_t reported = 0;  // sample that confirmed it
    double fromBps = 0;   // the level before: median of the reference measurements
    double toBps = 0;     // the new level: median of the measurements since `first`
};

// Finds lasting steps in the free rate with a two-sided CUSUM of standardized
// steps.  Each answered measurement is compared with a reference level, the
// median of up to kReference earlier measurements at the current level; the
// step is divided by the uncertainty of both: their ranges' half widths
// combined (the root of the sum of their squares), or the level's own
// scatter when the ranges are narrower than that, or a share of the level,
// whichever is largest.  Standardized steps
// above kSlack add to the upward sum, those below -kSlack to the downward one,
// each step counting at most kClip; a sum reaching kThreshold is a change.
//
// With these numbers, a step of three combined half widths is confirmed by
// the second measurement after it, one of 1.9 by the third, and a single
// stray measurement, however far off, never reaches the threshold alone.
// A median of 9 moves only once five measurements are at a new level, so a
// step is confirmed long before it drags the reference after it; a reference
// that started off (from its first five) mends itself as more come in.
// When a change is confirmed, the new level begins with the unbroken run of
// measurements at least kOnset off the reference, and starts afresh from them.
class ChangeDetector {
public:
    static constexpr int kReference = 9;     // a median of 9 shrugs off 4 stray values
    static constexpr int kWarmup = 5;        // no test until the reference holds this many: a
                                             // scatter read from fewer is too unsteady
    static constexpr double kSlack = 0.5;    // steps of half the combined half widths are noise
    static constexpr double kClip = 3;       // what one measurement adds at most, before the slack
    static constexpr double kThreshold = 4;  // evidence that confirms a change
    static constexpr double kScatter = 2;    // the level's scatter counts as two standard
                                             // deviations (from its median absolute deviation)
    static constexpr int kScatterWindow = 30;  // measurements the scatter is taken from
    static constexpr double kFloor = 0.02;   // the uncertainty is at least 2 % of the level
    static constexpr double kOnset = 1.5;    // a confirmed level began with the measurements
                                             // 1.5 combined half widths or more off the reference

    // Feeds an answered measurement (index is the caller's, for Change);
    // returns the change it confirms, if any.
    std::optional<Change> add(size_t index, double estimateBps, double lowBps, double highBps);

private:
    struct Point {
        size_t index;
        double value, halfWidth;
        double z;  // its standardized step, as it was tested
    };
    std::vector<Point> level_;  // answered measurements since the last change
    double up_ = 0, down_ = 0;  // the two sums
    size_t upStart_ = 0, downStart_ = 0;  // where in level_ each sum's current run began
};

// What a watch found, for the summary and the end record.
struct Summary {
    int made = 0, answered = 0;
    double medianBps = 0, p10Bps = 0, p90Bps = 0, lowestBps = 0, highestBps = 0;  // of the estimates
    int changes = 0;
    int64_t probeBytes = 0;
    double elapsedS = 0;
    double loadBps = 0;  // probe bits over the time watched
};

Summary summarize(const std::vector<Sample>& samples, int changes, double elapsedS);

// The share p (0..1) of sorted values lies below: linear between ranks.
double percentile(const std::vector<double>& sorted, double p);

// What a watch states before its first line: the target, the pace, and what a
// measurement costs (the first one's bytes, its budget).
struct Start {
    std::string host, address, version;
    double intervalS = 0;
    int count = 0;  // 0: until interrupted
    int64_t unixMs = 0;
    int64_t firstBytes = 0;   // what the first measurement cost
    int64_t budgetBytes = 0;  // the byte budget a measurement ran under (0: not known)
    double capacityBps = 0;   // the first measurement's capacity (0: none)
};

// The text lines, each with its line end.
std::string textStart(const Start& s);
std::string textSample(const Sample& s);
std::string textChange(const Change& c, const std::vector<Sample>& samples);
std::string textSummary(const Summary& s, const std::string& host);

// The JSON Lines records, each one object on one line with its line end.
// sampleJson takes the single run's JSON object (availbw::jsonReport) and
// adds type, time and unix_s; the streams stay out unless withStreams.
std::string startJson(const Start& s);
std::string sampleJson(const std::string& runJson, const avl_result& r, const Sample& s, bool withStreams);
std::string changeJson(const Change& c, const std::vector<Sample>& samples);
std::string endJson(const Summary& s, int64_t unixMs, const char* ended);

// The time series as an SVG document: UTC time to the right, the ranges as a
// band, the estimates as points joined by a line, the capacity, a mark for
// each measurement without an estimate (its reason as a tooltip) and one for
// each change.  Draws the last kPlotSamples measurements.
constexpr size_t kPlotSamples = 1440;
std::string plotSvg(const std::vector<Sample>& samples, const std::vector<Change>& changes, const std::string& host);

// Writes data to path through a temporary file in the same directory renamed
// over it, so a reader sees the old document or the new one, never a part.
// Only over a regular file or nothing: false with errno EEXIST otherwise
// (and errno of the failing call on other errors).
bool writeAtomically(const std::string& path, const std::string& data);

// How availbw watches.
struct Config {
    const char* host = nullptr;
    avl_session* session = nullptr;  // open: every measurement on it; null: each opens its own
    avl_options options{};
    double intervalS = kDefaultInterval;
    int count = 0;  // 0: until SIGINT or SIGTERM
    bool json = false;
    bool streams = false;  // the samples keep the per-stream array
    const char* plotPath = nullptr;
    const char* version = "";
};

// Measures again and again as configured, printing as it goes, until the
// count is reached or SIGINT or SIGTERM comes (the measurement under way is
// then abandoned).  Returns the exit status: 0 when a measurement answered,
// 2 when none did, 1 when the plot cannot be written.  When the first
// measurement fails before any probe (avl_measure's negative errors), returns
// -1 with that error in *measureError and errno in *measureErrno, for the
// caller to report as it does for a single run.
int run(const Config& config, int* measureError, int* measureErrno);

}  // namespace watch
