/* SPDX-License-Identifier: MIT */
/*
 * dorral.h - the rate-schedule probe tool: a train whose packet gaps follow
 * rates rising over a bandwidth range, sent by startProbe (probe.h), and the
 * train table printed after it.
 *
 * Usable from C and C++.  The schedule arrays of doubles are indexed from 1
 * (packet k at index k, index 0 stays 0.0); packetSize and the per-packet int
 * arrays are indexed from 0 (packet k at index k-1).
 */
#ifndef DORRAL_H
#define DORRAL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Entries of every process-wide schedule array. */
#define DORRAL_ARRAY_LEN 100
/* Most packets a schedule can hold: index N of the double arrays is written. */
#define DORRAL_MAX_MSGS (DORRAL_ARRAY_LEN - 1)

extern int noOfMsgs;          /* packets in the train (N); dorral sets 10 */
extern int msgSize;           /* bytes of every packet, 600 */
extern int equalBWTimeGap;    /* 1: equal-bandwidth rule, 0: equal-time rule */
extern double bwrLowerBound;  /* low end of the rate range, bytes per second */
extern double bwrUpperBound;  /* high end of the rate range, bytes per second */

extern double sendingTime[DORRAL_ARRAY_LEN];         /* send time of packet k, seconds */
extern double sendingTimeGap[DORRAL_ARRAY_LEN];      /* packet k to packet k+1, seconds */
extern double absSendingTimeGap[DORRAL_ARRAY_LEN];   /* sendingTime[k] - sendingTime[1] */
extern double receivingTime[DORRAL_ARRAY_LEN];       /* arrival of the reply to packet k */
extern double receivingTimeGap[DORRAL_ARRAY_LEN];
extern double absReceivingTimeGap[DORRAL_ARRAY_LEN];
extern double absGapDifference[DORRAL_ARRAY_LEN];
extern int packetSize[DORRAL_ARRAY_LEN];             /* size of packet k at index k-1 */

/*
 * Computes the send schedule of noOfMsgs packets of msgSize bytes over the
 * rate range lower..upper, prints the send times (equal-bandwidth rule), and
 * clears the receive-side arrays.  Counts above DORRAL_MAX_MSGS are taken as
 * DORRAL_MAX_MSGS so that nothing is written past the arrays.
 */
void setupNextIteration(double lower, double upper);

/*
 * Prints the train table of count packets: a "pkt" line each (an arrival of 0
 * marks a lost packet), the bytes/departT/arriveT table and the train status
 * suffix of flags and paths.
 */
void reportResults(int count, const int *departs, const int *arrives, const int *bytes,
                   int flags, int paths);

/* The tool's driver (dorral.cpp). */
void usage(void);
float dorral(const char *host);
double probeLoop(const char *host);

#ifdef __cplusplus
}
#endif

#endif /* DORRAL_H */
