// SPDX-License-Identifier: MIT
// posterior.cpp - the grid posterior over the verdict curve's midpoint and
// width; see posterior.h.
#include "posterior.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "tuning.h"

namespace availbw {

using namespace tuning;

Posterior::Posterior(double low, double high) {
    low = std::max(low, 1.0);
    high = std::max(high, low * 1.01);
    const double a = std::log(low), b = std::log(high);
    for (int i = 0; i < kGridPoints; ++i) x_.push_back(a + (b - a) * (i + 0.5) / kGridPoints);
    // Each curve's shape: a width and a chance of a verdict wrong whatever
    // the rate, with the prior weight of that chance.
    std::vector<double> weight;
    for (int j = 0; j < kWidthPoints; ++j)
        for (size_t k = 0; k < std::size(kLapses); ++k) {
            s_.push_back(kNarrowestWidth * std::pow(kWidestWidth / kNarrowestWidth, j / (kWidthPoints - 1.0)));
            l_.push_back(kLapses[k]);
            weight.push_back(kLapseWeights[k]);
        }
    // Every midpoint alike: on a grid even in ln M, a cell's weight is its
    // width in M, which grows with M.
    p_.resize(x_.size() * s_.size());
    for (size_t i = 0; i < x_.size(); ++i)
        for (size_t j = 0; j < s_.size(); ++j) p_[i * s_.size() + j] = weight[j] * std::exp(x_[i] - x_.back());
    normalize(&p_);
}

namespace {

// The standard normal distribution function, from a table: the search
// weighs every rate against every grid cell, and erfc is slow.
double normal_cdf(double z) {
    constexpr int kSteps = 1600;  // over -8 .. 8
    static const std::vector<double> table = [] {
        std::vector<double> t(kSteps + 1);
        for (int i = 0; i <= kSteps; ++i) t[i] = 0.5 * std::erfc(-(-8.0 + 16.0 * i / kSteps) / std::sqrt(2.0));
        return t;
    }();
    const double at = (z + 8.0) * kSteps / 16.0;
    if (!(at > 0)) return 0;
    if (at >= kSteps) return 1;
    const int i = static_cast<int>(at);
    return table[i] + (table[i + 1] - table[i]) * (at - i);
}

}  // namespace

double Posterior::rising(double lnRate, int xi, int si) const {
    return l_[si] + (1 - 2 * l_[si]) * normal_cdf((lnRate - x_[xi]) / s_[si]);
}

void Posterior::normalize(std::vector<double>* joint) const {
    double sum = 0;
    for (double v : *joint) sum += v;
    if (sum > 0)
        for (double& v : *joint) v /= sum;
}

std::vector<double> Posterior::marginal(const std::vector<double>& joint) const {
    std::vector<double> m(x_.size(), 0.0);
    for (size_t i = 0; i < x_.size(); ++i)
        for (size_t j = 0; j < s_.size(); ++j) m[i] += joint[i * s_.size() + j];
    return m;
}

void Posterior::add(double rate, bool rose) {
    if (!(rate > 0)) return;
    const double r = std::log(rate);
    for (size_t i = 0; i < x_.size(); ++i)
        for (size_t j = 0; j < s_.size(); ++j) {
            const double up = rising(r, static_cast<int>(i), static_cast<int>(j));
            p_[i * s_.size() + j] *= rose ? up : 1 - up;
        }
    normalize(&p_);
    ++verdicts_;
}

double Posterior::quantile(double p) const {
    const std::vector<double> m = marginal(p_);
    const double step = x_.size() > 1 ? x_[1] - x_[0] : 0;
    double below = 0;
    for (size_t i = 0; i < m.size(); ++i) {
        if (below + m[i] >= p) {
            // Spread each cell's mass evenly over its width.
            const double into = m[i] > 0 ? (p - below) / m[i] : 0.5;
            return std::exp(x_[i] - step / 2 + into * step);
        }
        below += m[i];
    }
    return std::exp(x_.back() + step / 2);
}

double Posterior::freeQuantile(double p, double base, double perWidth) const {
    std::vector<std::pair<double, double>> cells;  // (ln free rate, probability)
    cells.reserve(p_.size());
    for (size_t i = 0; i < x_.size(); ++i)
        for (size_t j = 0; j < s_.size(); ++j)
            cells.emplace_back(x_[i] - std::log1p(base + perWidth * std::min(s_[j], kBiasWidest)), p_[i * s_.size() + j]);
    std::sort(cells.begin(), cells.end());
    double below = 0;
    for (const auto& [at, mass] : cells) {
        below += mass;
        if (below >= p) return std::exp(at);
    }
    return std::exp(cells.back().first);
}

double Posterior::width() const {
    double w = 0;
    for (size_t i = 0; i < x_.size(); ++i)
        for (size_t j = 0; j < s_.size(); ++j) w += p_[i * s_.size() + j] * s_[j];
    return w;
}

double Posterior::nextRate() const {
    const double lo = std::log(quantile(kProbeFrom)), hi = std::log(quantile(1 - kProbeFrom));
    double best = (lo + hi) / 2, least = INFINITY;
    const auto entropy = [](const std::vector<double>& m) {
        double h = 0, sum = 0;
        for (double v : m) sum += v;
        for (double v : m)
            if (v > 0) h -= v / sum * std::log(v / sum);
        return h;
    };
    for (int k = 0; k < kCandidates && hi > lo; ++k) {
        const double r = lo + (hi - lo) * k / (kCandidates - 1.0);
        std::vector<double> up(p_.size()), down(p_.size());
        double pUp = 0;
        for (size_t i = 0; i < x_.size(); ++i)
            for (size_t j = 0; j < s_.size(); ++j) {
                const size_t c = i * s_.size() + j;
                const double q = rising(r, static_cast<int>(i), static_cast<int>(j));
                up[c] = p_[c] * q;
                down[c] = p_[c] * (1 - q);
                pUp += up[c];
            }
        const double expected = pUp * entropy(marginal(up)) + (1 - pUp) * entropy(marginal(down));
        if (expected < least) least = expected, best = r;
    }
    return std::exp(best);
}

}  // namespace availbw
