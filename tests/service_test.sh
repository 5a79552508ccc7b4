#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The installed service files for real: systemd's own checks of the unit
# (verify, the security score, every system call the daemon makes inside
# its filter), then the s6 and runit run files under their supervisors.
# Exits 77 (skipped) when a part could not run here.
# Usage: service_test.sh BUILD_DIR   (as root: it needs private mounts)
set -euo pipefail
build=$1
if [ "$(id -u)" -ne 0 ]; then
    echo "service files not run: they need root for a private mount namespace"
    exit 77
fi
root=$(mktemp -d)
chmod 755 "$root"
trap 'rm -rf "$root"' EXIT
prefix=/opt/statpipe
DESTDIR=$root cmake --install "$build" --prefix "$prefix" >/dev/null
DESTDIR=$root cmake --install "$build" --prefix "$prefix" --component service >/dev/null
export root prefix

# In a namespace of its own: the installed tree at its real prefix, tmpfs
# over what the services write, and fake sensor files.
# shellcheck disable=SC2016  # expanded by the inner shell
unshare -m bash -euo pipefail -c '
fail() { echo "FAIL: $*" >&2; exit 1; }
# Processes whose working directory is under $1: supervisors name their
# services relative to it.
working_in() {
    for proc in /proc/[0-9]*; do
        case $(readlink "$proc/cwd" 2>/dev/null) in "$1"*) echo "${proc#/proc/}" ;; esac
    done
}
# Whatever fails, no supervisor outlives the test: one left behind holds
# its output open, and ctest waits for it until its timeout.
trap '"'"'leftover=$(working_in "$root"; pgrep -f "$root/" || true); [ -z "$leftover" ] || kill -KILL $leftover 2>/dev/null || true'"'"' EXIT
skipped=0
mount --make-rprivate /
mount -t tmpfs tmpfs /opt && mkdir "$prefix" && mount --bind "$root$prefix" "$prefix"
for d in /etc/default /run /var/log /proc/sys/dev; do mount -t tmpfs tmpfs "$d"; done
mkdir -p /proc/sys/dev/sensors/as99127f-i2c-1-2d
echo "3000 4500" >/proc/sys/dev/sensors/as99127f-i2c-1-2d/fan2
echo "60.0 55.0 45.5" >/proc/sys/dev/sensors/as99127f-i2c-1-2d/temp2
examples=$prefix/share/doc/statpipe/examples
unit=$prefix/lib/systemd/system/statpipe.service

echo "== systemd"
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify --man=no "$unit" || fail "verify: the unit"
    mkdir -p "$root/units/statpipe.service.d"
    cp "$unit" "$root/units/" && cp "$examples/statpipe-hwmon.conf" "$root/units/statpipe.service.d/hwmon.conf"
    systemd-analyze verify --man=no "$root/units/statpipe.service" || fail "verify: the unit with the drop-in"
    score=$(systemd-analyze security --offline=yes "$unit" | sed -n "s/.*exposure level for statpipe.service: \([0-9.]*\).*/\1/p")
    echo "exposure level: $score"
    awk -v s="$score" "BEGIN { exit !(s != \"\" && s <= 1.0) }" || fail "exposure level $score, above 1.0"

    # The unit filter, as systemd expands it; then the daemon, at work
    # with both sensors and a reader that goes and comes back.
    expand() {
        systemd-analyze syscall-filter "$1" | sed -e 1d -e "s/^ *//" -e "/^#/d" -e "/^$/d" |
            while read -r name; do case $name in @*) expand "$name" ;; *) echo "$name" ;; esac; done
    }
    : >"$root/allowed"
    sed -n "s/^SystemCallFilter=//p" "$unit" | while read -r line; do
        for group in ${line#\~}; do expand "$group"; done | sort -u >"$root/group"
        if [ "${line#\~}" = "$line" ]; then
            sort -u "$root/allowed" "$root/group" -o "$root/allowed"
        else
            comm -23 "$root/allowed" "$root/group" >"$root/kept" && mv "$root/kept" "$root/allowed"
        fi
    done
    fifo=$root/calls.fifo && mkfifo "$fifo"
    strace -f -qq -o "$root/calls" "$prefix/sbin/statpipe" "$fifo" 2>/dev/null &
    tracer=$!
    timeout 30 "$prefix/bin/statpipe-decode" --count 6 "$fifo" >/dev/null
    sleep 3
    timeout 30 "$prefix/bin/statpipe-decode" --count 1 "$fifo" >/dev/null
    pkill -x -f "$prefix/sbin/statpipe $fifo"
    wait "$tracer" || true
    sed -E -e "s/^[0-9]+ +//" -e "s/\(.*//" "$root/calls" | grep -E "^[a-z0-9_]+$" | sort -u >"$root/used"
    for call in lseek sysinfo writev; do grep -qx "$call" "$root/used" || fail "the trace saw no $call"; done
    outside=$(comm -23 "$root/used" "$root/allowed" | tr "\n" " ")
    [ -z "$outside" ] || fail "system calls outside the unit filter: $outside"
else
    echo "systemd-analyze not found: the unit not checked"
    skipped=1
fi

# A supervisor in the background, on a scan directory with our run file.
daemons() { pgrep -f -x "$prefix/sbin/statpipe $root/pipe 7" || true; }
supervise() {
    local name=$1 dir=$root/$1
    echo "== $name"
    mkdir -p "$dir/statpipe"
    cp "$examples/$name/statpipe/run" "$dir/statpipe/run"
    printf "STATPIPE_PIPE=%s\nSTATPIPE_BASE=7\nSTATPIPE_USER=daemon\nSTATPIPE_GROUP=nogroup\n" "$root/pipe" \
        >/etc/default/statpipe
    rm -f "$root/pipe"
    case $name in
    s6) s6-svscan "$dir" & ;;
    runit) runsvdir "$dir" & ;;
    esac
    scanner=$!
    # The run file makes the FIFO, gives it to the user, then starts statpipe.
    for _ in $(seq 50); do [ -n "$(daemons)" ] && break; sleep 0.1; done
    # statpipe as its user; a reader of another user in the FIFO'"'"'s group.
    [ "$(stat -c "%A %U %G" "$root/pipe")" = "prw-r----- daemon nogroup" ] || fail "$name: the FIFO: $(stat -c "%A %U %G" "$root/pipe")"
    out=$(timeout 20 setpriv --reuid=nobody --regid=nogroup --clear-groups "$prefix/bin/statpipe-decode" --base 7 --count 2 --format csv "$root/pipe" | cut -d, -f2,3 | tr "\n" " ")
    [ "$out" = "channel,name 0,load 1,processes " ] || fail "$name: records: $out"
    first=$(daemons)
    [ "$(echo "$first" | wc -w)" = 1 ] || fail "$name: daemons: $first"
    [ "$(ps -o user= -p "$first")" = daemon ] || fail "$name: statpipe runs as $(ps -o user= -p "$first")"
    kill -KILL "$first"
    for _ in $(seq 100); do [ -n "$(daemons)" ] && [ "$(daemons)" != "$first" ] && break; sleep 0.1; done
    again=$(daemons)
    [ -n "$again" ] && [ "$again" != "$first" ] || fail "$name: not started again after a kill"
    [ "$(echo "$again" | wc -w)" = 1 ] || fail "$name: a second daemon: $again"
    out=$(timeout 20 "$prefix/bin/statpipe-decode" --base 7 --count 1 --format csv "$root/pipe" | tail -n 1 | cut -d, -f2)
    [ "$out" = 0 ] || fail "$name: no record after the restart: $out"
    case $name in
    s6) s6-svc -d "$dir/statpipe" ;;
    runit) sv down "$dir/statpipe" >/dev/null ;;
    esac
    for _ in $(seq 100); do [ -z "$(daemons)" ] && break; sleep 0.1; done
    [ -z "$(daemons)" ] || fail "$name: the daemon outlived the stop"
    case $name in
    s6) s6-svscanctl -t "$dir" ;;
    runit) sv exit "$dir/statpipe" && kill -HUP "$scanner" ;;
    esac
    wait "$scanner" || true
    for _ in $(seq 50); do [ -z "$(working_in "$dir")" ] && break; sleep 0.1; done
    [ -z "$(working_in "$dir")" ] || fail "$name: processes left behind: $(working_in "$dir")"
}
for supervisor in s6 runit; do
    if command -v "$( [ "$supervisor" = s6 ] && echo s6-svscan || echo runsvdir)" >/dev/null; then
        supervise "$supervisor"
    else
        echo "$supervisor not installed: its run file not run"
        skipped=1
    fi
done
exit $((skipped ? 77 : 0))
'
