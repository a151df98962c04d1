// SPDX-License-Identifier: MIT
// Elements, set-ID lists, count parking and the dumps.
#include <gtest/gtest.h>

#include "helpers.h"

TEST(OvintraRecords, NewElementAndOrderedIdList) {
    Element* e = makeElement();
    EXPECT_EQ(e->count, 0);
    EXPECT_EQ(e->savedCount, 0);
    EXPECT_EQ(e->numSetIDs, 0);
    EXPECT_EQ(e->kind, UNK);
    EXPECT_EQ(idsOf(e), std::vector<uintptr_t>{0});
    EXPECT_EQ(e->setIDs->kind, UNK);
    EXPECT_EQ(countSets(e->setIDs, BASE), 0);
    EXPECT_EQ(countSets(e->setIDs, UNK), 1);
    EXPECT_EQ(countSets(nullptr, BASE), 0);

    // Identifiers are full-width: those above 32 bits order above the rest.
    const uintptr_t big = uintptr_t(1) << 40;
    std::string out = captureStdout([&] {
        for (uintptr_t id : {uintptr_t(5), uintptr_t(9), uintptr_t(7), big, big + 1})
            addSetIDToList(e, id, BASE);
        addSetIDToList(e, 7, DERIVED);  // already present: nothing changes
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(idsOf(e), (std::vector<uintptr_t>{big + 1, big, 9, 7, 5, 0}));
    EXPECT_EQ(e->numSetIDs, 5);
    EXPECT_EQ(countSets(e->setIDs, DERIVED), 0);
    EXPECT_EQ(destroyElement(e), nullptr);
}

TEST(OvintraRecords, AppendPathReportsAndKeepsOrder) {
    Element* e = makeElement();
    e->setIDs->set = 8;  // a base node, no sentinel
    e->setIDs->kind = BASE;
    e->numSetIDs = 1;
    std::string out = captureStdout([&] { addSetIDToList(e, 3, BASE); });
    EXPECT_EQ(out, "this should never happen: prev " + std::to_string(idOf(e->setIDs)) + " curr 0\n");
    EXPECT_EQ(idsOf(e), (std::vector<uintptr_t>{8, 3}));
    EXPECT_EQ(e->numSetIDs, 2);

    e->setIDs = destroySetIDList(e->setIDs);
    out = captureStdout([&] { addSetIDToList(e, 4, BASE); });
    EXPECT_EQ(out, "this should never happen: prev 0 curr 0\n");
    EXPECT_EQ(idsOf(e), std::vector<uintptr_t>{4});
    destroyElement(e);
}

TEST(OvintraRecords, CopiesAreDeepAndParkCounts) {
    Element* e = makeElement();
    addSetIDToList(e, 20, BASE);
    addSetIDToList(e, 10, DERIVED);
    e->count = 4;
    e->savedCount = 9;
    Element* c = copyElement(e);
    EXPECT_EQ(c->count, 4);
    EXPECT_EQ(c->savedCount, 4);  // the source's count, not its saved count
    EXPECT_EQ(idsOf(c), idsOf(e));
    EXPECT_EQ(c->setIDs->next->kind, DERIVED);
    EXPECT_NE(c->setIDs, e->setIDs);
    EXPECT_EQ(c->numSetIDs, 2);

    e->count = 3;
    saveElementCount(e);
    EXPECT_EQ(e->count, 0);
    EXPECT_EQ(e->savedCount, 3);
    saveElementCount(e);  // already parked: keeps the first
    EXPECT_EQ(e->savedCount, 3);
    Element* parkedCopy = copyElement(e);
    EXPECT_EQ(parkedCopy->count + parkedCopy->savedCount, 0);
    restoreElementCount(e);
    EXPECT_EQ(e->count, 3);
    EXPECT_EQ(e->savedCount, 3);
    destroyElement(parkedCopy);
    destroyElement(c);
    destroyElement(e);
    EXPECT_EQ(copyIDList(nullptr), nullptr);
}

TEST(OvintraRecords, LongListsNeedNoDeepStack) {
    const int n = 300000;
    Element* e = makeElement();
    for (int i = 1; i <= n; i++) addSetIDToList(e, static_cast<uintptr_t>(i), BASE);
    Element* c = copyElement(e);
    EXPECT_EQ(countSets(c->setIDs, BASE), n);
    destroyElement(c);
    destroyElement(e);

    std::vector<float> values(n, 1.0f);
    SetPtr s = makeFrom(values, 0.1f, false);
    EXPECT_EQ(setSize(s.get()), n);
}

TEST(OvintraRecords, DumpsShowEveryNodeAndTally) {
    Set* owner = makeSet();
    Element* e = makeElement();
    addSetIDToList(e, 30, BASE);
    addSetIDToList(e, 20, DERIVED);
    addSetIDToList(e, 10, static_cast<SetKind>(7));
    e->low = 1.5f;
    e->high = 2.25f;
    e->count = 3;
    e->savedCount = 1;
    e->owner = owner;
    std::vector<std::string> addr;
    for (SetIDList* n = e->setIDs; n; n = n->next) addr.push_back(std::to_string(idOf(n)));
    const std::string line = "(       1.5,      2.25 [3 <1>]) setID: " + std::to_string(idOf(owner)) +
                             "  3 sets :SetIDList: [{" + addr[0] + "}30 : BASE] [{" + addr[1] +
                             "}20 : DERIVED] [{" + addr[2] + "}10 : ERROR] [{" + addr[3] +
                             "}0 : UNK]  1 base, 1 derived\n";
    EXPECT_EQ(captureStdout([&] { dumpElement(e, 1); }), line);  // consistent: returns

    owner->head = e;
    owner->count = 1;
    EXPECT_EQ(captureStdout([&] { dumpSet(owner, 0); }),
              "set [" + std::to_string(idOf(owner)) + "] has 1 elements\nlogme\t" + line + "\n");
    owner = destroySet(owner);
    SetPtr empty(makeSet());
    EXPECT_EQ(captureStdout([&] { dumpSet(empty.get(), 1); }),
              "set [" + std::to_string(idOf(empty.get())) + "] has 0 elements\nlogme\t\n");
}
