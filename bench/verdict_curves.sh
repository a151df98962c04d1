#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# verdict_curves.sh - the share of streams the trend test judges rising, by
# the stream's rate over the free rate, for each kind of cross traffic
# (steady 1 ms bursts, Poisson, a packet-size mix, on-off bursts) on
# simulated bottlenecks of 50 Mbit/s carrying 30 %, 100 carrying 50 % and 10
# carrying 60 %.  Streams are built and judged as the estimator's search
# streams are.  Needs no root; takes a few seconds.
#
#   bash bench/verdict_curves.sh [STREAMS-PER-POINT]      (1000 by default)
set -euo pipefail
readonly ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly BUILD=${BENCH_BUILD:-$ROOT/build-bench}
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target bench_verdict_curves -j2 >/dev/null
"$BUILD/bench/bench_verdict_curves" "${1:-1000}"
