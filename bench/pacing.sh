#!/usr/bin/env bash
# pacing.sh [BUILD_DIR] - how closely scheduled sends keep the default schedule
# (gaps of 540 down to 60 microseconds): 20 trains to 127.0.0.1, then 20 trains
# from the client to the target of a lab without a bottleneck.  Per train the
# mean and the maximum of |achieved gap - scheduled gap| in microseconds, for the
# departures and for the arrivals of the replies; the last line holds medians.
# Needs root; build the target pacing_bench first.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
bench=$build/schedule/pacing_bench
lab=$here/scripts/lab.sh
[[ -x $bench ]] || { echo "pacing.sh: no $bench (cmake --build $build --target pacing_bench)" >&2; exit 1; }

# On loopback the engine also sees, and names, our own requests.
quiet() { grep -v '^Echo Request$' || true; }

echo "== 127.0.0.1"
"$bench" 127.0.0.1 20 | quiet

name=pacing$$
trap '"$lab" down "$name"' EXIT
"$lab" up "$name"
echo "== lab $("$lab" addr client) -> $("$lab" addr target), no bottleneck"
"$lab" exec "$name" client "$bench" "$("$lab" addr target)" 20 | quiet
