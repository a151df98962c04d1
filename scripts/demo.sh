#!/usr/bin/env bash
# demo.sh - one real measurement with vennic, from a fresh Debian machine.
#
# Run as root:  bash scripts/demo.sh
#
# Installs what is missing (compiler, CMake, iproute2, nftables, ...), builds
# vennic (release build in build-demo/), makes a small lab network whose
# reply path has a 50 Mbit/s bottleneck, measures it from the client side and
# prints the configured rate beside the estimate and the rate that the reply
# spacing should show.  The lab is removed on exit.  Where network namespaces
# cannot be made, it measures 127.0.0.1 instead.
set -euo pipefail

readonly ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly BUILD=$ROOT/build-demo
readonly LAB=$ROOT/scripts/lab.sh
readonly RATE_MBIT=50
readonly LAB_NAME=demo$$

say() { printf '\n== %s\n' "$*"; }

if [[ $(id -u) -ne 0 ]]; then
    echo "demo.sh: run it as root (vennic needs a raw ICMP socket, the lab needs namespaces)" >&2
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

say "building vennic in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target vennic -j"$(nproc)" >/dev/null
readonly VENNIC=$BUILD/bandwidth/vennic

if ! why=$(bash "$LAB" check 2>&1); then
    say "no lab here (${why#*: }); measuring 127.0.0.1 instead"
    "$VENNIC" 127.0.0.1
    exit
fi

trap 'bash "$LAB" down "$LAB_NAME"' EXIT
say "lab $LAB_NAME: client 198.18.0.1 -> router (replies shaped to $RATE_MBIT Mbit/s) -> target 198.18.1.2"
bash "$LAB" up "$LAB_NAME" --rate "$RATE_MBIT"

say "vennic 198.18.1.2 (in the client namespace)"
out=$(bash "$LAB" exec "$LAB_NAME" client "$VENNIC" 198.18.1.2)
printf '%s\n' "$out"

# A reply of payload p occupies p + 82 bytes of the link (IP length p + 68
# with the record-route option, plus the Ethernet header); the tool counts
# p + 42 of them per gap, so a clean bottleneck C reads C (p + 42) / (p + 82).
estimate=$(awk '/^Available Bandwidth:/ { v = $3 } END { print v + 0 }' <<<"$out")
awk -v c="$RATE_MBIT" -v e="$estimate" 'BEGIN {
    for (p = 600; p <= 900; p += 100) x += c * (p + 42) / (p + 82) / 4
    printf "\n== result\n"
    printf "configured bottleneck      %8.2f Mbit/s\n", c
    printf "expected dispersion rate   %8.2f Mbit/s\n", x
    printf "vennic estimate            %8.2f Mbit/s  (%.1f %% of expected)\n", e / 1e6, 100 * e / 1e6 / x
}'
