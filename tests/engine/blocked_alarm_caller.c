/* SPDX-License-Identifier: MIT */
/*
 * A C caller of the train that blocks SIGALRM, as a program that handles its
 * signals with sigwait does:
 *   blocked_alarm_caller HOST TIMEOUT
 * Runs one train of two packets to HOST and prints how long it took, how many
 * replies came and whether a SIGALRM is left pending for it.
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "tamsel.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: blocked_alarm_caller HOST TIMEOUT\n");
        return 2;
    }
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    sigprocmask(SIG_BLOCK, &alarm, NULL);

    int sizes[2] = {600, 600}, departs[2], arrives[2], bytes[2], order[2], flags = 0, paths = 0;
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    tamsel(argv[1], 2, sizes, departs, arrives, bytes, order, &flags, &paths, atoi(argv[2]));
    clock_gettime(CLOCK_MONOTONIC, &end);

    sigset_t pending;
    sigpending(&pending);
    int replies = (arrives[0] != TSL_NO_REPLY) + (arrives[1] != TSL_NO_REPLY);
    printf("TOOK %ld ms REPLIES %d PENDING %s\n",
           (long)((end.tv_sec - start.tv_sec) * 1000 + (end.tv_nsec - start.tv_nsec) / 1000000), replies,
           sigismember(&pending, SIGALRM) ? "yes" : "no");
    return 0;
}
