#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# verdict_curves.sh - the share of streams the trend test judges rising, by
# the stream's rate over the free rate, for each kind of cross traffic
# (steady 1 ms bursts, Poisson, a packet-size mix, on-off bursts) on
# simulated bottlenecks of 50 Mbit/s carrying 30 %, 100 carrying 50 % and 10
# carrying 60 %.  Streams are built and judged as the estimator's search
# streams are; then, at 50/30 %, how the curves move with 1500-byte packets
# and with streams of 30 and 100 ms.  Needs no root; takes some seconds.
#
#   bash bench/verdict_curves.sh [STREAMS-PER-POINT]          (1000 by default)
#   bash bench/verdict_curves.sh --lab [STREAMS-PER-POINT]    (root; 100 by default)
#
# --lab: the same streams sent by the engine's stream runner through the
# lab's 50 Mbit/s bottleneck carrying 20 Mbit/s of Poisson UDP (tsl_crossgen),
# at rates around the free rate the shaper's counters give over 2 s before
# the streams (in IP bits of their 400-byte packets); the rate after them is
# printed too.  The path runs on the last processor and the streams on the
# first, as in bench/availbw.sh.
set -euo pipefail
readonly ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly BUILD=${BENCH_BUILD:-$ROOT/build-bench}
readonly LAB=$ROOT/scripts/lab.sh
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=OFF >/dev/null
if [[ ${1:-} != --lab ]]; then
    cmake --build "$BUILD" --target bench_verdict_curves -j2 >/dev/null
    exec "$BUILD/bench/bench_verdict_curves" "${1:-1000}"
fi
[[ $(id -u) -eq 0 ]] || { echo "verdict_curves.sh: --lab needs root" >&2; exit 1; }
cmake --build "$BUILD" --target bench_verdict_curves tsl_crossgen -j2 >/dev/null
readonly NAME=vc$$ STREAMS=${2:-100}
pin=() steer=()
if (($(nproc) > 1)); then
    pin=(taskset -c 0)
    steer=(--steer "$(($(nproc) - 1))")
fi
trap 'bash "$LAB" down "$NAME"' EXIT
bash "$LAB" up "$NAME" --rate 50 --cross 20 --cross-kind poisson --crossgen "$BUILD/tools/tsl_crossgen" "${steer[@]}"
before=$(bash "$LAB" free "$NAME" 2 --ip 400)
echo "# lab: 50 Mbit/s carrying 20 Mbit/s of Poisson UDP; load average $(cut -d' ' -f1-3 /proc/loadavg)"
bash "$LAB" exec "$NAME" client "${pin[@]}" "$BUILD/bench/bench_verdict_curves" --host "$(bash "$LAB" addr target)" \
    --capacity 50 --truth "$before" "$STREAMS"
echo "# free after the streams: $(bash "$LAB" free "$NAME" 2 --ip 400) Mbit/s (before: $before)"
