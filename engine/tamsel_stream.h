/* SPDX-License-Identifier: MIT */
/*
 * tamsel_stream.h - paced streams of ICMP echo requests: each packet leaves
 * at a given time, and each reply is timed by the kernel's receive stamp.
 *
 * Usable from C and C++.  Unlike a train (tamsel.h), a stream keeps no
 * process-wide state and never ends the process: everything lives in a
 * session, and errors come back as negative results.  Stream packets carry no
 * IP options.  IPv4 and IPv6; a raw ICMP socket when the process may open one,
 * else an ICMP datagram socket (allowed to the groups in the system's
 * net.ipv4.ping_group_range).  Times are nanoseconds on the monotonic clock
 * (tsl_stream_clock_ns), counted from the start instant of the stream (the
 * moment tsl_stream_run begins sending).
 */
#ifndef TAMSEL_STREAM_H
#define TAMSEL_STREAM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Address families of tsl_stream_open_with. */
#define TSL_STREAM_ANY 0  /* the first address the resolver gives */
#define TSL_STREAM_IPV4 4
#define TSL_STREAM_IPV6 6

/* Socket kinds of tsl_stream_open_with. */
#define TSL_STREAM_ANY_KIND 0  /* raw when it can be had, else datagram */
#define TSL_STREAM_RAW 1       /* needs root or the cap_net_raw capability */
#define TSL_STREAM_DATAGRAM 2  /* needs a group inside net.ipv4.ping_group_range */

/* Most packets in one stream. */
#define TSL_STREAM_MAX_PACKETS 4096
/* ICMP data bytes of a stream packet: at least the 4-byte send stamp and the
 * stream's 8-byte token after it; at most what a 65535-byte IPv4 datagram
 * holds (20 bytes of IP header, 8 of ICMP header). */
#define TSL_STREAM_MIN_DATA 12
#define TSL_STREAM_MAX_DATA 65507
/* Latest send time and longest wait for replies that a stream accepts, in ns. */
#define TSL_STREAM_MAX_SPAN_NS INT64_C(60000000000)
#define TSL_STREAM_MAX_WAIT_NS INT64_C(60000000000)
/* Arrival time of a packet without a reply. */
#define TSL_STREAM_LOST (-1)
/* How long the wait goes on for stragglers once the last packet's reply is in. */
#define TSL_STREAM_SETTLE_NS INT64_C(1000000)

/* Negative results. */
#define TSL_STREAM_ERR_HOST (-1)     /* the host does not resolve, or not to the family asked for */
#define TSL_STREAM_ERR_SOCKET (-2)   /* neither socket kind could be opened; errno kept */
#define TSL_STREAM_ERR_ARGUMENT (-3) /* family, kind, count, size, schedule or wait out of range;
                                        errno EINVAL */
#define TSL_STREAM_ERR_SEND (-4)     /* the kernel refused a send, or the socket had no room
                                        for it within a second; errno kept */
#define TSL_STREAM_ERR_MEMORY (-5)   /* no memory for the session; errno ENOMEM */
#define TSL_STREAM_ERR_RANDOM (-6)   /* no random bytes for an identifier or token; errno kept */

typedef struct tsl_stream_session tsl_stream_session;

/* What a stream met besides its timings. */
typedef struct tsl_stream_stats {
    int received;       /* packets with a reply */
    int duplicates;     /* replies beyond the first to a packet */
    int ignored;        /* datagrams that were no reply to this stream (other hosts, other
                           sessions and processes, late replies of earlier streams, replies
                           without the stream's token) */
    int shifts;         /* times the sender fell behind and moved the rest of the schedule */
    int64_t shifted_ns; /* how far the schedule moved in all */
    int after_receive;  /* replies timed after the receive for want of a kernel stamp */
    int overflows;      /* datagrams the kernel dropped for a full receive buffer during the
                           stream: replies among them read as lost, so such a stream is
                           best voided */
    int64_t start_ns;   /* the stream's start instant on the clock of tsl_stream_clock_ns */
    int send_waits;     /* packets that found the socket's send buffer (or the device's queue)
                           full and waited for room, up to a second each */
} tsl_stream_stats;

/*
 * Resolves host (an address in its standard text form, or a name) and opens
 * the session's ICMP socket.  family: TSL_STREAM_ANY, TSL_STREAM_IPV4 or
 * TSL_STREAM_IPV6; kind: TSL_STREAM_ANY_KIND, TSL_STREAM_RAW or
 * TSL_STREAM_DATAGRAM.  Returns 0 and the session in *session, or a negative
 * error.
 */
int tsl_stream_open_with(tsl_stream_session **session, const char *host, int family, int kind);

/* tsl_stream_open_with(session, host, TSL_STREAM_ANY, TSL_STREAM_ANY_KIND). */
int tsl_stream_open(tsl_stream_session **session, const char *host);

/* The address family of the session: 4 or 6. */
int tsl_stream_family(const tsl_stream_session *session);

/* The socket kind of the session: TSL_STREAM_RAW or TSL_STREAM_DATAGRAM. */
int tsl_stream_socket_kind(const tsl_stream_session *session);

/* IP and ICMP header bytes of a request without options: 28 (IPv4) or 48 (IPv6). */
int tsl_stream_header_bytes(const tsl_stream_session *session);

/* The destination address of the session in its standard text form. */
const char *tsl_stream_address(const tsl_stream_session *session);

/* The monotonic clock (CLOCK_MONOTONIC) that streams are scheduled on, in ns. */
int64_t tsl_stream_clock_ns(void);

/* Closes the socket and frees the session; a null session is ignored. */
void tsl_stream_close(tsl_stream_session *session);

/*
 * Sends count echo requests of size ICMP data bytes, packet i at send_at_ns[i]
 * nanoseconds after the start instant (non-decreasing, the first usually 0),
 * busy-waiting on the monotonic clock for each.  A sender that falls behind
 * its schedule by more than a quarter of the gap to the previous packet (at
 * least 2 us) sends that packet at once and moves the rest of the schedule
 * later by the same amount, so the spacing after a stall is kept instead of
 * being made up with packets back to back.  Replies that wait while sending
 * are read whenever the next send leaves time for it; after the last send it
 * waits up to wait_ns nanoseconds for the rest, however much else arrives,
 * and no longer than TSL_STREAM_SETTLE_NS after the reply to the last packet:
 * replies come in order, so the ones still missing then are lost.
 *
 * Fills depart_ns[i] with the real departure time of packet i and
 * arrive_ns[i] with the kernel's receive stamp of its first reply (brought
 * onto the monotonic clock), or TSL_STREAM_LOST.  A reply is taken when it is
 * an echo reply from the destination with the session's identifier, a
 * sequence number in the stream's window and the stream's random token.  The
 * receive buffer is enlarged for the stream as far as the process may;
 * datagrams that it could not hold are counted in stats->overflows.  A
 * packet that finds the socket's send buffer full waits for room (a second
 * at most), is stamped when it really leaves, and is counted in
 * stats->send_waits.  stats may be null.
 *
 * Returns the number of packets with a reply (0 to count), or a negative
 * error (nothing sent for TSL_STREAM_ERR_ARGUMENT and TSL_STREAM_ERR_RANDOM).
 */
int tsl_stream_run(tsl_stream_session *session, int count, int size, const int64_t *send_at_ns,
                   int64_t *depart_ns, int64_t *arrive_ns, int64_t wait_ns, tsl_stream_stats *stats);

/*
 * Enlarges the session's receive buffer now for streams of up to count
 * packets of ip_bytes IP bytes, as tsl_stream_run does before each stream:
 * for a caller that gives up its privilege before it sends (with
 * CAP_NET_ADMIN the buffer may pass the system's net.core.rmem_max).  The
 * buffer is never made smaller; a null session is ignored.
 */
void tsl_stream_reserve(tsl_stream_session *session, int count, int ip_bytes);

/*
 * The last ICMP error that answered a request of the session's last stream
 * (destination unreachable, time exceeded, ...), as "ADDRESS says: what",
 * e.g. "198.18.0.254 says: destination network unreachable".  Copies it into
 * buf (cut to len bytes, always terminated) and returns 1; returns 0 and an
 * empty text when none came.  Errors are taken only when they quote one of
 * the stream's own requests to the session's destination.
 */
int tsl_stream_last_error(const tsl_stream_session *session, char *buf, size_t len);
/* What answered a packet of tsl_stream_run_hops. */
#define TSL_STREAM_ANSWER_NONE 0        /* nothing */
#define TSL_STREAM_ANSWER_ECHO 1        /* the destination's echo reply */
#define TSL_STREAM_ANSWER_EXCEEDED 2    /* a router's "time exceeded" (ICMPv6: hop limit) */
#define TSL_STREAM_ANSWER_UNREACHABLE 3 /* a "destination unreachable" */
/* Longest address text of an answer, its terminating zero included. */
#define TSL_STREAM_ADDRESS_TEXT 46

/* The first answer to one packet of tsl_stream_run_hops. */
typedef struct tsl_stream_answer {
    int kind;                           /* TSL_STREAM_ANSWER_* */
    char from[TSL_STREAM_ADDRESS_TEXT]; /* who answered, standard text form; "" for none */
} tsl_stream_answer;

/*
 * A stream whose packets each have their own size (sizes[i] ICMP data bytes,
 * as size in tsl_stream_run) and time to live (ttls[i], 1 to 255; IPv6: the
 * hop limit), so that routers on the way answer some of them with "time
 * exceeded".  Sends and paces as tsl_stream_run.  A packet's answer is the
 * destination's echo reply, or an ICMP or ICMPv6 "time exceeded" or
 * "destination unreachable" that quotes it: its identifier, a sequence number
 * in the stream's window, the session's destination and, when the quote
 * reaches that far, the stream's token.  A raw socket reads these errors as
 * it reads replies; a datagram socket from its error queue (IP_RECVERR,
 * IPV6_RECVERR), where the kernel keeps them with the router's address.  Each
 * is timed by the kernel's receive stamp when one comes.
 *
 * Fills depart_ns and arrive_ns as tsl_stream_run, and answers[i] with what
 * answered packet i first.  Waits up to wait_ns after the last send, less when
 * every packet has its answer.  The socket's time to live, filter and error
 * reporting are as before once it returns.  Returns the number of packets
 * answered, or a negative error.
 */
int tsl_stream_run_hops(tsl_stream_session *session, int count, const int *sizes, const int *ttls,
                        const int64_t *send_at_ns, int64_t *depart_ns, int64_t *arrive_ns,
                        tsl_stream_answer *answers, int64_t wait_ns, tsl_stream_stats *stats);

/* A short English text for a negative result of these functions. */
const char *tsl_stream_strerror(int error);

#ifdef __cplusplus
}
#endif

#endif /* TAMSEL_STREAM_H */
