/* SPDX-License-Identifier: MIT */
/*
 * ovintra.h - fuzzy interval sets.
 *
 * Each numeric estimate is widened into a closed interval by a relative fuzz.
 * Sets of such intervals are coalesced, united and intersected while every
 * interval counts how many estimates support it and remembers which base sets
 * they came from; the peak search then finds the best supported interval.
 *
 * Usable from C and C++.  Records are plain structs on the heap, made by the
 * make/copy operations and released by the destroy operations, each of which
 * returns a null handle for the caller to store back.  The library keeps no
 * state of its own; all of its output goes to standard output.  Fatal
 * conditions (allocation failure, unsorted input, a failed consistency check)
 * print their message and end the process with exit status 0.
 */
#ifndef OVINTRA_H
#define OVINTRA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Kind of an element or of a set-ID node.  Unsigned; any value other than the
 * three below is dumped as "ERROR".  C++ gets the same type with its width
 * spelled out, so that every unsigned value is a valid SetKind there too.
 */
#ifdef __cplusplus
typedef enum SetKind : unsigned int {
#else
typedef enum SetKind {
#endif
    BASE = 0,    /* made from data by createSet */
    DERIVED = 1, /* produced by coalescing */
    UNK = 2      /* a new element and its sentinel node */
} SetKind;

struct Set;

/*
 * One node of an element's set-ID list.  A set identifier is the address of
 * the set record as an unsigned integer; 0 means no set (the sentinel).
 * Lists are kept in strictly descending order of identifier.
 */
typedef struct SetIDList {
    uintptr_t set;
    SetKind kind;
    struct SetIDList *next; /* owned */
} SetIDList;

/* One fuzzy interval of a set. */
typedef struct Element {
    float value;        /* the estimate it was made from; 0 for union/intersection results */
    float low;          /* closed interval [low, high] */
    float high;
    int32_t count;      /* number of estimates the interval holds */
    int32_t savedCount; /* count parked by saveElementCount */
    int32_t numSetIDs;  /* nodes added to setIDs, sentinel not counted */
    SetIDList *setIDs;  /* owned */
    struct Set *owner;  /* the set that last created or coalesced it; not owned */
    SetKind kind;
    struct Element *next; /* owned by the set */
} Element;

/* A singly linked list of elements and its element count. */
typedef struct Set {
    int32_t count;
    Element *head; /* owned; null for an empty set */
} Set;

/* ---- Records ------------------------------------------------------------ */

Element *makeElement(void);
/* Deep copy; the copy's savedCount is the source's count. */
Element *copyElement(const Element *source);
/* Frees the element and its set-ID list (does not unlink it).  Returns null. */
Element *destroyElement(Element *e);
/* Frees a whole chain of elements.  Returns null. */
Element *destroyList(Element *first);
/* Frees a whole set-ID list.  Returns null. */
SetIDList *destroySetIDList(SetIDList *first);
Set *makeSet(void);
/* Frees the set and its elements.  Returns null. */
Set *destroySet(Set *set);
int setSize(const Set *set);

/* Inserts id in descending order; an id already present is left as it is. */
void addSetIDToList(Element *e, uintptr_t id, SetKind kind);
/* Adds every node of source's set-ID list to dest, in list order. */
void addSetsToIDList(Element *dest, const Element *source);
/* Deep copy of a set-ID list in the same order; null for null. */
SetIDList *copyIDList(const SetIDList *node);
/* Number of nodes of the given kind from node to the end of the list. */
int countSets(const SetIDList *node, SetKind kind);

/* Parks a positive count in savedCount and leaves count 0. */
void saveElementCount(Element *e);
/* Brings a parked count back; with nothing parked, reports and checks e. */
void restoreElementCount(Element *e);

/* Diagnostic dumps.  With check not 0, dumpElement ends the process right
 * after the line of an element whose count is not positive or is below its
 * number of BASE nodes. */
void dumpSet(const Set *set, int check);
void dumpList(const Element *first, int check);
void dumpElement(const Element *e, int check);
void dumpSetIDList(const Element *e);

/* ---- Set algebra -------------------------------------------------------- */

/* One element per value (values ascending), not coalesced. */
Set *createSet(const float *values, int n, float fuzz);
/* Merges neighbours that overlap or touch, in place. */
void coalesceSet(Set *set);
/* Writes the overlap of a and b into out->low/high; 1 if they overlap. */
int overlap(const Element *a, const Element *b, Element *out);
/* Writes the hull, the summed count and both set-ID lists into out. */
void unionElements(const Element *a, const Element *b, Element *out);
/* New coalesced set, or null when both are empty.  Parks and restores the
 * counts of the inputs while it runs. */
Set *unionSets(Set *a, Set *b);
/* New coalesced set of the overlaps, or null when nothing overlaps. */
Set *intersectSets(const Set *a, const Set *b);
/* Widens every interval by value * fuzz on each side, then coalesces. */
void adjustFuzz(Set *set, float fuzz);
/* Collapses every interval to its value. */
void clearFuzz(Set *set);
/* Copies of the elements with the highest count into a new set (*peakSet),
 * that count (*peak) and the BASE nodes of the first of them (*numSets). */
void findPeakInSet(const Set *set, Set **peakSet, int *peak, int *numSets);

/* ---- Self-test ---------------------------------------------------------- */

/* Builds, coalesces and unites three sample sets and prints the peak.
 * Returns 0. */
int testOvintra(void);

#ifdef __cplusplus
}
#endif

#endif /* OVINTRA_H */
