/* SPDX-License-Identifier: MIT */
/*
 * records.c - elements, sets and set-ID lists: making, copying, releasing,
 * count parking and the diagnostic dumps (which double as a consistency
 * check).
 *
 * Set identifiers and node addresses are full-width unsigned integers
 * (uintptr_t), compared as such and printed in decimal.  The list walks are
 * loops, so long lists cost no stack.
 */
#include "ovintra.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>

static const char allocFailed[] = "malloc outta track\n";
static const char copyFailed[] = "malloc done run outta track!\n";

/* Allocates size bytes, or prints message and ends the process. */
static void *allocOrExit(size_t size, const char *message)
{
    void *p = malloc(size);
    if (p == NULL) {
        printf("%s", message);
        exit(0);
    }
    return p;
}

static SetIDList *makeNode(uintptr_t id, SetKind kind, SetIDList *next, const char *message)
{
    SetIDList *node = (SetIDList *)allocOrExit(sizeof *node, message);
    node->set = id;
    node->kind = kind;
    node->next = next;
    return node;
}

Element *makeElement(void)
{
    Element *e = (Element *)allocOrExit(sizeof *e, allocFailed);
    e->value = 0;
    e->low = 0;
    e->high = 0;
    e->count = 0;
    e->savedCount = 0;
    e->numSetIDs = 0;
    e->setIDs = makeNode(0, UNK, NULL, allocFailed);
    e->owner = NULL;
    e->kind = UNK;
    e->next = NULL;
    return e;
}

Element *copyElement(const Element *source)
{
    if (source == NULL)
        return NULL;
    Element *e = makeElement();
    e->value = source->value;
    e->low = source->low;
    e->high = source->high;
    e->count = source->count;
    /* The copy parks its source's current count, not the source's parked one:
     * a copy of a parked element therefore has both fields 0. */
    e->savedCount = source->count;
    e->numSetIDs = source->numSetIDs;
    e->setIDs = destroySetIDList(e->setIDs);
    e->setIDs = copyIDList(source->setIDs);
    e->owner = source->owner;
    e->kind = source->kind;
    e->next = NULL;
    return e;
}

Element *destroyElement(Element *e)
{
    if (e != NULL) {
        destroySetIDList(e->setIDs);
        free(e);
    }
    return NULL;
}

Element *destroyList(Element *first)
{
    while (first != NULL) {
        Element *next = first->next;
        destroyElement(first);
        first = next;
    }
    return NULL;
}

SetIDList *destroySetIDList(SetIDList *first)
{
    while (first != NULL) {
        SetIDList *next = first->next;
        free(first);
        first = next;
    }
    return NULL;
}

Set *makeSet(void)
{
    Set *set = (Set *)allocOrExit(sizeof *set, allocFailed);
    set->count = 0;
    set->head = NULL;
    return set;
}

Set *destroySet(Set *set)
{
    if (set != NULL) {
        destroyList(set->head);
        free(set);
    }
    return NULL;
}

int setSize(const Set *set)
{
    return set != NULL ? set->count : 0;
}

void addSetIDToList(Element *e, uintptr_t id, SetKind kind)
{
    SetIDList *prev = NULL;
    SetIDList *curr = e->setIDs;

    /* Descending order: walk past every larger identifier. */
    for (; curr != NULL; prev = curr, curr = curr->next) {
        if (curr->set == id)
            return; /* already present; the first kind stays */
        if (id > curr->set)
            break;
    }
    /* Only a list without the sentinel (identifier 0) can be walked off; the
     * new node then goes at the end, which keeps the order. */
    if (curr == NULL)
        printf("this should never happen: prev %" PRIuPTR " curr %" PRIuPTR "\n",
               (uintptr_t)prev, (uintptr_t)0);

    SetIDList *node = makeNode(id, kind, curr, allocFailed);
    if (prev != NULL)
        prev->next = node;
    else
        e->setIDs = node;
    e->numSetIDs++;
}

void addSetsToIDList(Element *dest, const Element *source)
{
    for (const SetIDList *node = source->setIDs; node != NULL; node = node->next)
        addSetIDToList(dest, node->set, node->kind);
}

SetIDList *copyIDList(const SetIDList *node)
{
    SetIDList *first = NULL;
    SetIDList **link = &first;
    for (; node != NULL; node = node->next) {
        *link = makeNode(node->set, node->kind, NULL, copyFailed);
        link = &(*link)->next;
    }
    return first;
}

int countSets(const SetIDList *node, SetKind kind)
{
    int n = 0;
    for (; node != NULL; node = node->next)
        if (node->kind == kind)
            n++;
    return n;
}

void saveElementCount(Element *e)
{
    /* Parking twice keeps the count parked first. */
    if (e->count > 0) {
        e->savedCount = e->count;
        e->count = 0;
    }
}

void restoreElementCount(Element *e)
{
    if (e->savedCount > 0) {
        e->count = e->savedCount;
        return;
    }
    /* Nothing was parked: show the element and stop if it is inconsistent. */
    printf("saveElementCount: restoring 0?\n");
    dumpElement(e, 1);
}

void dumpSet(const Set *set, int check)
{
    printf("set [%" PRIuPTR "] has %d elements\n", (uintptr_t)set, setSize(set));
    printf("logme\t");
    dumpList(set != NULL ? set->head : NULL, check);
}

void dumpList(const Element *first, int check)
{
    for (const Element *e = first; e != NULL; e = e->next)
        dumpElement(e, check);
    printf("\n");
}

void dumpElement(const Element *e, int check)
{
    printf("(%10.4g,%10.4g [%d <%d>]) ", (double)e->low, (double)e->high, e->count, e->savedCount);
    printf("setID: %" PRIuPTR " ", (uintptr_t)e->owner);
    printf(" %d sets :", e->numSetIDs);
    dumpSetIDList(e);

    /* A consistent element holds at least one estimate per base set. */
    if (check && (e->count <= 0 || e->count < countSets(e->setIDs, BASE)))
        exit(0);
}

static const char *kindText(SetKind kind)
{
    switch (kind) {
    case BASE:
        return "BASE";
    case DERIVED:
        return "DERIVED";
    case UNK:
        return "UNK";
    default:
        return "ERROR";
    }
}

void dumpSetIDList(const Element *e)
{
    printf("SetIDList: ");
    for (const SetIDList *node = e->setIDs; node != NULL; node = node->next) {
        printf("[{%" PRIuPTR "}%" PRIuPTR " : ", (uintptr_t)node, node->set);
        printf("%s", kindText(node->kind));
        printf("] ");
    }
    printf(" %d base, %d derived\n", countSets(e->setIDs, BASE), countSets(e->setIDs, DERIVED));
}
