// SPDX-License-Identifier: MIT
// series.cpp - the pure parts of watching: the schedule, the time format, the
// change test and the summary.
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "report.h"
#include "watch.h"

namespace watch {

Sample sampleOf(const avl_result& r, int64_t unixMs) {
    Sample s;
    s.unixMs = unixMs;
    s.answered = availbw::hasEstimate(r);
    if (s.answered) {
        s.estimateBps = r.available_bps;
        s.lowBps = r.low_bps;
        s.highBps = r.high_bps;
    } else {
        s.reason = availbw::noEstimateReason(r);
    }
    s.capacityBps = r.capacity_bps > 0 && std::isfinite(r.capacity_bps) ? r.capacity_bps : 0;
    s.elastic = r.elastic;
    s.probeBytes = r.probe_bytes;
    s.durationS = r.duration_s;
    return s;
}

std::string formatTime(int64_t unixMs) {
    // Floor division, so times before 1970 keep a millisecond part in 0..999.
    int64_t seconds = unixMs / 1000, ms = unixMs % 1000;
    if (ms < 0) ms += 1000, seconds -= 1;
    const time_t t = static_cast<time_t>(seconds);
    struct tm utc {};
    if (gmtime_r(&t, &utc) == nullptr) return "invalid-time";
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms));
    return text;
}

Schedule::Schedule(double intervalS, double firstStartS, uint64_t seed)
    : interval_(intervalS), planned_(firstStartS + intervalS), random_(seed) {}

double Schedule::next(double lastEndS, bool* late) {
    std::uniform_real_distribution<double> move(-kJitter * interval_, kJitter * interval_);
    const double start = planned_ + move(random_);
    *late = lastEndS > start;
    if (*late) {
        planned_ = lastEndS + interval_;
        return lastEndS;
    }
    planned_ += interval_;
    return start;
}

namespace {

double medianOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return percentile(v, 0.5);
}

}  // namespace

std::optional<Change> ChangeDetector::add(size_t index, double estimateBps, double lowBps, double highBps) {
    Point p{index, estimateBps, std::max(0.0, (highBps - lowBps) / 2), 0};
    // The reference: the latest kReference measurements of this level.
    const size_t end = level_.size();
    const size_t begin = end > static_cast<size_t>(kReference) ? end - kReference : 0;
    if (end - begin < static_cast<size_t>(kWarmup)) {
        level_.push_back(p);  // too few to judge against
        return std::nullopt;
    }
    std::vector<double> values, widths, deviations;
    for (size_t i = begin; i < end; ++i) {
        values.push_back(level_[i].value);
        widths.push_back(level_[i].halfWidth);
    }
    const double reference = medianOf(values);
    // The scatter about it from more of the level, for a steadier figure.
    for (size_t i = end > static_cast<size_t>(kScatterWindow) ? end - kScatterWindow : 0; i < end; ++i)
        deviations.push_back(std::fabs(level_[i].value - reference));
    const double scatter = kScatter * 1.4826 * medianOf(deviations);  // 1.4826: MAD to standard deviation
    const double referenceWidth = medianOf(widths);
    const double scale = std::max({std::hypot(p.halfWidth, referenceWidth), scatter, kFloor * std::fabs(reference)});
    const double z = scale > 0 ? std::clamp((p.value - reference) / scale, -kClip, kClip) : 0;
    p.z = z;
    level_.push_back(p);
    const size_t here = level_.size() - 1;
    if (up_ == 0) upStart_ = here;
    if (down_ == 0) downStart_ = here;
    up_ = std::max(0.0, up_ + z - kSlack);
    down_ = std::max(0.0, down_ - z - kSlack);
    if (up_ < kThreshold && down_ < kThreshold) {
        // A long steady level keeps only what the reference and the scatter read.
        if (up_ == 0 && down_ == 0 && level_.size() > 4 * static_cast<size_t>(kScatterWindow))
            level_.erase(level_.begin(), level_.end() - kScatterWindow);
        return std::nullopt;
    }

    // Confirmed.  The new level began with the unbroken tail of measurements
    // at least kOnset off in the sum's direction; without one, where the sum
    // began to grow.
    const double direction = up_ >= kThreshold ? 1 : -1;
    const size_t runStart = direction > 0 ? upStart_ : downStart_;
    size_t start = here + 1;
    while (start > runStart && direction * level_[start - 1].z >= kOnset) --start;
    if (start > here) start = runStart;
    std::vector<Point> fresh(level_.begin() + static_cast<std::ptrdiff_t>(start), level_.end());
    std::vector<double> freshValues;
    for (const Point& f : fresh) freshValues.push_back(f.value);
    const Change c{fresh.front().index, index, reference, medianOf(freshValues)};
    level_ = std::move(fresh);
    up_ = down_ = 0;
    return c;
}

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    const double rank = std::clamp(p, 0.0, 1.0) * static_cast<double>(sorted.size() - 1);
    const size_t below = static_cast<size_t>(std::floor(rank));
    const size_t above = std::min(below + 1, sorted.size() - 1);
    return sorted[below] + (rank - static_cast<double>(below)) * (sorted[above] - sorted[below]);
}

Summary summarize(const std::vector<Sample>& samples, int changes, double elapsedS) {
    Summary s;
    s.made = static_cast<int>(samples.size());
    s.changes = changes;
    s.elapsedS = elapsedS;
    std::vector<double> estimates;
    for (const Sample& m : samples) {
        s.probeBytes += m.probeBytes;
        if (m.answered) estimates.push_back(m.estimateBps);
    }
    s.answered = static_cast<int>(estimates.size());
    std::sort(estimates.begin(), estimates.end());
    if (!estimates.empty()) {
        s.medianBps = percentile(estimates, 0.5);
        s.p10Bps = percentile(estimates, 0.1);
        s.p90Bps = percentile(estimates, 0.9);
        s.lowestBps = estimates.front();
        s.highestBps = estimates.back();
    }
    s.loadBps = elapsedS > 0 ? static_cast<double>(s.probeBytes) * 8 / elapsedS : 0;
    return s;
}

}  // namespace watch
