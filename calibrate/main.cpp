// SPDX-License-Identifier: MIT
// spindrel - measures how closely a busy-wait on the time-of-day clock meets
// waits from 10 microseconds to 1 second.  Takes no arguments; any given are
// not looked at.
#include "spindrel.h"

int main() {
    runCalibration(stdout);
    return 0;
}
