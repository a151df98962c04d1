#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# availbw.sh - how close availbw comes to the free rate of the lab's paths.
#
#   bash bench/availbw.sh [ROW ...]      (root; default: every row)
#
# Rows:
#   C/X        steady UDP cross traffic of X % of a C Mbit/s bottleneck (C of
#              10 50 100 200, X of 0 30 60: 10/0 ... 200/60)
#   burst5     50 Mbit/s, 30 % cross traffic in bursts every 5 ms
#   burst20    50 Mbit/s, 30 % cross traffic in bursts every 20 ms, with the
#              defaults and with --timescale 100
#   burst20@50/20 burst20@100/50
#              heavier bursts every 20 ms: 20 Mbit/s through 50 and 50
#              through 100, which fill the link 8 and 10 ms of every 20
#   tight      an idle 40 Mbit/s hop leaving the target, then 100 Mbit/s
#              carrying 75 (the tight link is not the narrow one)
#   loss1 loss3  50 Mbit/s carrying 20, and 1 or 3 % of the replies lost
#   police     a 50 Mbit/s policer carrying 15
#   echo       an idle 50 Mbit/s path whose target answers at most 3000 echo
#              requests a second: the row counts the runs that say so
#   ipv6 user  50 Mbit/s carrying 15 over IPv6, and as an ordinary user
#              (ICMP datagram sockets), beside the IPv4 root row 50/30
#   poisson50/20 poisson100/50
#              Poisson UDP cross traffic (tsl_crossgen: 1228-byte datagrams,
#              exponential gaps) of 20 through 50 Mbit/s and 50 through 100,
#              at the mean IP rate
#   onoff50/20 tsl_crossgen's on-off bursts: 40 Mbit/s for 5 ms, then 5 ms
#              of silence, on average (exponential), 20 Mbit/s on the mean;
#              onoff100/40 the same at 80 Mbit/s through 100
#   onoff20@100/70 on-off bursts that overload the link: 140 Mbit/s through
#              100 for 20 ms, then 20 ms of silence, on average
#   mix50/20   tsl_crossgen's packet-size mix (40, 576 and 1500 IP bytes in
#              7 : 4 : 1, exponential gaps), 20 Mbit/s of IP bits
#              (traffic at random moves its rate by a few percent from
#              second to second, so these rows take each run's truth over
#              the run itself: the bottleneck's rate less what of the
#              lab's cross traffic reached its sink meanwhile, lab.sh others)
#   tcp1 tcp4  one and four TCP bulk flows (iperf3) through 50 Mbit/s, toward
#              the client: the truth is the rate they leave unused, which
#              moves by several Mbit/s from second to second (a flow backs
#              off after a loss and grows again), so it is taken for each
#              run: the mean of the counters' second before it and the
#              second after it
#
# For each row, in a fresh lab:
#   - the truth: the bottleneck's rate less what its shaper really sent (its
#     counters over 2 s), in IP bits of the packets each availbw run used
#     (packet_bytes in its JSON: the shaper counts 14 bytes more per frame);
#   - availbw RUNS times: median [min-max], runs within 5 % and 10 % of the
#     truth, runs whose range [low_bps, high_bps] held the truth (held), runs
#     with an estimate (ans), IP bytes of the median run, mean seconds per
#     run, and how many runs said the cross traffic is elastic:
#     true/false/null (all from its JSON);
#     for the TCP rows the note counts the answers above the unused rate plus
#     a tenth of the capacity, the higher of that run's second before and
#     after; and any row's note, the runs whose JSON has free_spread (the
#     free rate of streams at the capacity swung) and those whose JSON has
#     from_windows true (the streams' own windows gave the figure);
#   - how steady the cross traffic was: the 99th percentile of the round
#     trips of 250 small echo requests 4 ms apart (ms), taken before the runs
#     (a queue that others' bursts build shows there);
#   - vennic's median (the dispersion rate) and iperf3 TCP for 5 s in the
#     same direction, for comparison (steady, burst20, tight and loss rows;
#     vennic's trains of ten back to back meet a policer's drops).
# On a machine with several processors the lab's path (router, target, cross
# traffic) runs on the last one and the tools on the first, as if they were
# hosts of their own; above 100 Mbit/s the shaper gets two frames of bucket,
# without which this kernel's shaper falls short of its rate.  With only two
# processors, the 200 Mbit/s rows' cross traffic is not steady while a stream
# runs: the sender of 120 Mbit/s shares its processor with the path's packet
# work, and while a stream near the capacity runs it sent 50 to 86 Mbit/s
# (captured at the target in 1 ms steps, 7 runs of 8), catching up after.
# Streams then find more free than the counters' mean, and those rows read
# high for that reason; at 100 Mbit/s carrying 60 the sender kept its rate.
# A release build goes to $BENCH_BUILD (default build-bench/).  Needs cmake,
# g++, iproute2, nftables, iperf3 and jq.  With RUN_LOG=FILE each run adds
# a line to FILE: estimate, low, high (bit/s), truth (Mbit/s), free_spread,
# from_windows, bytes and reason.
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

build "$BUILD" availbw vennic tsl_crossgen
readonly AVAILBW=$BUILD/availbw/availbw VENNIC=$BUILD/bandwidth/vennic CROSSGEN=$BUILD/tools/tsl_crossgen

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
    ROWS+=(burst5 burst20 burst20@50/20 burst20@100/50 tight loss1 loss3 police echo ipv6 user poisson50/20 poisson100/50 onoff50/20 onoff100/40 onoff20@100/70 mix50/20 tcp1 tcp4)
fi

# RUNS of availbw as USER (root or user) with ARGS...; FREE is the link-layer
# free rate in Mbit/s, RATE the bottleneck's.  Prints "median min max within5
# within10 ok bytes secs limited truth held elastic above": limited counts the
# runs whose reason names an echo limit, truth is the median of each run's
# truth, held the runs whose range held it, elastic the runs' elastic keys as
# true/false/null counts, above the answers over the truth plus RATE / 10.
# With PER_RUN_TRUTH=during, each run's truth is the free rate over the run
# itself: the bottleneck's rate less the lab's cross traffic that reached its
# sink meanwhile (lab.sh others, read before and after), as traffic that
# does not yield (random, on-off, mixed sizes) moves some 5 % from one second
# to the next.  With PER_RUN_TRUTH=around, the mean of the free rate over the
# second before the run and the second after it (TCP flows make room for
# the streams while they run), and above counts the answers over the higher
# of the two plus RATE / 10.
run_availbw() {
    local free=$1 user=$2 rate=$3 values="" truths="" w5=0 w10=0 ok=0 bytes="" secs=0 limited=0 i json
    local held=0 yes=0 no=0 unknown=0 above=0 windowed=0 own=0
    shift 3
    local as=()
    [[ $user == user ]] && as=(setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all --bounding-set=-all)
    local before="" after="" top=$free
    for ((i = 0; i < RUNS; i++)); do
        case ${PER_RUN_TRUTH:-} in
        around) read -r before _ < <(bash "$LAB" free "$NAME" 1) ;;
        during) before=$(bash "$LAB" others "$NAME") ;;
        esac
        json=$(in_ns client "${PIN[@]}" "${as[@]}" "$AVAILBW" --json -q "$@" || true)
        case ${PER_RUN_TRUTH:-} in
        around)
            read -r after _ < <(bash "$LAB" free "$NAME" 1)
            read -r free top < <(awk -v b="$before" -v a="$after" 'BEGIN { print (a + b) / 2, (a > b ? a : b) }') ;;
        during)
            after=$(bash "$LAB" others "$NAME")
            read -r free < <(awk -v b="$before" -v a="$after" 'BEGIN { split(b, x); split(a, y)
                print (x[2] - (y[4] - x[4] + 14 * (y[3] - x[3])) / (y[1] - x[1])) * 8 / 1e6 }')
            top=$free ;;
        esac
        [[ -n $json ]] || json='{}'
        read -r v l pb ds reason lo hi el sp fw < <(jq -r '[(.available_bps // 0), (.packet_bytes // 400), (.probe_bytes // 0),
            (.duration_s // 0), (.reason // "-" | gsub(" "; "_")), (.low_bps // 0), (.high_bps // 0),
            (if .elastic == true then "yes" elif .elastic == false then "no" else "unknown" end),
            (.free_spread // 0), (.from_windows // false)] | @tsv' <<<"$json")
        [[ $sp != 0 ]] && windowed=$((windowed + 1))
        [[ $fw == true ]] && own=$((own + 1))
        case $el in yes) yes=$((yes + 1)) ;; no) no=$((no + 1)) ;; *) unknown=$((unknown + 1)) ;; esac
        bytes+=" $pb"
        secs=$(awk -v s="$secs" -v d="$ds" 'BEGIN { print s + d }')
        [[ $reason == *limits_its_echo_replies* ]] && limited=$((limited + 1))
        read -r m t in5 in10 tt < <(awk -v v="$v" -v f="$free" -v top="$top" -v l="$l" 'BEGIN { m = v / 1e6;
            t = f * l / (l + 14); q = m / t
            printf "%.3f %.3f %d %d %.3f\n", m, t, (q - 1) ^ 2 <= 0.0025, (q - 1) ^ 2 <= 0.01, top * l / (l + 14) }')
        truths+=" $t"
        [[ -z ${RUN_LOG:-} ]] || echo "$m $lo $hi $t $sp $fw $pb $reason" >>"$RUN_LOG"
        [[ $v != 0 ]] || continue
        ok=$((ok + 1))
        held=$((held + $(awk -v lo="$lo" -v hi="$hi" -v t="$t" 'BEGIN { print (lo / 1e6 <= t && t <= hi / 1e6) }')))
        above=$((above + $(awk -v m="$m" -v t="$tt" -v r="$rate" 'BEGIN { print (m > t + r / 10) }')))
        values+=" $m"
        w5=$((w5 + in5)) w10=$((w10 + in10))
    done
    local st="0 0 0"
    [[ -n $values ]] && st=$(stats "$values")
    echo "$st $w5 $w10 $ok $(stats "$bytes" | cut -d' ' -f1) $(awk -v s="$secs" -v n="$RUNS" 'BEGIN { printf "%.3f", s / n }') $limited" \
        "$(stats "$truths" | cut -d' ' -f1) $held $yes/$no/$unknown $above $windowed $own"
}

run_vennic() {
    local values="" i
    for ((i = 0; i < RUNS; i++)); do
        values+=" $(in_ns client "${PIN[@]}" "$VENNIC" "$TARGET" | awk '/^Available Bandwidth:/ { printf "%.3f", $3 / 1e6 }')"
    done
    stats "$values" | cut -d' ' -f1
}

printf '%-13s %4s %4s %7s %5s | %-25s %4s %4s %4s %4s %7s %8s %5s | %7s | %7s %10s | %s\n' \
    row C X truth p99 "availbw median [min-max]" "5%" "10%" held ans elastic bytes secs vennic iperf3 bytes note
# ROW-LABEL RATE CROSS LAB-OPTIONS (one word, comma-separated) USER COMPARE AVAILBW-ARGS...
row() {
    local label=$1 rate=$2 cross=$3 opts=$4 user=$5 compare=$6
    shift 6
    local lab_opts=(--rate "$rate" --burst "$(burst_for "$rate")" "${SHAPER[@]}")
    [[ $cross != 0 ]] && lab_opts+=(--cross "$cross")
    [[ $opts != - ]] && IFS=, read -r -a extra <<<"$opts" && lab_opts+=("${extra[@]}")
    # A lab whose cross traffic is slow to start (a busy machine) gets one
    # more try; one that still fails leaves its row saying so, not the rest
    # of the table unmeasured (lab.sh removes what a failed up made).
    if ! bash "$LAB" up "$NAME" "${lab_opts[@]}" && ! bash "$LAB" up "$NAME" "${lab_opts[@]}"; then
        printf '%-13s %4s %4s | the lab did not come up twice: no runs\n' "$label" "$rate" "$cross"
        return 0
    fi
    lab_up=1
    local free v="" tput="" tbytes="" note="" p99
    read -r free _ < <(bash "$LAB" free "$NAME" 2)
    p99=$(in_ns client ping -n -i 0.004 -c 250 -s 56 "$TARGET" | awk -F'time=' '/time=/ { split($2, a, " "); print a[1] }' |
        sort -g | awk '{ v[NR] = $1 } END { printf "%.2f", v[int(NR * 0.99)] }')
    local med lo hi w5 w10 ok bytes secs limited truth held elastic above windowed own
    local PER_RUN_TRUTH=""
    [[ $label == tcp* ]] && PER_RUN_TRUTH=around
    [[ $label == poisson* || $label == onoff* || $label == mix* ]] && PER_RUN_TRUTH=during
    read -r med lo hi w5 w10 ok bytes secs limited truth held elastic above windowed own < <(run_availbw "$free" "$user" "$rate" "$@")
    if [[ $compare == yes ]]; then
        count_setup
        iperf3_server
        v=$(run_vennic)
        read -r tput tbytes _ < <(iperf3_reverse)
    fi
    ((limited > 0)) && note="$limited/$RUNS name the echo limit"
    [[ $label == tcp* ]] && note="$above answers above the unused rate + C/10 (its second before or after)"
    ((windowed > 0)) && note+="${note:+; }$windowed/$RUNS found the free rate swinging (free_spread)"
    ((own > 0)) && note+="${note:+; }$own/$RUNS answered from the streams' own windows (from_windows)"
    printf '%-13s %4s %4s %7.2f %5s | %7.2f [%7.2f-%7.2f] %2d/%-2d %2d/%-2d %2d/%-2d %2d/%-2d %7s %8d %5.2f | %7s | %7s %10s | %s\n' \
        "$label" "$rate" "$cross" "$truth" "$p99" "$med" "$lo" "$hi" "$w5" "$RUNS" "$w10" "$RUNS" "$held" "$RUNS" "$ok" \
        "$RUNS" "$elastic" "$bytes" "$secs" "${v:--}" "${tput:--}" "${tbytes:--}" "$note"
    cleanup
}

echo "# $RUNS runs per row; Mbit/s at the IP level; bytes of the median run, mean seconds per run; load average $(cut -d' ' -f1-3 /proc/loadavg)"
for r in "${ROWS[@]}"; do
    case $r in
    [0-9]*/[0-9]*)
        c=${r%/*} p=${r#*/}
        x=$(awk -v r="$c" -v p="$p" 'BEGIN { printf "%g", r * p / 100 }')
        row "$r" "$c" "$x" - root yes "$TARGET" ;;
    burst5) row burst5 50 15 --cross-burst,5 root no "$TARGET" ;;
    burst20@50/20) row "$r" 50 20 --cross-burst,20 root no "$TARGET" ;;
    burst20@100/50) row "$r" 100 50 --cross-burst,20 root no "$TARGET" ;;
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
    poisson50/20) row "$r" 50 20 "--cross-kind,poisson,--crossgen,$CROSSGEN" root no "$TARGET" ;;
    poisson100/50) row "$r" 100 50 "--cross-kind,poisson,--crossgen,$CROSSGEN" root no "$TARGET" ;;
    onoff50/20) row "$r" 50 20 "--cross-kind,onoff,--crossgen,$CROSSGEN" root no "$TARGET" ;;
    onoff100/40) row "$r" 100 40 "--cross-kind,onoff,--crossgen,$CROSSGEN" root no "$TARGET" ;;
    onoff20@100/70) row "$r" 100 70 "--cross-kind,onoff,--cross-period,20,--crossgen,$CROSSGEN" root no "$TARGET" ;;
    mix50/20) row "$r" 50 20 "--cross-kind,mix,--crossgen,$CROSSGEN" root no "$TARGET" ;;
    tcp1) row tcp1 50 0 --tcp,1 root no "$TARGET" ;;
    tcp4) row tcp4 50 0 --tcp,4 root no "$TARGET" ;;
    *) echo "availbw.sh: no row '$r'" >&2; exit 2 ;;
    esac
done
echo "# load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
