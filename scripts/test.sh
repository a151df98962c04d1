#!/bin/bash
# Builds the suite with AddressSanitizer and UndefinedBehaviorSanitizer, runs
# every test (the network tests need root and make their own namespaces), and
# then fuzzes the receive path briefly.  Installs what it needs on Debian.
#   scripts/test.sh            full run
#   FUZZ_SECONDS=0 scripts/test.sh   skip the fuzzing run
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"

packages=(cmake g++ make clang libclang-rt-14-dev libgtest-dev netbase iproute2 nftables tcpdump iperf3
          valgrind libcap2-bin util-linux groff man-db pkg-config dpkg-dev file lintian nlohmann-json3-dev
          librsvg2-bin)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

jobs="$(nproc)"
build="$here/build-test"
cmake -S . -B "$build" -DTSL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 300

fuzz_seconds="${FUZZ_SECONDS:-60}"
if [ "$fuzz_seconds" -gt 0 ] && [ -x "$here/scripts/fuzz.sh" ]; then
    "$here/scripts/fuzz.sh" "$fuzz_seconds"
fi
