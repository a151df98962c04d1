#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# measure_shaping.sh - how well the lab's bottleneck holds its rate.
#
#   tests/lab/measure_shaping.sh [RATE_MBIT...]     (default: 1 10 50 100 200 300 500)
#
# For each rate: a lab with --rate RATE, then
#  - trains: five trains of ten 900-byte echo requests sent back to back
#    (ping -l, when ping is installed), reply arrival times taken by tcpdump
#    on the client; prints the mean gap between replies 2..10 and the rate
#    it stands for (942-byte frames);
#  - bulk: 3 s of TCP from target to client (iperf3 -R), when iperf3 is
#    installed.
# Needs root.  Uses only the lab's own namespaces and addresses.

set -u
here=$(cd "$(dirname "$0")" && pwd)
lab="$here/../../scripts/lab.sh"
name="shape$$"
rates=("$@")
[[ ${#rates[@]} -gt 0 ]] || rates=(1 10 50 100 200 300 500)
capture=$(mktemp /tmp/tsl-shape-XXXXXX)
trap 'bash "$lab" down "$name"; rm -f "$capture"' EXIT

for rate in "${rates[@]}"; do
    bash "$lab" up "$name" --rate "$rate" || exit 1
    if command -v ping >/dev/null && command -v tcpdump >/dev/null; then
        bash "$lab" exec "$name" client tcpdump -i c0 -n -l --time-stamp-precision=micro -tt \
            'icmp[0] == 0' >"$capture" 2>/dev/null &
        dump=$!
        sleep 0.5
        for _ in 1 2 3 4 5; do
            bash "$lab" exec "$name" client ping -q -l 10 -c 10 -s 900 -W 1 198.18.1.2 >/dev/null
            sleep 0.1
        done
        sleep 0.3
        kill "$dump" 2>/dev/null
        wait "$dump" 2>/dev/null
        # Gaps within a train (below 50 ms), the first of each train left out.
        awk -v rate="$rate" '$2 == "IP" {
                t = $1
                if (n > 0 && t - p < 0.05) { k++; if (k > 1) { sum += t - p; c++ } } else k = 0
                p = t; n++
            }
            END {
                if (c == 0) { printf "%s Mbit/s: no trains measured\n", rate; exit }
                g = sum / c * 1e6
                printf "%s Mbit/s: trains: mean reply gap %.1f us over %d gaps = %.1f Mbit/s\n", rate, g, c, 942 * 8 / g
            }' "$capture"
    fi
    if command -v iperf3 >/dev/null; then
        bash "$lab" exec "$name" target iperf3 -s -1 -D -B 198.18.1.2 >/dev/null
        sleep 0.3
        bulk=$(bash "$lab" exec "$name" client iperf3 -c 198.18.1.2 -R -t 3 -f m 2>&1 |
            awk '/receiver/ { print $7, $8 }')
        echo "$rate Mbit/s: bulk TCP: ${bulk:-failed}"
    fi
    bash "$lab" down "$name"
done
