/* SPDX-License-Identifier: MIT */
/* A C program that measures the path to one host through the brevane library
 * and prints the estimate it gets back. */
#include <stdio.h>

#include "brevane.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        usage();
        return 1;
    }
    float estimate = vennic(argv[1]);
    printf("brevane result: %.0f bit/s\n", estimate);
    return estimate > 0 ? 0 : 2;
}
