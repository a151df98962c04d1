#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# pacing.sh [BUILD_DIR] - how closely scheduled sends keep the default schedule
# (gaps of 540 down to 60 microseconds).  Per train the mean and the maximum of
# |achieved gap - scheduled gap| in microseconds, then the medians:
#   1. 20 trains to 127.0.0.1: departures and reply arrivals;
#   2. 20 trains from the client to the target of a lab without a bottleneck:
#      departures and reply arrivals at the client;
#   3. the same trains' requests as they arrive at the far end (capture on the
#      target's link).
# Needs root and tcpdump; build the target pacing_bench first.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
bench=$build/schedule/pacing_bench
lab=$here/scripts/lab.sh
if [[ ! -x $bench ]]; then
    echo "pacing.sh: no $bench (cmake --build $build --target pacing_bench)" >&2
    exit 1
fi

# Only the tables: no schedule lines, and not the engine naming the requests it
# sees of its own on loopback.
tables() { grep -v -e '^Echo Request$' -e '^sendingTime\[' || true; }

echo "== 127.0.0.1"
"$bench" 127.0.0.1 20 | tables

name=pacing$$
work=$(mktemp -d)
capture=
cleanup() {
    [[ -n $capture ]] && kill "$capture" 2>/dev/null
    "$lab" down "$name"
    rm -rf "$work"
}
trap cleanup EXIT
"$lab" up "$name"
target=$("$lab" addr target)
"$lab" exec "$name" target tcpdump -i t0 -n -l -tt "icmp[icmptype] == icmp-echo" \
    >"$work/far" 2>"$work/far.err" &
capture=$!
for _ in $(seq 50); do grep -q "listening on" "$work/far.err" && break; sleep 0.1; done

echo "== lab $("$lab" addr client) -> $target, no bottleneck: at the client"
"$lab" exec "$name" client "$bench" "$target" 20 | tables
sleep 0.3
kill -INT "$capture"
wait "$capture" || true
capture=

# tcpdump reads the sequence number in network order; the probe writes it in
# the host's (little-endian) order.
echo "== the same trains at the far end ($target)"
awk '/echo request/ && match($0, /seq [0-9]+/) {
        v = substr($0, RSTART + 4, RLENGTH - 4) + 0
        split($1, t, ".")
        printf "%d %.0f\n", int(v / 256) + (v % 256) * 256, t[1] * 1e6 + t[2]
     }' "$work/far" | "$bench" --stamps | tables
