#!/bin/bash
# SPDX-License-Identifier: MIT
# Measures the engine's send loop against a bare sendto loop and prints a table.
#   bench/sendloop.sh [BUILD_DIR] [ROUNDS]
# Needs root (raw socket). Runs on 127.0.0.1 and, when namespaces can be made,
# across a lab link to 198.18.1.2.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build-bench}"
rounds="${2:-300}"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target bench_sendloop -j2 >/dev/null
echo "== loopback"
"$build/bench/bench_sendloop" 127.0.0.1 "$rounds" | grep -v '^$' | grep -v '^Echo' | tail -5
if "$here/scripts/lab.sh" check >/dev/null 2>&1; then
    lab="bsl$$"
    trap '"$here/scripts/lab.sh" down "$lab"' EXIT
    "$here/scripts/lab.sh" up "$lab"
    echo "== lab link to 198.18.1.2"
    "$here/scripts/lab.sh" exec "$lab" client "$build/bench/bench_sendloop" 198.18.1.2 "$rounds" | tail -5
fi
