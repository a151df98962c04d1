/* SPDX-License-Identifier: MIT */
/* availest.h from C: a program that measures a path of its own (a host that
 * never answers, on a clock it keeps) through the C interface, with a
 * progress callback, the sized result and the failure names.  Exits 0 when
 * everything reads as the header says. */
#include <stdio.h>
#include <string.h>

#include "availest.h"

static int64_t now;

static int silent_send(void *context, int count, int size, const int64_t *send_at_ns, int64_t *depart_ns,
                       int64_t *arrive_ns, int64_t wait_ns) {
    (void)context;
    (void)size;
    for (int i = 0; i < count; ++i) {
        depart_ns[i] = send_at_ns[i];
        arrive_ns[i] = AVL_LOST;
    }
    now += send_at_ns[count - 1] + wait_ns;
    return 0;
}

static int64_t clock_ns(void *context) {
    (void)context;
    return now;
}

static void let_pass(void *context, int64_t ns) {
    (void)context;
    now += ns;
}

static int on_progress(void *context, const avl_result *sofar) {
    ++*(int *)context;
    return sofar->nstreams > 100; /* go on */
}

int main(void) {
    avl_options options;
    avl_default_options(&options);
    options.max_seconds = 2;
    avl_path path;
    memset(&path, 0, sizeof path);
    path.send = silent_send;
    path.now_ns = clock_ns;
    path.pause = let_pass;
    path.header_bytes = 28;
    path.address = "198.18.1.2";
    path.max_packets = 4096;
    path.max_wait_ns = INT64_C(60000000000);
    avl_result result;
    int calls = 0;
    const int status = avl_measure_path(&path, &options, &result, on_progress, &calls);
    const int ok = status == AVL_NO_ESTIMATE && result.failure == AVL_FAIL_NO_REPLY &&
                   strcmp(avl_failure_name(result.failure), "no_reply") == 0 && calls == result.nstreams &&
                   calls > 0 && strcmp(result.address, "198.18.1.2") == 0 && result.elastic == AVL_ELASTIC_UNKNOWN;
    printf("status %d, failure %s, %d streams, %d calls: %s\n", status, avl_failure_name(result.failure),
           result.nstreams, calls, result.reason);
    avl_free_result(&result);
    return ok ? 0 : 1;
}
