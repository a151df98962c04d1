/* SPDX-License-Identifier: MIT */
/*
 * tamsel.h - the packet-train engine: one train of ICMP echo requests on a raw
 * socket, with per-packet departure and arrival times in microseconds.
 *
 * Usable from C and C++.  The caller owns every array; nothing is allocated
 * across this boundary.  One train runs at a time in a process.
 */
#ifndef TAMSEL_H
#define TAMSEL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Most packets in one train. */
#define TSL_MAX_PACKETS 10

/* Bits of the train flags word. */
#define TSL_FLAG_ROUTE 1   /* a reply carried a record-route option */
#define TSL_FLAG_INORDER 2 /* the replies came in order */
#define TSL_FLAG_DUP 4     /* some packet got more than one reply */

/* No-reply mark of an arrival time. */
#define TSL_NO_REPLY (-1)

/*
 * Runs one train of count (at most 10) echo requests to host, packet i with
 * sizes[i] (at least 4) bytes of ICMP data, and waits up to timeout seconds
 * after the last send for the replies.  Prints the engine's train report on
 * standard output.  Fills entries 0..count-1 of departs, arrives (-1 when no
 * reply came), bytesOut and orderFlags, and *flags and *numPaths.  Returns 0;
 * a host that does not resolve or a socket that cannot be opened ends the
 * process with the engine's exit status.
 */
int tamsel(const char *host, int count, const int *sizes, int *departs, int *arrives,
           int *bytesOut, int *orderFlags, int *flags, int *numPaths, int timeout);

/*
 * Train status suffix for a flags word and a path count: " SEQOK "/" NOTSEQOK ",
 * " RR"/" NORR", "_DUP "/" ", then "multipath: N" when N > 1.  No line end.
 * tsl_format_status_suffix writes it NUL-terminated into buf (cut to size) and
 * returns its full length; tsl_print_status_suffix writes it to standard output.
 */
int tsl_format_status_suffix(char *buf, int size, int flags, int paths);
void tsl_print_status_suffix(int flags, int paths);

/* Sets the program name that the engine's host error starts with (copied, at
 * most 255 characters kept). */
void tsl_set_program_name(const char *name);

/*
 * later - earlier for two times of the engine's microsecond time base,
 * wrapping like the 32-bit time base instead of overflowing.
 */
int tsl_time_diff(int later, int earlier);

#ifdef __cplusplus
}
#endif

#endif /* TAMSEL_H */
