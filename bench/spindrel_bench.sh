#!/bin/sh
# SPDX-License-Identifier: MIT
# Short calibration of the busy-wait next to clock_nanosleep of the same lengths.
# Usage: bench/spindrel_bench.sh [build-dir] [trials]
#   build-dir defaults to build-spindrel-bench in the source tree (configured as a
#   Release build without tests when it has no cache yet); trials defaults to 200.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-spindrel-bench}
trials=${2:-200}
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target spindrel_bench >/dev/null
exec "$build/calibrate/spindrel_bench" "$trials"
