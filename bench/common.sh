# SPDX-License-Identifier: MIT
# common.sh - what the lab benchmarks share: the lab in a namespace of their
# own, background processes that end with it, byte counters in the client,
# iperf3 through the bottleneck, and the statistics of a row.
# Sourced by bench/accuracy.sh and bench/availbw.sh, which set NAME first;
# sets CLIENT, TARGET and TARGET6 to the addresses lab.sh addr gives.

readonly LAB=$ROOT/scripts/lab.sh
# The hosts' addresses, as the lab gives them.
CLIENT=$(bash "$LAB" addr client)
TARGET=$(bash "$LAB" addr target)
TARGET6=$(bash "$LAB" addr -6 target)
readonly CLIENT TARGET TARGET6

lab_up=0
bg_pids=()
cleanup() {
    local pid
    for pid in "${bg_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    ((lab_up)) && bash "$LAB" down "$NAME"
    lab_up=0
    bg_pids=()
    return 0
}
trap cleanup EXIT

in_ns() { bash "$LAB" exec "$NAME" "$@"; }
now() { date +%s.%N; }

# Release build of TARGETS... in DIR [-- CMAKE ARGS...].
build() {
    local dir=$1 targets=() args=()
    shift
    while (($#)) && [[ $1 != -- ]]; do targets+=("$1"); shift; done
    (($#)) && shift
    args=("$@")
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=OFF "${args[@]}" >/dev/null
    cmake --build "$dir" --target "${targets[@]}" -j"$(nproc)" >/dev/null
}

# nft counters in the client namespace: ICMP and TCP, both directions.
count_setup() {
    in_ns client nft -f - <<'NFT'
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
NFT
}
# Bytes on the wire (IP bytes + 14 per frame) of counter NAME, then reset it.
count_take() {
    in_ns client nft reset counter ip bench "$1" |
        awk '/packets/ { for (i = 1; i < NF; i++) { if ($i == "packets") p = $(i + 1); if ($i == "bytes") b = $(i + 1) } }
             END { print b + 14 * p }'
}

# An iperf3 server in the target, for iperf3_reverse.
iperf3_server() {
    in_ns target iperf3 -s -p 5201 >/dev/null 2>&1 &
    bg_pids+=($!)
    sleep 0.3
}
# 5 s of iperf3 TCP from the target to the client through the bottleneck:
# prints "Mbit/s bytes seconds" (bytes on the wire, both directions).
iperf3_reverse() {
    local t0 t1 tput bytes
    count_take tcp_frames >/dev/null
    t0=$(now)
    tput=$(in_ns client iperf3 -c "$TARGET" -p 5201 -R -t 5 -f m 2>&1 |
        awk '/receiver/ { for (i = 1; i < NF; i++) if ($(i + 1) == "Mbits/sec") v = $i } END { print v + 0 }')
    t1=$(now)
    bytes=$(count_take tcp_frames)
    echo "$tput $bytes $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')"
}

# stats "v1 v2 ..." -> "median min max"
stats() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)], v[1], v[NR] }'; }
