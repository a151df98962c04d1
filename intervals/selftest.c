/* SPDX-License-Identifier: MIT */
/*
 * selftest.c - the library's own exercise: three small base sets are built,
 * coalesced and united, and the best supported interval is printed.
 */
#include "ovintra.h"

#include <stdio.h>
#include <string.h>

static const float seriesA[] = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f};
static const float seriesB[] = {0.5f, 2.5f, 3.0f, 4.1f};
static const float seriesC[] = {1.0f, 1.3f, 2.34f, 6.7f, 9.0f};

int testOvintra(void)
{
    float valuesA[5];
    float valuesB[4];
    float valuesC[5];
    memcpy(valuesA, seriesA, sizeof valuesA);
    memcpy(valuesB, seriesB, sizeof valuesB);
    memcpy(valuesC, seriesC, sizeof valuesC);

    Set *setA = createSet(valuesA, 5, 0.1f);
    Set *setB = createSet(valuesB, 4, 0.5f);
    Set *setC = createSet(valuesC, 5, 0.1f);

    printf("setA has %d element.\n", setSize(setA));
    dumpSet(setA, 0);

    coalesceSet(setA);
    coalesceSet(setB);
    coalesceSet(setC);

    Set *unionAB = unionSets(setA, setB);
    Set *unionCAB = unionSets(setC, unionAB);

    Set *peakSet = NULL;
    int peak = 0;
    int numSets = 0;
    findPeakInSet(unionCAB, &peakSet, &peak, &numSets);
    printf("tester: peak is %d found in %d sets\n", peak, numSets);
    dumpSet(peakSet, 0);

    setA = destroySet(setA);
    setB = destroySet(setB);
    setC = destroySet(setC);
    /* The results are released too, so leak checkers see a clean run. */
    unionAB = destroySet(unionAB);
    unionCAB = destroySet(unionCAB);
    peakSet = destroySet(peakSet);
    return 0;
}
