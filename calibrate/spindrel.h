/* SPDX-License-Identifier: MIT */
/*
 * spindrel.h - busy-wait timer on the time-of-day clock and the run that
 * calibrates it: how far a busy-wait overshoots or falls short of a requested
 * wait, trial by trial, with a summary per wait length.
 *
 * Usable from C and C++.  Single-threaded: the clock readings are process-wide.
 */
#ifndef SPINDREL_H
#define SPINDREL_H

#include <stdio.h>
#include <sys/time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The fixed plan: 1000 trials of each wait 10, 100, ... 1000000 microseconds. */
#define SPINDREL_FIRST_WAIT 10
#define SPINDREL_LAST_WAIT 1000000
#define SPINDREL_TRIALS 1000

/* A trial error above this many microseconds is an overrun ... */
#define SPINDREL_OVER_LIMIT 6
/* ... and one below this is a shortfall. */
#define SPINDREL_UNDER_LIMIT (-5)
/* waitTime may return up to this many microseconds before the wait is over. */
#define SPINDREL_EARLY 4

/* Process-wide clock readings. */
extern struct timeval tv1; /* start of the current busy-wait */
extern struct timeval tv2; /* latest reading inside the busy-wait */
extern struct timeval stv; /* just before a trial calls waitTime */
extern struct timeval etv; /* just after waitTime returns */

/* Number of clock readings taken so far by readClock. */
extern unsigned long clockReads;

/* Reads the time-of-day clock into *tv and counts the reading. */
void readClock(struct timeval *tv);

/* Microseconds from *from to *to (negative when *to is earlier). */
int elapsedUsec(const struct timeval *from, const struct timeval *to);

/* Spins on the clock until at least wait - 4 microseconds have passed since
 * its first reading; reads the clock at least twice, never sleeps. */
void waitTime(int wait);

/* What one wait length has gathered so far. */
struct waitTally {
    int wait;     /* requested wait, microseconds */
    int j;        /* trials run */
    int counter;  /* trials whose error exceeded 6 */
    int counter2; /* trials whose error was below -5 */
    int min;      /* smallest error counted in counter; 6 while none */
    int max;      /* largest error counted in counter; 0 while none */
    double sum;   /* sum of the errors counted in counter */
};

/* Starts a fresh tally for a wait length: no trials, min 6, the rest 0. */
void startTally(struct waitTally *t, int wait);

/* Takes one trial timed from *start to *end into the tally, writing its trial
 * line to out when it overran by more than 6 or fell short by more than 5
 * microseconds.  Does not advance t->j.  Returns the trial's duration. */
int tallyTrial(FILE *out, struct waitTally *t, const struct timeval *start,
               const struct timeval *end);

/* Writes the two summary lines of a tally. */
void printSummary(FILE *out, const struct waitTally *t);

/* Runs trials busy-waits of wait microseconds timed through stv and etv,
 * writes their trial lines and the summary to out, and leaves the tally in
 * *t.  When diffs is not NULL it receives each trial's duration (trials
 * entries). */
void calibrateWait(FILE *out, struct waitTally *t, int wait, int trials, int *diffs);

/* The whole fixed plan, written to out. */
void runCalibration(FILE *out);

#ifdef __cplusplus
}
#endif

#endif /* SPINDREL_H */
