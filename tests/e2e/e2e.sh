#!/usr/bin/env bash
# End to end: the real program under Xvfb, started as user nobody with a private home, inside a
# network namespace of its own that has only loopback, so no packet can leave the machine and
# the namespace's ICMP counters count the program's echo requests alone. The X server and its
# clients run in that namespace too and meet on the namespace's own abstract socket only: no
# socket file in /tmp/.X11-unix is made or removed, so other X servers on the machine, and the
# end-to-end tests running beside this one, are left alone.
#
#   e2e.sh <case> <vantorel program> <screen probe> <output folder> <probe plugins folder>
#          <ICMP helper>
#
# The program and its ICMP helper (vantorel-icmp) lie in a folder whose chain up to / only root
# may change, on a file system where file capabilities apply: Vantorel trusts a helper there.
#
#   first-start    no configuration: the first start writes the default config.ini
#   signal-close   the stored loopback group opens, a click turns the hints switch off, and
#                  SIGTERM (then, in a second run, SIGHUP) ends the program: it exits with 0
#                  having saved the switch and the open group, as its close button would
#   group-close    a stored group of loopback targets opens, both monitors show replies, and
#                  the window's close button saves the group
#   daily-use      a stored group of 17 loopback targets at the window's design size: the main
#                  panel keeps its width beside tiles that scroll, the wheel over a tile brings the
#                  hidden columns into view, two targets typed into the Target box one after the
#                  other both start, and the program prints nothing from start to close
#   capability     the helper file alone carries cap_net_raw and datagram ICMP sockets are
#                  refused: the program pings loopback and an address of the namespace through
#                  the helper, holds no capability and no ICMP socket itself; the helper holds
#                  no capability either, runs with no-new-privileges under its seccomp filter,
#                  and a sniffer on the namespace's loopback sees only well-formed echo requests
#                  and replies
#   capability-plugins
#                  the same, with code of the user's loaded into the program by every route we
#                  know: plugins through Qt's variables, a qt.conf beside the program naming a
#                  plugin folder of the user's, and a GTK module named in the user's GTK
#                  settings (with XDG_CURRENT_DESKTOP=GNOME Qt starts its GTK platform theme).
#                  Each loads, and finds no capability and no raw socket: opening one, header
#                  inclusion, IP options and a chosen source all fail, and a hostile request
#                  down the helper's connection ends that connection with nothing sent; pinging
#                  goes on through a new helper, and the sniffer sees only well-formed echo
#                  requests and replies. The options that name plugin folders stay refused
#                  where the program is started with a capability; here they are not needed
#   no-permission  neither socket kind is allowed: one message at start-up says how to fix it
#   ipv6           a stored group of ::1 and 127.0.0.1: both show replies, ::1 over ICMPv6
#   wayland        the program on Wayland: a weston compositor shows its output in a window on
#                  the X server, whose pointer is the compositor's input (weston's headless
#                  output takes none). The stored loopback group opens and shows replies, the
#                  size grip resizes and the header moves the frameless window (both through
#                  the compositor: a Wayland client cannot place itself), and the close button
#                  saves the group; the program prints nothing. Skipped only when weston or Qt's Wayland plugin is missing or
#                  the compositor cannot start.
#   alerts         alerting stored on, with a session bus, a notification daemon (dunst) and a
#                  tray host (tint2, which hosts XEmbed icons) of the user's: a host inside the
#                  namespace (an address the test puts on loopback) goes down when the test
#                  takes its address away, and exactly one notification arrives while the tray
#                  icon turns red; the address comes back, exactly one more that takes the first
#                  one's place on screen (sent with its id), and the icon is green. Skipped only
#                  when one of them is missing or cannot start.
#   alerts-loss    as alerts, with the default thresholds: the namespace's packet filter drops
#                  30 % of the echo replies at random for a minute and more: one Degraded notice
#                  that says why, an amber icon, no Down; once the loss ends one Up in its place.
#
# The screen probe tells whether a monitor shows its host on line: the graph's frame is dark
# green after a reply and red otherwise. Exit code 77: skipped (not root, or a tool missing).
set -euo pipefail

case_name=$1
program=$2
probe=$3
output=$4
plugins=${5:-}
helper=${6:-$(dirname "$program")/vantorel-icmp}

skip() {
    echo "SKIP: $*"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "needs root (network namespace, another user, file capabilities)"
for tool in Xvfb xdotool ip setpriv setcap findmnt; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done

nobody=65534
# A scratch folder where file capabilities apply (not mounted nosuid).
nosuid() { findmnt -no OPTIONS -T "$1" | tr , '\n' | grep -qx nosuid; }
base=${TMPDIR:-/tmp}
! nosuid "$base" || base=/var/tmp
work=$(mktemp -d "$base/vantorel-e2e.XXXXXX")
chmod 755 "$work"
# root_only <folder>: root owns it and every folder above it, and none is open to others.
root_only() {
    local folder=$1
    while :; do
        [ "$(stat -c %u "$folder")" = 0 ] || return 1
        (($(stat -c '0%a' "$folder") & 022)) && return 1
        [ "$folder" != / ] || return 0
        folder=$(dirname "$folder")
    done
}
secure=
for candidate in /var/lib /opt /usr/local/lib; do
    if [ -d "$candidate" ] && root_only "$candidate" && ! nosuid "$candidate"; then
        secure=$(mktemp -d "$candidate/vantorel-e2e.XXXXXX")
        chmod 755 "$secure"
        break
    fi
done
ns=vantorel-e2e-$$
xvfb_pid=
weston_pid=
program_pid=
helper_pids=() # daemons a case starts for the program (session bus, notifications, tray)
display=

cleanup() {
    if [ -n "$program_pid" ] && kill -0 "$program_pid" 2>/dev/null; then
        { kill -9 "$program_pid" && wait "$program_pid"; } 2>/dev/null || true
    fi
    local pid
    for pid in "${helper_pids[@]}"; do
        { kill "$pid" && wait "$pid"; } 2>/dev/null || true
    done
    if [ -n "$weston_pid" ]; then
        { kill "$weston_pid" && wait "$weston_pid"; } 2>/dev/null || true
    fi
    if [ -n "$xvfb_pid" ]; then
        { kill "$xvfb_pid" && wait "$xvfb_pid"; } 2>/dev/null || true
    fi
    if [ -n "${sniffer_pid:-}" ]; then
        { kill "$sniffer_pid" && wait "$sniffer_pid"; } 2>/dev/null || true
    fi
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
    [ -z "$secure" ] || rm -rf "$secure"
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP # a test run that times out still cleans up

fail() {
    echo "FAIL ($case_name): $*" >&2
    if [ -n "${window:-}" ]; then
        echo "last window place on the desktop: $window" >&2
        on_desktop --save "$output/e2e-wayland-failed.png" >/dev/null 2>&1 || true
    fi
    if [ -s "$work/program.log" ]; then
        echo "--- program output" >&2
        tail -n 40 "$work/program.log" >&2
    fi
    if [ -s "$work/weston.log" ]; then
        echo "--- compositor output" >&2
        tail -n 20 "$work/weston.log" >&2
    fi
    local log
    for log in bus dunst tint2; do
        if [ -s "$work/$log.log" ]; then
            echo "--- $log output" >&2
            tail -n 20 "$work/$log.log" >&2
        fi
    done
    if [ -s "$work/xvfb.log" ]; then
        echo "--- X server output" >&2
        tail -n 20 "$work/xvfb.log" >&2
    fi
    exit 1
}

# wait_for <what> <seconds> <command...>: until the command succeeds.
wait_for() {
    local what=$1 seconds=$2
    local deadline=$((SECONDS + seconds))
    shift 2
    while ! "$@"; do
        ((SECONDS < deadline)) || fail "no $what within $seconds s"
        sleep 0.1
    done
}

as_x() { ip netns exec "$ns" env DISPLAY=":$display" "$@"; }

# --- the stage -------------------------------------------------------------------------------

# A copy of the program where user nobody can run it, with its release history and its ICMP
# helper beside it.
bin=${secure:-$work}/bin
mkdir "$bin"
cp "$program" "$bin/vantorel"
[ ! -f "$helper" ] || cp "$helper" "$bin/vantorel-icmp"
if [ -f "$(dirname "$program")/VersionHistory.txt" ]; then
    cp "$(dirname "$program")/VersionHistory.txt" "$bin/"
fi
chmod -R a+rX,go-w "$bin"

home=$work/home
config_dir="$home/.config/Zephra Software/Vantorel"
config="$config_dir/config.ini"
mkdir -p "$home" "$work/run" "$work/probe-run"
chown "$nobody:$nobody" "$home" "$work/run"
chmod 700 "$work/run" "$work/probe-run"

# ping_range <"low high">: which groups may open datagram ICMP sockets in the namespace.
ip netns add "$ns"
ip -n "$ns" link set lo up
ping_range() { ip netns exec "$ns" sysctl -qw net.ipv4.ping_group_range="$1"; }

# A display number away from the usual ones; its lock file in /tmp keeps two servers apart, and
# one that loses a race for a number gives up and the next number is tried. No reset when the
# last client goes: a client connecting meanwhile would be turned away.
x_ready() { as_x xdotool getdisplaygeometry >/dev/null 2>&1; }
x_up_or_gone() { x_ready || ! kill -0 "$xvfb_pid" 2>/dev/null; }
display=$((100 + $$ % 800))
for _ in $(seq 20); do
    while [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
    ip netns exec "$ns" Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp -nolisten unix -noreset \
        >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    wait_for "X server" 30 x_up_or_gone
    ! x_ready || break
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=
    display=$((display + 1))
done
[ -n "$xvfb_pid" ] || fail "no X server started"

# start_program [NAME=value...] [-- program options...]: the variables after the usual ones.
start_program() {
    local env=(HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share"
        XDG_RUNTIME_DIR="$work/run" DISPLAY=":$display" QT_QPA_PLATFORM=xcb PATH=/usr/bin:/bin)
    local name
    for name in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS TSAN_OPTIONS; do
        [ -z "${!name:-}" ] || env+=("$name=${!name}")
    done
    while (($#)) && [ "$1" != -- ]; do
        env+=("$1")
        shift
    done
    [ "${1:-}" != -- ] || shift
    # ip, setpriv and env each replace themselves, so $! is the program's process id.
    ip netns exec "$ns" setpriv --reuid="$nobody" --regid="$nobody" --clear-groups \
        --inh-caps=-all -- env -i "${env[@]}" "$bin/vantorel" "$@" >"$work/program.log" 2>&1 &
    program_pid=$!
}

main_window=
find_main_window() {
    main_window=$(as_x xdotool search --onlyvisible --name '^Vantorel : ' 2>/dev/null | head -n 1)
    [ -n "$main_window" ]
}

# Windows titled just "Vantorel": the program's message boxes.
message_boxes() { as_x xdotool search --onlyvisible --name '^Vantorel$' 2>/dev/null || true; }

screen() {
    as_x env QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/probe-run" ASAN_OPTIONS=detect_leaks=0 \
        "$probe" "$@"
}
shows() { # <online|offline> <count>: that many monitor graphs in that state on the screen
    local count
    count=$(screen | tr ' ' '\n' | sed -n "s/^$1=//p")
    [ "${count:-0}" -eq "$2" ]
}

# A counter of the namespace's ICMP statistics (the "Icmp:" lines of /proc/net/snmp).
icmp_counter() {
    # shellcheck disable=SC2016 # awk's own variables
    ip netns exec "$ns" awk -v want="$1" '
        $1 == "Icmp:" && !seen { for (i = 2; i <= NF; i++) col[$i] = i; seen = 1; next }
        $1 == "Icmp:" { print $col[want] }' /proc/net/snmp
}
echo_counts_reach() { # <count>: requests sent and replies received, all on loopback
    [ "$(icmp_counter OutEchos)" -ge "$1" ] && [ "$(icmp_counter InEchoReps)" -ge "$1" ]
}

# Sets X, Y, WIDTH and HEIGHT to the main window's place on the screen.
main_window_geometry() { eval "$(as_x xdotool getwindowgeometry --shell "$main_window")"; }

# The close button is the image button at the right end of the window's header.
click_close_button() {
    main_window_geometry
    as_x xdotool mousemove --sync $((X + WIDTH - 14)) $((Y + 17))
    sleep 0.5
    as_x xdotool click 1
    # The window goes first: a window still there means the click never reached the button
    # (something lay over it), not that the program failed to end.
    wait_for "main window closing after a click on its close button" 30 main_window_gone
}
main_window_gone() { ! as_x xdotool search --onlyvisible --name '^Vantorel : ' >/dev/null 2>&1; }

program_ended() { ! kill -0 "$program_pid" 2>/dev/null; }
expect_clean_exit() {
    wait_for "end of the program after its window closed" 60 program_ended
    local status=0
    wait "$program_pid" || status=$?
    program_pid=
    [ "$status" -eq 0 ] || fail "exit code $status, expected 0"
}

expect_config() { # <exact text> <when>
    printf '%s' "$1" >"$work/expected.ini"
    cmp -s "$work/expected.ini" "$config" ||
        fail "config.ini $2 differs from the expected text:
$(od -c "$config" 2>&1 | head -n 20)"
}

seed_loopback_group() {
    mkdir -p "$config_dir"
    # The targets out of order and no hints switch: a close that saves puts both right.
    printf '%s' $'[COMMON]\r\nDefaultGroup=Loopback\r\n[GROUPS]\r\n0=Loopback\r\n' \
        $'[Loopback]\r\n0=127.0.0.2\r\n1=127.0.0.1\r\n' >"$config"
    chown -R "$nobody:$nobody" "$home"
}
saved_loopback_group=$'[COMMON]\r\nDefaultGroup=Loopback\r\nHintsEnable=1\r\n[GROUPS]\r\n0=Loopback\r\n[Loopback]\r\n0=127.0.0.1\r\n1=127.0.0.2\r\n'

# Both monitors of the loopback group answered, as the screen and the kernel see it.
expect_loopback_replies() {
    wait_for "two monitors on line" 90 shows online 2
    wait_for "echo replies in the namespace" 30 echo_counts_reach 2
}

# --- the cases -------------------------------------------------------------------------------

case $case_name in
first-start)
    ping_range "0 2147483647"
    start_program
    wait_for "main window" 60 find_main_window
    expected=$'[COMMON]\r\nHintsEnable=1\r\nDefaultGroup=Default Group\r\n[GROUPS]\r\n0=Default Group\r\n'
    config_is_first_start() {
        printf '%s' "$expected" | cmp -s - "$config"
    }
    wait_for "config.ini of a first start" 60 config_is_first_start
    click_close_button
    expect_clean_exit
    expect_config "$expected" "after closing"
    ;;

group-close)
    ping_range "0 2147483647"
    seed_loopback_group
    start_program
    wait_for "main window" 60 find_main_window
    expect_loopback_replies
    # The picture of the running program, for anyone to look at.
    main_window_geometry
    # Nothing places windows on this display: the program centres its window itself.
    screen_size=$(as_x xdotool getdisplaygeometry)
    expected_x=$(((${screen_size% *} - WIDTH) / 2))
    expected_y=$(((${screen_size#* } - HEIGHT) / 2))
    [ "$X $Y" = "$expected_x $expected_y" ] ||
        fail "main window at $X,$Y (${WIDTH}x$HEIGHT), not centred on the ${screen_size/ /x} screen at $expected_x,$expected_y"
    mkdir -p "$output"
    screen --crop "$X" "$Y" "$WIDTH" "$HEIGHT" --save "$output/e2e-main-window.png" >/dev/null
    click_close_button
    expect_clean_exit
    expect_config "$saved_loopback_group" "after closing with the close button"
    ;;

daily-use)
    ping_range "0 2147483647"
    mkdir -p "$config_dir"
    {
        printf '%s' $'[COMMON]\r\nDefaultGroup=Many\r\nHintsEnable=0\r\n[GROUPS]\r\n0=Many\r\n[Many]\r\n'
        for i in $(seq 17); do printf '%s' "$((i - 1))=127.0.0.$i"$'\r\n'; done
    } >"$config"
    chown -R "$nobody:$nobody" "$home"
    start_program
    wait_for "main window" 60 find_main_window
    main_window_geometry
    [ "$WIDTH x $HEIGHT" = "1050 x 700" ] || fail "the window opened at $WIDTH x $HEIGHT"
    # 16 tiles need 6 columns of 240 pixels (3 rows): beside a main panel of 320 pixels, three
    # columns and the corner of a fourth are in view. The frames counted are the top left
    # corners of the graphs on line: in the whole window, in the main panel (right of the tiles)
    # and in the lower two rows of the third column in view.
    in_window() { # <x> <y> <width> <height> (in the window) <online count>
        [ "$(screen --crop $((X + $1)) $((Y + $2)) "$3" "$4" | sed -n 's/^online=\([0-9]*\).*/\1/p')" -eq "$5" ]
    }
    frames() { # <in the window> <in the main panel> <in the lower rows of the third column>
        in_window 0 0 "$WIDTH" "$HEIGHT" "$1" && in_window 730 78 320 600 "$2" &&
            in_window 470 275 255 415 "$3"
    }
    wait_for "the main panel and ten tiles on line" 90 frames 11 1 2
    mkdir -p "$output"
    screen --crop "$X" "$Y" "$WIDTH" "$HEIGHT" --save "$output/e2e-daily-use-tiles.png" >/dev/null
    # The wheel over a tile scrolls a column a notch: at the end the last three columns are in
    # view (the last holds one tile) and the main panel is where it was.
    as_x xdotool mousemove --sync $((X + 100)) $((Y + 150))
    sleep 0.3
    as_x xdotool click --repeat 6 --delay 100 5
    wait_for "the last columns scrolled into view" 30 frames 8 1 0
    screen --crop "$X" "$Y" "$WIDTH" "$HEIGHT" --save "$output/e2e-daily-use-scrolled.png" >/dev/null
    # Two targets typed one after the other into the Target box, each ended by Enter.
    as_x xdotool mousemove --sync $((X + 450)) $((Y + 56))
    sleep 0.3
    as_x xdotool click 1
    sleep 0.5
    as_x xdotool type --delay 50 127.0.0.18
    as_x xdotool key Return
    sleep 1
    as_x xdotool type --delay 50 127.0.0.19
    as_x xdotool key Return
    both_started() { grep -q $'=127.0.0.19\r' "$config" 2>/dev/null && grep -q $'=127.0.0.18\r' "$config"; }
    # Each monitor added saves the open group.
    wait_for "both typed targets started" 30 both_started
    click_close_button
    expect_clean_exit
    ! grep -q "127.0.0.18127" "$config" || fail "the second target was appended to the first"
    [ ! -s "$work/program.log" ] || fail "the program printed: $(head -n 5 "$work/program.log")"
    ;;

signal-close)
    ping_range "0 2147483647"
    for signal in TERM HUP; do
        seed_loopback_group
        start_program
        wait_for "main window" 60 find_main_window
        expect_loopback_replies
        # The hints switch is the first button of the toolbar, below the 36-pixel header.
        main_window_geometry
        as_x xdotool mousemove --sync $((X + 16)) $((Y + 56))
        sleep 0.5
        as_x xdotool click 1
        # The click is handled before the signal arrives.
        sleep 1
        kill -"$signal" "$program_pid"
        expect_clean_exit
        expect_config "${saved_loopback_group/HintsEnable=1/HintsEnable=0}" "after SIG$signal"
    done
    ;;

capability | capability-plugins)
    [ -n "$secure" ] || skip "no folder only root may change, where file capabilities apply"
    [ -f "$bin/vantorel-icmp" ] || fail "no ICMP helper at '$helper'"
    command -v tcpdump >/dev/null || skip "tcpdump is not installed"
    setcap cap_net_raw+ep "$bin/vantorel-icmp"
    # Nobody may open datagram ICMP sockets: only the helper lets the program ping.
    ping_range "1 0"
    # An address of the namespace's own beside loopback (198.18.0.0/15 is set aside for tests).
    ip -n "$ns" addr add 198.18.23.1/32 dev lo
    mkdir -p "$config_dir"
    printf '%s' $'[COMMON]\r\nDefaultGroup=Helper\r\n[GROUPS]\r\n0=Helper\r\n' \
        $'[Helper]\r\n0=127.0.0.1\r\n1=198.18.23.1\r\n' >"$config"
    chown -R "$nobody:$nobody" "$home"
    variables=()
    marker=$home/probe-marker
    if [ "$case_name" = capability-plugins ]; then
        [ -d "$plugins/platformthemes" ] || fail "no probe plugins in '$plugins'"
        gtk_theme=$(find /usr/lib -path '*/qt6/plugins/platformthemes/libqgtk3.so' 2>/dev/null | head -n 1)
        [ -n "$gtk_theme" ] || skip "Qt's GTK platform theme (qt6-gtk-platformtheme) is not installed"
        # Plugins and a GTK module in folders of the user's; a qt.conf beside the program names
        # the user's plugin folder; the user's GTK settings name the module.
        # A platform plugin named through the variables, a platform theme found through
        # qt.conf (Qt tries the named theme first, then GNOME's, which starts GTK).
        # qt.conf's folder replaces Qt's own, so it holds links to Qt's plugins beside the probe.
        mkdir -p "$work/planted" "$work/conf-plugins"
        cp -r "$plugins/platforms" "$plugins/gtk" "$work/planted/"
        cp -rs "$(dirname "$(dirname "$gtk_theme")")/." "$work/conf-plugins/"
        cp "$plugins/platformthemes/"* "$work/conf-plugins/platformthemes/"
        mkdir -p "$home/.config/gtk-3.0"
        printf '[Settings]\ngtk-modules=%s\n' "$work/planted/gtk/libvantorel_probe_gtk.so" \
            >"$home/.config/gtk-3.0/settings.ini"
        chown -R "$nobody:$nobody" "$work/planted" "$work/conf-plugins" "$home"
        printf '[Paths]\nPlugins=%s\n' "$work/conf-plugins" >"$bin/qt.conf"
        variables=(VANTOREL_PROBE_MARKER="$marker" QT_PLUGIN_PATH="$work/planted"
            "QT_QPA_PLATFORM=vantorelprobe;xcb"
            QT_QPA_PLATFORMTHEME=vantorelprobe XDG_CURRENT_DESKTOP=GNOME)
    fi
    # Every ICMP packet on the namespace's loopback, from before the program starts.
    ip netns exec "$ns" tcpdump -i lo -n -U -w "$work/icmp.pcap" icmp >"$work/tcpdump.log" 2>&1 &
    sniffer_pid=$!
    sniffing() { grep -q "listening on" "$work/tcpdump.log"; }
    wait_for "the sniffer" 30 sniffing
    start_program "${variables[@]}"
    wait_for "main window" 60 find_main_window
    wait_for "two monitors on line" 90 shows online 2
    wait_for "echo replies in the namespace" 30 echo_counts_reach 2
    [ -z "$(message_boxes)" ] || fail "a message box is open although pinging works"

    # The program: no capability in any thread, and no ICMP socket of its own.
    for status in /proc/"$program_pid"/task/*/status; do
        for set in CapInh CapPrm CapEff CapAmb; do
            value=$(awk -v key="$set:" '$1 == key { print $2 }' "$status")
            [ "$value" = 0000000000000000 ] || fail "$set $value in $status"
        done
    done
    sockets_of() { find /proc/"$1"/fd -lname 'socket:*' -printf '%l\n' 2>/dev/null | tr -dc '0-9\n'; }
    icmp_sockets=$(awk 'NR > 1 { print $10 }' /proc/"$program_pid"/net/raw /proc/"$program_pid"/net/icmp)
    [ -z "$icmp_sockets" ] || ! grep -qxFf <(echo "$icmp_sockets") <(sockets_of "$program_pid") ||
        fail "the program holds an ICMP socket"
    # Its helper: nothing held, no new privileges, the seccomp filter on, and the raw socket.
    # (Its bounding set stays: emptying it needs CAP_SETPCAP, which the file does not grant, and
    # no-new-privileges keeps anything it could start from gaining what it lists.)
    # A helper may end meanwhile (the probes below end one on purpose): those still there count.
    check_helpers() {
        local pid_dir pid set value raw checked=0
        for pid_dir in /proc/[0-9]*; do
            [ "$(cat "$pid_dir/comm" 2>/dev/null)" = vantorel-icmp ] || continue
            pid=${pid_dir#/proc/}
            status=$(cat "$pid_dir/status" 2>/dev/null) || continue
            [ "$(awk '$1 == "PPid:" { print $2 }' <<<"$status")" = "$program_pid" ] || continue
            for set in CapInh CapPrm CapEff CapAmb; do
                value=$(awk -v key="$set:" '$1 == key { print $2 }' <<<"$status")
                [ "$value" = 0000000000000000 ] || fail "helper $pid: $set $value"
            done
            grep -qx $'NoNewPrivs:\t1' <<<"$status" || fail "helper $pid: no-new-privileges off"
            grep -qx $'Seccomp:\t2' <<<"$status" || fail "helper $pid: no seccomp filter"
            raw=$(awk 'NR > 1 && $2 ~ /:0001$/ { print $10 }' "$pid_dir/net/raw" 2>/dev/null) || continue
            [ -n "$raw" ] && grep -qxFf <(echo "$raw") <(sockets_of "$pid") ||
                { [ -d "$pid_dir" ] && fail "helper $pid holds no raw ICMP socket"; } || continue
            checked=$((checked + 1))
        done
        [ "$checked" -ge 1 ]
    }
    wait_for "an ICMP helper of the program's" 30 check_helpers

    if [ "$case_name" = capability-plugins ]; then
        # Every route loaded its code into the program, and every attempt failed, at load and
        # again while the program pinged through its helper.
        probed() { grep -q '^later ' "$marker" 2>/dev/null; }
        wait_for "the probes' second round" 60 probed
        sleep 1
        for route in "$work/planted/platforms/" "$work/conf-plugins/platformthemes/" \
            "$work/planted/gtk/"; do
            grep -qF "loaded in $program_pid from $route" "$marker" ||
                fail "nothing loaded from $route: $(cat "$marker")"
        done
        grep -q '^later helper-hostile' "$marker" || fail "no probe reached the helper's connection"
        worked=$(awk '$1 != "loaded" && $1 != "helper-hostile" && $2 != "helper-hostile" && $NF == 0' "$marker")
        [ -z "$worked" ] || fail "an attempt worked from inside the program: $worked"
        # The helper ended the connection it was sent nonsense on; pinging goes on.
        before=$(icmp_counter InEchoReps)
        wait_for "replies after the hostile requests" 30 echo_counts_reach $((before + 2))
        wait_for "two monitors on line" 30 shows online 2
    fi
    click_close_button
    expect_clean_exit
    kill -INT "$sniffer_pid"
    wait "$sniffer_pid" 2>/dev/null || true
    sniffer_pid=
    # Echo requests and replies only, none with IP options, none from a chosen source.
    packets=$(tcpdump -r "$work/icmp.pcap" -n -v 2>/dev/null)
    [ -n "$packets" ] || fail "the sniffer saw nothing"
    odd=$(grep -E 'options|127\.6\.6\.6' <<<"$packets" || true)
    [ -z "$odd" ] || fail "packets with IP options or a forged source: $odd"
    kinds=$(tcpdump -r "$work/icmp.pcap" -n 2>/dev/null | grep -v -E 'ICMP echo (request|reply), id [0-9]+, seq [0-9]+, length [0-9]+$' || true)
    [ -z "$kinds" ] || fail "ICMP other than echo requests and replies: $kinds"
    ;;

ipv6)
    ping_range "0 2147483647"
    [ -e "/proc/sys/net/ipv6" ] || skip "this kernel has no IPv6"
    mkdir -p "$config_dir"
    printf '%s' $'[COMMON]\r\nDefaultGroup=Six\r\n[GROUPS]\r\n0=Six\r\n' \
        $'[Six]\r\n0=::1\r\n1=127.0.0.1\r\n' >"$config"
    chown -R "$nobody:$nobody" "$home"
    start_program
    wait_for "main window" 60 find_main_window
    wait_for "two monitors on line" 90 shows online 2
    echo6_replies() {
        # shellcheck disable=SC2016 # awk's own fields
        ip netns exec "$ns" awk '$1 == "Icmp6InEchoReplies" { exit !($2 > 0) }' /proc/net/snmp6
    }
    wait_for "ICMPv6 echo replies in the namespace" 30 echo6_replies
    click_close_button
    expect_clean_exit
    expect_config $'[COMMON]\r\nDefaultGroup=Six\r\nHintsEnable=1\r\n[GROUPS]\r\n0=Six\r\n[Six]\r\n0=127.0.0.1\r\n1=::1\r\n' \
        "after closing with the close button"
    ;;

no-permission)
    ping_range "1 0"
    seed_loopback_group
    start_program
    # The message comes before the main window, which then opens the group as usual.
    box_shown() { [ -n "$(message_boxes)" ]; }
    wait_for "message about ICMP permissions" 60 box_shown
    [ "$(message_boxes | wc -l)" -eq 1 ] || fail "more than one message box at start-up"
    ! find_main_window || fail "the main window opened before the message was read"
    as_x xdotool windowfocus --sync "$(message_boxes)" key Return
    wait_for "main window" 60 find_main_window
    [ -z "$(message_boxes)" ] || fail "the message box is still open"
    # Its monitors fail without a message of their own.
    wait_for "two monitors off line" 60 shows offline 2
    sleep 3
    [ -z "$(message_boxes)" ] || fail "another message box after the one at start-up"
    [ "$(icmp_counter OutEchos)" -eq 0 ] || fail "echo requests went out without permission"
    click_close_button
    expect_clean_exit
    expect_config "$saved_loopback_group" "after closing with the close button"
    ;;

wayland)
    command -v weston >/dev/null || skip "weston is not installed"
    [ -n "$(find /usr/lib -path '*qt6/plugins/platforms/libqwayland-generic.so' 2>/dev/null)" ] ||
        skip "Qt's Wayland platform plugin (qt6-wayland) is not installed"
    background=203040
    printf '%s\n' "[core]" "idle-time=0" "[shell]" "background-color=0xff$background" \
        "panel-position=none" "locking=false" "animation=none" "startup-animation=none" \
        "close-animation=none" "focus-animation=none" >"$work/weston.ini"
    chmod a+r "$work/weston.ini"
    # The compositor runs as the program's user, so that its socket in the user's runtime
    # folder is the user's.
    ip netns exec "$ns" setpriv --reuid="$nobody" --regid="$nobody" --clear-groups -- \
        env -i HOME="$home" XDG_RUNTIME_DIR="$work/run" DISPLAY=":$display" PATH=/usr/bin:/bin \
        weston --backend=x11-backend.so --use-pixman --width=1200 --height=760 \
        --socket=wayland-e2e --config="$work/weston.ini" >"$work/weston.log" 2>&1 &
    weston_pid=$!
    weston_up_or_gone() { [ -S "$work/run/wayland-e2e" ] || ! kill -0 "$weston_pid" 2>/dev/null; }
    wait_for "Wayland compositor" 30 weston_up_or_gone
    if ! kill -0 "$weston_pid" 2>/dev/null; then
        tail -n 20 "$work/weston.log"
        skip "the weston compositor cannot start (its output is above)"
    fi
    # The compositor's output is the top left 1200 x 760 of the X screen.
    on_desktop() { screen --crop 0 0 1200 760 --background "$background" "$@"; }
    window=
    window_shown() { # sets window to "X Y W H" once a window stands on the desktop
        window=$(on_desktop | tr ' ' '\n' | sed -n 's/^window=//p' | tr , ' ')
        [ -n "$window" ] && [ "$window" != none ]
    }
    ping_range "0 2147483647"
    seed_loopback_group
    # Under the address sanitizer, Qt's Wayland plugin and libwayland-client leave allocations
    # whose library is unloaded before the leak report, so no suppression can name them; the
    # X11 cases check the program's own leaks.
    sanitizer=()
    [ -z "${ASAN_OPTIONS:-}" ] || sanitizer=("ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0")
    start_program QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY=wayland-e2e "${sanitizer[@]}"
    wait_for "main window on the Wayland desktop" 60 window_shown
    expect_loopback_replies
    mkdir -p "$output"
    on_desktop --save "$output/e2e-wayland-desktop.png" >/dev/null
    read -r X Y WIDTH HEIGHT <<<"$window"
    ((WIDTH > 400 && HEIGHT > 300)) || fail "the window is $WIDTH x $HEIGHT"
    # drag <from x> <from y> <to x> <to y>: with the left button, in steps, as a hand would.
    # A Wayland button event carries no position: the client takes the last motion's, so the
    # pointer rests before each press. The client starts the compositor's move or resize with
    # the press's serial, which the compositor honours only while the button is still down: on
    # a busy machine the program can take a while to read the press, so the button is held
    # a full second before the pointer moves.
    drag() {
        local step
        # The pointer comes in from outside the compositor's window straight onto the start:
        # the compositor takes the place of an entering pointer as it is, but may place later
        # moves of its own reckoning a little apart.
        as_x xdotool mousemove --sync 1250 790
        sleep 0.3
        as_x xdotool mousemove --sync "$1" "$2"
        sleep 0.5
        as_x xdotool mousedown 1
        sleep 1
        for step in 1 2 3 4; do
            as_x xdotool mousemove --sync $(($1 + ($3 - $1) * step / 4)) $(($2 + ($4 - $2) * step / 4))
            sleep 0.2
        done
        sleep 0.5
        as_x xdotool mouseup 1
    }
    # window_is <"X Y W H">: the window's place, give or take the compositor's rounding.
    window_is() {
        local want got i
        read -r -a want <<<"$1"
        window_shown || return 1
        read -r -a got <<<"$window"
        for i in 0 1 2 3; do
            ((got[i] - want[i] <= 2 && want[i] - got[i] <= 2)) || return 1
        done
    }
    # drag_until <what> <"X Y W H"> <drag...>: on a busy machine the X server's pointer can
    # outrun the compositor, so a drag that left the window as it was is tried again, twice.
    drag_until() {
        local what=$1 place=$2 try
        shift 2
        for try in 1 2 3; do
            drag "$@"
            local deadline=$((SECONDS + 5))
            while ((SECONDS < deadline)); do
                ! window_is "$place" || return 0
                sleep 0.2
            done
            echo "$what: not after try $try (window at $window)" >&2
            on_desktop --save "$output/e2e-wayland-try-$try.png" >/dev/null 2>&1 || true
        done
        fail "no $what"
    }
    # The size grip in the bottom right corner makes the window 150 x 100 smaller (it may not be smaller than 833 x 560).
    drag_until "window resized by its size grip" "$X $Y $((WIDTH - 150)) $((HEIGHT - 100))" \
        $((X + WIDTH - 6)) $((Y + HEIGHT - 6)) $((X + WIDTH - 156)) $((Y + HEIGHT - 106))
    read -r X Y WIDTH HEIGHT <<<"$window"
    # The header moves it 100 to the right and 80 down.
    drag_until "window moved by its header" "$((X + 100)) $((Y + 80)) $WIDTH $HEIGHT" \
        $((X + WIDTH / 2)) $((Y + 17)) $((X + WIDTH / 2 + 100)) $((Y + 97))
    read -r X Y WIDTH HEIGHT <<<"$window"
    on_desktop --save "$output/e2e-wayland-moved.png" >/dev/null
    ! grep -Ei "protocol error|wayland connection|startSystem" "$work/program.log" ||
        fail "the program reported a Wayland error"
    # The close button, at the right end of the header.
    as_x xdotool mousemove --sync $((X + WIDTH - 14)) $((Y + 17))
    sleep 0.5
    as_x xdotool click 1
    expect_clean_exit
    expect_config "$saved_loopback_group" "after closing with the close button"
    # A clean start and close print nothing, the tray's look for a host included.
    [ ! -s "$work/program.log" ] || fail "the program printed: $(head -n 5 "$work/program.log")"
    ;;

alerts | alerts-loss)
    for tool in dbus-daemon dunst dunstctl dbus-send dbus-monitor tint2; do
        command -v "$tool" >/dev/null || skip "$tool is not installed"
    done
    [ "$case_name" != alerts-loss ] || command -v nft >/dev/null || skip "nft is not installed"
    # The host: an address of the namespace's own on loopback, taken away and given back.
    host=10.99.0.1
    ip -n "$ns" addr add "$host/32" dev lo
    ping_range "0 2147483647"
    mkdir -p "$config_dir"
    if [ "$case_name" = alerts ]; then
        # Short thresholds: a window of five results, Down after two failures.
        thresholds=$'FailThreshold=2\r\nRecoverThreshold=2\r\nWindow=5\r\n'
    else
        thresholds= # the defaults
    fi
    printf '%s' $'[COMMON]\r\nDefaultGroup=Lab\r\nHintsEnable=0\r\n[GROUPS]\r\n0=Lab\r\n' \
        $'[Lab]\r\n0='"$host"$'\r\n[FRIENDLYNAMES]\r\n0='"$host"$'~Lab router\r\n' \
        $'[ALERTS]\r\nEnabled=1\r\n'"$thresholds" >"$config"
    chown -R "$nobody:$nobody" "$home"

    # The desktop's daemons run as the program's user, in the namespace, on a bus of their own.
    bus="unix:path=$work/run/bus"
    as_user=(ip netns exec "$ns" setpriv --reuid="$nobody" --regid="$nobody" --clear-groups
        --inh-caps=-all -- env -i HOME="$home" XDG_RUNTIME_DIR="$work/run" DISPLAY=":$display"
        PATH=/usr/bin:/bin DBUS_SESSION_BUS_ADDRESS="$bus")
    # ip, setpriv and env each replace themselves, so $! is the daemon's process id.
    as_user() { "${as_user[@]}" "$@"; }
    as_user dbus-daemon --session --fork --address="$bus" --print-pid=3 \
        3>"$work/bus.pid" >"$work/bus.log" 2>&1 ||
        skip "the session bus cannot start: $(cat "$work/bus.log")"
    helper_pids+=("$(cat "$work/bus.pid")")
    # Every Notify and CloseNotification call on the bus, as the program sends them.
    "${as_user[@]}" dbus-monitor --address "$bus" \
        "type='method_call',interface='org.freedesktop.Notifications'" >"$work/calls.log" 2>&1 &
    helper_pids+=($!)
    printf '%s\n' "[global]" "    history_length = 50" "    sticky_history = yes" \
        "    idle_threshold = 0" >"$work/dunstrc"
    chmod a+r "$work/dunstrc"
    "${as_user[@]}" dunst -config "$work/dunstrc" >"$work/dunst.log" 2>&1 &
    helper_pids+=($!)
    dunst_pid=$!
    notifier_up_or_gone() { as_user dunstctl is-paused >/dev/null 2>&1 || ! kill -0 "$dunst_pid" 2>/dev/null; }
    wait_for "notification daemon" 30 notifier_up_or_gone
    kill -0 "$dunst_pid" 2>/dev/null || skip "dunst cannot start: $(tail -n 5 "$work/dunst.log")"
    # A panel holding only a system tray, at the top right, away from the centred window.
    printf '%s\n' "rounded = 0" "border_width = 0" "background_color = #303030 100" \
        "border_color = #303030 100" "panel_items = S" "panel_size = 240 48" \
        "panel_position = top right horizontal" "panel_background_id = 1" "panel_layer = top" \
        "panel_window_name = tint2" "systray_padding = 8 8 8" "systray_background_id = 0" \
        "systray_icon_size = 32" >"$work/tint2rc"
    chmod a+r "$work/tint2rc"
    "${as_user[@]}" tint2 -c "$work/tint2rc" >"$work/tint2.log" 2>&1 &
    helper_pids+=($!)
    tint2_pid=$!
    panel=
    panel_up_or_gone() {
        panel=$(as_x xdotool search --onlyvisible --name '^tint2$' 2>/dev/null | head -n 1)
        [ -n "$panel" ] || ! kill -0 "$tint2_pid" 2>/dev/null
    }
    wait_for "tray host" 30 panel_up_or_gone
    [ -n "$panel" ] || skip "tint2 cannot start: $(tail -n 5 "$work/tint2.log")"

    start_program DBUS_SESSION_BUS_ADDRESS="$bus"
    wait_for "main window" 60 find_main_window
    wait_for "the monitor on line" 60 shows online 1

    # The tray icon's colours (green up, amber degraded, red down) on the panel.
    eval "$(as_x xdotool getwindowgeometry --shell "$panel")"
    tray() { screen --crop "$X" "$Y" "$WIDTH" "$HEIGHT" --count 20b030 --count ffb000 --count e01818 "$@"; }
    tray_is() { # <green|amber|red>: the icon's dot has that colour, and none of the others
        local counts green amber red
        counts=$(tray)
        green=$(sed -n 's/.* 20b030=\([0-9]*\).*/\1/p' <<<"$counts")
        amber=$(sed -n 's/.* ffb000=\([0-9]*\).*/\1/p' <<<"$counts")
        red=$(sed -n 's/.* e01818=\([0-9]*\).*/\1/p' <<<"$counts")
        case $1 in
        green) ((green >= 20 && amber == 0 && red == 0)) ;;
        amber) ((amber >= 20 && green == 0 && red == 0)) ;;
        red) ((red >= 20 && green == 0 && amber == 0)) ;;
        esac
    }
    mkdir -p "$output"
    wait_for "a green tray icon" 60 tray_is green
    # dunst's count of notifications: waiting, shown and in its history.
    notices() { as_user dunstctl count | awk -F: '{ n += $2 } END { print n + 0 }'; }
    notices_are() { [ "$(notices)" -eq "$1" ]; }
    # The Notify calls sent: "<replaces id>|<title>|<body>", one a line.
    calls() {
        awk '/member=Notify/ { n = 1; next }
             n >= 1 && /^ *(string|uint32)/ {
                 sub(/^ *(string|uint32) /, ""); gsub(/"/, ""); f[n++] = $0
                 if (n == 6) { print f[2] "|" f[4] "|" f[5]; n = 0 }
             }' "$work/calls.log"
    }
    calls_are() { [ "$(calls | wc -l)" -eq "$1" ]; }
    sleep 6 # a full window of replies
    notices_are 0 || fail "$(notices) notifications while the host answers"

    if [ "$case_name" = alerts ]; then
        ip -n "$ns" addr del "$host/32" dev lo
        wait_for "the monitor off line" 60 shows offline 1
        wait_for "a notification that the host is down" 30 calls_are 1
        wait_for "a red tray icon" 30 tray_is red
        tray --save "$output/e2e-tray-down.png" >/dev/null
        sleep 4 # more failed pings: the state holds, nothing more is said
        calls_are 1 || fail "more notifications while the host stays down: $(calls)"
        notices_are 1 || fail "$(notices) notifications on screen while the host stays down"

        ip -n "$ns" addr add "$host/32" dev lo
        wait_for "the monitor on line again" 60 shows online 1
        wait_for "a notification that the host is up" 30 calls_are 2
        wait_for "a green tray icon again" 30 tray_is green
        sleep 4
        calls_are 2 || fail "more notifications after the host came back: $(calls)"
        # The Up took the Down's place: one notice on screen, sent with the Down's id.
        notices_are 1 || fail "$(notices) notifications on screen after the host came back"
        first=$(calls | sed -n 1p)
        second=$(calls | sed -n 2p)
        [[ $first == "0|Lab router|Down · "*" · $host · "* && $first != *_* ]] ||
            fail "the first notice is not the Down: $first"
        [[ $second == [1-9]*"|Lab router|Up · round trip "*" ms · $host · "* ]] ||
            fail "the second notice does not replace the first: $second"
        as_user dunstctl close-all
        history=$(as_user dunstctl history)
        [ "$(grep -o '"Lab router"' <<<"$history" | wc -l)" -eq 1 ] ||
            fail "not one notice for the host in the end: $history"
        grep -q "\"Up · round trip " <<<"$history" || fail "the notice left is not the Up: $history"
    else
        # Steady 30 % loss of the echo replies, by the namespace's own packet filter.
        ip netns exec "$ns" nft -f - <<'NFT' || fail "nft cannot set the loss"
table inet vantorel_loss {
    chain output {
        type filter hook output priority 0; policy accept;
        icmp type echo-reply numgen random mod 100 < 30 drop
    }
}
NFT
        wait_for "a notification that the host is degraded" 60 calls_are 1
        wait_for "an amber tray icon" 30 tray_is amber
        tray --save "$output/e2e-tray-degraded.png" >/dev/null
        sleep 40 # steady loss goes on for over a minute in all: the state holds
        calls_are 1 || fail "more notifications while the loss holds: $(calls)"
        ip netns exec "$ns" nft delete table inet vantorel_loss
        wait_for "a notification that the host is up" 90 calls_are 2
        wait_for "a green tray icon again" 30 tray_is green
        sleep 4
        echo "notices sent: $(calls | tr '\n' ';')"
        (($(calls | wc -l) <= 2)) || fail "more than two notices: $(calls)"
        ! calls | grep -q "|Down · " || fail "a Down for a lossy link: $(calls)"
        [[ $(calls | sed -n 1p) == "0|Lab router|Degraded · "*" % loss · $host · "* ||
            $(calls | sed -n 1p) == "0|Lab router|Degraded · flapping · $host · "* ]] ||
            fail "the first notice is not a Degraded one saying why: $(calls | sed -n 1p)"
        [[ $(calls | sed -n 2p) == [1-9]*"|Lab router|Up · "* ]] ||
            fail "the Up does not replace the Degraded notice: $(calls | sed -n 2p)"
        # On screen: the Up alone (the Degraded one may have timed out into the history first).
        shown=$(($(as_user dunstctl count displayed) + $(as_user dunstctl count waiting)))
        ((shown == 1)) || fail "$shown notifications on screen at the end"
        # dunst shows its notices at the top right, over the window's close button.
        as_user dunstctl close-all
    fi
    click_close_button
    expect_clean_exit
    ;;

*)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac
echo "PASS ($case_name)"
