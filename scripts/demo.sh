#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# demo.sh - a real measurement of a loaded path, from a fresh Debian machine.
#
# Run as root:  bash scripts/demo.sh
#
# Installs what is missing (compiler, CMake, iproute2, nftables, iperf3, ...),
# builds availbw and vennic (release build in build-demo/), makes a small lab
# network whose reply path has a 50 Mbit/s bottleneck carrying 20 Mbit/s of
# steady cross traffic, and measures the path from the client: availbw for
# the bandwidth still free, vennic for the dispersion rate.  It prints a short
# summary beside the truth that the bottleneck's own counters tell, and keeps
# the tools' full reports in a log file whose path it prints.  The lab is
# removed on exit.  Where network namespaces cannot be made, it measures
# 127.0.0.1 instead.
set -euo pipefail

readonly ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly BUILD=$ROOT/build-demo
readonly LAB=$ROOT/scripts/lab.sh
readonly RATE_MBIT=50 CROSS_MBIT=20
readonly LAB_NAME=demo$$

say() { printf '\n== %s\n' "$*"; }

if [[ $(id -u) -ne 0 ]]; then
    echo "demo.sh: run it as root (the tools need a raw ICMP socket, the lab needs namespaces)" >&2
    exit 1
fi

# Command (or file) -> Debian package that provides it.
missing=()
need() { [[ $1 == /* ]] && [[ -e $1 ]] && return; [[ $1 != /* ]] && command -v "$1" >/dev/null && return; missing+=("$2"); }
need cmake cmake
need make make
need g++ g++
need ip iproute2
need tc iproute2
need nft nftables
need ss iproute2
need iperf3 iperf3            # the cross traffic
need taskset util-linux
need sysctl procps
need awk mawk
need /etc/protocols netbase   # the protocol names "icmp" and "ip"
need /usr/include/nlohmann/json.hpp nlohmann-json3-dev   # JSON output of availbw
if ((${#missing[@]})); then
    mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
    say "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

say "building availbw and vennic in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target availbw vennic -j"$(nproc)" >/dev/null
readonly AVAILBW=$BUILD/availbw/availbw VENNIC=$BUILD/bandwidth/vennic
log=$(mktemp /tmp/tsl-demo-XXXXXX.log)

# A figure of availbw's JSON object (a number, or empty for null).
json_number() { sed -n "s/.*\"$1\":\\([-0-9.e+]*\\).*/\\1/p" <<<"$2"; }
mbit() { awk -v v="$1" 'BEGIN { printf "%8.2f", v / 1e6 }'; }

# Runs both tools against HOST (through RUN_IN, a command prefix) and prints
# their lines of the summary, after the truth when FREE (the bottleneck's free
# rate at the link layer, Mbit/s) is given; their whole output goes to the log.
measure() {
    local host=$1 free=$2 json vennic_out t0 t1 available low high support rounds bytes secs estimate packet
    shift 2
    json=$("$@" "$AVAILBW" --json -q "$host" 2>>"$log") || true
    { echo "== availbw --json $host"; echo "$json"; } >>"$log"
    # availbw counts IP bytes of its packets, each of which takes 14 bytes
    # more of the link: the truth in those terms, for the size it chose.
    packet=$(json_number packet_bytes "$json")
    if [[ -n $free && -n $packet ]]; then
        printf 'truly free (IP, %d-byte)      %8.2f Mbit/s\n' "$packet" \
            "$(awk -v f="$free" -v l="$packet" 'BEGIN { print f * l / (l + 14) }')"
    fi
    "$@" "$AVAILBW" "$host" >>"$log" 2>&1 || true
    t0=$(date +%s.%N)
    vennic_out=$("$@" "$VENNIC" "$host" 2>&1) || true
    t1=$(date +%s.%N)
    { echo "== vennic $host"; echo "$vennic_out"; } >>"$log"
    available=$(json_number available_bps "$json")
    if [[ -n $available ]]; then
        low=$(json_number low_bps "$json") high=$(json_number high_bps "$json")
        bytes=$(json_number probe_bytes "$json") secs=$(json_number duration_s "$json")
        printf 'availbw: free now              %s Mbit/s  (range %.2f-%.2f, 90 %% sure; %.2f MB in %.2f s)\n' \
            "$(mbit "$available")" "$(awk -v v="$low" 'BEGIN { print v / 1e6 }')" \
            "$(awk -v v="$high" 'BEGIN { print v / 1e6 }')" \
            "$(awk -v v="$bytes" 'BEGIN { print v / 1e6 }')" "$secs"
    else
        echo "availbw: no estimate ($(grep -m1 'no estimate' "$log" | sed 's/^availbw: //'))"
    fi
    estimate=$(awk '/^Available Bandwidth:/ { v = $3 } END { print v + 0 }' <<<"$vennic_out")
    printf 'vennic: dispersion rate        %s Mbit/s  (near the capacity even under load; 65.4 kB in %.2f s)\n' \
        "$(mbit "$estimate")" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')"
}

if ! why=$(bash "$LAB" check 2>&1); then
    say "no lab here (${why#*: }); measuring 127.0.0.1 instead"
    measure 127.0.0.1 "" env
    echo "full reports: $log"
    exit
fi

# With more than one processor, the lab's router, target and cross traffic
# work on the last one and the tools run on the first, as they would on hosts
# of their own.
pin=() steer=()
if (($(nproc) > 1)); then
    pin=(taskset -c 0)
    steer=(--steer "$(($(nproc) - 1))")
fi
trap 'bash "$LAB" down "$LAB_NAME"' EXIT
client=$(bash "$LAB" addr client) target=$(bash "$LAB" addr target)
say "lab: client $client -> router -> target $target; replies through a $RATE_MBIT Mbit/s bottleneck carrying $CROSS_MBIT Mbit/s of cross traffic"
bash "$LAB" up "$LAB_NAME" --rate "$RATE_MBIT" --cross "$CROSS_MBIT" "${steer[@]}"
read -r free _ < <(bash "$LAB" free "$LAB_NAME" 2)

say "result"
printf 'configured bottleneck          %8.2f Mbit/s\n' "$RATE_MBIT"
printf 'cross traffic (its shaper)     %8.2f Mbit/s\n' "$(awk -v c="$RATE_MBIT" -v f="$free" 'BEGIN { print c - f }')"
measure "$target" "$free" bash "$LAB" exec "$LAB_NAME" client "${pin[@]}"
echo "full reports: $log"
