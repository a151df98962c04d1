#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# accuracy.sh - how close vennic comes to a bottleneck of known rate.
#
#   bash bench/accuracy.sh [RATE_MBIT ...]      (root; default 10 50 100 200 500)
#
# For every rate, without and with UDP cross traffic of 40 % of the rate in the
# reply direction (target -> client), in a fresh lab:
#   - vennic against the target, RUNS times: median [min-max] of the final
#     estimate, its ratio to the expected dispersion rate, the bytes one run
#     put on the wire (ICMP frames both ways, counted by nft in the client
#     namespace) and the wall time of one run;
#   - the same with a second build whose arrival times are taken after the
#     receive returns instead of the kernel's stamps;
#   - iperf3 TCP for 5 s in the same direction: throughput, bytes, time.
# Builds (release) go to $BENCH_BUILD (default build-bench/) and
# $BENCH_BUILD-stamp/.  Needs cmake, g++, iproute2, nftables, iperf3.
set -euo pipefail

readonly ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly BUILD=${BENCH_BUILD:-$ROOT/build-bench}
readonly RUNS=${RUNS:-5}
readonly NAME=bench$$
RATES=("$@")
((${#RATES[@]})) || RATES=(10 50 100 200 500)
# shellcheck source=bench/common.sh
source "$ROOT/bench/common.sh"

[[ $(id -u) -eq 0 ]] || { echo "accuracy.sh: needs root" >&2; exit 1; }
for tool in cmake iperf3 nft tc ip; do
    command -v $tool >/dev/null || { echo "accuracy.sh: $tool is missing" >&2; exit 1; }
done
bash "$LAB" check >/dev/null

build "$BUILD" vennic -- -DTSL_RECV_STAMP_AFTER_RECEIVE=OFF
build "$BUILD-stamp" vennic -- -DTSL_RECV_STAMP_AFTER_RECEIVE=ON
readonly VENNIC=$BUILD/bandwidth/vennic VENNIC_AFTER=$BUILD-stamp/bandwidth/vennic

# RUNS measurements with BINARY: prints "median min max bytes_per_run secs_per_run" (Mbit/s).
measure() {
    local bin=$1 values="" bytes=0 t0 t1 i out
    count_take icmp_frames >/dev/null
    t0=$(now)
    for ((i = 0; i < RUNS; i++)); do
        out=$(in_ns client "$bin" "$TARGET")
        values+=" $(awk '/^Available Bandwidth:/ { printf "%.3f", $3 / 1e6 }' <<<"$out")"
    done
    t1=$(now)
    bytes=$(count_take icmp_frames)
    echo "$(stats "$values") $((bytes / RUNS)) $(awk -v a="$t0" -v b="$t1" -v n="$RUNS" 'BEGIN { printf "%.3f", (b - a) / n }')"
}

echo "# $RUNS runs per row, rates in Mbit/s, bytes and seconds per run; load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-5s %-5s %8s | %-27s %6s %8s %6s | %-27s %6s | %8s %10s %5s\n' \
    rate cross expected "vennic median [min-max]" ratio bytes secs "after-receive stamps" ratio iperf3 bytes secs
for rate in "${RATES[@]}"; do
    for cross in no yes; do
        load=()
        [[ $cross == yes ]] && load=(--cross "$(awk -v r="$rate" 'BEGIN { print r * 0.4 }')")
        bash "$LAB" up "$NAME" --rate "$rate" "${load[@]}"
        lab_up=1
        count_setup
        iperf3_server
        sleep 1
        expected=$(awk -v c="$rate" 'BEGIN { for (p = 600; p <= 900; p += 100) x += c * (p + 42) / (p + 82) / 4; printf "%.3f", x }')
        read -r med lo hi bytes secs < <(measure "$VENNIC")
        read -r amed alo ahi _ _ < <(measure "$VENNIC_AFTER")
        read -r tput tbytes tsecs < <(iperf3_reverse)
        printf '%-5s %-5s %8.2f | %8.2f [%7.2f-%7.2f]  %6.3f %8d %6.3f | %8.2f [%7.2f-%7.2f]  %6.3f | %8.2f %10d %5.2f\n' \
            "$rate" "$cross" "$expected" "$med" "$lo" "$hi" "$(awk -v a="$med" -v b="$expected" 'BEGIN { print a / b }')" \
            "$bytes" "$secs" "$amed" "$alo" "$ahi" "$(awk -v a="$amed" -v b="$expected" 'BEGIN { print a / b }')" \
            "$tput" "$tbytes" "$tsecs"
        cleanup
    done
done
