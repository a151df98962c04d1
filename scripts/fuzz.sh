#!/bin/bash
# SPDX-License-Identifier: MIT
# fuzz.sh SECONDS - builds the engine's libFuzzer targets with clang in
# build-fuzz/ and runs each for its share of SECONDS on a copy of the seed
# corpus (fuzz/corpus/<target>), in a temporary folder.  Any finding (crash,
# out-of-bounds access, undefined behaviour, leak, hang, memory blow-up) fails
# the run: the input that caused it is kept in build-fuzz/findings/ and the
# fuzzer's report is printed.
set -euo pipefail

usage() {
    echo "usage: ${0##*/} SECONDS" >&2
    exit 2
}
[[ $# -eq 1 && $1 =~ ^[0-9]+$ && $1 -gt 0 ]] || usage
total=$1

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$here/build-fuzz"
targets=(fuzz_receive fuzz_train fuzz_icmph)

command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ is not installed" >&2; exit 1; }
# A build folder configured with another compiler cannot be switched in place.
if [[ -f $build/CMakeCache.txt ]] && ! grep -q '^CMAKE_CXX_COMPILER:.*clang++' "$build/CMakeCache.txt"; then
    rm -rf "$build"
fi
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -DTSL_ENABLE_FUZZING=ON -DTSL_BUILD_TESTS=OFF \
    -DTSL_SANITIZE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >/dev/null

work="$(mktemp -d "${TMPDIR:-/tmp}/tsl-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# Leaks and undefined behaviour end the run like a crash.
export ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"

share=$((total / ${#targets[@]}))
((share > 0)) || share=1
first_extra=$((total - share * ${#targets[@]}))
((first_extra > 0)) || first_extra=0
status=0
for target in "${targets[@]}"; do
    seconds=$share
    if [[ $target == "${targets[0]}" ]]; then seconds=$((share + first_extra)); fi
    corpus="$work/$target"
    mkdir -p "$corpus" "$work/findings-$target"
    cp "$here/fuzz/corpus/$target/"* "$corpus/"
    log="$work/$target.log"
    if "$build/fuzz/$target" "$corpus" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$work/findings-$target/" >"$log" 2>&1; then
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "$target: ${execs:-?} executions in ${seconds} s, no finding"
    else
        status=1
        echo "$target: FINDING (fuzzer exit status non-zero); its report:" >&2
        # From the first error line on; the whole log when none is recognised.
        report=$(sed -n '/ERROR\|runtime error\|engine bookkeeping\|deadly signal/,$p' "$log" | head -n 80)
        if [[ -n $report ]]; then echo "$report" >&2; else tail -n 40 "$log" >&2; fi
        mkdir -p "$build/findings"
        for f in "$work/findings-$target"/*; do
            [[ -e $f ]] || continue
            cp "$f" "$build/findings/$target-${f##*/}"
            echo "kept $build/findings/$target-${f##*/} (reproduce: $build/fuzz/$target FILE)" >&2
        done
    fi
done
exit $status
