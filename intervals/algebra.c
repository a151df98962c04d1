/* SPDX-License-Identifier: MIT */
/*
 * algebra.c - the set algebra on fuzzy intervals: creating sets from sorted
 * estimates, coalescing, union with support counts, intersection, widening
 * and collapsing, and the peak search.
 *
 * Union and intersection are single merge passes over two lists whose bounds
 * rise from the front; coalescing is a single pass over one list.
 */
#include "ovintra.h"

#include <stdio.h>
#include <stdlib.h>

/* Appends e to the chain that starts at *head and ends at *tail. */
static void appendElement(Element **head, Element **tail, Element *e)
{
    if (*tail != NULL)
        (*tail)->next = e;
    else
        *head = e;
    *tail = e;
}

/* First element of a set; a null set counts as empty. */
static Element *headOf(const Set *set)
{
    return set != NULL ? set->head : NULL;
}

/* Wraps a chain of count elements into a new set. */
static Set *setOfChain(Element *head, int count)
{
    Set *set = makeSet();
    set->head = head;
    set->count = count;
    return set;
}

/* The result of a merge: null for an empty chain, else a coalesced set. */
static Set *mergeResult(Element *head, int count)
{
    if (head == NULL)
        return NULL;
    Set *result = setOfChain(head, count);
    coalesceSet(result);
    return result;
}

Set *createSet(const float *values, int n, float fuzz)
{
    Set *set = makeSet();
    Element *tail = NULL;

    /* No values: an empty set rather than a read before the array. */
    if (values == NULL || n <= 0)
        return set;

    set->count = n;
    float prev = values[0];
    for (int i = 0; i < n; i++) {
        float v = values[i];
        if (v < prev) {
            printf("SORTED LIST ASSUMPTION VIOLATION");
            printf("%f is less that %f\n", (double)v, (double)prev);
            exit(0);
        }
        prev = v;

        Element *e = makeElement();
        e->value = v;
        /* Worked in double and rounded once into the float fields. */
        e->low = (float)((double)v - (double)v * (double)fuzz);
        e->high = (float)((double)v + (double)v * (double)fuzz);
        e->count = 1;
        e->numSetIDs = 1;
        e->setIDs->set = (uintptr_t)set; /* the sentinel becomes the base node */
        e->setIDs->kind = BASE;
        e->owner = set;
        e->kind = BASE;
        appendElement(&set->head, &tail, e);
    }
    return set;
}

void coalesceSet(Set *set)
{
    if (set == NULL)
        return;
    for (Element *cur = set->head; cur != NULL; cur = cur->next) {
        /* Fold every following element that overlaps or touches.  The fold
         * takes the later element's upper bound as it is. */
        while (cur->next != NULL && cur->high >= cur->next->low) {
            Element *next = cur->next;
            cur->high = next->high;
            cur->next = next->next;
            cur->count += next->count;
            addSetsToIDList(cur, next);
            destroyElement(next);
            set->count--;
        }
    }
    for (Element *e = set->head; e != NULL; e = e->next) {
        e->owner = set;
        e->kind = DERIVED;
    }
}

int overlap(const Element *a, const Element *b, Element *out)
{
    out->low = a->low > b->low ? a->low : b->low;
    out->high = a->high < b->high ? a->high : b->high;
    return out->low <= out->high;
}

void unionElements(const Element *a, const Element *b, Element *out)
{
    out->low = a->low < b->low ? a->low : b->low;
    out->high = a->high > b->high ? a->high : b->high;
    out->count = a->count + b->count;
    addSetsToIDList(out, a);
    addSetsToIDList(out, b);
}

/* Gives a parked element its count back as the merge leaves it; returns the
 * element the merge goes on with. */
static Element *leaveElement(Element *e)
{
    if (e->count == 0)
        restoreElementCount(e);
    return e->next;
}

/* Appends copies of e and its followers, restoring each after its copy. */
static int copyRest(Element *e, Element **head, Element **tail)
{
    int n = 0;
    while (e != NULL) {
        appendElement(head, tail, copyElement(e));
        n++;
        e = leaveElement(e);
    }
    return n;
}

Set *unionSets(Set *setA, Set *setB)
{
    Element *a = headOf(setA);
    Element *b = headOf(setB);
    Element *head = NULL;
    Element *tail = NULL;
    int n = 0;

    while (a != NULL && b != NULL) {
        Element *e = makeElement();
        if (overlap(a, b, e)) {
            /* An element's count goes into the first union element it takes
             * part in; it stays parked (count 0) until the merge leaves it, so
             * its later union elements and copies add nothing. */
            unionElements(a, b, e);
            int aDone = a->high <= b->high;
            /* The same as b->high <= a->high for numbers; with a NaN bound
             * it still lets the merge move on. */
            int bDone = !(a->high < b->high);
            if (aDone)
                a = leaveElement(a);
            else
                saveElementCount(a);
            if (bDone)
                b = leaveElement(b);
            else
                saveElementCount(b);
        } else {
            destroyElement(e);
            /* The copy is taken before the count is restored. */
            if (a->high < b->low) {
                e = copyElement(a);
                a = leaveElement(a);
            } else {
                e = copyElement(b);
                b = leaveElement(b);
            }
        }
        appendElement(&head, &tail, e);
        n++;
    }
    n += copyRest(a, &head, &tail);
    n += copyRest(b, &head, &tail);

    return mergeResult(head, n);
}

Set *intersectSets(const Set *setA, const Set *setB)
{
    const Element *a = headOf(setA);
    const Element *b = headOf(setB);
    Element *head = NULL;
    Element *tail = NULL;
    int n = 0;

    while (a != NULL && b != NULL) {
        Element *e = makeElement();
        if (overlap(a, b, e)) {
            appendElement(&head, &tail, e);
            n++;
            /* Step whichever ends at the overlap's end; both when equal. */
            if (a->high == e->high)
                a = a->next;
            if (b->high == e->high)
                b = b->next;
        } else {
            destroyElement(e);
            if (a->high < b->high)
                a = a->next;
            else
                b = b->next;
        }
    }

    return mergeResult(head, n);
}

void adjustFuzz(Set *set, float fuzz)
{
    if (set == NULL)
        return;
    /* Widens the current bounds; repeated calls add up. */
    for (Element *e = set->head; e != NULL; e = e->next) {
        float d = e->value * fuzz;
        e->low = e->low - d;
        e->high = e->high + d;
    }
    coalesceSet(set);
}

void clearFuzz(Set *set)
{
    printf("clearFuzz\n");
    for (Element *e = headOf(set); e != NULL; e = e->next) {
        e->low = e->value;
        e->high = e->value;
    }
}

void findPeakInSet(const Set *set, Set **peakSet, int *peak, int *numSets)
{
    int best = 0;
    int tally = 0;
    Element *head = NULL;
    Element *tail = NULL;

    for (const Element *e = headOf(set); e != NULL; e = e->next) {
        if (e->count == best) {
            appendElement(&head, &tail, copyElement(e));
            tally++;
        }
        if (e->count > best) {
            head = destroyList(head);
            tail = NULL;
            best = e->count;
            appendElement(&head, &tail, copyElement(e));
            tally = 1;
        }
    }

    *peakSet = setOfChain(head, tally);
    *peak = best;
    /* Without a peak element there is no base set to count. */
    *numSets = head != NULL ? countSets(head->setIDs, BASE) : 0;
}
