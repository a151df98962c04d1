#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# lab.sh - a three-host test network in network namespaces, for the suite's
# tests, tools and benchmarks.  Needs root; uses iproute2, tc, nftables and flock.
#
#   lab.sh up NAME [--rate MBIT] [--burst BYTES] [--shape replies|requests]
#                  [--police] [--narrow MBIT] [--cross MBIT] [--cross-burst MS]
#                  [--cross-kind steady|poisson|mix|onoff] [--cross-period MS]
#                  [--crossgen PATH]
#                  [--tcp N] [--steer CPU] [--loss PCT] [--loss-on replies|requests|both]
#                  [--echo-limit PPS] [--echo-burst N] [--ping-users]
#                  [--ttl-expire] [--no-echo]
#                           makes the lab and prints one line that says what it
#                           built (addresses, bottleneck, cross traffic, ...)
#   lab.sh up NAME --routers N [--hop-rate K:MBIT]... [--hop-cross K:MBIT]...
#                  [--silent K[,K...]] [--unlimited all|K[,K...]] [--ping-users]
#                           a path of N routers instead (see "A path of
#                           routers" below)
#   lab.sh down NAME        removes everything NAME made (never fails if already gone)
#   lab.sh exec NAME client|router|routerK|target CMD [ARGS...]
#   lab.sh addr [-4|-6] ROLE
#                           ROLE's address, IPv4 unless -6; ROLE is client,
#                           router, router-target, target or unheld
#   lab.sh addr             every role, one line each: ROLE IPV4 IPV6
#   lab.sh free NAME [SECONDS] [--ip BYTES]
#                           the loaded bottleneck's free rate in Mbit/s: its rate
#                           less what it passed per second over SECONDS
#                           (default 2), cross traffic and all, in link and in
#                           IP bits (see below)
#   lab.sh check            exit 0 if namespaces can be made here, else a message and 1
#   lab.sh clean            removes labs left behind by test processes that died
#
# Topology (nothing is added to the root namespace):
#
#   NAME-c (client)          NAME-r (router, forwarding)              NAME-t (target)
#   c0 198.18.0.1/24 ---- r0 198.18.0.254/24    r1 198.18.1.254/24 ---- t0 198.18.1.2/24
#      2001:2::1/64          2001:2::fe/64         2001:2:0:1::fe/64       2001:2:0:1::2/64
#
# Both families run on every link.  Client and target route everything
# through the router.  The neighbour entries of the four hosts are made
# permanent, so the first packet of a run does not wait for address
# resolution; 198.18.1.99 and 2001:2:0:1::99 belong to no host, and an echo
# request to either makes the router answer "Destination (Host|Address)
# Unreachable" once its resolution fails (about 3 s).  The router's ICMP and
# ICMPv6 error rate limits are off, so every expired or undeliverable packet
# gets its error message.  IPv6 is quiet: no duplicate address detection, no
# router solicitations or advertisements, no address autoconfiguration, no
# multicast listener reports; `up` returns once every address is usable.
#
#   --rate MBIT    token-bucket bottleneck on r0 (replies, target -> client);
#                  requests travel unshaped.  It holds both families.
#   --burst BYTES  bucket size of the bottleneck (default 1600: one packet at
#                  a time, so replies leave spaced at the configured rate;
#                  with --police, 4542: three full frames)
#   --shape requests
#                  the bottleneck on r1 instead (requests, client -> target);
#                  replies travel unshaped.  --shape replies is the default.
#   --police       the bottleneck is a policer instead of the shaper: the
#                  token bucket on r0 (r1 with --shape requests) passes what
#                  its tokens cover at once, holds at most one frame waiting
#                  for them, and drops the rest.  (nftables' byte limit would
#                  not serve: this kernel gives its bucket a second of the
#                  rate on top of the burst, so a policer of 50 Mbit/s would
#                  pass 6 MB at once, and no measurement shorter than a second
#                  would ever meet it.)
#   --narrow MBIT  a second, idle token-bucket hop of MBIT (below --rate),
#                  before the bottleneck on its direction: on the target's t0
#                  (replies), or the client's c0 with --shape requests.  Its
#                  bucket is --burst bytes (default one frame).  The cross
#                  traffic then comes from the router, so it loads the wider
#                  bottleneck only: a tight link that is not the narrow link.
#   --cross MBIT   steady UDP cross traffic of MBIT Mbit/s (iperf3 payload
#                  bits; 1200-byte datagrams) through the bottleneck, in its
#                  direction: target -> client, or client -> target with
#                  --shape requests (from the router with --narrow).  Runs
#                  until the lab goes down.
#   --cross-burst MS
#                  the cross traffic leaves in bursts every MS ms (at the same
#                  mean rate) instead of every millisecond
#   --cross-kind steady|poisson|mix|onoff
#                  the cross traffic comes from the suite's own sender,
#                  tsl_crossgen, at a mean of MBIT Mbit/s counted in IP bits
#                  (not iperf3's payload bits): steady in bursts every
#                  --cross-burst ms of 1228-byte datagrams; poisson, the same
#                  datagrams with exponential gaps; mix, exponential gaps and
#                  40, 576 and 1500 IP bytes in 7 : 4 : 1; onoff, paced at
#                  twice MBIT during on periods of 5 ms on average, silent
#                  during off periods of 5 ms on average (both exponential).
#                  A tsl_crossgen sink in the receiving namespace takes it in.
#   --cross-period MS
#                  onoff's on and off periods last MS ms on average, not 5
#   --crossgen PATH
#                  the tsl_crossgen program (default: $TSL_CROSSGEN, else
#                  tsl_crossgen on PATH)
#   --tcp N        N TCP bulk flows (iperf3, the kernel's default congestion
#                  control) through the bottleneck in its direction, from the
#                  same host as --cross, for as long as the lab is up: they
#                  keep its queue full and back off on loss, so the rate truly
#                  unused is near zero
#   --steer CPU    the router's and the target's packet work (and the cross
#                  traffic's processes) run on processor CPU, as on hosts of
#                  their own: a tool pinned to another processor then sends
#                  without the path's work interrupting it
#   --loss PCT     the router drops PCT % (0 to 100, in steps of 0.1) of the
#                  packets it forwards, at random
#   --loss-on replies|requests|both
#                  only those toward the client (replies), only those toward
#                  the target (requests), or both ways (the default)
#   --echo-limit PPS
#                  the target's input drops echo requests (ICMP type 8, ICMPv6
#                  type 128; each family on its own) above PPS a second, as
#                  hosts that rate-limit ICMP do
#   --echo-burst N the requests the target takes back to back before its
#                  limit bites (default 5)
#   --ping-users   ordinary users in the client may send echo requests through
#                  ICMP datagram sockets of both families: its
#                  net.ipv4.ping_group_range is 0 2147483647 (a new namespace
#                  has it closed, 1 0)
#   --ttl-expire   the router sets TTL 1 on IPv4 arriving from the client, so
#                  it answers "Time to live exceeded"
#   --no-echo      the target's kernel ignores echo requests of both families
#                  (for a scripted responder)
#
# `free` prints the loaded bottleneck's rate less what it passed per second
# over SECONDS, in Mbit/s (never the narrow hop's); its first word is the
# number a script reads:
#   - the shaper (tbf): bits at the link layer, as tc counts them (IP bytes
#     and 14 more per frame); with --ip BYTES, the IP bits of that free rate
#     carried in packets of BYTES IP bytes: free x BYTES / (BYTES + 14);
#   - the policer (--police) counts like the shaper: it is one.
# and then the other figure in words, the IP bits of 1500-byte packets when
# no --ip was given: "23.456 Mbit/s link, 23.237 Mbit/s IP in 1500-byte packets".
#
# `others` prints "SECONDS RATE PACKETS BYTES": the time, the bottleneck's
# rate in link bytes a second, and what of the lab's own cross traffic
# (--cross) has reached its sink, past the bottleneck, in packets and IP
# bytes.  Read before and after a run, it gives the free rate over that run.
#
# A path of routers (up NAME --routers N, N from 1 to 8): NAME-c, NAME-r1 ...
# NAME-rN and NAME-t in a line, hop 0 to hop N+1 as a route tracer counts
# them.  Link i (1 to N+1) joins hop i-1 and hop i: 198.18.i.0/24 and
# 2001:2:0:i::/64, where hop i is .1 (::1) and hop i-1 is .2 (::2).  So router
# K answers from 198.18.K.1, and the target is 198.18.(N+1).1.  Requests and
# replies take the same routers; only the requests' direction is shaped.
#   --hop-rate K:MBIT   a token bucket of MBIT (one frame of burst) on the link
#                       from router K to hop K+1
#   --hop-cross K:MBIT  steady UDP cross traffic of MBIT Mbit/s from router K
#                       to hop K+1 (through that link only)
#   --silent K,...      those routers never send "time exceeded"
#   --unlimited all|K,...
#                       those routers send their ICMP errors without limit;
#                       the others keep Linux's defaults (a burst of 6, then
#                       one a second to each destination)
#   --ping-users        as for the three-host lab
# `addr` does not know these addresses; `exec NAME routerK` runs in router K.
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
readonly CLIENT_ADDR6=2001:2::1
readonly ROUTER_CLIENT_ADDR6=2001:2::fe
readonly ROUTER_TARGET_ADDR6=2001:2:0:1::fe
readonly TARGET_ADDR6=2001:2:0:1::2
readonly UNHELD_ADDR6=2001:2:0:1::99
readonly ADDR_ROLES="client router router-target target unheld"
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
                     [--police] [--narrow MBIT] [--cross MBIT] [--cross-burst MS]
                     [--cross-kind steady|poisson|mix|onoff] [--cross-period MS] [--crossgen PATH]
                     [--tcp N] [--steer CPU] [--loss PCT] [--loss-on replies|requests|both]
                     [--echo-limit PPS] [--echo-burst N] [--ping-users]
                     [--ttl-expire] [--no-echo]
       $prog down NAME
       $prog exec NAME client|router|target CMD [ARGS...]
       $prog addr [-4|-6] client|router|router-target|target|unheld
       $prog addr
       $prog free NAME [SECONDS] [--ip BYTES]
       $prog others NAME
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
    for role in $ROLES $(path_roles "$name"); do
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

# Prints the address of ROLE (client, router, ...) in FAMILY (4 or 6); fails
# for a role that has none.
role_addr() {
    local family=$1 v4 v6
    case $2 in
    client) v4=$CLIENT_ADDR v6=$CLIENT_ADDR6 ;;
    router) v4=$ROUTER_CLIENT_ADDR v6=$ROUTER_CLIENT_ADDR6 ;;
    router-target) v4=$ROUTER_TARGET_ADDR v6=$ROUTER_TARGET_ADDR6 ;;
    target) v4=$TARGET_ADDR v6=$TARGET_ADDR6 ;;
    unheld) v4=$UNHELD_ADDR v6=$UNHELD_ADDR6 ;;
    *) return 1 ;;
    esac
    if [[ $family == 6 ]]; then echo "$v6"; else echo "$v4"; fi
}

cmd_addr() {
    local family=4 role
    if [[ $# -eq 0 ]]; then
        for role in $ADDR_ROLES; do
            echo "$role $(role_addr 4 "$role") $(role_addr 6 "$role")"
        done
        return 0
    fi
    case $1 in
    -4) shift ;;
    -6) family=6; shift ;;
    esac
    [[ $# -eq 1 ]] || usage
    role_addr "$family" "$1" || usage
}

cmd_check() {
    [[ $(id -u) -eq 0 ]] || die "network namespaces need root"
    local tool
    for tool in ip tc nft flock; do
        command -v "$tool" >/dev/null || die "$tool is not installed"
    done
    [[ -d /proc/sys/net/ipv6 ]] || die "this kernel has no IPv6"
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

# Waits up to about two seconds until no IPv6 address in namespace NS is
# still tentative, so every one of them can be used.
wait_v6_addresses() {
    local ns=$1 i
    for ((i = 0; i < 200; i++)); do
        [[ -z $(ip -n "$ns" -6 addr show tentative 2>/dev/null) ]] && return 0
        sleep 0.01
    done
    return 1
}

# Configures an end host: namespace NS, interface DEV with addresses ADDR/24
# and ADDR6/64, default routes via GATEWAY and GATEWAY6 whose MAC address is
# GATEWAY_MAC.
end_host() {
    local ns=$1 dev=$2 addr=$3 addr6=$4 gateway=$5 gateway6=$6 gateway_mac=$7
    ip -n "$ns" -batch - <<EOF
addr add $addr/24 dev $dev
addr add $addr6/64 dev $dev nodad
link set lo up
link set $dev up
neigh replace $gateway lladdr $gateway_mac nud permanent dev $dev
neigh replace $gateway6 lladdr $gateway_mac nud permanent dev $dev
route add default via $gateway dev $dev
route add default via $gateway6 dev $dev
EOF
}

# The queue limit of a token bucket of RATE Mbit/s and BURST bytes: about
# 50 ms at the rate, never less than 32 KiB, so a whole train of large
# replies always fits.
tbf_limit() {
    awk -v r="$1" -v b="$2" 'BEGIN { l = r * 1e6 / 8 * 0.05; if (l < 32768) l = 32768; printf "%d", l + b }'
}

# True if $1 is a positive number of Mbit/s as the options take it.
is_mbit() {
    [[ $1 =~ ^[0-9]{1,6}(\.[0-9]+)?$ ]] && awk -v r="$1" 'BEGIN { exit !(r > 0) }'
}

cmd_up() {
    [[ $# -ge 1 ]] || usage
    [[ " $* " == *" --routers "* ]] && { cmd_up_path "$@"; return; }
    local name=$1
    shift
    valid_name "$name" || die "bad lab name '$name' (letters, digits, _; at most 40)"
    local rate="" burst="" police=0 narrow="" loss=0 loss_on=both echo_limit="" echo_burst=5 ping_users=0
    local ttl_expire=0 no_echo=0 shape=replies cross="" cross_burst=1 steer=""
    local cross_kind="" cross_period=5 crossgen=${TSL_CROSSGEN:-} tcp_flows=0
    while [[ $# -gt 0 ]]; do
        case $1 in
        --rate) [[ $# -ge 2 ]] || usage; rate=$2; shift 2 ;;
        --burst) [[ $# -ge 2 ]] || usage; burst=$2; shift 2 ;;
        --shape) [[ $# -ge 2 ]] || usage; shape=$2; shift 2 ;;
        --police) police=1; shift ;;
        --narrow) [[ $# -ge 2 ]] || usage; narrow=$2; shift 2 ;;
        --cross) [[ $# -ge 2 ]] || usage; cross=$2; shift 2 ;;
        --cross-burst) [[ $# -ge 2 ]] || usage; cross_burst=$2; shift 2 ;;
        --cross-kind) [[ $# -ge 2 ]] || usage; cross_kind=$2; shift 2 ;;
        --cross-period) [[ $# -ge 2 ]] || usage; cross_period=$2; shift 2 ;;
        --crossgen) [[ $# -ge 2 ]] || usage; crossgen=$2; shift 2 ;;
        --tcp) [[ $# -ge 2 ]] || usage; tcp_flows=$2; shift 2 ;;
        --steer) [[ $# -ge 2 ]] || usage; steer=$2; shift 2 ;;
        --loss) [[ $# -ge 2 ]] || usage; loss=$2; shift 2 ;;
        --loss-on) [[ $# -ge 2 ]] || usage; loss_on=$2; shift 2 ;;
        --echo-limit) [[ $# -ge 2 ]] || usage; echo_limit=$2; shift 2 ;;
        --echo-burst) [[ $# -ge 2 ]] || usage; echo_burst=$2; shift 2 ;;
        --ping-users) ping_users=1; shift ;;
        --ttl-expire) ttl_expire=1; shift ;;
        --no-echo) no_echo=1; shift ;;
        *) usage ;;
        esac
    done
    if [[ -n $rate ]] && ! is_mbit "$rate"; then
        die "--rate wants a positive number of Mbit/s, not '$rate'"
    fi
    # A bucket smaller than a full frame (1514 bytes) would never pass one.
    if [[ -n $burst ]] && { ! [[ $burst =~ ^[0-9]{1,9}$ ]] || ((10#$burst < 1514)); }; then
        die "--burst wants at least 1514 bytes, not '$burst'"
    fi
    ((police)) && [[ -z $rate ]] && die "--police needs --rate, the rate it lets through"
    if [[ -n $narrow ]]; then
        is_mbit "$narrow" || die "--narrow wants a positive number of Mbit/s, not '$narrow'"
        [[ -n $rate ]] || die "--narrow needs --rate, the bottleneck it is narrower than"
        awk -v n="$narrow" -v r="$rate" 'BEGIN { exit !(n < r) }' ||
            die "--narrow wants a rate below --rate ($rate), not '$narrow'"
    fi
    # Tenths of a percent, as the drop rule counts them.
    local loss_permille
    if ! [[ $loss =~ ^[0-9]{1,3}(\.[0-9])?$ ]] || ! loss_permille=$(awk -v p="$loss" 'BEGIN {
            m = int(p * 10 + 0.5); if (m > 1000) exit 1; print m }'); then
        die "--loss wants a percentage 0..100 in steps of 0.1, not '$loss'"
    fi
    [[ $loss_on == replies || $loss_on == requests || $loss_on == both ]] ||
        die "--loss-on wants replies, requests or both, not '$loss_on'"
    if [[ -n $echo_limit ]] &&
        { ! [[ $echo_limit =~ ^[0-9]{1,7}$ ]] || ((10#$echo_limit < 1 || 10#$echo_limit > 1000000)); }; then
        die "--echo-limit wants a number of requests per second from 1 to 1000000, not '$echo_limit'"
    fi
    if ! [[ $echo_burst =~ ^[0-9]{1,5}$ ]] || ((10#$echo_burst < 1 || 10#$echo_burst > 10000)); then
        die "--echo-burst wants a number of requests from 1 to 10000, not '$echo_burst'"
    fi
    [[ $shape == replies || $shape == requests ]] || die "--shape wants replies or requests, not '$shape'"
    if [[ -n $cross ]]; then
        is_mbit "$cross" || die "--cross wants a positive number of Mbit/s, not '$cross'"
        [[ -n $cross_kind ]] || command -v iperf3 >/dev/null || die "--cross needs iperf3"
    fi
    check_traffic_options "$cross" "$cross_kind" "$crossgen" "$tcp_flows" || exit 1
    [[ -n $cross_kind && -z $crossgen ]] && crossgen=$(command -v tsl_crossgen)
    if ! [[ $cross_burst =~ ^[0-9]{1,4}$ ]] || ((10#$cross_burst < 1)); then
        die "--cross-burst wants a whole number of milliseconds from 1, not '$cross_burst'"
    fi
    if ! [[ $cross_period =~ ^[0-9]{1,4}$ ]] || ((10#$cross_period < 1)); then
        die "--cross-period wants a whole number of milliseconds from 1, not '$cross_period'"
    fi
    if [[ -n $steer ]] && ! { [[ $steer =~ ^[0-9]{1,4}$ ]] && ((10#$steer < $(nproc))); }; then
        die "--steer wants a processor number below $(nproc), not '$steer'"
    fi
    # The narrow hop's bucket is one frame unless --burst says otherwise.
    local narrow_burst=${burst:-1600}
    if [[ -z $burst ]]; then
        burst=1600
        ((police)) && burst=4542
    fi
    burst=$((10#$burst)) narrow_burst=$((10#$narrow_burst)) cross_burst=$((10#$cross_burst))
    [[ -n $echo_limit ]] && echo_limit=$((10#$echo_limit))
    echo_burst=$((10#$echo_burst))

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

    # IPv6 on but quiet, set before the interfaces exist so that they take it:
    # no duplicate address detection (nothing waits for it), no router
    # solicitations, no address autoconfiguration.
    local v6=() scope
    for scope in all default; do
        v6+=("net.ipv6.conf.$scope.disable_ipv6=0" "net.ipv6.conf.$scope.accept_dad=0"
             "net.ipv6.conf.$scope.dad_transmits=0" "net.ipv6.conf.$scope.accept_ra=0"
             "net.ipv6.conf.$scope.router_solicitations=0" "net.ipv6.conf.$scope.autoconf=0")
    done
    local client_settings=("${v6[@]}")
    ((ping_users)) && client_settings+=("net.ipv4.ping_group_range=0 2147483647")
    step "configuring $c" ns_sysctls "$c" "${client_settings[@]}"
    # An empty ICMPv6 rate mask: no error message of the router is held back.
    step "configuring $r" ns_sysctls "$r" "${v6[@]}" net.ipv4.ip_forward=1 net.ipv4.icmp_ratemask=0 \
        net.ipv4.conf.all.send_redirects=0 net.ipv4.conf.default.send_redirects=0 \
        net.ipv6.conf.all.forwarding=1 net.ipv6.icmp.ratemask=
    step "configuring $t" ns_sysctls "$t" "${v6[@]}" "net.ipv4.icmp_echo_ignore_all=$no_echo" \
        "net.ipv6.icmp.echo_ignore_all=$no_echo"

    for role in $ROLES; do
        step "silencing $name-$role's multicast listener reports" quiet_mld "$name-$role"
    done

    step "creating the client link" ip -n "$c" link add c0 address "$MAC_C0" type veth \
        peer name r0 address "$MAC_R0" netns "$r"
    step "creating the target link" ip -n "$t" link add t0 address "$MAC_T0" type veth \
        peer name r1 address "$MAC_R1" netns "$r"

    step "configuring the client" end_host "$c" c0 "$CLIENT_ADDR" "$CLIENT_ADDR6" \
        "$ROUTER_CLIENT_ADDR" "$ROUTER_CLIENT_ADDR6" "$MAC_R0"
    step "configuring the router" ip -n "$r" -batch - <<BATCH
addr add $ROUTER_CLIENT_ADDR/24 dev r0
addr add $ROUTER_TARGET_ADDR/24 dev r1
addr add $ROUTER_CLIENT_ADDR6/64 dev r0 nodad
addr add $ROUTER_TARGET_ADDR6/64 dev r1 nodad
link set lo up
link set r0 up
link set r1 up
neigh replace $CLIENT_ADDR lladdr $MAC_C0 nud permanent dev r0
neigh replace $TARGET_ADDR lladdr $MAC_T0 nud permanent dev r1
neigh replace $CLIENT_ADDR6 lladdr $MAC_C0 nud permanent dev r0
neigh replace $TARGET_ADDR6 lladdr $MAC_T0 nud permanent dev r1
BATCH
    step "configuring the target" end_host "$t" t0 "$TARGET_ADDR" "$TARGET_ADDR6" \
        "$ROUTER_TARGET_ADDR" "$ROUTER_TARGET_ADDR6" "$MAC_R1"

    # The bottleneck's interface: toward the client for replies, toward the
    # target for requests; the narrow hop sits on the sender's side of it.
    local shaped=r0 narrow_ns=$t narrow_dev=t0
    [[ $shape == requests ]] && shaped=r1 narrow_ns=$c narrow_dev=c0
    if [[ -n $rate ]]; then
        # A policer's queue holds one frame: what the tokens do not cover is dropped.
        local limit
        limit=$(tbf_limit "$rate" "$burst")
        ((police)) && limit=1514
        step "shaping $shaped" tc -n "$r" qdisc add dev "$shaped" root tbf rate "${rate}mbit" burst "$burst" \
            limit "$limit"
    fi
    if [[ -n $narrow ]]; then
        step "shaping $narrow_dev" tc -n "$narrow_ns" qdisc add dev "$narrow_dev" root tbf rate "${narrow}mbit" \
            burst "$narrow_burst" limit "$(tbf_limit "$narrow" "$narrow_burst")"
    fi

    if ((loss_permille > 0 || ttl_expire)); then
        step "loading the router's rules" ip netns exec "$r" nft -f - \
            <<<"$(router_rules "$loss_permille" "$loss_on" "$ttl_expire")"
    fi
    if [[ -n $echo_limit ]]; then
        step "loading the target's echo limit" ip netns exec "$t" nft -f - \
            <<<"$(echo_limit_rules "$echo_limit" "$echo_burst")"
    fi

    step "waiting for the client link" wait_link "$c" c0
    step "waiting for the router's links" wait_link "$r" r0
    step "waiting for the router's links" wait_link "$r" r1
    step "waiting for the target link" wait_link "$t" t0
    for role in $ROLES; do
        step "waiting for the IPv6 addresses of $name-$role" wait_v6_addresses "$name-$role"
    done
    step "checking the client's route" ip -n "$c" route get "$TARGET_ADDR"
    step "checking the target's route" ip -n "$t" route get "$CLIENT_ADDR"
    step "checking the client's IPv6 route" ip -n "$c" route get "$TARGET_ADDR6"
    step "checking the target's IPv6 route" ip -n "$t" route get "$CLIENT_ADDR6"
    local pin=()
    if [[ -n $steer ]]; then
        step "steering the router's packets to processor $steer" steer_to "$r" "$steer" r0 r1
        step "steering the target's packets to processor $steer" steer_to "$t" "$steer" t0
        pin=(taskset -c "$steer")
    fi
    if [[ -n $cross ]]; then
        local sink=$c src=$t sink_addr=$CLIENT_ADDR
        [[ $shape == requests ]] && sink=$t src=$c sink_addr=$TARGET_ADDR
        # From the router, the cross traffic passes the bottleneck but not
        # the narrow hop before it.
        [[ -n $narrow ]] && src=$r
        if [[ -n $cross_kind ]]; then
            step "starting the cross traffic" start_crossgen "$sink" "$src" "$sink_addr" "$cross" "$cross_kind" \
                "$cross_burst" "$cross_period" "$crossgen" "${pin[@]}"
        else
            step "starting the cross traffic" start_cross "$sink" "$src" "$sink_addr" "$cross" "$cross_burst" "${pin[@]}"
        fi
    fi
    if ((tcp_flows > 0)); then
        local sink=$c src=$t sink_addr=$CLIENT_ADDR
        [[ $shape == requests ]] && sink=$t src=$c sink_addr=$TARGET_ADDR
        [[ -n $narrow ]] && src=$r
        step "starting the TCP flows" start_tcp "$sink" "$src" "$sink_addr" "$tcp_flows" "${pin[@]}"
    fi
    describe_lab "$name" "$rate" "$police" "$shape" "$narrow" "$cross" "$loss" "$loss_on" "$echo_limit" \
        "$ping_users" "$ttl_expire" "$no_echo"
    return 0
}

# The one line `up` prints: what it built, e.g. "lab NAME: client 198.18.0.1
# -> target 198.18.1.2, 50 Mbit/s, 20 Mbit/s cross".
describe_lab() {
    local name=$1 rate=$2 police=$3 shape=$4 narrow=$5 cross=$6 loss=$7 loss_on=$8 echo_limit=$9
    local ping_users=${10} ttl_expire=${11} no_echo=${12}
    local line="lab $name: client $CLIENT_ADDR -> target $TARGET_ADDR"
    if [[ -n $rate ]]; then
        line+=", $rate Mbit/s"
        ((police)) && line+=" policed"
        [[ $shape == requests ]] && line+=" on the requests" || line+=" on the replies"
    else
        line+=", no bottleneck"
    fi
    [[ -n $narrow ]] && line+=", a $narrow Mbit/s hop before it"
    [[ -n $cross ]] && line+=", $cross Mbit/s cross"
    [[ $loss != 0 ]] && line+=", $loss % loss ($loss_on)"
    [[ -n $echo_limit ]] && line+=", echo replies limited to $echo_limit a second"
    ((ping_users)) && line+=", datagram ICMP sockets for every user"
    ((ttl_expire)) && line+=", TTL expires at the router"
    ((no_echo)) && line+=", the target's kernel ignores echo requests"
    echo "$line"
}

# Multicast listener reports would go out on every link as the addresses come
# up and again within a second; nothing here listens for them (each link joins
# two hosts), so every namespace drops its own.  The table is the one the
# other rules of the lab join.
quiet_mld() {
    ip netns exec "$1" nft -f - <<'NFT'
table inet lab {
    chain quiet {
        type filter hook output priority 0; policy accept;
        icmpv6 type { mld-listener-report, mld-listener-done, mld2-listener-report } drop
    }
}
NFT
}

# The lab's own cross traffic (UDP to ports 5299 and 5300) as it arrives in
# namespace NS, its sink, past the bottleneck: `others` reads the count.
count_others() {
    ip netns exec "$1" nft -f - <<'NFT'
table inet lab {
    counter others { }
    chain others_in {
        type filter hook input priority 0; policy accept;
        udp dport { 5299, 5300 } counter name "others"
    }
}
NFT
}

# The router's nftables rules: random loss of LOSS_PERMILLE tenths of a
# percent on LOSS_ON (replies, requests or both), TTL 1 on what arrives from
# the client (TTL_EXPIRE 1).
router_rules() {
    local loss_permille=$1 loss_on=$2 ttl_expire=$3 match=""
    [[ $loss_on == replies ]] && match='oifname "r0" '
    [[ $loss_on == requests ]] && match='oifname "r1" '
    echo "table inet lab {"
    if ((loss_permille > 0)); then
        cat <<NFT
    counter lost {
    }
    chain forward {
        type filter hook forward priority 0; policy accept;
        ${match}numgen random mod 1000 < $loss_permille counter name "lost" drop
    }
NFT
    fi
    if ((ttl_expire)); then
        cat <<'NFT'
    chain prerouting {
        type filter hook prerouting priority -150; policy accept;
        iifname "r0" ip ttl set 1
    }
NFT
    fi
    echo "}"
}

# The target's limit of PPS echo requests a second after a burst of BURST,
# for each family.
echo_limit_rules() {
    local pps=$1 burst=$2
    cat <<NFT
table inet lab {
    counter echo_dropped {
    }
    chain input {
        type filter hook input priority 0; policy accept;
        icmp type echo-request limit rate over $pps/second burst $burst packets counter name "echo_dropped" drop
        icmpv6 type echo-request limit rate over $pps/second burst $burst packets counter name "echo_dropped" drop
    }
}
NFT
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
    count_others "$sink" || return 1
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

# Checks --cross-kind, --crossgen and --tcp (CROSS KIND CROSSGEN FLOWS) and
# says what is wrong.
check_traffic_options() {
    local cross=$1 kind=$2 crossgen=$3 flows=$4
    if [[ -n $kind ]]; then
        [[ $kind == steady || $kind == poisson || $kind == mix || $kind == onoff ]] ||
            { echo "$prog: --cross-kind wants steady, poisson, mix or onoff, not '$kind'" >&2; return 1; }
        [[ -n $cross ]] || { echo "$prog: --cross-kind needs --cross, the mean rate" >&2; return 1; }
        [[ -n $crossgen ]] || crossgen=$(command -v tsl_crossgen) ||
            { echo "$prog: --cross-kind needs tsl_crossgen (--crossgen PATH or TSL_CROSSGEN)" >&2; return 1; }
        [[ -x $crossgen ]] || { echo "$prog: tsl_crossgen '$crossgen' is not a program" >&2; return 1; }
    fi
    if ! [[ $flows =~ ^[0-9]{1,2}$ ]] || ((10#$flows > 32)); then
        echo "$prog: --tcp wants a number of flows from 0 to 32, not '$flows'" >&2
        return 1
    fi
    if ((10#$flows > 0)) && ! command -v iperf3 >/dev/null; then
        echo "$prog: --tcp needs iperf3" >&2
        return 1
    fi
    return 0
}

# Cross traffic of the suite's own sender from namespace SRC to a sink in
# namespace SINK at SINK_ADDR: MBIT Mbit/s of IP bits of KIND, steady ones in
# bursts every BURST_MS ms, on-off ones in periods of PERIOD_MS ms on
# average, the program at CROSSGEN, each process started
# through the command that follows (taskset, or nothing).
start_crossgen() {
    local sink=$1 src=$2 sink_addr=$3 mbit=$4 kind=$5 burst_ms=$6 period_ms=$7 crossgen=$8 i
    shift 8
    count_others "$sink" || return 1
    ip netns exec "$sink" setsid "$@" "$crossgen" sink --port 5300 </dev/null >/dev/null 2>&1 {lock_fd}<&- &
    for ((i = 0; i < 200; i++)); do
        [[ $(ip netns exec "$sink" ss -Hlun 'sport = :5300' 2>/dev/null) == *5300* ]] && break
        sleep 0.01
    done
    ((i < 200)) || { echo "the cross-traffic sink did not start" >&2; return 1; }
    ip netns exec "$src" setsid "$@" "$crossgen" send "$sink_addr" --port 5300 --rate "$mbit" --kind "$kind" \
        --tick "$burst_ms" --on "$period_ms" --off "$period_ms" --seed "$RANDOM" </dev/null >/dev/null 2>&1 {lock_fd}<&- &
    wait_arrivals "$sink" 20 || { echo "no cross traffic arrived within 3 s" >&2; return 1; }
}

# FLOWS TCP bulk flows from namespace SRC to an iperf3 server in namespace
# SINK at SINK_ADDR, started through the command that follows.
start_tcp() {
    local sink=$1 src=$2 sink_addr=$3 flows=$4 i
    shift 4
    ip netns exec "$sink" setsid "$@" iperf3 -s -p 5298 </dev/null >/dev/null 2>&1 {lock_fd}<&- &
    for ((i = 0; i < 200; i++)); do
        [[ $(ip netns exec "$sink" ss -Hltn 'sport = :5298' 2>/dev/null) == *5298* ]] && break
        sleep 0.01
    done
    ((i < 200)) || { echo "the iperf3 server for the TCP flows did not start" >&2; return 1; }
    ip netns exec "$src" setsid "$@" iperf3 -c "$sink_addr" -p 5298 -P "$flows" -t 86400 \
        </dev/null >/dev/null 2>&1 {lock_fd}<&- &
    wait_arrivals "$sink" 100 || { echo "no TCP traffic arrived within 3 s" >&2; return 1; }
}

# True once namespace NS has received more than PACKETS packets on its link
# to the router (waits at most 3 s).
wait_arrivals() {
    local ns=$1 packets=$2 i
    for ((i = 0; i < 300; i++)); do
        [[ $(ip netns exec "$ns" sh -c 'cat /sys/class/net/[ct]0/statistics/rx_packets' 2>/dev/null) -gt $packets ]] &&
            return 0
        sleep 0.01
    done
    return 1
}

# ---- A path of routers ------------------------------------------------------------
# The routers' namespace roles (r1, r2, ...) a path lab NAME has.
path_roles() {
    local path
    for path in /run/netns/"$1"-r[1-8]; do
        [[ -e $path ]] && echo "${path##*-}"
    done
}

# A list of router numbers from 1 to N (K,K,...), checked; printed one a line.
router_list() {
    local list=$1 n=$2 k
    [[ $list =~ ^[1-8](,[1-8])*$ ]] || return 1
    for k in ${list//,/ }; do
        ((k <= n)) || return 1
        echo "$k"
    done
}

# Configures hop I of a path of N routers in namespace NS: its interfaces p0
# (toward the client, link I) and n0 (toward the target, link I+1), routes
# toward the client's side through p0 and the rest through n0.
path_node() {
    local ns=$1 i=$2 n=$3 j
    {
        echo "link set lo up"
        if ((i > 0)); then
            echo "addr add 198.18.$i.1/24 dev p0"
            echo "addr add 2001:2:0:$i::1/64 dev p0 nodad"
            echo "link set p0 up"
            for ((j = 1; j < i; j++)); do
                echo "route add 198.18.$j.0/24 via 198.18.$i.2 dev p0"
                echo "route add 2001:2:0:$j::/64 via 2001:2:0:$i::2 dev p0"
            done
        fi
        if ((i <= n)); then
            echo "addr add 198.18.$((i + 1)).2/24 dev n0"
            echo "addr add 2001:2:0:$((i + 1))::2/64 dev n0 nodad"
            echo "link set n0 up"
            echo "route add default via 198.18.$((i + 1)).1 dev n0"
            echo "route add default via 2001:2:0:$((i + 1))::1 dev n0"
        else
            echo "route add default via 198.18.$i.2 dev p0"
            echo "route add default via 2001:2:0:$i::2 dev p0"
        fi
    } | ip -n "$ns" -batch -
}

# Router K drops its own "time exceeded" messages.
path_silence() {
    ip netns exec "$1" nft -f - <<'NFT'
table inet lab {
    chain silent {
        type filter hook output priority 0; policy accept;
        icmp type time-exceeded drop
        icmpv6 type time-exceeded drop
    }
}
NFT
}

# UDP cross traffic of MBIT Mbit/s from namespace SRC to an iperf3 server in
# SINK at SINK_ADDR; running once the sink has received some of it.
path_cross() {
    local sink=$1 src=$2 sink_addr=$3 mbit=$4 i
    ip netns exec "$sink" setsid iperf3 -s -p 5299 </dev/null >/dev/null 2>&1 {lock_fd}<&- &
    for ((i = 0; i < 200; i++)); do
        [[ $(ip netns exec "$sink" ss -Hltn 'sport = :5299' 2>/dev/null) == *5299* ]] && break
        sleep 0.01
    done
    ((i < 200)) || { echo "the iperf3 server did not start" >&2; return 1; }
    ip netns exec "$src" setsid iperf3 -c "$sink_addr" -p 5299 -u -b "${mbit}M" -l 1200 -t 86400 \
        --pacing-timer 1000 </dev/null >/dev/null 2>&1 {lock_fd}<&- &
    for ((i = 0; i < 300; i++)); do
        (($(ip netns exec "$sink" cat /sys/class/net/p0/statistics/rx_packets 2>/dev/null || echo 0) > 20)) && return 0
        sleep 0.01
    done
    echo "no cross traffic arrived within 3 s" >&2
    return 1
}

cmd_up_path() {
    local name=$1
    shift
    valid_name "$name" || die "bad lab name '$name' (letters, digits, _; at most 40)"
    local n="" rates=() crosses=() silent="" unlimited="" ping_users=0 entry k rate
    while [[ $# -gt 0 ]]; do
        case $1 in
        --routers) [[ $# -ge 2 ]] || usage; n=$2; shift 2 ;;
        --hop-rate) [[ $# -ge 2 ]] || usage; rates+=("$2"); shift 2 ;;
        --hop-cross) [[ $# -ge 2 ]] || usage; crosses+=("$2"); shift 2 ;;
        --silent) [[ $# -ge 2 ]] || usage; silent=$2; shift 2 ;;
        --unlimited) [[ $# -ge 2 ]] || usage; unlimited=$2; shift 2 ;;
        --ping-users) ping_users=1; shift ;;
        *) usage ;;
        esac
    done
    [[ $n =~ ^[1-8]$ ]] || die "--routers wants a number of routers from 1 to 8, not '$n'"
    for entry in "${rates[@]}" "${crosses[@]}"; do
        [[ $entry =~ ^([1-8]):(.+)$ ]] && ((BASH_REMATCH[1] <= n)) && is_mbit "${BASH_REMATCH[2]}" ||
            die "--hop-rate and --hop-cross want ROUTER:MBIT with ROUTER from 1 to $n, not '$entry'"
    done
    ((${#crosses[@]} == 0)) || command -v iperf3 >/dev/null || die "--hop-cross needs iperf3"
    local silent_list="" open_list=""
    if [[ -n $silent ]]; then
        silent_list=$(router_list "$silent" "$n") || die "--silent wants router numbers from 1 to $n, not '$silent'"
    fi
    if [[ $unlimited == all ]]; then
        open_list=$(seq 1 "$n")
    elif [[ -n $unlimited ]]; then
        open_list=$(router_list "$unlimited" "$n") ||
            die "--unlimited wants all or router numbers from 1 to $n, not '$unlimited'"
    fi

    lock_labs -s
    local role roles=(c t)
    for ((k = 1; k <= n; k++)); do roles+=("r$k"); done
    for role in "${roles[@]}" r; do
        ns_exists "$name-$role" && die "lab $name exists already (namespace $name-$role)"
    done
    trap 'remove_lab "$name"; exit 1' INT TERM HUP
    pstep() {
        local what=$1 err
        shift
        if ! err=$("$@" 2>&1); then
            remove_lab "$name"
            die "up $name: $what failed${err:+: $err}"
        fi
    }
    # Hop i's namespace.
    local ns=("$name-c")
    for ((k = 1; k <= n; k++)); do ns+=("$name-r$k"); done
    ns+=("$name-t")
    local v6=() scope i
    for scope in all default; do
        v6+=("net.ipv6.conf.$scope.disable_ipv6=0" "net.ipv6.conf.$scope.accept_dad=0"
             "net.ipv6.conf.$scope.dad_transmits=0" "net.ipv6.conf.$scope.accept_ra=0"
             "net.ipv6.conf.$scope.router_solicitations=0" "net.ipv6.conf.$scope.autoconf=0")
    done
    for ((i = 0; i <= n + 1; i++)); do
        pstep "creating namespace ${ns[i]}" ip netns add "${ns[i]}"
        local settings=("${v6[@]}")
        ((i == 0 && ping_users)) && settings+=("net.ipv4.ping_group_range=0 2147483647")
        ((i >= 1 && i <= n)) && settings+=(net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1
            net.ipv4.conf.all.send_redirects=0 net.ipv4.conf.default.send_redirects=0)
        if ((i >= 1 && i <= n)) && grep -qx "$i" <<<"$open_list"; then
            settings+=(net.ipv4.icmp_ratemask=0 net.ipv6.icmp.ratemask=)
        fi
        pstep "configuring ${ns[i]}" ns_sysctls "${ns[i]}" "${settings[@]}"
        pstep "silencing ${ns[i]}'s multicast listener reports" quiet_mld "${ns[i]}"
    done
    for ((i = 1; i <= n + 1; i++)); do
        pstep "creating link $i" ip -n "${ns[i - 1]}" link add n0 type veth peer name p0 netns "${ns[i]}"
    done
    for ((i = 0; i <= n + 1; i++)); do
        pstep "configuring ${ns[i]}" path_node "${ns[i]}" "$i" "$n"
    done
    for entry in "${rates[@]}"; do
        k=${entry%%:*} rate=${entry#*:}
        pstep "shaping router $k" tc -n "${ns[k]}" qdisc add dev n0 root tbf rate "${rate}mbit" burst 1600 \
            limit "$(tbf_limit "$rate" 1600)"
    done
    for k in $silent_list; do
        pstep "silencing router $k" path_silence "${ns[k]}"
    done
    for ((i = 0; i <= n + 1; i++)); do
        ((i > 0)) && pstep "waiting for ${ns[i]}'s links" wait_link "${ns[i]}" p0
        ((i <= n)) && pstep "waiting for ${ns[i]}'s links" wait_link "${ns[i]}" n0
        pstep "waiting for the IPv6 addresses of ${ns[i]}" wait_v6_addresses "${ns[i]}"
    done
    # One echo each way resolves every neighbour on the path before a run.
    pstep "reaching the target" ip netns exec "${ns[0]}" ping -c 1 -W 2 "198.18.$((n + 1)).1"
    pstep "reaching the target over IPv6" ip netns exec "${ns[0]}" ping -6 -c 1 -W 2 "2001:2:0:$((n + 1))::1"
    for entry in "${crosses[@]}"; do
        k=${entry%%:*} rate=${entry#*:}
        pstep "starting the cross traffic of router $k" path_cross "${ns[k + 1]}" "${ns[k]}" "198.18.$((k + 1)).1" "$rate"
    done
    return 0
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
    router[1-8]) role=r${role#router} ;;
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
    [[ $# -ge 1 ]] || usage
    local name=$1 seconds="" ip_bytes="" rate b0 b1
    shift
    while [[ $# -gt 0 ]]; do
        case $1 in
        --ip) [[ $# -ge 2 ]] || usage; ip_bytes=$2; shift 2 ;;
        *) [[ -z $seconds ]] || usage; seconds=$1; shift ;;
        esac
    done
    valid_name "$name" || die "bad lab name '$name'"
    seconds=${seconds:-2}
    if ! [[ $seconds =~ ^[0-9]{1,4}(\.[0-9]+)?$ ]] || ! awk -v s="$seconds" 'BEGIN { exit !(s > 0 && s <= 3600) }'; then
        die "free wants a number of seconds above 0, at most 3600, not '$seconds'"
    fi
    if [[ -n $ip_bytes ]] &&
        { ! [[ $ip_bytes =~ ^[0-9]{1,5}$ ]] || ((10#$ip_bytes < 28 || 10#$ip_bytes > 1500)); }; then
        die "--ip wants the probe packets' size, 28 to 1500 IP bytes, not '$ip_bytes'"
    fi
    # The token bucket counts link-layer bytes, 14 more per frame than IP.
    # The bytes are divided by the time between the two readings, not by
    # SECONDS: each reading takes tens of milliseconds on a slow machine
    # (tc in the namespace and its pipe), which SECONDS alone would count as
    # others' traffic (over 2 s, 3 % more than they sent here).
    local t0 t1
    read -r rate b0 < <(shaper_counters "$name") || die "lab $name has no bottleneck"
    t0=$(date +%s.%N)
    sleep "$seconds"
    read -r _ b1 < <(shaper_counters "$name") || die "lab $name has no bottleneck"
    t1=$(date +%s.%N)
    awk -v r="$rate" -v b=$((b1 - b0)) -v t0="$t0" -v t1="$t1" -v l="${ip_bytes:-1500}" -v ip="${ip_bytes:+1}" 'BEGIN {
        link = (r - b / (t1 - t0)) * 8 / 1e6; inip = link * l / (l + 14)
        if (ip) printf "%.3f Mbit/s IP in %d-byte packets, %.3f Mbit/s link\n", inip, l, link
        else printf "%.3f Mbit/s link, %.3f Mbit/s IP in %d-byte packets\n", link, inip, l }'
}

# One line: the time (seconds since the epoch), the bottleneck's rate in
# link bytes a second, and the packets and IP bytes of the lab's own cross
# traffic that have reached its sink so far (0 0 without such traffic).
# Two readings around a run give the free rate over that run, for cross
# traffic that does not yield: rate less (bytes + 14 x packets) / time.
cmd_others() {
    [[ $# -eq 1 ]] || usage
    local name=$1 rate role counts=""
    valid_name "$name" || die "bad lab name '$name'"
    read -r rate _ < <(shaper_counters "$name") || die "lab $name has no bottleneck"
    for role in c t; do
        counts=$(ip netns exec "$name-$role" nft -j list counter inet lab others 2>/dev/null |
            grep -o -e '"packets": *[0-9]*' -e '"bytes": *[0-9]*' | grep -o '[0-9]*$' | paste -sd' ') && [[ -n $counts ]] && break
    done
    echo "$(date +%s.%N) $rate ${counts:-0 0}"
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
others) cmd_others "$@" ;;
clean) [[ $# -eq 0 ]] || usage; clean_stale ;;
*) usage ;;
esac
