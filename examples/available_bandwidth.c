/* SPDX-License-Identifier: MIT */
/*
 * available_bandwidth - measures the bandwidth available on the path to one
 * host with the brevane library and prints the estimate in Mbit/s.
 *
 *   available_bandwidth HOST
 *
 * Needs the privilege to open a raw ICMP socket (root, or a binary with the
 * cap_net_raw capability).  The library prints its own per-pass report on
 * standard output before the estimate comes back.
 */
#include <stdio.h>

#include <brevane.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "Usage: %s HOST\n", argv[0]);
        return 1;
    }

    /* Four trains of 10 echo requests; 0 when no train gave an estimate. */
    float bitsPerSecond = vennic(argv[1]);
    if (bitsPerSecond > 0) {
        printf("available bandwidth to %s: %.3f Mbit/s\n", argv[1], bitsPerSecond / 1e6);
        return 0;
    }
    printf("available bandwidth to %s: no estimate (every train was rejected)\n", argv[1]);
    return 2;
}
