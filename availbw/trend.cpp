// SPDX-License-Identifier: MIT
// trend.cpp - whether the delays of one stream rise: the stream's delays are
// cut into a few groups, each group stands for its lowest delay, and two
// pairwise tests over those floors vote.  Cross traffic only ever adds delay,
// so a group's floor is where the queue stood when it ran emptiest: below the
// free rate it keeps coming back to the same floor, above it the floor climbs.
// With at most six groups, each spans a sixth of the stream, and bursts of
// cross traffic shorter than that are seen whole within one group.  Pure
// computation on a series.
#include "availest.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr int kMostGroups = 6;

}  // namespace

extern "C" int avl_judge_delays(const double* delays, int n, int lost, int groupsWanted, double tolerance,
                                avl_trend* out) {
    avl_trend t{};
    const int total = n + (lost > 0 ? lost : 0);
    t.loss = total > 0 ? static_cast<double>(total - n) / total : 0;
    // sqrt(n) groups, up to six or the number asked for; fewer than 3 groups
    // (9 delays) say nothing.
    int groups = std::min(kMostGroups, static_cast<int>(std::sqrt(static_cast<double>(n))));
    if (groupsWanted > 0) groups = std::min(groups, groupsWanted);
    if (n < 9 || groups < 3) groups = 0;
    t.groups = groups;
    std::vector<double> floors;
    for (int g = 0; g < groups; ++g) {
        const int from = g * n / groups, to = (g + 1) * n / groups;
        floors.push_back(*std::min_element(delays + from, delays + to));
    }
    int verdict = AVL_UNCLEAR;
    if (t.loss > AVL_HEAVY_LOSS) {
        verdict = AVL_RISING;  // a queue that overflows is a queue that grew
    } else if (groups >= 3) {
        // Steps within the tolerance are noise: no step at all.
        int up = 0;
        double travel = 0;
        for (int g = 1; g < groups; ++g) {
            const double step = floors[g] - floors[g - 1];
            if (std::fabs(step) <= tolerance) continue;
            up += step > 0;
            travel += std::fabs(step);
        }
        t.rise = floors.back() - floors.front();
        t.pct = static_cast<double>(up) / (groups - 1);
        t.pdt = travel > 0 && std::fabs(t.rise) > tolerance ? t.rise / travel : 0;
        const int byPct = t.pct > 0.66 ? 1 : t.pct < 0.54 ? -1 : 0;
        const int byPdt = t.pdt > 0.55 ? 1 : t.pdt < 0.45 ? -1 : 0;
        if (byPct + byPdt > 0) verdict = AVL_RISING;
        else if (byPct + byPdt < 0) verdict = AVL_FLAT;
    }
    t.verdict = verdict;
    if (out != nullptr) *out = t;
    return verdict;
}
