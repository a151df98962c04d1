// SPDX-License-Identifier: MIT
// samples.cpp - the mean free rate from the streams' windows; see samples.h.
#include "samples.h"

#include <algorithm>
#include <cmath>

#include "tuning.h"

namespace availbw {

using namespace tuning;

MeanRange censoredMean(const std::vector<double>& values, const std::vector<double>& floors, double mass) {
    MeanRange m;
    if (values.size() < 3) return m;
    const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    double top = *hi;
    for (double f : floors) top = std::max(top, f);
    const double scale = *hi;
    if (!(scale > 0)) return m;
    // The grid reaches half the highest value below the lowest and above
    // the highest value or floor.
    const double from = std::max(0.0, *lo - 0.5 * scale), to = top + 0.5 * scale;
    std::vector<double> mu(kMeans), sigma(kSpreads), logLik(kMeans * kSpreads);
    for (int i = 0; i < kMeans; ++i) mu[i] = from + (to - from) * (i + 0.5) / kMeans;
    for (int j = 0; j < kSpreads; ++j)
        sigma[j] = scale * kLeastSpread * std::pow(kMostSpread / kLeastSpread, j / (kSpreads - 1.0));
    double best = -INFINITY;
    for (int i = 0; i < kMeans; ++i)
        for (int j = 0; j < kSpreads; ++j) {
            const double s = sigma[j];
            double l = -static_cast<double>(values.size()) * std::log(s);
            for (double v : values) l -= 0.5 * (v - mu[i]) * (v - mu[i]) / (s * s);
            // A floor: the chance that the window had more free than it.
            for (double f : floors) l += std::log(std::max(0.5 * std::erfc((f - mu[i]) / (s * std::sqrt(2.0))), 1e-300));
            logLik[i * kSpreads + j] = l;
            best = std::max(best, l);
        }
    std::vector<double> marginal(kMeans, 0.0);
    double total = 0;
    for (int i = 0; i < kMeans; ++i) {
        for (int j = 0; j < kSpreads; ++j) marginal[i] += std::exp(logLik[i * kSpreads + j] - best);
        total += marginal[i];
    }
    const auto quantile = [&](double p) {
        double sum = 0;
        for (int i = 0; i < kMeans; ++i) {
            const double next = sum + marginal[i] / total;
            if (next >= p) {
                // Within the cell, in proportion to its share.
                const double within = marginal[i] > 0 ? (p - sum) / (marginal[i] / total) : 0.5;
                return mu[i] + (to - from) / kMeans * (within - 0.5);
            }
            sum = next;
        }
        return mu.back();
    };
    const double tail = (1 - mass) / 2;
    m.low = quantile(tail);
    m.middle = quantile(0.5);
    m.high = quantile(1 - tail);
    m.known = true;
    return m;
}

}  // namespace availbw
