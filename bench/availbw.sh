#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# availbw.sh - how close availbw comes to the free rate of a loaded bottleneck.
#
#   bash bench/availbw.sh [RATE_MBIT ...]      (root; default 10 50 100 200)
#
# For every bottleneck rate C and steady UDP cross traffic X of 0, 30 and 60 %
# of C (through the bottleneck, toward the client), in a fresh lab:
#   - the truth: C less the cross traffic that the shaper really sent (its
#     counters over 2 s), in IP bits per second of availbw's stream packets;
#   - availbw against the target, RUNS times: median [min-max] of the
#     estimate, runs within 15 % of the truth, IP bytes and seconds per
#     estimate (from its JSON);
#   - vennic's median (the dispersion rate, for comparison);
#   - iperf3 TCP for 5 s in the same direction: throughput and bytes.
# Then one row with the cross traffic in bursts every 20 ms (at 50 Mbit/s,
# 30 % cross), availbw with its defaults and with --timescale 100.
# On a machine with several processors the lab's path (router, target, cross
# traffic) runs on the last one and the tools on the first, as if they were
# hosts of their own; above 100 Mbit/s the shaper gets two frames of bucket,
# without which this kernel's shaper falls short of its rate.
# A release build goes to $BENCH_BUILD (default build-bench/).  Needs cmake,
# g++, iproute2, nftables, iperf3 and jq.
set -euo pipefail

readonly ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly BUILD=${BENCH_BUILD:-$ROOT/build-bench}
readonly RUNS=${RUNS:-5}
readonly NAME=abw$$
RATES=("$@")
((${#RATES[@]})) || RATES=(10 50 100 200)
# shellcheck source=bench/common.sh
source "$ROOT/bench/common.sh"

[[ $(id -u) -eq 0 ]] || { echo "availbw.sh: needs root" >&2; exit 1; }
for tool in cmake iperf3 nft tc ip jq; do
    command -v $tool >/dev/null || { echo "availbw.sh: $tool is missing" >&2; exit 1; }
done
bash "$LAB" check >/dev/null

build "$BUILD" availbw vennic
readonly AVAILBW=$BUILD/availbw/availbw VENNIC=$BUILD/bandwidth/vennic

# The path's work (router, target, cross traffic) on the last processor and
# the tools on the first, as on hosts of their own.
PIN=() SHAPER=()
if (($(nproc) > 1)); then
    PIN=(taskset -c 0)
    SHAPER=(--steer "$(($(nproc) - 1))")
fi
# The lab's shaper holds rates below 100 Mbit/s with a bucket of one frame;
# above, its timer needs two frames of bucket to keep the rate.
burst_for() { awk -v r="$1" 'BEGIN { print (r >= 100 ? 3028 : 1600) }'; }

# The free rate in IP bits of availbw's stream packets: their size follows the
# tool's rule (at least 400 bytes, 50 us apart at the capacity it read).
truth_ip() {
    awk -v f="$1" -v cap="$2" 'BEGIN { l = cap * 50e-6 / 8; if (l < 400) l = 400; if (l > 1500) l = 1500;
        l = int(l); printf "%.3f", f * l / (l + 14) }'
}

# RUNS of availbw ARGS...: prints "median min max within bytes secs" against TRUTH.
run_availbw() {
    local truth=$1 values="" within=0 bytes=0 secs=0 i json v
    shift
    for ((i = 0; i < RUNS; i++)); do
        json=$(in_ns client "${PIN[@]}" "$AVAILBW" --json -q "$@" "$TARGET" || true)
        v=$(jq -r '.available_bps // 0' <<<"$json" | awk '{ printf "%.3f", $1 / 1e6 }')
        values+=" $v"
        within=$((within + $(awk -v v="$v" -v t="$truth" 'BEGIN { print ((v - t) / t) ^ 2 <= 0.0225 }')))
        bytes=$((bytes + $(jq -r '.probe_bytes // 0' <<<"$json")))
        secs=$(awk -v s="$secs" -v d="$(jq -r '.duration_s // 0' <<<"$json")" 'BEGIN { print s + d }')
    done
    echo "$(stats "$values") $within $((bytes / RUNS)) $(awk -v s="$secs" -v n="$RUNS" 'BEGIN { printf "%.3f", s / n }')"
}

run_vennic() {
    local values="" i
    for ((i = 0; i < RUNS; i++)); do
        values+=" $(in_ns client "${PIN[@]}" "$VENNIC" "$TARGET" | awk '/^Available Bandwidth:/ { printf "%.3f", $3 / 1e6 }')"
    done
    stats "$values" | cut -d' ' -f1
}

row() {  # LABEL RATE CROSS TRUTH availbw-result vennic iperf3-result
    local label=$1 rate=$2 cross=$3 truth=$4 med lo hi within bytes secs
    read -r med lo hi within bytes secs <<<"$5"
    printf '%-9s %4s %5s %7.2f | %7.2f [%7.2f-%7.2f] %2d/%-2d %8d %5.2f | %7.2f | %7.2f %10s\n' \
        "$label" "$rate" "$cross" "$truth" "$med" "$lo" "$hi" "$within" "$RUNS" "$bytes" "$secs" "$6" $7
}

echo "# $RUNS runs per cell; Mbit/s at the IP level; bytes and seconds per estimate;" \
     "load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-9s %4s %5s %7s | %-25s %5s %8s %5s | %7s | %7s %10s\n' \
    cross C X truth "availbw median [min-max]" "15%" bytes secs vennic iperf3 bytes
for rate in "${RATES[@]}"; do
    for share in 0 30 60; do
        x=$(awk -v r="$rate" -v p="$share" 'BEGIN { printf "%g", r * p / 100 }')
        load=()
        ((share > 0)) && load=(--cross "$x")
        bash "$LAB" up "$NAME" --rate "$rate" "${load[@]}" "${SHAPER[@]}" --burst "$(burst_for "$rate")"
        lab_up=1
        count_setup
        iperf3_server
        truth=$(truth_ip "$(bash "$LAB" free "$NAME" 2)" "$rate")
        a=$(run_availbw "$truth")
        v=$(run_vennic)
        read -r tput tbytes _ < <(iperf3_reverse)
        row steady "$rate" "$x" "$truth" "$a" "$v" "$tput $tbytes"
        cleanup
    done
done

# Cross traffic in bursts every 20 ms.
rate=50 x=15
bash "$LAB" up "$NAME" --rate "$rate" --cross "$x" --cross-burst 20 "${SHAPER[@]}"
lab_up=1
count_setup
iperf3_server
truth=$(truth_ip "$(bash "$LAB" free "$NAME" 2)" "$rate")
v=$(run_vennic)
read -r tput tbytes _ < <(iperf3_reverse)
row "20ms" "$rate" "$x" "$truth" "$(run_availbw "$truth")" "$v" "$tput $tbytes"
row "20ms/100" "$rate" "$x" "$truth" "$(run_availbw "$truth" --timescale 100)" "$v" "$tput $tbytes"
cleanup
echo "# load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
