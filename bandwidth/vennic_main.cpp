// SPDX-License-Identifier: MIT
// vennic_main.cpp - command line of the program build: one host name in, the
// available bandwidth to it out.
#include "brevane.h"
#include "tamsel.h"

#include <cstdio>

namespace {
constexpr const char* kVersion = "1.0";
}

int main(int argc, char** argv) {
    if (argc != 2) {
        usage();
        return 1;
    }
    tsl_set_program_name("vennic");
    std::printf("VENNIC (%s) %s\n", kVersion, argv[1]);
    const float bandwidth = vennic(argv[1]);
    if (bandwidth > 0)
        std::printf("Available Bandwidth: %f\n", bandwidth);
    else
        std::printf("Available Bandwidth: 0.0\n");
    return 0;
}
