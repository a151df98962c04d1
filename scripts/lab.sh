#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# lab.sh - a three-host test network in network namespaces, for the suite's
# tests, tools and benchmarks.  Needs root; uses iproute2, tc, nftables and flock.
#
#   lab.sh up NAME [--rate MBIT] [--burst BYTES] [--shape replies|requests]
#                  [--cross MBIT] [--cross-burst MS] [--steer CPU]
#                  [--loss PCT] [--ttl-expire] [--no-echo]
#   lab.sh down NAME        removes everything NAME made (never fails if already gone)
#   lab.sh exec NAME client|router|target CMD [ARGS...]
#   lab.sh addr client|router|router-target|target|unheld
#   lab.sh free NAME [SECONDS]
#                           the bottleneck's free rate at the link layer in Mbit/s:
#                           its rate less what its shaper sent per second over
#                           SECONDS (default 2), cross traffic and all
#   lab.sh check            exit 0 if namespaces can be made here, else a message and 1
#   lab.sh clean            removes labs left behind by test processes that died
#
# Topology (nothing is added to the root namespace):
#
#   NAME-c (client)            NAME-r (router, forwarding)             NAME-t (target)
#   c0 198.18.0.1/24 ---- r0 198.18.0.254/24   r1 198.18.1.254/24 ---- t0 198.18.1.2/24
#
# Client and target route everything through the router.  The neighbour
# entries of the four hosts are made permanent, so the first packet of a run
# does not wait for address resolution; 198.18.1.99 belongs to no host, and
# an echo request to it makes the router answer "Destination Host
# Unreachable" once its resolution fails (about 3 s).  The router's ICMP
# error rate limit is off, so every expired or undeliverable packet gets its
# error message.
#
#   --rate MBIT    token-bucket bottleneck on r0 (replies, target -> client);
#                  requests travel unshaped
#   --burst BYTES  bucket size of the bottleneck (default 1600: one packet at
#                  a time, so replies leave spaced at the configured rate)
#   --shape requests
#                  the bottleneck on r1 instead (requests, client -> target);
#                  replies travel unshaped.  --shape replies is the default.
#   --cross MBIT   steady UDP cross traffic of MBIT Mbit/s (iperf3 payload
#                  bits; 1200-byte datagrams) through the bottleneck, in its
#                  direction: target -> client, or client -> target with
#                  --shape requests.  Runs until the lab goes down.
#   --cross-burst MS
#                  the cross traffic leaves in bursts every MS ms (at the same
#                  mean rate) instead of every millisecond
#   --steer CPU    the router's and the target's packet work (and the cross
#                  traffic's processes) run on processor CPU, as on hosts of
#                  their own: a tool pinned to another processor then sends
#                  without the path's work interrupting it
#   --loss PCT     the router drops PCT % of the packets it forwards, at random
#   --ttl-expire   the router sets TTL 1 on everything arriving from the
#                  client, so it answers "Time to live exceeded"
#   --no-echo      the target's kernel ignores echo requests (for a scripted
#                  responder)
#
# Labs made by the C++ test fixture are named tsl<pid>n<counter>; `down` and
# `clean` remove such labs whose process no longer exists.  `up` holds a
# shared lock on $LOCK_FILE while it makes a lab and `clean` an exclusive one,
# so a cleaner never takes a lab in the middle of being made for a dead one.

set -u

readonly CLIENT_ADDR=198.18.0.1
readonly ROUTER_CLIENT_ADDR=198.18.0.254
readonly ROUTER_TARGET_ADDR=198.18.1.254
readonly TARGET_ADDR=198.18.1.2
readonly UNHELD_ADDR=198.18.1.99
# Locally administered MAC addresses, fixed so the neighbour entries can be.
readonly MAC_C0=02:00:c6:12:00:01
readonly MAC_R0=02:00:c6:12:00:fe
readonly MAC_R1=02:00:c6:12:01:fe
readonly MAC_T0=02:00:c6:12:01:02
readonly ROLES="c r t"
readonly LOCK_FILE=/run/lock/tsl-lab.lock

prog=${0##*/}

usage() {
    cat >&2 <<EOF
usage: $prog up NAME [--rate MBIT] [--burst BYTES] [--shape replies|requests]
                     [--cross MBIT] [--cross-burst MS] [--steer CPU]
                     [--loss PCT] [--ttl-expire] [--no-echo]
       $prog down NAME
       $prog exec NAME client|router|target CMD [ARGS...]
       $prog addr client|router|router-target|target|unheld
       $prog free NAME [SECONDS]
       $prog check
       $prog clean
EOF
    exit 2
}

die() {
    echo "$prog: $*" >&2
    exit 1
}

valid_name() {
    [[ $1 =~ ^[A-Za-z0-9_]{1,40}$ ]]
}

ns_exists() {
    [[ -e /run/netns/$1 ]]
}

# Sets kernel parameters (KEY=VALUE, KEY in dotted form) inside namespace NS,
# writing /proc/sys directly: the namespace's own values are the ones seen there.
ns_sysctls() {
    local ns=$1 setting key script=""
    shift
    for setting in "$@"; do
        key=${setting%%=*}
        script+="echo ${setting#*=} > /proc/sys/${key//.//} || exit 1;"
    done
    ip netns exec "$ns" sh -c "$script"
}

# Kills every process still inside namespace NS, except this script and
# the process that called it.
kill_ns_processes() {
    local ns=$1 pid
    for pid in $(ip netns pids "$ns" 2>/dev/null); do
        [[ $pid == "$$" || $pid == "$PPID" ]] && continue
        kill -KILL "$pid" 2>/dev/null
    done
}

remove_lab() {
    local name=$1 role
    for role in $ROLES; do
        ns_exists "$name-$role" || continue
        kill_ns_processes "$name-$role"
        ip netns delete "$name-$role" 2>/dev/null
    done
    return 0
}

# Takes the labs' lock (flock option -s shared, -x exclusive) for the rest of
# this script; waits at most a minute for it.  Processes that outlive the
# script must be started with {lock_fd}<&- so they do not hold it on.
lock_fd=
lock_labs() {
    [[ -e $LOCK_FILE ]] || { mkdir -p "${LOCK_FILE%/*}" && : >>"$LOCK_FILE"; } 2>/dev/null
    exec {lock_fd}<"$LOCK_FILE" || die "cannot open $LOCK_FILE"
    flock "$1" -w 60 "$lock_fd" || die "$LOCK_FILE stayed locked for a minute"
}

# Removes labs of the test fixture whose owning process has died.
clean_stale() {
    local path ns pid
    lock_labs -x
    for path in /run/netns/tsl*n*-[crt]; do
        [[ -e $path ]] || continue
        ns=${path##*/}
        [[ $ns =~ ^tsl([0-9]+)n[0-9]+-[crt]$ ]] || continue
        pid=${BASH_REMATCH[1]}
        kill -0 "$pid" 2>/dev/null && continue
        remove_lab "${ns%-?}"
    done
    return 0
}

cmd_addr() {
    [[ $# -eq 1 ]] || usage
    case $1 in
    client) echo "$CLIENT_ADDR" ;;
    router) echo "$ROUTER_CLIENT_ADDR" ;;
    router-target) echo "$ROUTER_TARGET_ADDR" ;;
    target) echo "$TARGET_ADDR" ;;
    unheld) echo "$UNHELD_ADDR" ;;
    *) usage ;;
    esac
}

cmd_check() {
    [[ $(id -u) -eq 0 ]] || die "network namespaces need root"
    local tool
    for tool in ip tc nft flock; do
        command -v "$tool" >/dev/null || die "$tool is not installed"
    done
    local ns="tslcheck$$"
    ip netns add "$ns" 2>/dev/null || die "cannot create a network namespace here"
    local ok=1
    ip -n "$ns" link add ck0 type veth peer name ck1 2>/dev/null || ok=0
    ip netns delete "$ns" 2>/dev/null
    [[ $ok -eq 1 ]] || die "cannot create veth interfaces in a network namespace"
    return 0
}

# Waits up to about two seconds until interface DEV in namespace NS has its
# carrier.
wait_link() {
    local ns=$1 dev=$2 i
    for ((i = 0; i < 200; i++)); do
        [[ $(ip -n "$ns" -o link show dev "$dev" 2>/dev/null) == *LOWER_UP* ]] && return 0
        sleep 0.01
    done
    return 1
}

# Configures an end host: namespace NS, interface DEV with address ADDR/24,
# default route via GATEWAY whose MAC address is GATEWAY_MAC.
end_host() {
    local ns=$1 dev=$2 addr=$3 gateway=$4 gateway_mac=$5
    ip -n "$ns" -batch - <<EOF
addr add $addr/24 dev $dev
link set lo up
link set $dev up
neigh replace $gateway lladdr $gateway_mac nud permanent dev $dev
route add default via $gateway dev $dev
EOF
}

cmd_up() {
    [[ $# -ge 1 ]] || usage
    local name=$1
    shift
    valid_name "$name" || die "bad lab name '$name' (letters, digits, _; at most 40)"
    local rate="" burst=1600 loss=0 ttl_expire=0 no_echo=0 shape=replies cross="" cross_burst=1 steer=""
    while [[ $# -gt 0 ]]; do
        case $1 in
        --rate) [[ $# -ge 2 ]] || usage; rate=$2; shift 2 ;;
        --burst) [[ $# -ge 2 ]] || usage; burst=$2; shift 2 ;;
        --shape) [[ $# -ge 2 ]] || usage; shape=$2; shift 2 ;;
        --cross) [[ $# -ge 2 ]] || usage; cross=$2; shift 2 ;;
        --cross-burst) [[ $# -ge 2 ]] || usage; cross_burst=$2; shift 2 ;;
        --steer) [[ $# -ge 2 ]] || usage; steer=$2; shift 2 ;;
        --loss) [[ $# -ge 2 ]] || usage; loss=$2; shift 2 ;;
        --ttl-expire) ttl_expire=1; shift ;;
        --no-echo) no_echo=1; shift ;;
        *) usage ;;
        esac
    done
    if [[ -n $rate ]] && ! { [[ $rate =~ ^[0-9]{1,6}(\.[0-9]+)?$ ]] && awk -v r="$rate" 'BEGIN { exit !(r > 0) }'; }; then
        die "--rate wants a positive number of Mbit/s, not '$rate'"
    fi
    # A bucket smaller than a full frame (1514 bytes) would never pass one.
    if ! [[ $burst =~ ^[0-9]{1,9}$ ]] || ((10#$burst < 1514)); then
        die "--burst wants at least 1514 bytes, not '$burst'"
    fi
    if ! [[ $loss =~ ^[0-9]{1,3}$ ]] || ((10#$loss > 100)); then
        die "--loss wants a percentage 0..100, not '$loss'"
    fi
    [[ $shape == replies || $shape == requests ]] || die "--shape wants replies or requests, not '$shape'"
    if [[ -n $cross ]]; then
        { [[ $cross =~ ^[0-9]{1,6}(\.[0-9]+)?$ ]] && awk -v r="$cross" 'BEGIN { exit !(r > 0) }'; } ||
            die "--cross wants a positive number of Mbit/s, not '$cross'"
        command -v iperf3 >/dev/null || die "--cross needs iperf3"
    fi
    if ! [[ $cross_burst =~ ^[0-9]{1,4}$ ]] || ((10#$cross_burst < 1)); then
        die "--cross-burst wants a whole number of milliseconds from 1, not '$cross_burst'"
    fi
    if [[ -n $steer ]] && ! { [[ $steer =~ ^[0-9]{1,4}$ ]] && ((10#$steer < $(nproc))); }; then
        die "--steer wants a processor number below $(nproc), not '$steer'"
    fi
    burst=$((10#$burst)) loss=$((10#$loss)) cross_burst=$((10#$cross_burst))

    lock_labs -s
    local role
    for role in $ROLES; do
        ns_exists "$name-$role" && die "lab $name exists already (namespace $name-$role)"
    done

    local c=$name-c r=$name-r t=$name-t
    # Interrupted half-way: leave nothing behind either.
    trap 'remove_lab "$name"; exit 1' INT TERM HUP
    # On any failure from here on, remove what was made and say which step failed.
    step() {
        local what=$1
        shift
        local err
        if ! err=$("$@" 2>&1); then
            remove_lab "$name"
            die "up $name: $what failed${err:+: $err}"
        fi
    }

    step "creating namespace $c" ip netns add "$c"
    step "creating namespace $r" ip netns add "$r"
    step "creating namespace $t" ip netns add "$t"

    # IPv6 off before the interfaces exist, so no router solicitations or
    # address checks put packets on the links.
    local v6=""
    [[ -d /proc/sys/net/ipv6 ]] && v6="net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1"
    # shellcheck disable=SC2086
    step "configuring $c" ns_sysctls "$c" $v6
    # shellcheck disable=SC2086
    step "configuring $r" ns_sysctls "$r" $v6 net.ipv4.ip_forward=1 net.ipv4.icmp_ratemask=0 \
        net.ipv4.conf.all.send_redirects=0 net.ipv4.conf.default.send_redirects=0
    local echo_setting=net.ipv4.icmp_echo_ignore_all=$no_echo
    # shellcheck disable=SC2086
    step "configuring $t" ns_sysctls "$t" $v6 "$echo_setting"

    step "creating the client link" ip -n "$c" link add c0 address "$MAC_C0" type veth \
        peer name r0 address "$MAC_R0" netns "$r"
    step "creating the target link" ip -n "$t" link add t0 address "$MAC_T0" type veth \
        peer name r1 address "$MAC_R1" netns "$r"

    step "configuring the client" end_host "$c" c0 "$CLIENT_ADDR" "$ROUTER_CLIENT_ADDR" "$MAC_R0"
    step "configuring the router" ip -n "$r" -batch - <<EOF
addr add $ROUTER_CLIENT_ADDR/24 dev r0
addr add $ROUTER_TARGET_ADDR/24 dev r1
link set lo up
link set r0 up
link set r1 up
neigh replace $CLIENT_ADDR lladdr $MAC_C0 nud permanent dev r0
neigh replace $TARGET_ADDR lladdr $MAC_T0 nud permanent dev r1
EOF
    step "configuring the target" end_host "$t" t0 "$TARGET_ADDR" "$ROUTER_TARGET_ADDR" "$MAC_R1"

    if [[ -n $rate ]]; then
        # Queue limit: about 50 ms at the rate, never less than 32 KiB, so a
        # whole train of large replies always fits.
        local limit
        limit=$(awk -v r="$rate" -v b="$burst" 'BEGIN { l = r * 1e6 / 8 * 0.05; if (l < 32768) l = 32768; printf "%d", l + b }')
        local shaped=r0
        [[ $shape == requests ]] && shaped=r1
        step "shaping $shaped" tc -n "$r" qdisc add dev "$shaped" root tbf rate "${rate}mbit" burst "$burst" limit "$limit"
    fi

    if ((loss > 0 || ttl_expire)); then
        local rules="table ip lab {"
        ((loss > 0)) && rules+="
    chain forward { type filter hook forward priority 0; policy accept; numgen random mod 100 < $loss drop; }"
        ((ttl_expire)) && rules+="
    chain prerouting { type filter hook prerouting priority -150; policy accept; iifname \"r0\" ip ttl set 1; }"
        rules+="
}"
        step "loading the router's rules" ip netns exec "$r" nft -f - <<<"$rules"
    fi

    step "waiting for the client link" wait_link "$c" c0
    step "waiting for the router's links" wait_link "$r" r0
    step "waiting for the router's links" wait_link "$r" r1
    step "waiting for the target link" wait_link "$t" t0
    step "checking the client's route" ip -n "$c" route get "$TARGET_ADDR"
    step "checking the target's route" ip -n "$t" route get "$CLIENT_ADDR"
    local pin=()
    if [[ -n $steer ]]; then
        step "steering the router's packets to processor $steer" steer_to "$r" "$steer" r0 r1
        step "steering the target's packets to processor $steer" steer_to "$t" "$steer" t0
        pin=(taskset -c "$steer")
    fi
    if [[ -n $cross ]]; then
        if [[ $shape == replies ]]; then
            step "starting the cross traffic" start_cross "$c" "$t" "$CLIENT_ADDR" "$cross" "$cross_burst" "${pin[@]}"
        else
            step "starting the cross traffic" start_cross "$t" "$c" "$TARGET_ADDR" "$cross" "$cross_burst" "${pin[@]}"
        fi
    fi
    return 0
}

# Receive packet steering: what arrives on the interfaces DEV... of namespace
# NS is handled on processor CPU.
steer_to() {
    local ns=$1 cpu=$2 dev script=""
    shift 2
    for dev in "$@"; do
        script+="printf '%x' $((1 << cpu)) > /sys/class/net/$dev/queues/rx-0/rps_cpus || exit 1;"
    done
    ip netns exec "$ns" sh -c "$script"
}

# Steady UDP traffic from namespace SRC to the iperf3 server in namespace SINK
# at SINK_ADDR, at MBIT Mbit/s in bursts every BURST_MS ms, each process
# started through the command that follows (taskset, or nothing).  Both are
# detached from the caller; `down` ends them with their namespaces.
start_cross() {
    local sink=$1 src=$2 sink_addr=$3 mbit=$4 burst_ms=$5 i
    shift 5  # what remains: a command that pins the processes
    ip netns exec "$sink" setsid "$@" iperf3 -s -p 5299 </dev/null >/dev/null 2>&1 {lock_fd}<&- &
    for ((i = 0; i < 200; i++)); do
        [[ $(ip netns exec "$sink" ss -Hltn 'sport = :5299' 2>/dev/null) == *5299* ]] && break
        sleep 0.01
    done
    ((i < 200)) || { echo "the iperf3 server did not start" >&2; return 1; }
    ip netns exec "$src" setsid "$@" iperf3 -c "$sink_addr" -p 5299 -u -b "${mbit}M" -l 1200 -t 86400 \
        --pacing-timer $((burst_ms * 1000)) </dev/null >/dev/null 2>&1 {lock_fd}<&- &
    # Flowing once the sink has received some of it.
    for ((i = 0; i < 300; i++)); do
        [[ $(ip netns exec "$sink" sh -c 'cat /sys/class/net/[ct]0/statistics/rx_packets' 2>/dev/null) -gt 20 ]] && return 0
        sleep 0.01
    done
    echo "no cross traffic arrived within 3 s" >&2
    return 1
}

cmd_down() {
    [[ $# -eq 1 ]] || usage
    valid_name "$1" || die "bad lab name '$1'"
    remove_lab "$1"
    clean_stale
    return 0
}

cmd_exec() {
    [[ $# -ge 3 ]] || usage
    local name=$1 role=$2
    shift 2
    valid_name "$name" || die "bad lab name '$name'"
    case $role in
    client) role=c ;;
    router) role=r ;;
    target) role=t ;;
    *) usage ;;
    esac
    ns_exists "$name-$role" || die "no lab $name (namespace $name-$role missing)"
    exec ip netns exec "$name-$role" "$@"
}

# The shaper's rate (bytes per second) and what it has sent (bytes), from
# tc's JSON: "RATE BYTES" for whichever router interface holds the tbf.
shaper_counters() {
    local r=$1-r dev
    for dev in r0 r1; do
        tc -n "$r" -j -s qdisc show dev "$dev" 2>/dev/null |
            grep -o '"kind":"tbf".*' | grep -o -e '"rate":[0-9]*' -e '"bytes":[0-9]*' |
            cut -d: -f2 | paste -sd' ' | grep . && return 0
    done
    return 1
}

cmd_free() {
    [[ $# -ge 1 && $# -le 2 ]] || usage
    local name=$1 seconds=${2:-2} rate b0 b1
    valid_name "$name" || die "bad lab name '$name'"
    [[ $seconds =~ ^[0-9]+(\.[0-9]+)?$ ]] || die "free wants seconds, not '$seconds'"
    read -r rate b0 < <(shaper_counters "$name") || die "lab $name has no bottleneck"
    sleep "$seconds"
    read -r _ b1 < <(shaper_counters "$name") || die "lab $name has no bottleneck"
    awk -v r="$rate" -v b=$((b1 - b0)) -v s="$seconds" 'BEGIN { printf "%.3f\n", (r - b / s) * 8 / 1e6 }'
}

[[ $# -ge 1 ]] || usage
command=$1
shift
case $command in
up) cmd_up "$@" ;;
down) cmd_down "$@" ;;
exec) cmd_exec "$@" ;;
addr) cmd_addr "$@" ;;
check) cmd_check "$@" ;;
free) cmd_free "$@" ;;
clean) [[ $# -eq 0 ]] || usage; clean_stale ;;
*) usage ;;
esac
