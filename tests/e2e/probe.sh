#!/usr/bin/env bash
# End to end without a display: the headless probe as user nobody in a network namespace of its
# own (loopback only), and the Debian package.
#
#   probe.sh <case> <vantorel program> <build folder>
#
#   prometheus  a stored group of two loopback hosts and a name that cannot resolve runs with
#               --headless and no display; a real Prometheus server in the same namespace scrapes
#               it every second, and its query API gives vantorel_up 1, 1 and 0; the test takes
#               one host's address away and vantorel_alert_state{state="down"} turns 1 for it;
#               promtool accepts the exposition; SIGTERM ends the probe with exit 0 and a
#               config.ini as a close leaves it
#   package     the build's Debian package: lintian finds no error, the manual page has every
#               option of --help, dpkg installs it, its AppStream metainfo validates, the
#               installed program tells its version and runs headless for five seconds, and
#               removing it leaves none of its files
#
# Exit code 77: skipped (not root, or a tool missing).
set -euo pipefail

case_name=$1
program=$2
build=$3

skip() {
    echo "SKIP: $*"
    exit 77
}
fail() {
    echo "FAIL ($case_name): $*" >&2
    local log
    for log in program prometheus; do
        if [ -s "$work/$log.log" ]; then
            echo "--- $log output" >&2
            tail -n 30 "$work/$log.log" >&2
        fi
    done
    exit 1
}
# wait_for <what> <seconds> <command...>: until the command succeeds.
wait_for() {
    local what=$1 seconds=$2
    local deadline=$((SECONDS + seconds))
    shift 2
    while ! "$@"; do
        ((SECONDS < deadline)) || fail "no $what within $seconds s"
        sleep 0.2
    done
}
[ "$(id -u)" -eq 0 ] || skip "needs root (network namespace, another user, dpkg)"

nobody=65534
work=$(mktemp -d "${TMPDIR:-/tmp}/vantorel-probe.XXXXXX")
chmod 755 "$work"
ns=vantorel-probe-$$
pids=()
installed=

cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        { kill -9 "$pid" && wait "$pid"; } 2>/dev/null || true
    done
    if [ -n "$installed" ]; then
        dpkg -P vantorel >/dev/null 2>&1 || true
    fi
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP

home=$work/home
config="$home/.config/Zephra Software/Vantorel/config.ini"
mkdir -p "$(dirname "$config")" "$work/run"
chown -R "$nobody:$nobody" "$home" "$work/run"
chmod 700 "$work/run"

# as_nobody <command...>: in the namespace, as nobody, with the private home and no display.
# Each step execs the next, so a command started in the background has the program's own pid.
as_nobody=(ip netns exec "$ns" setpriv --reuid=$nobody --regid=$nobody --clear-groups
    --inh-caps=-all env -i HOME="$home" XDG_CONFIG_HOME="$home/.config"
    XDG_DATA_HOME="$home/.local/share" XDG_RUNTIME_DIR="$work/run" PATH=/usr/bin:/bin)

ip netns add "$ns"
ip -n "$ns" link set lo up
# Datagram ICMP sockets for everybody in the namespace: the probe needs no capability.
ip netns exec "$ns" sysctl -qw net.ipv4.ping_group_range="0 2147483647"

case $case_name in
prometheus)
    for tool in prometheus promtool curl jq setpriv; do
        command -v "$tool" >/dev/null || skip "$tool is not installed"
    done
    # A host of the namespace's own that the test can take away.
    ip -n "$ns" addr add 10.98.0.1/32 dev lo
    printf '%s\r\n' '[COMMON]' 'HintsEnable=1' 'DefaultGroup=Lab' '[GROUPS]' '0=Default Group' \
        '1=Lab' '[Lab]' '0=10.98.0.1' '1=127.0.0.1' '2=no such host' '[METRICS]' \
        'Listen=127.0.0.1:9464' '[ALERTS]' 'Enabled=1' >"$config"
    chown "$nobody:$nobody" "$config"
    before=$(cat "$config")

    cp "$program" "$work/vantorel"
    chmod 755 "$work/vantorel"
    "${as_nobody[@]}" "$work/vantorel" --headless >"$work/program.log" 2>&1 &
    probe_pid=$!
    pids+=("$probe_pid")

    mkdir "$work/prometheus"
    cat >"$work/prometheus/prometheus.yml" <<'EOF'
global:
  scrape_interval: 1s
  evaluation_interval: 1s
scrape_configs:
  - job_name: vantorel
    static_configs:
      - targets: ["127.0.0.1:9464"]
EOF
    chown -R "$nobody:$nobody" "$work/prometheus"
    "${as_nobody[@]}" prometheus --config.file="$work/prometheus/prometheus.yml" \
        --storage.tsdb.path="$work/prometheus/data" --web.listen-address=127.0.0.1:9090 \
        >"$work/prometheus.log" 2>&1 &
    pids+=("$!")

    # query <PromQL>: the value of the one series it returns, or nothing.
    query() {
        ip netns exec "$ns" curl -sf --get --data-urlencode "query=$1" \
            http://127.0.0.1:9090/api/v1/query | jq -r '.data.result[0].value[1] // empty'
    }
    is() { [ "$(query "$1")" = "$2" ]; }
    up() { echo "vantorel_up{target=\"$1\",group=\"Lab\",job=\"vantorel\"}"; }
    wait_for "vantorel_up 1 for 127.0.0.1" 60 is "$(up 127.0.0.1)" 1
    wait_for "vantorel_up 1 for 10.98.0.1" 30 is "$(up 10.98.0.1)" 1
    wait_for "vantorel_up 0 for the name that cannot resolve" 30 is "$(up 'no such host')" 0
    [ "$(query 'count(vantorel_up)')" = 3 ] || fail "not three targets: $(query 'count(vantorel_up)')"

    ip netns exec "$ns" curl -sf http://127.0.0.1:9464/metrics >"$work/exposition.txt" ||
        fail "no exposition"
    promtool check metrics <"$work/exposition.txt" >"$work/promtool.log" 2>&1 ||
        fail "promtool: $(cat "$work/promtool.log")"
    grep -q '^vantorel_round_trip_seconds_bucket{.*target="127.0.0.1".*le="0.0001"}' \
        "$work/exposition.txt" || fail "no round-trip histogram"

    down='vantorel_alert_state{target="10.98.0.1",state="down"}'
    is "$down" 0 || fail "10.98.0.1 down before its address went: $(query "$down")"
    ip -n "$ns" addr del 10.98.0.1/32 dev lo
    wait_for "the alert state down for 10.98.0.1" 60 is "$down" 1
    wait_for "vantorel_up 0 for 10.98.0.1" 10 is "$(up 10.98.0.1)" 0
    is 'vantorel_alert_state{target="127.0.0.1",state="up"}' 1 || fail "127.0.0.1 not up"

    kill -TERM "$probe_pid"
    code=0
    wait "$probe_pid" || code=$?
    [ "$code" -eq 0 ] || fail "the probe ended with $code after SIGTERM"
    [ "$(cat "$config")" = "$before" ] || fail "config.ini changed: $(cat "$config")"
    grep -q "^<3>10.98.0.1: Down" "$work/program.log" ||
        fail "no alert line for 10.98.0.1: $(cat "$work/program.log")"
    echo "PASS: prometheus"
    ;;
package)
    for tool in cpack dpkg dpkg-deb lintian appstreamcli getcap setpriv; do
        command -v "$tool" >/dev/null || skip "$tool is not installed"
    done
    ! dpkg-query -W vantorel >/dev/null 2>&1 || skip "a vantorel package is installed already"
    (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" \
        >"$work/cpack.log" 2>&1) || fail "cpack: $(tail -n 20 "$work/cpack.log")"
    deb=$(ls "$work"/out/vantorel_*.deb)
    lintian "$deb" >"$work/lintian.log" 2>&1 || true
    ! grep -q '^E:' "$work/lintian.log" || fail "lintian: $(grep '^E:' "$work/lintian.log")"
    # Every option the program names in its help has its entry in the manual page.
    manual=$(zcat "$build/package-doc/vantorel.1.gz" | sed 's/\\-/-/g')
    for option in $("$program" --help | grep -oE -- '^ +-{1,2}[a-z][a-z-]*' | sort -u); do
        grep -qE -- "^\.BI? $option( |\$)" <<<"$manual" || fail "the manual page lacks $option"
    done
    dpkg-deb -c "$deb" | awk '{print substr($6, 2)}' | grep -v '/$' >"$work/files"

    installed=yes
    dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || fail "dpkg -i: $(tail -n 20 "$work/dpkg.log")"
    appstreamcli validate --no-net /usr/share/metainfo/*Vantorel.metainfo.xml \
        >"$work/appstream.log" 2>&1 || fail "appstream: $(cat "$work/appstream.log")"
    # The ICMP helper alone holds the raw-socket capability; the program holds none.
    getcap /usr/libexec/vantorel/vantorel-icmp | grep -q cap_net_raw ||
        fail "the installed ICMP helper has no capability: $(getcap /usr/libexec/vantorel/vantorel-icmp)"
    [ -z "$(getcap /usr/bin/vantorel)" ] || fail "the program file holds a capability"
    version=$("${as_nobody[@]}" /usr/bin/vantorel --version) || fail "--version failed"
    [[ $version == *1.0.0.1* ]] || fail "--version says: $version"
    "${as_nobody[@]}" /usr/bin/vantorel --headless >"$work/program.log" 2>&1 &
    probe_pid=$!
    pids+=("$probe_pid")
    sleep 5
    kill -0 "$probe_pid" 2>/dev/null || fail "the installed probe ended early"
    kill -TERM "$probe_pid"
    code=0
    wait "$probe_pid" || code=$?
    [ "$code" -eq 0 ] || fail "the installed probe ended with $code"
    [ -f "$config" ] || fail "the installed probe wrote no config.ini"

    dpkg -P vantorel >>"$work/dpkg.log" 2>&1 || fail "dpkg -P: $(tail -n 20 "$work/dpkg.log")"
    installed=
    while read -r file; do
        [ ! -e "$file" ] || fail "$file is still there after removal"
    done <"$work/files"
    echo "PASS: package"
    ;;
*)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac
