// SPDX-License-Identifier: MIT
// trend.cpp - whether the delays of one stream rise: the stream's delays are
// cut into groups, each group stands for its median, and two pairwise tests
// over the medians vote.  Pure computation on a series.
#include "availest.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

double median(std::vector<double> v) {
    const size_t n = v.size();
    std::nth_element(v.begin(), v.begin() + n / 2, v.end());
    const double upper = v[n / 2];
    if (n % 2) return upper;
    return (*std::max_element(v.begin(), v.begin() + n / 2) + upper) / 2;
}

}  // namespace

extern "C" int avl_judge_delays(const double* delays, int n, int lost, avl_trend* out) {
    avl_trend t{};
    const int total = n + (lost > 0 ? lost : 0);
    t.loss = total > 0 ? static_cast<double>(total - n) / total : 0;
    // Groups of about sqrt(n) delays each; fewer than 3 groups says nothing.
    const int groups = n >= 9 ? static_cast<int>(std::sqrt(static_cast<double>(n))) : 0;
    t.groups = groups;
    std::vector<double> medians;
    for (int g = 0; g < groups; ++g) {
        const int from = g * n / groups, to = (g + 1) * n / groups;
        medians.push_back(median(std::vector<double>(delays + from, delays + to)));
    }
    int verdict = AVL_UNCLEAR;
    if (t.loss > AVL_HEAVY_LOSS) {
        verdict = AVL_RISING;  // a queue that overflows is a queue that grew
    } else if (groups >= 3) {
        int up = 0;
        double travel = 0;
        for (int g = 1; g < groups; ++g) {
            up += medians[g] > medians[g - 1];
            travel += std::fabs(medians[g] - medians[g - 1]);
        }
        t.rise = medians.back() - medians.front();
        t.pct = static_cast<double>(up) / (groups - 1);
        t.pdt = travel > 0 ? t.rise / travel : 0;
        const int byPct = t.pct > 0.66 ? 1 : t.pct < 0.54 ? -1 : 0;
        const int byPdt = t.pdt > 0.55 ? 1 : t.pdt < 0.45 ? -1 : 0;
        if (byPct + byPdt > 0) verdict = AVL_RISING;
        else if (byPct + byPdt < 0) verdict = AVL_FLAT;
    }
    t.verdict = verdict;
    if (out != nullptr) *out = t;
    return verdict;
}
