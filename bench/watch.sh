#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# watch.sh - availbw watching a lab path whose free rate steps: how far each
# measurement is from the truth, how many measurements each step takes to be
# reported, and any change reported where there was none.
#
#   bash bench/watch.sh              (root; about two minutes)
#
# A 50 Mbit/s bottleneck carries 15 Mbit/s of steady UDP cross traffic; a
# second UDP flow on top makes three stretches of STRETCH seconds (default
# 40): 5 Mbit/s more (about 30 free), 20 more (about 15 free), none (about 35
# free).  availbw -i INTERVAL (default 2) --json watches throughout.
#   - The truth of each stretch: the bottleneck's rate less what its shaper
#     sent over 2 s with that stretch's traffic alone, before the watch, in
#     IP bits of the packets each measurement used (the shaper counts 14
#     bytes more per frame).
#   - Each measurement: its stretch, the truth, the estimate and the error;
#     a measurement that started within 1.5 s before a step straddles it and
#     is left out of the errors.
#   - Each step: the delay in measurements before it was reported (1: the
#     first measurement that started after it reported it), and how many of
#     those gave an estimate (the change test sees only those).
#   - False changes: those reported with no step at most one measurement
#     before their first sample.
# Targets: median error within 5 %, every step within 3 measurements, no
# false change.  RECORDS=FILE keeps the JSON Lines of the watch in FILE.
# A release build goes to $BENCH_BUILD (default build-bench/).
# Needs cmake, g++, iproute2, nftables, iperf3 and jq.
set -euo pipefail

readonly ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly BUILD=${BENCH_BUILD:-$ROOT/build-bench}
readonly STRETCH=${STRETCH:-40} INTERVAL=${INTERVAL:-2}
readonly NAME=wat$$
# shellcheck source=bench/common.sh
source "$ROOT/bench/common.sh"

[[ $(id -u) -eq 0 ]] || { echo "watch.sh: needs root" >&2; exit 1; }
for tool in cmake iperf3 nft tc ip jq; do
    command -v $tool >/dev/null || { echo "watch.sh: $tool is missing" >&2; exit 1; }
done
bash "$LAB" check >/dev/null
build "$BUILD" availbw
readonly AVAILBW=$BUILD/availbw/availbw

PIN=() SHAPER=() PATH_CPU=()
if (($(nproc) > 1)); then
    PIN=(taskset -c 0)
    SHAPER=(--steer "$(($(nproc) - 1))")
    PATH_CPU=(taskset -c "$(($(nproc) - 1))")
fi
readonly EXTRA=(5 20 0)  # Mbit/s on top of the steady 15, one a stretch

bash "$LAB" up "$NAME" --rate 50 --cross 15 "${SHAPER[@]}"
lab_up=1
# One iperf3 server in the client for each stretch's flow.
for i in "${!EXTRA[@]}"; do
    bash "$LAB" exec "$NAME" client "${PATH_CPU[@]}" iperf3 -s -p $((5300 + i)) >/dev/null 2>&1 &
    bg_pids+=($!)
done
sleep 0.5
extra_pid=""
stop_extra() {
    [[ -n $extra_pid ]] && kill "$extra_pid" 2>/dev/null && wait "$extra_pid" 2>/dev/null || true
    extra_pid=""
}
# Starts stretch I's extra flow (none for 0 Mbit/s), ending the last one's.
stretch() {
    stop_extra
    ((${EXTRA[$1]} > 0)) || return 0
    bash "$LAB" exec "$NAME" target "${PATH_CPU[@]}" iperf3 -c "$CLIENT" -p $((5300 + $1)) -u -b "${EXTRA[$1]}M" \
        -l 1200 -t 600 >/dev/null 2>&1 &
    extra_pid=$!
    bg_pids+=($!)
}

truths=()
for i in "${!EXTRA[@]}"; do
    stretch "$i"
    sleep 1
    truths+=("$(bash "$LAB" free "$NAME" 2)")
done
stop_extra

# The records stay in $RECORDS when it is set.
out=${RECORDS:-$(mktemp)}
[[ -n ${RECORDS:-} ]] || trap 'rm -f "$out"; cleanup' EXIT
steps=()
stretch 0
bash "$LAB" exec "$NAME" client "${PIN[@]}" "$AVAILBW" -i "$INTERVAL" --json "$TARGET" >"$out" 2>/dev/null &
watcher=$!
for i in "${!EXTRA[@]}"; do
    if ((i > 0)); then
        stretch "$i"
        steps+=("$(now)")
    fi
    sleep "$STRETCH"
done
kill -INT "$watcher"
wait "$watcher" || true

echo "# load average $(cut -d' ' -f1-3 /proc/loadavg); interval $INTERVAL s, stretches of $STRETCH s;" \
    "truth (link-level free, Mbit/s): ${truths[*]}"
# Each sample as "unix_s estimate_bps packet_bytes", each change as
# "change first_sample reported_sample from_bps to_bps".
jq -r 'if .type == "sample" then "\(.unix_s) \(.available_bps // 0) \(.packet_bytes // 400)"
       elif .type == "change" then "change \(.first_sample) \(.reported_sample) \(.from_bps) \(.to_bps)"
       else empty end' "$out" |
    awk -v steps="${steps[*]}" -v truths="${truths[*]}" '
    BEGIN { ns = split(steps, step, " "); split(truths, truth, " ") }
    $1 == "change" { nc++; cfirst[nc] = $2; creported[nc] = $3; cfrom[nc] = $4; cto[nc] = $5; next }
    {
        n++; t[n] = $1; est[n] = $2 / 1e6
        s = 1
        for (k = 1; k <= ns; k++) if (t[n] >= step[k]) s = k + 1
        stretch[n] = s
        truthIp[n] = truth[s] * $3 / ($3 + 14)
        straddles = 0
        for (k = 1; k <= ns; k++) if (t[n] < step[k] && t[n] > step[k] - 1.5) straddles = 1
        for (k = 1; k <= ns; k++) if (!firstAfter[k] && t[n] >= step[k]) firstAfter[k] = n
        if (est[n] > 0 && !straddles) { ne++; err[ne] = (est[n] - truthIp[n]) / truthIp[n] }
        printf "%3d  stretch %d  truth %6.2f  estimate %6.2f  error %s%s\n", n, s, truthIp[n], est[n],
            (est[n] > 0 ? sprintf("%+6.1f %%", 100 * (est[n] - truthIp[n]) / truthIp[n]) : "  none"),
            (straddles ? "  (straddles a step)" : "")
    }
    END {
        for (i = 1; i <= ne; i++) a[i] = err[i] < 0 ? -err[i] : err[i]
        for (i = 1; i <= ne; i++) for (j = i + 1; j <= ne; j++) if (a[j] < a[i]) { x = a[i]; a[i] = a[j]; a[j] = x }
        median = ne ? (ne % 2 ? a[(ne + 1) / 2] : (a[ne / 2] + a[ne / 2 + 1]) / 2) : 0
        printf "median error %.1f %% of %d measurements with an estimate (of %d)\n", 100 * median, ne, n
        false = 0
        for (c = 1; c <= nc; c++) matched[c] = 0
        for (k = 1; k <= ns; k++) {
            delay = "not reported"
            for (c = 1; c <= nc; c++)
                if (!matched[c] && cfirst[c] >= firstAfter[k] - 1 && cfirst[c] <= firstAfter[k] + 3) {
                    matched[c] = 1
                    answered = 0
                    for (i = firstAfter[k]; i <= creported[c]; i++) answered += est[i] > 0
                    delay = sprintf("%d measurements, %d of them answered (%.1f -> %.1f Mbit/s)",
                        creported[c] - firstAfter[k] + 1, answered, cfrom[c] / 1e6, cto[c] / 1e6)
                    break
                }
            printf "step %d at measurement %d: reported after %s\n", k, firstAfter[k], delay
        }
        for (c = 1; c <= nc; c++) if (!matched[c]) {
            false++
            printf "false change at measurement %d: %.1f -> %.1f Mbit/s\n", cfirst[c], cfrom[c] / 1e6, cto[c] / 1e6
        }
        printf "false changes: %d\n", false
    }'
