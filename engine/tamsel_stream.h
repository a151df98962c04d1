/* SPDX-License-Identifier: MIT */
/*
 * tamsel_stream.h - paced streams of ICMP echo requests: each packet leaves
 * at a given time, and each reply is timed by the kernel's receive stamp.
 *
 * Usable from C and C++.  Unlike a train (tamsel.h), a stream keeps no
 * process-wide state and never ends the process: everything lives in a
 * session, and errors come back as negative results.  Stream packets carry no
 * IP options.  Times are microseconds from the start instant of the stream
 * (the moment tsl_stream_run begins sending).
 */
#ifndef TAMSEL_STREAM_H
#define TAMSEL_STREAM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Most packets in one stream. */
#define TSL_STREAM_MAX_PACKETS 4096
/* ICMP data bytes of a stream packet: the 4-byte send stamp at least, a
 * 65535-byte datagram (20 bytes of IP header, 8 of ICMP header) at most. */
#define TSL_STREAM_MIN_DATA 4
#define TSL_STREAM_MAX_DATA 65507
/* Latest send time and longest wait for replies that a stream accepts. */
#define TSL_STREAM_MAX_SPAN_US 60000000
#define TSL_STREAM_MAX_WAIT_MS 60000
/* Arrival time of a packet without a reply. */
#define TSL_STREAM_LOST (-1)

/* Negative results. */
#define TSL_STREAM_ERR_HOST (-1)     /* the host does not resolve to an IPv4 address */
#define TSL_STREAM_ERR_SOCKET (-2)   /* no raw ICMP socket (root or cap_net_raw needed); errno kept */
#define TSL_STREAM_ERR_ARGUMENT (-3) /* count, size, schedule or wait out of range */
#define TSL_STREAM_ERR_SEND (-4)     /* the kernel refused a send; errno kept */
#define TSL_STREAM_ERR_MEMORY (-5)   /* no memory for the session */

typedef struct tsl_stream_session tsl_stream_session;

/* What a stream met besides its timings. */
typedef struct tsl_stream_stats {
    int received;      /* packets with a reply */
    int duplicates;    /* replies beyond the first to a packet */
    int ignored;       /* datagrams that were no reply to this stream (other hosts, other
                          processes, late replies of earlier streams, our own requests on
                          loopback, ICMP errors) */
    int shifts;        /* times the sender fell behind and moved the rest of the schedule */
    int64_t shifted_us; /* how far the schedule moved in all */
    int after_receive; /* replies timed after the receive for want of a kernel stamp */
} tsl_stream_stats;

/*
 * Resolves host (dotted address or name) and opens the session's raw ICMP
 * socket.  Returns 0 and the session in *session, or a negative error.
 */
int tsl_stream_open(tsl_stream_session **session, const char *host);

/* The destination address of the session, dotted. */
const char *tsl_stream_address(const tsl_stream_session *session);

/* Closes the socket and frees the session; a null session is ignored. */
void tsl_stream_close(tsl_stream_session *session);

/*
 * Sends count echo requests of size ICMP data bytes, packet i at send_at_us[i]
 * microseconds after the start instant (non-decreasing, the first usually 0),
 * busy-waiting on the clock for each.  A sender that falls behind its
 * schedule by more than a quarter of the gap to the previous packet (at least
 * 2 us) sends that packet at once and moves the rest of the schedule later by
 * the same amount, so the spacing after a stall is kept instead of being made
 * up with packets back to back.  Replies that arrive while sending are read
 * between sends; after the last send it waits up to wait_ms milliseconds for
 * the rest.
 *
 * Fills depart_us[i] with the real departure time of packet i and arrive_us[i]
 * with the kernel's receive stamp of its first reply, or TSL_STREAM_LOST.
 * Replies are matched by the session's identifier, the destination as their
 * source, and the stream's window of sequence numbers, so late replies of an
 * earlier stream are ignored.  stats may be null.
 *
 * Returns the number of packets with a reply (0 to count), or a negative
 * error (nothing sent for TSL_STREAM_ERR_ARGUMENT).
 */
int tsl_stream_run(tsl_stream_session *session, int count, int size, const int64_t *send_at_us,
                   int64_t *depart_us, int64_t *arrive_us, int wait_ms, tsl_stream_stats *stats);

/* A short English text for a negative result of these functions. */
const char *tsl_stream_strerror(int error);

#ifdef __cplusplus
}
#endif

#endif /* TAMSEL_STREAM_H */
