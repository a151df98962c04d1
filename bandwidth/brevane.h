/* SPDX-License-Identifier: MIT */
/*
 * brevane.h - available bandwidth of the path to a host, from the spacing of
 * the replies to four trains of ICMP echo requests (600, 700, 800 and 900
 * bytes of payload, 10 packets each).  Needs the privilege to open a raw
 * ICMP socket.  Usable from C and C++.
 *
 * Link the static library brevane (which pulls in the engine tamselGuts).
 * The measurement prints its report on standard output; one measurement runs
 * at a time in a process.
 */
#ifndef BREVANE_H
#define BREVANE_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Measures the path to host (a name or a dotted IPv4 address) and prints
 * "vennic: probeLoop result=..." with the estimate.  Returns the mean of the
 * positive per-train estimates in bits per second, 0 when there was none.
 * An unknown host or a missing privilege ends the process (engine statuses).
 */
float vennic(const char *host);

/*
 * The four passes with trains of count packets (0 to 10; values outside are
 * taken as the nearest bound); prints the per-pass lines and the summary.
 * Returns the mean of the positive pass estimates, or 0.
 */
float probeLoop(const char *host, int count);

/* Writes the usage text to standard error. */
void usage(void);

/*
 * Prints the train table of one train: "* " and a "bytes departure arrival "
 * triple per packet, then the train status suffix and a line end (the program
 * build first prints one line per packet with its round-trip time).
 */
void reportResults(int count, const int *departs, const int *arrives, const int *bytes,
                   int flags, int paths);

/*
 * Gaps between the arrivals of adjacent packets i and i+1 for the pairs where
 * both arrived (arrival > 0) and i+1 arrived later, with the matching gap of
 * their departures.  Fills entries 0..n-1 of gaps and sendGaps (room for
 * count-1 entries needed) and returns n.
 */
int computeInterArrivalGaps(int count, const int *arrives, const int *departs, int *gaps,
                            int *sendGaps);

/*
 * Ascending copy of the n gaps into sortedGaps, each companion value moved
 * along with its gap; equal gaps come out in reverse input order.
 */
void sortGaps(int n, const int *gaps, const int *companions, int *sortedGaps,
              int *sortedCompanions);

/* Prints "gaps[i] = first[i]<TAB>second[i]" for i in 0..n-1. */
void displayBothGaps(int n, const int *first, const int *second);

#ifdef __cplusplus
}
#endif

#endif /* BREVANE_H */
