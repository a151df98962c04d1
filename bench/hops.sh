#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# hops.sh - how often availbw --hops names the right link on a lab path of
# three routers whose links are 100, 60 and 100 Mbit/s.
#
#   bash bench/hops.sh [CONFIG ...]      (root; default: every configuration)
#
# Configurations (hop K's link leaves router K for hop K+1; the target is hop 4):
#   idle       no cross traffic: the narrowest link, 2 -> 3
#   tight1     70 Mbit/s across link 1, before the idle narrower link 2: 1 -> 2
#   tight2     40 Mbit/s across link 2: 2 -> 3
#   tight3     70 Mbit/s across link 3, after the idle narrower link 2: 3 -> 4
#   silent     as tight1 with router 2 silent: the span 1 -> 3, never one link
#   limited    as tight2, and only router 2 limits its replies (Linux's
#              default); the others answer without limit
#   user6      as tight1, over IPv6 as an ordinary user (an ICMP datagram
#              socket, the routers' replies from its error queue)
# Every router keeps Linux's default limit on "time exceeded" unless the
# configuration says otherwise, and availbw keeps its default spacing, budget
# and options.  RUNS runs each (default 10): the link each run named, how many
# named the right one, the agreement of its trains, replies lost to the
# routers' limits (replies of answering hops short of those expected), bytes
# and seconds.  availbw runs at nice -20, as on a host of its own: on a
# machine shared with builds, a sender that loses the processor in the middle
# of a train sends it slower than its rate (availbw then leaves it out of the
# vote).  A release build goes to $BENCH_BUILD (default build-bench/).
# Needs cmake, g++, iproute2, nftables, iperf3 and jq.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
RUNS=${RUNS:-10}
BUILD=${BENCH_BUILD:-$ROOT/build-bench}
LAB=$ROOT/scripts/lab.sh
NAME=tslhops$$
[[ $(id -u) -eq 0 ]] || { echo "hops.sh: needs root (network namespaces)" >&2; exit 1; }
command -v jq >/dev/null || { echo "hops.sh: needs jq" >&2; exit 1; }

up=0
cleanup() { ((up)) && bash "$LAB" down "$NAME"; up=0; rm -f /tmp/hops-bench-err.$$; return 0; }
trap cleanup EXIT

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target availbw -j2 >/dev/null
AVAILBW=$BUILD/availbw/availbw

readonly SHAPE=(--hop-rate 1:100 --hop-rate 2:60 --hop-rate 3:100)
# CONFIG -> "lab options|expected from-to"
config() {
    case $1 in
    idle) echo "|2-3" ;;
    tight1) echo "--hop-cross 1:70|1-2" ;;
    tight2) echo "--hop-cross 2:40|2-3" ;;
    tight3) echo "--hop-cross 3:70|3-4" ;;
    silent) echo "--hop-cross 1:70 --silent 2|1-3" ;;
    limited) echo "--hop-cross 2:40 --unlimited 1,3|2-3" ;;
    user6) echo "--hop-cross 1:70 --ping-users|1-2" ;;
    *) return 1 ;;
    esac
}

configs=("$@")
((${#configs[@]})) || configs=(idle tight1 tight2 tight3 silent limited user6)
printf '%-8s %-6s %5s  %-32s %7s %6s %8s %6s\n' config right named "links named per run" agree lost kB s
for c in "${configs[@]}"; do
    entry=$(config "$c") || { echo "hops.sh: unknown configuration '$c'" >&2; exit 2; }
    options=${entry%%|*} want=${entry#*|}
    # shellcheck disable=SC2086  # the options are words
    bash "$LAB" up "$NAME" --routers 3 "${SHAPE[@]}" $options
    up=1
    target=198.18.4.1 user=()
    if [[ $c == user6 ]]; then
        target=2001:2:0:4::1
        user=(setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all --bounding-set=-all)
    fi
    right=0 named=0 links="" agree=0 trains=0 lost=0 bytes=0 secs=0
    for ((run = 0; run < RUNS; run++)); do
        json=$(bash "$LAB" exec "$NAME" client nice -n -20 "${user[@]}" "$AVAILBW" --hops "$target" --json -q \
            2>/tmp/hops-bench-err.$$ || true)
        if ! jq -e .hops >/dev/null 2>&1 <<<"$json"; then
            echo "hops.sh: $c run $((run + 1)) printed no report: $(cat /tmp/hops-bench-err.$$)" >&2
            links+="error "
            continue
        fi
        link=$(jq -r 'if .tight_link then "\(.tight_link.from_hop)-\(.tight_link.to_hop)" else "none" end' <<<"$json")
        links+="$link "
        [[ $link != none ]] && named=$((named + 1))
        [[ $link == "$want" ]] && right=$((right + 1))
        agree=$((agree + $(jq '.tight_link.agree // 0' <<<"$json")))
        trains=$((trains + $(jq '.tight_link.trains // 0' <<<"$json")))
        lost=$((lost + $(jq '[.hops[] | select(.address != null) | .expected - .replies] | add // 0' <<<"$json")))
        bytes=$(jq -n "$bytes + $(jq .probe_bytes <<<"$json")")
        secs=$(jq -n "$secs + $(jq .duration_s <<<"$json")")
    done
    cleanup
    printf '%-8s %2d/%-3d %5d  %-32s %3d/%-3d %6d %8.0f %6.1f\n' "$c" "$right" "$RUNS" "$named" "$links" \
        "$agree" "$trains" "$lost" "$(jq -n "$bytes / $RUNS / 1000")" "$(jq -n "$secs / $RUNS")"
done
