/* SPDX-License-Identifier: MIT */
/*
 * availest.h - the bandwidth still free on the path to a host, measured by
 * self-induced congestion.
 *
 * A stream of echo requests sent at a rate R above what the path has free
 * makes a queue grow at the bottleneck, so the stream's delays rise; below
 * it, they stay flat.  The measurement reads the path's capacity from the
 * dispersion of a back-to-back train, takes a first guess from the input and
 * output rates of one stream, and then sends each stream at the rate where
 * its verdict (rising or flat) teaches most.  Every verdict is weighed as
 * noisy evidence about the free rate; the answer is the range that holds
 * the free rate with 90 % probability, once it is narrow enough or the
 * budgets are spent.
 *
 * Rates are IP bits per second: every byte of the IP datagrams counts,
 * headers included (20 bytes of IPv4 header or 40 of IPv6, 8 of ICMP).
 * Usable from C and C++.  avl_measure sends on a raw ICMP socket when the
 * process may open one, else on an ICMP datagram socket (allowed to the groups
 * in net.ipv4.ping_group_range).  Nothing here ends the process or writes to a
 * stream.
 */
#ifndef AVAILEST_H
#define AVAILEST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Verdict of one stream. */
#define AVL_FLAT 0
#define AVL_RISING 1
#define AVL_UNCLEAR 2

/* Results of avl_measure (besides 0, an estimate). */
#define AVL_ERR_HOST (-1)      /* the host does not resolve (to the family asked for) */
#define AVL_ERR_SOCKET (-2)    /* neither a raw nor a datagram ICMP socket; errno kept */
#define AVL_ERR_OPTIONS (-3)   /* an option is out of range */
#define AVL_ERR_SYSTEM (-4)    /* another system call failed (random bytes for the
                                  identifiers); errno kept */
#define AVL_ERR_MEMORY (-5)
#define AVL_NO_ESTIMATE 1      /* the probes ran but gave no estimate; see the reason */

/* Why there is no estimate (avl_result.failure), beside the reason's text.
 * avl_failure_name gives each a short name for scripts ("budget", "loss", ...). */
#define AVL_FAIL_NONE 0         /* there is an estimate */
#define AVL_FAIL_BUDGET 1       /* a budget ended the measurement before the range was narrow */
#define AVL_FAIL_NO_REPLY 2     /* the host did not answer */
#define AVL_FAIL_UNREACHABLE 3  /* a router answered with an ICMP error (see the reason) */
#define AVL_FAIL_LOSS 4         /* the path loses too much even at low rates */
#define AVL_FAIL_ECHO_LIMIT 5   /* the host limits its echo replies below what is free:
                                   lower_bound_bps holds what is known */
#define AVL_FAIL_POLICER 6      /* the bottleneck drops above its rate instead of queueing */
#define AVL_FAIL_ELASTIC 7      /* the cross traffic yields to the streams (TCP): what is
                                   unused could not be told */
#define AVL_FAIL_UNSTEADY 8     /* the streams disagree more than noise explains */
#define AVL_FAIL_SENDER 9       /* this machine could not keep to the streams' schedule */
#define AVL_FAIL_SEND 10        /* sending failed (errno text in the reason) */
#define AVL_FAIL_PATH 11        /* the path does not carry the packets the method needs */
#define AVL_FAIL_CANCELLED 12   /* the progress callback asked to stop */

/* Which budget ended a measurement (avl_result.budget_reached). */
#define AVL_BUDGET_NONE 0
#define AVL_BUDGET_BYTES 1
#define AVL_BUDGET_TIME 2

/* Whether the cross traffic yields to the streams (avl_result.elastic). */
#define AVL_ELASTIC_UNKNOWN (-1)
#define AVL_ELASTIC_NO 0
#define AVL_ELASTIC_YES 1

/* What the trend test saw in one stream. */
typedef struct avl_trend {
    int verdict;  /* AVL_FLAT, AVL_RISING or AVL_UNCLEAR */
    int groups;   /* groups the delays were cut into, up to sixteen (0: too few delays) */
    double rise;  /* how far the group floors (lowest delays) rose from the first group to
                     the last, along the straight line that fits them best; delays' unit */
    double noise; /* the standard error of that rise, from the floors' scatter about the line */
    double loss;  /* share of the stream's packets lost */
    int lossy;    /* 1: it lost more than a path that loses base_loss would by chance */
    int rose;     /* 1: its floors rose by more than the tolerance and twice their error */
} avl_trend;

/*
 * Judges the n delays of a stream's received packets, in sending order, with
 * lost more packets sent that never came back, on a path that loses
 * base_loss (0 to 1) of its packets whatever the rate.  The delays are cut
 * into sqrt(n) groups, at most sixteen and at most groups when that is above
 * 0 (three at least, or the verdict is unclear).  The stream is rising when
 * its group floors rose by more than tolerance (in the delays' unit) and by
 * more than twice the standard error of that rise, or when it lost more than
 * such a path loses by chance (more than three standard deviations and one
 * and a half packets above base_loss); flat otherwise.  Returns the verdict
 * and, when out is not null, what it was based on.
 */
int avl_judge_delays(const double *delays, int n, int lost, double base_loss, int groups, double tolerance,
                     avl_trend *out);

/* How a measurement is run.  avl_default_options gives the defaults. */
typedef struct avl_options {
    size_t size;           /* sizeof(avl_options) as the caller knows it; set by
                              avl_default_options.  0 counts as this header's size.
                              Lets the struct grow without breaking callers. */
    int64_t max_bytes;     /* stop once the probes have cost this many IP bytes, sent
                              and received; 0 (default): 1000000, or when that is more,
                              what ten streams as long as the time scale (4 ms without one)
                              cost at the capacity, both ways */
    double max_seconds;    /* stop after this long; 0 (default): 1 s, or 40 times the time
                              scale when that is longer */
    double timescale_s;    /* > 0: every stream lasts this long; 0 (default): streams of
                              stream_packets packets, whose length then depends on the rate */
    int packet_bytes;      /* IP bytes of a stream packet, 64..1500; 0 (default): chosen
                              from the capacity, at least 400 and large enough that packets
                              at the capacity leave at least 50 us apart */
    int stream_bytes;      /* IP bytes a stream sends when no time scale is set (default
                              40000, or what 4 ms at the capacity carry when that is more;
                              at least 20 packets, and 4 to 30 ms at its rate) */
    int streams_per_rate;  /* streams sent at each rate the search chooses, each
                              verdict weighed on its own (default 1) */
    double resolution;     /* the search ends once high <= low * (1 + resolution),
                              after six verdicts or more (default 0.1) */
    int max_rounds;        /* rounds of four verdicts at most (default 12) */
    int family;            /* AVL_FAMILY_ANY (default): the first address the resolver
                              gives; AVL_FAMILY_IPV4 or AVL_FAMILY_IPV6: only that family */
} avl_options;

#define AVL_FAMILY_ANY 0
#define AVL_FAMILY_IPV4 4
#define AVL_FAMILY_IPV6 6

void avl_default_options(avl_options *options);

/* One stream as it was sent and judged. */
typedef struct avl_stream {
    int round;            /* 0 for the capacity train and the first guess, then 1, 2, ... */
    int kind;             /* AVL_KIND_CAPACITY, AVL_KIND_GUESS or AVL_KIND_SEARCH */
    double rate_bps;      /* sending rate asked for (0: back to back) */
    double sent_rate_bps; /* sending rate achieved, from the departures */
    double receive_rate_bps; /* rate the replies arrived at, from their arrivals (0: fewer
                                than two replies) */
    double start_s;       /* when it began, seconds from the start of the measurement */
    int packets;          /* all of them, the lead included */
    int lead;             /* the first lead packets leave back to back, to use up the credit
                             of a token bucket on the path; the rest follow at the rate */
    int lost;
    int packet_bytes;     /* IP bytes of each packet */
    int verdict;          /* AVL_FLAT, AVL_RISING or AVL_UNCLEAR; AVL_UNCLEAR for the
                             capacity train */
    int void_stream;      /* 1: the sender fell behind its schedule; not counted */
    double *depart_s;     /* packets entries: departure, seconds from the stream's start */
    double *delay_s;      /* packets entries: round-trip time, seconds; < 0 when lost */
} avl_stream;

#define AVL_KIND_CAPACITY 0
#define AVL_KIND_GUESS 1
#define AVL_KIND_SEARCH 2
#define AVL_KIND_PROBE 3  /* small packets that check the path: its round trip, a limit on
                             echo replies; not judged */

/* One round of the search (four verdicts) and the range of the free rate
 * after it, as the verdicts so far put it. */
typedef struct avl_round {
    double low_bps, high_bps;
    int complete; /* 1: narrowed to the resolution; 0: not, or cut short by a budget */
} avl_round;

/* What a measurement found.  Free it with avl_free_result. */
typedef struct avl_result {
    char address[64];       /* the destination in its standard text form (IPv4 or IPv6) */
    double available_bps;   /* the estimate: the middle of the range */
    double low_bps, high_bps; /* the range that holds the free rate with 90 % probability */
    double capacity_bps;    /* capacity from the dispersion train, for reference */
    int support;            /* rounds whose range holds the estimate (at least 1) */
    int rounds;             /* rounds of the search; round_ranges has each */
    int64_t probe_bytes;    /* IP bytes sent and received */
    double duration_s;      /* time the measurement took */
    double timescale_s;     /* length of a stream at the estimated rate */
    int packet_bytes;       /* IP bytes of each packet of the streams after the capacity
                               train (0: none was sent) */
    double echo_limit_pps;  /* > 0: the host (or a router before it) answers at most about
                               this many echo requests a second */
    int budget_reached;     /* AVL_BUDGET_BYTES or AVL_BUDGET_TIME: that budget ended the
                               measurement; AVL_BUDGET_NONE (0) otherwise */
    char reason[160];       /* why there is no estimate, or what cut it short; "" otherwise */
    int nstreams;
    avl_stream *streams;
    int nrounds;
    avl_round *round_ranges;
    /* Added after the first release; present when size covers them. */
    int failure;            /* AVL_FAIL_NONE with an estimate, else why there is none */
    int elastic;            /* AVL_ELASTIC_YES: the cross traffic yields (TCP), and the figure
                               is the unused rate; AVL_ELASTIC_NO: found not to yield;
                               AVL_ELASTIC_UNKNOWN: not told */
    double lower_bound_bps; /* > 0 without an estimate: at least this much is free */
    int64_t max_bytes;      /* the budgets the measurement ran under (the automatic ones */
    double max_seconds;     /*   as they grew) */
    int budget_grown;       /* the automatic budgets grew to max_bytes and max_seconds, as
                               1: the streams disagreed; 2: they hinted that the cross
                               traffic gives way, and more of them tell; 3: the cross
                               traffic came in bursts, and longer streams average over them;
                               4: the first stream at the capacity put the free rate far from
                               the verdicts, and more such streams tell whether the cross
                               traffic comes and goes; 5: the streams' own windows swung
                               widely, or one met a burst (less than half the
                               verdicts' middle free), and streams at the
                               capacity tell the same */
    double burst_gap_s;     /* > 0: the cross traffic came in bursts about this far apart,
                               further than the streams lasted, and the search started
                               again with streams of timescale_s, or streams at the
                               capacity one gap long measured them (free_spread > 0;
                               without a time scale asked for); 0 otherwise */
    double free_spread;     /* > 0: the cross traffic came and went while streams ran: the free
                               rates of streams at the capacity spread by this share of their
                               mean (their standard deviation over it), and the figure is that
                               mean (or there is none, when even the mean is too uncertain);
                               0 otherwise */
    int from_windows;       /* 1: the figure is the mean free rate of the streams' own windows,
                               each stream's rate less the capacity times its delays' slope
                               (their verdicts disagreed, or a budget ended them with a wider
                               range); 0 otherwise */
} avl_result;

/* The short name of a failure code ("none", "budget", "no_reply", ...); "unknown"
 * for a code this library does not know. */
const char *avl_failure_name(int failure);

/* Called after every stream with the result so far (streams included).  The
 * pointers in sofar (streams, their arrays, round_ranges) stay valid only until
 * the callback returns: copy what is wanted later.  Return 0 to go on; any
 * other value ends the measurement, which then returns AVL_NO_ESTIMATE with
 * failure AVL_FAIL_CANCELLED. */
typedef int (*avl_progress_fn)(void *context, const avl_result *sofar);

/*
 * Measures the path to host.  Returns 0 with an estimate, AVL_NO_ESTIMATE
 * with the reason in result->reason, or a negative error.  The result is
 * filled in every case (streams sent so far included) and must be freed.
 */
int avl_measure(const char *host, const avl_options *options, avl_result *result,
                avl_progress_fn progress, void *context);

/*
 * The result can grow in later versions without breaking callers: the
 * _sized functions take the size of the caller's struct and write no byte
 * past it, and the macros below pass it for every call compiled against this
 * header.  (The plain functions, called as (avl_measure)(...), take this
 * header's size.)
 */
int avl_measure_sized(const char *host, const avl_options *options, avl_result *result, size_t result_size,
                      avl_progress_fn progress, void *context);
#define avl_measure(host, options, result, progress, context) \
    avl_measure_sized((host), (options), (result), sizeof *(result), (progress), (context))

/*
 * avl_measure in steps, for a program that gives up its privilege once its
 * socket is open: avl_open resolves host (to family: AVL_FAMILY_ANY, _IPV4 or
 * _IPV6) and opens the socket, the only step that may need privilege;
 * avl_measure_session measures (options->family is not used: the session has
 * its address) and may be called again; avl_close closes.  avl_open returns 0
 * and the session in *session, or AVL_ERR_HOST, AVL_ERR_SOCKET or
 * AVL_ERR_SYSTEM (errno kept), AVL_ERR_OPTIONS or AVL_ERR_MEMORY.
 * avl_measure_session returns as avl_measure does.
 */
typedef struct avl_session avl_session;
int avl_open(avl_session **session, const char *host, int family);
int avl_measure_session(avl_session *session, const avl_options *options, avl_result *result,
                        avl_progress_fn progress, void *context);
int avl_measure_session_sized(avl_session *session, const avl_options *options, avl_result *result,
                              size_t result_size, avl_progress_fn progress, void *context);
#define avl_measure_session(session, options, result, progress, context) \
    avl_measure_session_sized((session), (options), (result), sizeof *(result), (progress), (context))
void avl_close(avl_session *session);

/* Arrival time of a packet without a reply, in avl_path's send. */
#define AVL_LOST (-1)

/*
 * A path to measure, as the measurement sees it: a way to send streams, a
 * clock and a way to let time pass.  avl_measure builds one on the engine's
 * stream runner; a simulated or recorded path is another.  The measurement
 * keeps no clock of its own: its budgets, stream starts and pauses all run on
 * this one.
 */
typedef struct avl_path {
    void *context;  /* handed to each function */
    /* Sends count echo requests of size ICMP data bytes, packet i at
     * send_at_ns[i] nanoseconds after the stream's start (non-decreasing),
     * and waits for replies up to wait_ns after the last send, less once
     * every reply is in or a millisecond after the last packet's reply (the
     * rest are lost).  Fills depart_ns[i] with the real departure and
     * arrive_ns[i] with the arrival of its first reply, or AVL_LOST, both
     * from the stream's start.  Returns the number of replies, or a negative
     * error with errno set. */
    int (*send)(void *context, int count, int size, const int64_t *send_at_ns, int64_t *depart_ns,
                int64_t *arrive_ns, int64_t wait_ns);
    /* Nanoseconds on a clock that never steps back. */
    int64_t (*now_ns)(void *context);
    /* Lets ns nanoseconds pass. */
    void (*pause)(void *context, int64_t ns);
    int header_bytes;     /* IP and ICMP header bytes of each request (28 for IPv4, 48 for
                             IPv6): a packet of size data bytes has size + header_bytes */
    const char *address;  /* the destination, copied into the result */
    /* What send accepts at most (0: no limit); the measurement never asks for
     * more, and a send asked for more fails with EINVAL. */
    int max_packets;      /* packets in one stream */
    int64_t max_wait_ns;  /* wait_ns */
    /* Optional (NULL: not known).  The replies of the last send that this
     * host dropped itself (its receive buffer overflowed): not the path's loss. */
    int (*overflows)(void *context);
    /* Optional (NULL: none seen).  The last ICMP error that answered a request
     * of the last send, as "ADDRESS says: what" (e.g. "198.18.0.254 says:
     * destination network unreachable"), or NULL when none came. */
    const char *(*icmp_error)(void *context);
} avl_path;

/* The measurement over any path; avl_measure is this over a real one. */
int avl_measure_path(const avl_path *path, const avl_options *options, avl_result *result,
                     avl_progress_fn progress, void *context);
int avl_measure_path_sized(const avl_path *path, const avl_options *options, avl_result *result,
                           size_t result_size, avl_progress_fn progress, void *context);
#define avl_measure_path(path, options, result, progress, context) \
    avl_measure_path_sized((path), (options), (result), sizeof *(result), (progress), (context))

void avl_free_result(avl_result *result);
void avl_free_result_sized(avl_result *result, size_t result_size);
#define avl_free_result(result) avl_free_result_sized((result), sizeof *(result))

#ifdef __cplusplus
}
#endif

#endif /* AVAILEST_H */
