#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# availbw_sim.sh - the available-bandwidth measurement over simulated paths,
# in simulated time: for each path (bottlenecks of 10 to 200 Mbit/s with 0
# to 75 % cross traffic in bursts a millisecond apart, a tight link after a
# narrower idle one, random loss, a policer, hosts that limit their echo
# replies, cross traffic in 20 ms bursts, Poisson cross traffic at 50/20 and
# 100/50, on-off bursts (and ones that overload the link while on), a
# packet-size mix, one and four TCP-like flows
# through 50 Mbit/s with round trips of 20 ms and, as in the lab, 0.2 ms), RUNS measurements with different seeds: the estimate
# against the truth the simulator's counters give, in how many runs the
# range held it and how many answered, what the runs said of elastic cross
# traffic, and the verdict curve behind it (the share of search streams that
# read rising, by their rate over the truth).  Needs no root; takes a second.
#
#   bash bench/availbw_sim.sh [PATH-NAME ...]      (RUNS=20 by default)
set -euo pipefail
readonly ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly BUILD=${BENCH_BUILD:-$ROOT/build-bench}
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target bench_availbw_sim -j"$(nproc)" >/dev/null
"$BUILD/bench/bench_availbw_sim" "${RUNS:-20}" "$@"
