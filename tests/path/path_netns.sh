#!/usr/bin/env bash
# The path report against a real chain of routers: network namespaces made here and removed on
# exit, whatever happens. Every packet stays inside them.
#
#   client -- r1 -- r2 -- target        (target's address sits on its loopback)
#               \-- r3 --/              (the other way, used once the test swaps r2 for r3)
#
# Cases: the hops in order with their addresses (IPv4 and IPv6, datagram and raw sockets); loss
# made at r2 shows at hops 2 and 3 and not at 1, and agrees with mtr run at the same time; r2
# dropping most of its own "time exceeded" shows "limits its replies" at hop 2 and no loss at
# hop 3; a change of route in the middle of a run is reported.
#
#   path_netns.sh VANTOREL    (as root; exit 77 when it cannot run here)
set -uo pipefail

program=${1:?usage: path_netns.sh VANTOREL}
[ "$(id -u)" -eq 0 ] || { echo "needs root for network namespaces"; exit 77; }
for tool in ip nft mtr; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed"; exit 77; }
done

id=path$$
C=vc$id R1=vr1$id R2=vr2$id R3=vr3$id T=vt$id
all=("$C" "$R1" "$R2" "$R3" "$T")
cleanup() {
    for ns in "${all[@]}"; do ip netns del "$ns" 2>/dev/null; done
    rm -rf "/etc/netns/$C"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
in_ns() { ip netns exec "$@"; }

setup() {
    local ns
    for ns in "${all[@]}"; do
        ip netns add "$ns" || return 1
        ip -n "$ns" link set lo up
        # Routers answer every expired request: the kernel's own rate limit stays out of it.
        # The target answers on whichever link a request came in, whatever its route back.
        in_ns "$ns" sysctl -qw net.ipv4.icmp_ratelimit=0 net.ipv6.icmp.ratelimit=0 \
            net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1 \
            net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0 || return 1
    done
    # link <ns1> <ns2> <net>: a veth pair, .1 / ::1 on the first side, .2 / ::2 on the second.
    link() {
        local a=$1 b=$2 n=$3
        ip link add "l$n$id" netns "$a" type veth peer name "m$n$id" netns "$b" || return 1
        ip -n "$a" addr add "198.18.$n.1/24" dev "l$n$id"
        ip -n "$b" addr add "198.18.$n.2/24" dev "m$n$id"
        ip -n "$a" addr add "fd5a:$n::1/64" dev "l$n$id" nodad
        ip -n "$b" addr add "fd5a:$n::2/64" dev "m$n$id" nodad
        ip -n "$a" link set "l$n$id" up
        ip -n "$b" link set "m$n$id" up
    }
    link "$C" "$R1" 1 && link "$R1" "$R2" 2 && link "$R2" "$T" 3 && link "$R1" "$R3" 4 &&
        link "$R3" "$T" 5 || return 1
    ip -n "$T" addr add 198.18.9.1/32 dev lo
    ip -n "$T" addr add fd5a:9::1/128 dev lo
    route() { # <ns> <v4 dest> <v4 via> <v6 dest> <v6 via>
        ip -n "$1" route add "$2" via "$3" && ip -n "$1" -6 route add "$4" via "$5"
    }
    route "$C" 198.18.0.0/16 198.18.1.2 fd5a::/16 fd5a:1::2 &&
        route "$R1" 198.18.9.1 198.18.2.2 fd5a:9::1 fd5a:2::2 &&
        route "$R1" 198.18.3.0/24 198.18.2.2 fd5a:3::/64 fd5a:2::2 &&
        route "$R1" 198.18.5.0/24 198.18.4.2 fd5a:5::/64 fd5a:4::2 &&
        route "$R2" default 198.18.2.1 default fd5a:2::1 &&
        route "$R2" 198.18.9.1 198.18.3.2 fd5a:9::1 fd5a:3::2 &&
        route "$R3" default 198.18.4.1 default fd5a:4::1 &&
        route "$R3" 198.18.9.1 198.18.5.2 fd5a:9::1 fd5a:5::2 &&
        route "$T" default 198.18.3.1 default fd5a:3::1 || return 1
    # The client's names come from a hosts file of its own, and its name server is its own
    # loopback, where nothing listens: a reverse lookup sends nothing anywhere.
    mkdir -p "/etc/netns/$C"
    printf '198.18.1.2 r1.path.test\nfd5a:1::2 r1.path.test\n' >"/etc/netns/$C/hosts"
    echo "nameserver 127.0.0.1" >"/etc/netns/$C/resolv.conf"
    # Wait until both families reach the target end to end (a path report that ends there): a
    # fresh chain's IPv6 neighbours and routes can take a few seconds to settle.
    local try target
    for target in 198.18.9.1 fd5a:9::1; do
        for try in $(seq 40); do
            in_ns "$C" "$program" --path "$target" --count 1 --interval 0.1 --format csv 2>/dev/null |
                tr -d '\r' | grep -q "^3,$target," && break
            sleep 0.5
        done
    done
    return 0
}

# datagram | raw: which socket the client's processes get (root may always open a raw one;
# with the ping group range open to it, the program prefers a datagram socket).
sockets() {
    if [ "$1" = datagram ]; then
        in_ns "$C" sysctl -qw net.ipv4.ping_group_range="0 2147483647"
    else
        in_ns "$C" sysctl -qw net.ipv4.ping_group_range="1 0"
    fi
}

# csv_field <csv> <hop> <column number>
csv_field() { printf '%s\n' "$1" | tr -d '\r' | awk -F, -v h="$2" -v c="$3" '$1 == h { print $c }'; }
# json_hop <json> <hop>: that hop's object
json_hop() { printf '%s\n' "$1" | sed 's/{"hop":/\n&/g' | grep "^{\"hop\":$2,"; }
# lt <a> <b>: a < b as numbers
lt() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }

case_hops() {
    local family mode target out
    for family in 4 6; do
        for mode in datagram raw; do
            sockets "$mode"
            if [ "$family" = 4 ]; then
                target=198.18.9.1 expected=(198.18.1.2 198.18.2.2 198.18.9.1)
            else
                target=fd5a:9::1 expected=(fd5a:1::2 fd5a:2::2 fd5a:9::1)
            fi
            out=$(in_ns "$C" "$program" --path "$target" --count 5 --interval 0.1 --format csv)
            local status=$?
            echo "--- IPv$family $mode:"
            echo "$out"
            [ "$status" -eq 0 ] || { fail "IPv$family $mode: exit $status"; continue; }
            [ "$(printf '%s\n' "$out" | head -1 | tr -d '\r')" = \
                "hop,address,name,sent,loss_percent,last_ms,avg_ms,best_ms,worst_ms,stdev_ms" ] ||
                fail "IPv$family $mode: header"
            [ "$(printf '%s\n' "$out" | wc -l)" -eq 4 ] || fail "IPv$family $mode: not 3 hops"
            local hop
            for hop in 1 2 3; do
                [ "$(csv_field "$out" $hop 2)" = "${expected[$((hop - 1))]}" ] ||
                    fail "IPv$family $mode: hop $hop is not ${expected[$((hop - 1))]}"
                [ "$(csv_field "$out" $hop 5)" = "0.0" ] || fail "IPv$family $mode: loss at $hop"
                [ "$(csv_field "$out" $hop 4)" = "5" ] || fail "IPv$family $mode: sent at $hop"
            done
            [ "$(csv_field "$out" 1 3)" = r1.path.test ] || fail "IPv$family $mode: hop 1's name"
        done
    done
}

# mtr's report: "<hop> <address> <loss>" per line.
mtr_hops() {
    awk '$1 ~ /^[0-9]+\.\|--$/ { sub(/\.\|--/, "", $1); sub(/%/, "", $3); print $1, $2, $3 }'
}

case_loss() {
    local family target rounds=150
    sockets raw
    in_ns "$R2" nft -f - <<EOF || { fail "nft at r2"; return; }
table inet vtpath {
    chain in {
        type filter hook prerouting priority -300; policy accept;
        iifname "m2$id" icmp type echo-request numgen random mod 100 < 30 drop
        iifname "m2$id" icmpv6 type echo-request numgen random mod 100 < 30 drop
    }
}
EOF
    for family in 4 6; do
        target=198.18.9.1
        [ "$family" = 6 ] && target=fd5a:9::1
        local ours mtr
        in_ns "$C" mtr "-$family" -r -n -c $rounds -i 0.1 "$target" >"/tmp/mtr-$id" 2>&1 &
        local mtr_pid=$!
        ours=$(in_ns "$C" "$program" --path "$target" --count $rounds --interval 0.1 --format json)
        local status=$?
        wait "$mtr_pid"
        mtr=$(mtr_hops <"/tmp/mtr-$id")
        rm -f "/tmp/mtr-$id"
        echo "--- loss at r2, IPv$family: ours $ours"
        echo "mtr: $mtr"
        [ "$status" -eq 0 ] || { fail "loss IPv$family: exit $status"; continue; }
        [ "$(printf '%s\n' "$mtr" | wc -l)" -eq 3 ] || fail "loss IPv$family: mtr saw no 3 hops"
        local hop address loss
        while read -r hop address loss; do
            local object
            object=$(json_hop "$ours" "$hop")
            [ -n "$object" ] || { fail "loss IPv$family: no hop $hop"; continue; }
            [[ "$object" == *"\"address\":\"$address\""* ]] ||
                fail "loss IPv$family: hop $hop is not mtr's $address"
            local mine
            mine=$(printf '%s\n' "$object" | sed 's/.*"loss_percent":\([0-9.]*\).*/\1/')
            awk -v a="$mine" -v b="$loss" 'BEGIN { d = a - b; exit !(d <= 15 && d >= -15) }' ||
                fail "loss IPv$family: hop $hop loses $mine%, mtr says $loss%"
            if [ "$hop" = 1 ]; then
                # The loss is made at r2: hop 1 keeps what a busy machine may drop (one late answer).
                awk -v a="$mine" 'BEGIN { exit !(a < 5) }' || fail "loss IPv$family: $mine% loss at hop 1"
            else
                lt 10 "$mine" || fail "loss IPv$family: hop $hop shows no loss ($mine%)"
                [[ "$object" == *'"limits_replies":false'* ]] ||
                    fail "loss IPv$family: hop $hop taken for one that limits its replies"
            fi
        done <<<"$mtr"
    done
    in_ns "$R2" nft delete table inet vtpath
}

case_limits() {
    local family target out
    sockets datagram
    in_ns "$R2" nft -f - <<EOF || { fail "nft at r2"; return; }
table inet vtpath {
    chain out {
        type filter hook output priority 0; policy accept;
        icmp type time-exceeded numgen random mod 100 < 60 drop
        icmpv6 type time-exceeded numgen random mod 100 < 60 drop
    }
}
EOF
    for family in 4 6; do
        target=198.18.9.1
        [ "$family" = 6 ] && target=fd5a:9::1
        out=$(in_ns "$C" "$program" --path "$target" --count 60 --interval 0.05 --format json)
        echo "--- r2 limits its replies, IPv$family: $out"
        local two three
        two=$(json_hop "$out" 2)
        three=$(json_hop "$out" 3)
        [[ "$two" == *'"limits_replies":true'* ]] ||
            fail "limits IPv$family: hop 2 not shown as limiting its replies"
        [[ "$two" == *'"loss_on_the_way_percent":0.0'* ]] ||
            fail "limits IPv$family: hop 2's loss on the way is not 0"
        [[ "$three" == *'"loss_percent":0.0,'* ]] || fail "limits IPv$family: loss at hop 3"
    done
    local text
    text=$(in_ns "$C" "$program" --path 198.18.9.1 --count 40 --interval 0.05)
    echo "$text"
    [[ "$text" == *"limits its replies"* ]] || fail "limits: the text report does not say so"
    in_ns "$R2" nft delete table inet vtpath
}

case_route_change() {
    local family target via_r3 out
    sockets datagram
    for family in 4 6; do
        if [ "$family" = 4 ]; then
            target=198.18.9.1 via_r3=198.18.4.2 via_r2=198.18.2.2 r3=198.18.4.2
        else
            target=fd5a:9::1 via_r3=fd5a:4::2 via_r2=fd5a:2::2 r3=fd5a:4::2
        fi
        in_ns "$C" "$program" --path "$target" --count 40 --interval 0.05 --format json \
            >"/tmp/path-$id" &
        local run=$!
        sleep 1
        ip -n "$R1" -"$family" route replace "$target" via "$via_r3"
        wait "$run"
        out=$(cat "/tmp/path-$id")
        rm -f "/tmp/path-$id"
        ip -n "$R1" -"$family" route replace "$target" via "$via_r2"
        echo "--- route change, IPv$family: $out"
        [[ "$out" == *'"path_changes":0,'* ]] && fail "route change IPv$family: not reported"
        [[ "$(json_hop "$out" 2)" == *"\"address\":\"$r3\""* ]] ||
            fail "route change IPv$family: r3 not at hop 2"
    done
}

case_errors() {
    local status
    in_ns "$C" "$program" --path "no such host" --count 1 >/dev/null 2>&1
    status=$?
    [ "$status" -eq 1 ] || fail "an unresolvable host exits $status"
    in_ns "$C" "$program" --path 198.18.9.1 --count nine >/dev/null 2>&1
    status=$?
    [ "$status" -eq 2 ] || fail "a wrong count exits $status"
    # Neither kind of ICMP socket for an ordinary user: exit 1 with the reason.
    sockets raw
    local said
    said=$(in_ns "$C" setpriv --reuid=nobody --regid=nogroup --clear-groups \
        "$program" --path 198.18.9.1 --count 1 2>&1 >/dev/null)
    status=$?
    [ "$status" -eq 1 ] || fail "without an ICMP socket the exit is $status"
    [[ "$said" == *"cannot send ping requests"* ]] || fail "without an ICMP socket: $said"
}

setup || { echo "the namespaces could not be made"; exit 1; }
# PATH_CASES picks some of them (for a developer's run): "hops loss limits route_change errors".
for name in ${PATH_CASES:-hops loss limits route_change errors}; do
    "case_$name"
done
if [ "$failures" -gt 0 ]; then
    echo "$failures failures"
    exit 1
fi
echo "all path cases passed"
