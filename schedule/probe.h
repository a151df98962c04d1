/* SPDX-License-Identifier: MIT */
/*
 * probe.h - the scheduled-send probe: one train of ICMP echo requests whose
 * packets leave at given times, run by the packet-train engine.
 *
 * Usable from C and C++.  Times of a probe are taken from its start instant:
 * send and receive times in seconds (double), departure and arrival times in
 * microseconds (int).
 */
#ifndef DORRAL_PROBE_H
#define DORRAL_PROBE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Largest ICMP data length: a 65535-byte datagram less 60 bytes of IP header
 * (with the record-route option) and 8 of ICMP header. */
#define PROBE_MAX_DATA 65467
/* Every time of a probe (last send plus time-out) stays below this many
 * seconds, the range of the engine's 32-bit microsecond time base. */
#define PROBE_MAX_SPAN 2147.0

/*
 * Sends count (at most 10) echo requests to host, packet k (1..count) with
 * sizes[k-1] bytes of ICMP data at sendTimes[k] seconds after the probe's start
 * instant, and collects the first reply to every packet until all are back or
 * timeout seconds after the last send have passed.  sendGaps is accepted for
 * the caller's convenience; the send times alone fix the schedule.
 *
 * Fills, for packet k: recvTimes[k] with the arrival of its first reply in
 * seconds (0.0 when none came), bytesOut[k-1] with its size and orderOut[k-1]
 * with its order flag (1 when its reply came right after packet k-1's; only
 * meaningful for a packet with a reply); *flags with the train flags word (1
 * route data, 2 in order, 4 duplicates) and *paths with the number of routes
 * first seen.  The departure and arrival times in microseconds, on the time
 * of day, are kept for fetchProbeTimes.  A SIGALRM of the caller's timer that
 * fell due during the train is raised once the results are out.  Prints nothing but the engine's messages (time-out, ICMP
 * diagnostics).  The probe spins on the monotonic clock before each send
 * (a step of the time of day moves no send) at the process's own priority, so on a busy machine a packet can leave late, never
 * early; the departure times show when each really left.
 *
 * Returns 0 after the train, -1 without sending anything when the request is not
 * usable: no host, count outside 0..10, a size outside 4..PROBE_MAX_DATA, a time-out
 * below 1, or a send time that is not a finite number, lies before the start
 * instant, runs backwards or lies so late that the train outlives the time base.
 * A host that does not resolve or a socket that cannot be opened ends the
 * process with the engine's exit status.
 */
int startProbe(const char *host, int count, const int *sizes, const double *sendTimes,
               const double *sendGaps, double *recvTimes, int *bytesOut, int *orderOut,
               int *flags, int *paths, int timeout);

/*
 * 0 when startProbe would take this request, -1 otherwise (see startProbe).
 * sendTimes is indexed from 1 like startProbe's.
 */
int checkProbeRequest(const char *host, int count, const int *sizes, const double *sendTimes,
                      int timeout);

/*
 * Copies the departure and arrival times of the last successful startProbe, in
 * microseconds of its time base, packet k at index k-1; an arrival of 0 marks a
 * packet without a reply.  Writes min(count, packets of that probe) entries of
 * each array and returns that number (0 when no probe has run or the last one
 * was refused).
 */
int fetchProbeTimes(int count, int *departs, int *arrives);

#ifdef __cplusplus
}
#endif

#endif /* DORRAL_PROBE_H */
