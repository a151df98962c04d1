#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# availbw.sh - how close availbw comes to the free rate of the lab's paths.
#
#   bash bench/availbw.sh [ROW ...]      (root; default: every row)
#
# Rows:
#   C/X        steady UDP cross traffic of X % of a C Mbit/s bottleneck (C of
#              10 50 100 200, X of 0 30 60: 10/0 ... 200/60)
#   burst20    50 Mbit/s, 30 % cross traffic in bursts every 20 ms, with the
#              defaults and with --timescale 100
#   tight      an idle 40 Mbit/s hop leaving the target, then 100 Mbit/s
#              carrying 75 (the tight link is not the narrow one)
#   loss1 loss3  50 Mbit/s carrying 20, and 1 or 3 % of the replies lost
#   police     a 50 Mbit/s policer carrying 15
#   echo       an idle 50 Mbit/s path whose target answers at most 3000 echo
#              requests a second: the row counts the runs that say so
#   ipv6 user  50 Mbit/s carrying 15 over IPv6, and as an ordinary user
#              (ICMP datagram sockets), beside the IPv4 root row 50/30
#
# For each row, in a fresh lab:
#   - the truth: the bottleneck's rate less what its shaper really sent (its
#     counters over 2 s), in IP bits of the packets each availbw run used
#     (packet_bytes in its JSON: the shaper counts 14 bytes more per frame);
#   - availbw RUNS times: median [min-max], runs within 5 % and 10 % of the
#     truth, runs with an estimate, IP bytes and seconds per run (from its JSON);
#   - how steady the cross traffic was: the 99th percentile of the round
#     trips of 250 small echo requests 4 ms apart (ms), taken before the runs
#     (a queue that others' bursts build shows there);
#   - vennic's median (the dispersion rate) and iperf3 TCP for 5 s in the
#     same direction, for comparison (steady, burst20, tight and loss rows;
#     vennic's trains of ten back to back meet a policer's drops).
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
# shellcheck source=bench/common.sh
source "$ROOT/bench/common.sh"

[[ $(id -u) -eq 0 ]] || { echo "availbw.sh: needs root" >&2; exit 1; }
for tool in cmake iperf3 nft tc ip jq setpriv ping; do
    command -v $tool >/dev/null || { echo "availbw.sh: $tool is missing" >&2; exit 1; }
done
bash "$LAB" check >/dev/null

build "$BUILD" availbw vennic
readonly AVAILBW=$BUILD/availbw/availbw VENNIC=$BUILD/bandwidth/vennic

PIN=() SHAPER=()
if (($(nproc) > 1)); then
    PIN=(taskset -c 0)
    SHAPER=(--steer "$(($(nproc) - 1))")
fi
# The lab's shaper holds rates below 100 Mbit/s with a bucket of one frame;
# above, its timer needs two frames of bucket to keep the rate.
burst_for() { awk -v r="$1" 'BEGIN { print (r >= 100 ? 3028 : 1600) }'; }

ROWS=("$@")
if ((${#ROWS[@]} == 0)); then
    for c in 10 50 100 200; do for x in 0 30 60; do ROWS+=("$c/$x"); done; done
    ROWS+=(burst20 tight loss1 loss3 police echo ipv6 user)
fi

# RUNS of availbw as USER (root or user) with ARGS...; FREE is the link-layer
# free rate in Mbit/s.  Prints "median min max within5 within10 ok bytes secs
# limited truth": limited counts the runs whose reason names an echo limit,
# truth is the median of each run's truth.
run_availbw() {
    local free=$1 user=$2 values="" truths="" w5=0 w10=0 ok=0 bytes=0 secs=0 limited=0 i json
    shift 2
    local as=()
    [[ $user == user ]] && as=(setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all --bounding-set=-all)
    for ((i = 0; i < RUNS; i++)); do
        json=$(in_ns client "${PIN[@]}" "${as[@]}" "$AVAILBW" --json -q "$@" || true)
        [[ -n $json ]] || json='{}'
        read -r v l pb ds reason < <(jq -r '[(.available_bps // 0), (.packet_bytes // 400), (.probe_bytes // 0),
            (.duration_s // 0), (.reason // "-" | gsub(" "; "_"))] | @tsv' <<<"$json")
        bytes=$((bytes + pb))
        secs=$(awk -v s="$secs" -v d="$ds" 'BEGIN { print s + d }')
        [[ $reason == *limits_its_echo_replies* ]] && limited=$((limited + 1))
        read -r m t in5 in10 < <(awk -v v="$v" -v f="$free" -v l="$l" 'BEGIN { m = v / 1e6; t = f * l / (l + 14);
            q = m / t; printf "%.3f %.3f %d %d\n", m, t, (q - 1) ^ 2 <= 0.0025, (q - 1) ^ 2 <= 0.01 }')
        truths+=" $t"
        [[ $v != 0 ]] || continue
        ok=$((ok + 1))
        values+=" $m"
        w5=$((w5 + in5)) w10=$((w10 + in10))
    done
    local st="0 0 0"
    [[ -n $values ]] && st=$(stats "$values")
    echo "$st $w5 $w10 $ok $((bytes / RUNS)) $(awk -v s="$secs" -v n="$RUNS" 'BEGIN { printf "%.3f", s / n }') $limited" \
        "$(stats "$truths" | cut -d' ' -f1)"
}

run_vennic() {
    local values="" i
    for ((i = 0; i < RUNS; i++)); do
        values+=" $(in_ns client "${PIN[@]}" "$VENNIC" "$TARGET" | awk '/^Available Bandwidth:/ { printf "%.3f", $3 / 1e6 }')"
    done
    stats "$values" | cut -d' ' -f1
}

printf '%-10s %4s %4s %7s %5s | %-25s %4s %4s %3s %8s %5s | %7s | %7s %10s | %s\n' \
    row C X truth p99 "availbw median [min-max]" "5%" "10%" ok bytes secs vennic iperf3 bytes note
# ROW-LABEL RATE CROSS LAB-OPTIONS (one word, comma-separated) USER COMPARE AVAILBW-ARGS...
row() {
    local label=$1 rate=$2 cross=$3 opts=$4 user=$5 compare=$6
    shift 6
    local lab_opts=(--rate "$rate" --burst "$(burst_for "$rate")" "${SHAPER[@]}")
    [[ $cross != 0 ]] && lab_opts+=(--cross "$cross")
    [[ $opts != - ]] && IFS=, read -r -a extra <<<"$opts" && lab_opts+=("${extra[@]}")
    bash "$LAB" up "$NAME" "${lab_opts[@]}"
    lab_up=1
    local free v="" tput="" tbytes="" note="" p99
    read -r free _ < <(bash "$LAB" free "$NAME" 2)
    p99=$(in_ns client ping -n -i 0.004 -c 250 -s 56 "$TARGET" | awk -F'time=' '/time=/ { split($2, a, " "); print a[1] }' |
        sort -g | awk '{ v[NR] = $1 } END { printf "%.2f", v[int(NR * 0.99)] }')
    local med lo hi w5 w10 ok bytes secs limited truth
    read -r med lo hi w5 w10 ok bytes secs limited truth < <(run_availbw "$free" "$user" "$@")
    if [[ $compare == yes ]]; then
        count_setup
        iperf3_server
        v=$(run_vennic)
        read -r tput tbytes _ < <(iperf3_reverse)
    fi
    ((limited > 0)) && note="$limited/$RUNS name the echo limit"
    printf '%-10s %4s %4s %7.2f %5s | %7.2f [%7.2f-%7.2f] %2d/%-2d %2d/%-2d %3d %8d %5.2f | %7s | %7s %10s | %s\n' \
        "$label" "$rate" "$cross" "$truth" "$p99" "$med" "$lo" "$hi" "$w5" "$RUNS" "$w10" "$RUNS" "$ok" "$bytes" "$secs" \
        "${v:--}" "${tput:--}" "${tbytes:--}" "$note"
    cleanup
}

echo "# $RUNS runs per row; Mbit/s at the IP level; bytes and seconds per run; load average $(cut -d' ' -f1-3 /proc/loadavg)"
for r in "${ROWS[@]}"; do
    case $r in
    */*)
        c=${r%/*} p=${r#*/}
        x=$(awk -v r="$c" -v p="$p" 'BEGIN { printf "%g", r * p / 100 }')
        row "$r" "$c" "$x" - root yes "$TARGET" ;;
    burst20)
        row burst20 50 15 --cross-burst,20 root yes "$TARGET"
        row burst20/ts 50 15 --cross-burst,20 root no --timescale 100 "$TARGET" ;;
    tight) row tight 100 75 --narrow,40 root yes "$TARGET" ;;
    loss1) row loss1 50 20 --loss,1,--loss-on,replies root yes "$TARGET" ;;
    loss3) row loss3 50 20 --loss,3,--loss-on,replies root yes "$TARGET" ;;
    police) row police 50 15 --police root no "$TARGET" ;;
    echo) row echo 50 0 --echo-limit,3000 root no "$TARGET" ;;
    ipv6) row ipv6 50 15 - root no -6 "$TARGET6" ;;
    user) row user 50 15 --ping-users user no "$TARGET" ;;
    *) echo "availbw.sh: no row '$r'" >&2; exit 2 ;;
    esac
done
echo "# load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
