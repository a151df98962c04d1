#!/usr/bin/env bash
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
readonly LAB=$ROOT/scripts/lab.sh
readonly BUILD=${BENCH_BUILD:-$ROOT/build-bench}
readonly RUNS=${RUNS:-5}
readonly NAME=bench$$
readonly CLIENT=198.18.0.1 TARGET=198.18.1.2
RATES=("$@")
((${#RATES[@]})) || RATES=(10 50 100 200 500)

[[ $(id -u) -eq 0 ]] || { echo "accuracy.sh: needs root" >&2; exit 1; }
for tool in cmake iperf3 nft tc ip; do
    command -v $tool >/dev/null || { echo "accuracy.sh: $tool is missing" >&2; exit 1; }
done
bash "$LAB" check >/dev/null

build() {  # DIR [CMAKE ARGS...]
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=OFF "$@" >/dev/null
    cmake --build "$dir" --target vennic -j2 >/dev/null
}
build "$BUILD" -DTSL_RECV_STAMP_AFTER_RECEIVE=OFF
build "$BUILD-stamp" -DTSL_RECV_STAMP_AFTER_RECEIVE=ON
readonly VENNIC=$BUILD/bandwidth/vennic VENNIC_AFTER=$BUILD-stamp/bandwidth/vennic

lab_up=0
bg_pids=()
cleanup() {
    local pid
    for pid in "${bg_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    ((lab_up)) && bash "$LAB" down "$NAME"
    return 0
}
trap cleanup EXIT

in_ns() { bash "$LAB" exec "$NAME" "$@"; }
now() { date +%s.%N; }

# nft counters in the client namespace: ICMP and TCP frames, both directions.
count_setup() {
    in_ns client nft -f - <<'EOF'
table ip bench {
    counter icmp_frames {}
    counter tcp_frames {}
    chain in {
        type filter hook input priority 0;
        meta l4proto icmp counter name "icmp_frames"
        meta l4proto tcp counter name "tcp_frames"
    }
    chain out {
        type filter hook output priority 0;
        meta l4proto icmp counter name "icmp_frames"
        meta l4proto tcp counter name "tcp_frames"
    }
}
EOF
}
# Bytes on the wire (IP bytes + 14 per frame) of counter NAME, then reset it.
count_take() {
    in_ns client nft reset counter ip bench "$1" |
        awk '/packets/ { for (i = 1; i < NF; i++) { if ($i == "packets") p = $(i + 1); if ($i == "bytes") b = $(i + 1) } }
             END { print b + 14 * p }'
}

# stats "v1 v2 ..." -> "median min max"
stats() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)], v[1], v[NR] }'; }

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
        bash "$LAB" up "$NAME" --rate "$rate"
        lab_up=1
        bg_pids=()
        count_setup
        in_ns target iperf3 -s -p 5201 >/dev/null 2>&1 &
        bg_pids+=($!)
        if [[ $cross == yes ]]; then
            in_ns client iperf3 -s -p 5202 >/dev/null 2>&1 &
            bg_pids+=($!)
            sleep 0.3
            in_ns target iperf3 -c "$CLIENT" -p 5202 -u -b "$(awk -v r="$rate" 'BEGIN { print r * 0.4 }')M" \
                -l 1200 -t 600 >/dev/null 2>&1 &
            bg_pids+=($!)
        fi
        sleep 1
        expected=$(awk -v c="$rate" 'BEGIN { for (p = 600; p <= 900; p += 100) x += c * (p + 42) / (p + 82) / 4; printf "%.3f", x }')
        read -r med lo hi bytes secs < <(measure "$VENNIC")
        read -r amed alo ahi _ _ < <(measure "$VENNIC_AFTER")
        count_take tcp_frames >/dev/null
        t0=$(now)
        tput=$(in_ns client iperf3 -c "$TARGET" -p 5201 -R -t 5 -f m 2>&1 |
            awk '/receiver/ { for (i = 1; i < NF; i++) if ($(i + 1) == "Mbits/sec") v = $i } END { print v + 0 }')
        t1=$(now)
        tbytes=$(count_take tcp_frames)
        printf '%-5s %-5s %8.2f | %8.2f [%7.2f-%7.2f]  %6.3f %8d %6.3f | %8.2f [%7.2f-%7.2f]  %6.3f | %8.2f %10d %5.2f\n' \
            "$rate" "$cross" "$expected" "$med" "$lo" "$hi" "$(awk -v a="$med" -v b="$expected" 'BEGIN { print a / b }')" \
            "$bytes" "$secs" "$amed" "$alo" "$ahi" "$(awk -v a="$amed" -v b="$expected" 'BEGIN { print a / b }')" \
            "$tput" "$tbytes" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')"
        cleanup
        lab_up=0
        bg_pids=()
    done
done
