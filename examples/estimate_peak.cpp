// SPDX-License-Identifier: MIT
// estimate_peak - combines two series of bandwidth estimates with the ovintra
// interval sets and prints the interval on which most of them agree.
//
// Each estimate (Mbit/s) is widened by 5 % into an interval; overlapping
// intervals of a series merge, the two series are united with support counts,
// and the peak is the interval that holds the most estimates.
#include <cstdio>
#include <memory>
#include <vector>

#include <ovintra.h>

namespace {

// Sets returned by the library belong to the caller; this releases them.
struct SetDeleter {
    void operator()(Set* set) const { destroySet(set); }
};
using SetPtr = std::unique_ptr<Set, SetDeleter>;

// One coalesced set of fuzzy intervals from estimates in ascending order.
SetPtr makeCoalesced(const std::vector<float>& estimates, float fuzz) {
    SetPtr set(createSet(estimates.data(), static_cast<int>(estimates.size()), fuzz));
    coalesceSet(set.get());
    return set;
}

}  // namespace

int main() {
    // Two runs against the same path; each series sorted ascending.
    const std::vector<float> morning = {41.0f, 47.5f, 48.2f, 49.0f, 63.0f};
    const std::vector<float> evening = {46.8f, 47.9f, 50.1f, 71.5f};
    const float fuzz = 0.05f;

    SetPtr first = makeCoalesced(morning, fuzz);
    SetPtr second = makeCoalesced(evening, fuzz);
    SetPtr both(unionSets(first.get(), second.get()));
    if (!both) {
        std::printf("no estimates\n");
        return 1;
    }

    Set* peakSet = nullptr;
    int peak = 0;
    int series = 0;
    findPeakInSet(both.get(), &peakSet, &peak, &series);
    SetPtr peaks(peakSet);

    std::printf("%d estimates in %d intervals\n", static_cast<int>(morning.size() + evening.size()),
                setSize(both.get()));
    for (const Element* e = peaks->head; e != nullptr; e = e->next) {
        std::printf("peak: %d estimates from %d series agree on %.2f .. %.2f Mbit/s\n", peak, series,
                    e->low, e->high);
    }
    return 0;
}
