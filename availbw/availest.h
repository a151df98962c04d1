/* SPDX-License-Identifier: MIT */
/*
 * availest.h - the bandwidth still free on the path to a host, measured by
 * self-induced congestion.
 *
 * A stream of echo requests sent at a rate R above what the path has free
 * makes a queue grow at the bottleneck, so the stream's delays rise; below
 * it, they stay flat.  The measurement reads the path's capacity from the
 * dispersion of a back-to-back train, takes a first guess from the input and
 * output rates of one stream, and then narrows a range [low, high] with
 * streams at chosen rates, several per rate with a vote.  Rounds of this
 * search are repeated while the budgets allow, and their ranges are combined
 * as fuzzy intervals: the best-supported interval is the answer.
 *
 * Rates are IP bits per second: every byte of the IP datagrams counts,
 * headers included.  Usable from C and C++.  Needs the privilege to open a
 * raw ICMP socket.  Nothing here ends the process or writes to a stream.
 */
#ifndef AVAILEST_H
#define AVAILEST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Verdict of one stream. */
#define AVL_FLAT 0
#define AVL_RISING 1
#define AVL_UNCLEAR 2

/* A stream that lost more than this share of its packets counts as rising. */
#define AVL_HEAVY_LOSS 0.1

/* Results of avl_measure (besides 0, an estimate). */
#define AVL_ERR_HOST (-1)      /* the host does not resolve */
#define AVL_ERR_SOCKET (-2)    /* no raw ICMP socket; errno kept */
#define AVL_ERR_OPTIONS (-3)   /* an option is out of range */
#define AVL_ERR_MEMORY (-5)
#define AVL_NO_ESTIMATE 1      /* the probes ran but gave no estimate; see the reason */

/* What the trend test saw in one stream. */
typedef struct avl_trend {
    int verdict;  /* AVL_FLAT, AVL_RISING or AVL_UNCLEAR */
    int groups;   /* groups the delays were cut into, up to six (0: too few delays) */
    double pct;   /* share of group floors (lowest delays) above the one before */
    double pdt;   /* rise from the first floor to the last over the floors' whole travel */
    double rise;  /* last group floor less the first, in the delays' unit */
    double loss;  /* share of the stream's packets lost */
} avl_trend;

/*
 * Judges the n delays of a stream's received packets, in sending order, with
 * lost more packets sent that never came back.  The delays are cut into
 * sqrt(n) groups, at most six and at most groups when that is above 0 (three
 * at least, or the verdict is unclear).  Differences between group floors of
 * at most tolerance (in the delays' unit) count as none.  Returns the verdict
 * and, when out is not null, what it was based on.
 */
int avl_judge_delays(const double *delays, int n, int lost, int groups, double tolerance, avl_trend *out);

/* How a measurement is run.  avl_default_options gives the defaults. */
typedef struct avl_options {
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
                              40000; at least 20 packets, and 8 to 30 ms at its rate) */
    int streams_per_rate;  /* streams that vote on each rate (default 2; a disagreement
                              brings one more) */
    double resolution;     /* a round ends when high <= low * (1 + resolution) (default 0.06) */
    int max_rounds;        /* rounds of the search at most (default 6) */
} avl_options;

void avl_default_options(avl_options *options);

/* One stream as it was sent and judged. */
typedef struct avl_stream {
    int round;            /* 0 for the capacity train and the first guess, then 1, 2, ... */
    int kind;             /* AVL_KIND_CAPACITY, AVL_KIND_GUESS or AVL_KIND_SEARCH */
    double rate_bps;      /* sending rate asked for (0: back to back) */
    double sent_rate_bps; /* sending rate achieved, from the departures */
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

/* One round of the search and the range it ended with: the highest rate voted
 * below what is free and the lowest voted above (0 where none was). */
typedef struct avl_round {
    double low_bps, high_bps;
    int complete; /* 1: narrowed to the resolution; 0: cut short by a budget */
} avl_round;

/* What a measurement found.  Free it with avl_free_result. */
typedef struct avl_result {
    char address[16];       /* the destination, dotted */
    double available_bps;   /* the estimate: middle of the best-supported interval */
    double low_bps, high_bps; /* that interval */
    double capacity_bps;    /* capacity from the dispersion train, for reference */
    int support;            /* rounds whose range lies in that interval */
    int rounds;             /* rounds that count: those narrowed to the resolution (or, when
                               a budget cut every round short, those with both ends known);
                               round_ranges has every round */
    int64_t probe_bytes;    /* IP bytes sent and received */
    double duration_s;      /* time the measurement took */
    double timescale_s;     /* length of a stream at the estimated rate */
    int budget_reached;     /* 1: a budget ended the measurement */
    char reason[160];       /* why there is no estimate, or what cut it short; "" otherwise */
    int nstreams;
    avl_stream *streams;
    int nrounds;
    avl_round *round_ranges;
} avl_result;

/* Called after every stream with the result so far (streams included). */
typedef void (*avl_progress_fn)(void *context, const avl_result *sofar);

/*
 * Measures the path to host.  Returns 0 with an estimate, AVL_NO_ESTIMATE
 * with the reason in result->reason, or a negative error.  The result is
 * filled in every case (streams sent so far included) and must be freed.
 */
int avl_measure(const char *host, const avl_options *options, avl_result *result,
                avl_progress_fn progress, void *context);

/*
 * The same measurement over any sender of streams (a simulated path, a
 * recorded one): send is called like tsl_stream_run without its session and
 * statistics, with sizes in ICMP data bytes, and returns the number of
 * replies or a negative error.  address is copied into the result.
 */
typedef int (*avl_send_fn)(void *context, int count, int size, const int64_t *send_at_us,
                           int64_t *depart_us, int64_t *arrive_us, int wait_ms);
int avl_measure_with(avl_send_fn send, void *send_context, const char *address,
                     const avl_options *options, avl_result *result, avl_progress_fn progress,
                     void *context);

void avl_free_result(avl_result *result);

#ifdef __cplusplus
}
#endif

#endif /* AVAILEST_H */
