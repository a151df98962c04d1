// SPDX-License-Identifier: MIT
// trend.cpp - whether the delays of one stream rise: the stream's delays are
// cut into groups, each group stands for its lowest delay (its floor), and a
// straight line through the floors tells how far they rose over the stream.
// Cross traffic only ever adds delay, so a group's floor is where the queue
// stood when it ran emptiest: below the free rate it keeps coming back to the
// same floor, above it the floor climbs by (R - A) / C of the time that
// passed.  That climb is judged over the whole stream against the scatter of
// the floors about the line, so a slow, steady climb made of steps smaller
// than the noise still reads as rising, and noise alone does not.  Loss that
// the path has anyway says nothing; loss beyond it says the stream was above
// what the path passes.  Pure computation on a series.
#include "availest.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr int kMostGroups = 16;
// A rise counts when it is this many standard errors above none.
constexpr double kSignificance = 2.0;

// The line through the floors at positions x that the most pairs of floors
// agree on (the median of the slopes between pairs, so that one floor thrown
// up by a burst or by what the stream found queued does not tilt it): its
// rise from the first position to the last, and the standard error of that
// rise from the floors' scatter about it (their median distance from it,
// scaled to a standard deviation).
void fit_rise(const std::vector<double>& x, const std::vector<double>& y, double* rise, double* error) {
    const size_t n = x.size();
    std::vector<double> slopes;
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j) slopes.push_back((y[j] - y[i]) / (x[j] - x[i]));
    std::nth_element(slopes.begin(), slopes.begin() + slopes.size() / 2, slopes.end());
    const double slope = slopes[slopes.size() / 2];
    double mx = 0;
    for (double v : x) mx += v;
    mx /= n;
    std::vector<double> offsets, residuals;
    for (size_t i = 0; i < n; ++i) offsets.push_back(y[i] - slope * x[i]);
    std::nth_element(offsets.begin(), offsets.begin() + n / 2, offsets.end());
    const double offset = offsets[n / 2];
    double sxx = 0;
    for (size_t i = 0; i < n; ++i) {
        residuals.push_back(std::fabs(y[i] - offset - slope * x[i]));
        sxx += (x[i] - mx) * (x[i] - mx);
    }
    std::nth_element(residuals.begin(), residuals.begin() + n / 2, residuals.end());
    const double sigma = 1.4826 * residuals[n / 2];
    const double span = x.back() - x.front();
    *rise = slope * span;
    *error = sigma / std::sqrt(sxx) * span;
}

// Whether lost of total packets is more than a path that loses baseLoss of
// its packets anyway would lose by chance: more than three standard
// deviations and a packet and a half above what it would lose.
bool lost_more(int lost, int total, double baseLoss) {
    const double expected = baseLoss * total;
    return lost > expected + 3 * std::sqrt(expected * (1 - baseLoss) + 0.5) + 1.5;
}

}  // namespace

extern "C" int avl_judge_delays(const double* delays, int n, int lost, double baseLoss, int groupsWanted,
                                double tolerance, avl_trend* out) {
    avl_trend t{};
    lost = std::max(lost, 0);
    n = std::max(n, 0);
    const int total = n + lost;
    t.loss = total > 0 ? static_cast<double>(lost) / total : 0;
    // sqrt(n) groups, up to sixteen or the number asked for; fewer than 3
    // groups (9 delays) say nothing.
    int groups = std::min(kMostGroups, static_cast<int>(std::sqrt(static_cast<double>(n))));
    if (groupsWanted > 0) groups = std::min(groups, groupsWanted);
    if (n < 9 || groups < 3) groups = 0;
    t.groups = groups;
    std::vector<double> where, floors;
    for (int g = 0; g < groups; ++g) {
        const int from = g * n / groups, to = (g + 1) * n / groups;
        where.push_back((from + to - 1) / 2.0);
        floors.push_back(*std::min_element(delays + from, delays + to));
    }
    if (groups >= 3) {
        // A queue the stream found, or built with the packets it opened
        // with, first drains: the floors are judged from the lowest of the
        // first half on, while three or more remain.
        const auto lowest = std::min_element(floors.begin(), floors.begin() + (groups - 1) / 2 + 1);
        const auto from = std::min(lowest - floors.begin(), static_cast<std::ptrdiff_t>(groups - 3));
        where.erase(where.begin(), where.begin() + from);
        floors.erase(floors.begin(), floors.begin() + from);
        fit_rise(where, floors, &t.rise, &t.noise);
        // A rise within the tolerance (the stamps' own jitter) or within the
        // floors' scatter is none.
        t.rose = t.rise > std::max(tolerance, kSignificance * t.noise);
    }
    // Loss that the rate caused (a queue that overflowed, or a policer that
    // drops what is sent above its rate) says rising whatever the delays say.
    t.lossy = lost_more(lost, total, std::clamp(baseLoss, 0.0, 1.0));
    int verdict = AVL_UNCLEAR;
    if (t.lossy || t.rose) verdict = AVL_RISING;
    else if (groups >= 3) verdict = AVL_FLAT;
    t.verdict = verdict;
    if (out != nullptr) *out = t;
    return verdict;
}
