// SPDX-License-Identifier: MIT
// The set algebra on the worked examples: coalescing, union, intersection,
// fuzz changes and the peak search.
#include <gtest/gtest.h>

#include <cmath>

#include "helpers.h"

namespace {
const std::vector<float> kA = {1, 2, 3, 4, 5};
const std::vector<float> kB = {0.5f, 2.5f, 3.0f, 4.1f};
const std::vector<float> kC = {1.0f, 1.3f, 2.34f, 6.7f, 9.0f};

Element* chainOf(std::vector<std::pair<float, float>> spans, int count) {
    Element *head = nullptr, **link = &head;
    for (auto [low, high] : spans) {
        *link = makeElement();
        (*link)->low = low;
        (*link)->high = high;
        (*link)->count = count++;
        link = &(*link)->next;
    }
    return head;
}
}  // namespace

TEST(OvintraAlgebra, CreateAndCoalesce) {
    SetPtr a = makeFrom(kA, 0.1f, false);
    EXPECT_EQ(bounds(a.get()), "0.9-1.1/1 1.8-2.2/1 2.7-3.3/1 3.6-4.4/1 4.5-5.5/1");
    for (Element* e : elementsOf(a.get())) {
        EXPECT_EQ(idsOf(e), std::vector<uintptr_t>{idOf(a.get())});
        EXPECT_EQ(e->kind, BASE);
    }
    coalesceSet(a.get());
    EXPECT_EQ(bounds(a.get()), "0.9-1.1/1 1.8-2.2/1 2.7-3.3/1 3.6-4.4/1 4.5-5.5/1");
    EXPECT_EQ(setSize(a.get()), 5);
    EXPECT_EQ(elementsOf(a.get())[4]->kind, DERIVED);

    SetPtr b = makeFrom(kB, 0.5f);
    EXPECT_EQ(bounds(b.get()), "0.25-0.75/1 1.25-6.15/3");
    EXPECT_EQ(setSize(b.get()), 2);
    EXPECT_EQ(elementsOf(b.get())[1]->numSetIDs, 1);

    SetPtr neg = makeFrom({-1.0f, 1.0f, 1.0f}, 0.1f, false);  // equal neighbours accepted
    Element out{};
    EXPECT_EQ(bounds(neg.get()), "-0.9--1.1/1 0.9-1.1/1 0.9-1.1/1");
    EXPECT_EQ(overlap(neg->head, neg->head, &out), 0);
    std::unique_ptr<float[]> nothing(new float[0]);  // no values: an empty set, nothing read
    for (int n : {0, -1}) {
        SetPtr none(createSet(nothing.get(), n, 0.1f));
        EXPECT_EQ(setSize(none.get()), 0);
        EXPECT_EQ(none->head, nullptr);
    }

    // The fold takes the later upper bound; touching intervals merge.
    SetPtr s(makeSet());
    s->head = chainOf({{1, 10}, {2, 3}, {3, 4}, {5, 6}}, 2);
    s->count = 4;
    EXPECT_EQ(overlap(s->head->next, s->head->next->next, &out), 1);
    EXPECT_EQ(out.low, 3.0f);
    EXPECT_EQ(out.high, 3.0f);
    std::string printed = captureStdout([&] { coalesceSet(s.get()); });
    EXPECT_EQ(printed, "");
    EXPECT_EQ(bounds(s.get()), "1-4/9 5-6/5");
    EXPECT_EQ(setSize(s.get()), 2);
}

TEST(OvintraAlgebra, UnionAddsSupportAndRestoresInputs) {
    SetPtr a = makeFrom(kA, 0.1f), b = makeFrom(kB, 0.5f), c = makeFrom(kC, 0.1f);
    SetPtr u1, u2;
    EXPECT_EQ(captureStdout([&] { u1.reset(unionSets(a.get(), b.get())); }), "");
    EXPECT_EQ(bounds(u1.get()), "0.25-0.75/1 0.9-1.1/1 1.25-6.15/7");
    EXPECT_EQ(setSize(u1.get()), 3);
    Element* big = elementsOf(u1.get())[2];
    EXPECT_EQ(idsOf(big), (std::vector<uintptr_t>{std::max(idOf(a.get()), idOf(b.get())),
                                                  std::min(idOf(a.get()), idOf(b.get())), 0}));
    EXPECT_EQ(big->owner, u1.get());
    EXPECT_EQ(big->kind, DERIVED);
    EXPECT_EQ(bounds(a.get()), "0.9-1.1/1 1.8-2.2/1 2.7-3.3/1 3.6-4.4/1 4.5-5.5/1");
    EXPECT_EQ(bounds(b.get()), "0.25-0.75/1 1.25-6.15/3");
    EXPECT_EQ(b->head->next->savedCount, 3);

    EXPECT_EQ(captureStdout([&] { u2.reset(unionSets(c.get(), u1.get())); }), "");
    EXPECT_EQ(bounds(u2.get()), "0.25-0.75/1 0.9-1.1/2 1.17-7.37/10 8.1-9.9/1");
    EXPECT_EQ(bounds(u1.get()), "0.25-0.75/1 0.9-1.1/1 1.25-6.15/7");

    Set* peakSet = nullptr;
    int peak = -1, numSets = -1;
    findPeakInSet(u2.get(), &peakSet, &peak, &numSets);
    SetPtr p(peakSet);
    EXPECT_EQ(bounds(p.get()), "1.17-7.37/10");
    EXPECT_EQ(p->head->savedCount, 10);
    EXPECT_EQ(p->head->owner, u2.get());
    EXPECT_EQ(peak, 10);
    EXPECT_EQ(numSets, 3);

    SetPtr e1(makeSet()), e2(makeSet());
    EXPECT_EQ(unionSets(e1.get(), e2.get()), nullptr);
    SetPtr copy(unionSets(e1.get(), b.get()));
    EXPECT_EQ(bounds(copy.get()), bounds(b.get()));
    EXPECT_NE(copy->head, b->head);
    EXPECT_EQ(copy->head->owner, copy.get());
}

TEST(OvintraAlgebra, NaNBoundsDoNotStallTheUnion) {
    SetPtr a = makeFrom(kA, 0.1f), n = makeFrom({NAN}, 0.1f);
    SetPtr u(unionSets(n.get(), a.get()));
    int total = 0;
    for (Element* e : elementsOf(u.get())) total += e->count;
    EXPECT_EQ(total, 6);
    EXPECT_EQ(n->head->count, 1);
}

TEST(OvintraAlgebra, IntersectionsKeepCommonParts) {
    SetPtr a = makeFrom(kA, 0.1f), b = makeFrom(kB, 0.5f), c = makeFrom(kC, 0.1f);
    SetPtr ab(intersectSets(a.get(), b.get()));
    EXPECT_EQ(bounds(ab.get()), "1.8-2.2/0 2.7-3.3/0 3.6-4.4/0 4.5-5.5/0");
    for (Element* e : elementsOf(ab.get())) {
        EXPECT_EQ(idsOf(e), std::vector<uintptr_t>{0});
        EXPECT_EQ(e->owner, ab.get());
        EXPECT_EQ(e->numSetIDs + e->savedCount, 0);
    }
    EXPECT_EQ(bounds(b.get()), "0.25-0.75/1 1.25-6.15/3");
    SetPtr ac(intersectSets(a.get(), c.get()));
    EXPECT_EQ(bounds(ac.get()), "0.9-1.1/0 2.106-2.2/0");
    SetPtr one = makeFrom({1}, 0.1f), five = makeFrom({5}, 0.1f);
    EXPECT_EQ(intersectSets(one.get(), five.get()), nullptr);
}

TEST(OvintraAlgebra, FuzzWidensAndCollapses) {
    SetPtr s = makeFrom({1.0f, 1.4f}, 0.0f);
    adjustFuzz(s.get(), 0.1f);
    EXPECT_EQ(bounds(s.get()), "0.9-1.1/1 1.26-1.54/1");
    adjustFuzz(s.get(), 0.1f);  // widens the current bounds again and merges
    EXPECT_EQ(bounds(s.get()), "0.8-1.68/2");

    SetPtr t = makeFrom({2, 2, 3}, 0.1f);
    SetPtr both(intersectSets(t.get(), t.get()));
    EXPECT_EQ(captureStdout([&] { clearFuzz(t.get()); }), "clearFuzz\n");
    EXPECT_EQ(bounds(t.get()), "2-2/2 3-3/1");
    captureStdout([&] { clearFuzz(both.get()); });  // intersection elements carry no value
    EXPECT_EQ(bounds(both.get()), "0-0/0 0-0/0");
}

TEST(OvintraAlgebra, PeakSearch) {
    SetPtr s = makeFrom({1, 2, 3, 4}, 0.1f);
    std::vector<Element*> e = elementsOf(s.get());
    int counts[] = {2, 3, 1, 3};
    for (int i = 0; i < 4; i++) e[i]->count = counts[i];
    addSetIDToList(e[1], UINTPTR_MAX, BASE);

    Set* peakSet = nullptr;
    int peak = 0, numSets = 0;
    findPeakInSet(s.get(), &peakSet, &peak, &numSets);
    SetPtr p(peakSet);
    EXPECT_EQ(bounds(p.get()), "1.8-2.2/3 3.6-4.4/3");
    EXPECT_EQ(setSize(p.get()), 2);
    EXPECT_EQ(peak, 3);
    EXPECT_EQ(numSets, 2);
    EXPECT_NE(p->head, e[1]);

    // No peak element: an empty peak set, peak 0 and no sets.
    for (Element* x : e) x->count = -1;
    findPeakInSet(s.get(), &peakSet, &peak, &numSets);
    p.reset(peakSet);
    EXPECT_EQ(setSize(p.get()), 0);
    EXPECT_EQ(p->head, nullptr);
    EXPECT_EQ(peak + numSets, 0);
    e[2]->count = 0;
    e[3]->count = 0;
    findPeakInSet(s.get(), &peakSet, &peak, &numSets);
    p.reset(peakSet);
    EXPECT_EQ(bounds(p.get()), "2.7-3.3/0 3.6-4.4/0");
}
