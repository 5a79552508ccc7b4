#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs into a scratch DESTDIR under another prefix, checks the tree, runs
# the installed programs, and (as root, in a private mount namespace) drives
# the init script through start, status and stop. Exits 77 (skipped) when
# a part could not run here.
# Usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$1
root=$(mktemp -d)
chmod 755 "$root" # the daemon runs as another user
trap 'rm -rf "$root"' EXIT
prefix=/opt/statpipe
fail() { echo "FAIL: $*" >&2; exit 1; }

touch "$root/before"
DESTDIR=$root cmake --install "$build" --prefix "$prefix" >/dev/null
top=$root$prefix
# Nothing of ours is written into the build tree, which may be another
# user's; CMake itself always writes its manifest there.
written=$(find "$build" -newer "$root/before" -type f ! -name 'install_manifest*.txt' ! -path "$build/Testing/*" | head -5)
[ -z "$written" ] || fail "the install wrote into the build tree: $written"
for f in sbin/statpipe bin/statpipe-decode sbin/statpipe-hwmon share/man/man8/statpipe.8 \
         share/man/man1/statpipe-decode.1 share/man/man8/statpipe-hwmon.8 \
         share/doc/statpipe/examples/statpipe.service share/doc/statpipe/examples/statpipe.conf \
         share/doc/statpipe/examples/statpipe-hwmon.conf \
         share/doc/statpipe/examples/statpipe.default share/doc/statpipe/examples/statpipe.init \
         share/doc/statpipe/LICENSE; do
    [ -f "$top/$f" ] || fail "not installed: $f"
done
for f in sbin/statpipe bin/statpipe-decode sbin/statpipe-hwmon share/doc/statpipe/examples/statpipe.init; do
    [ -x "$top/$f" ] || fail "not executable: $f"
done
grep -qx "ExecStart=$prefix/sbin/statpipe \$STATPIPE_PIPE \$STATPIPE_BASE" "$top/share/doc/statpipe/examples/statpipe.service" ||
    fail "the unit does not start $prefix/sbin/statpipe"
grep -qx "DAEMON=$prefix/sbin/statpipe" "$top/share/doc/statpipe/examples/statpipe.init" ||
    fail "the init script does not start $prefix/sbin/statpipe"
grep -qx "ExecStart=$prefix/sbin/statpipe-hwmon \$STATPIPE_HWMON_OPTIONS -- $prefix/sbin/statpipe \$STATPIPE_PIPE \$STATPIPE_BASE" \
    "$top/share/doc/statpipe/examples/statpipe-hwmon.conf" || fail "the drop-in does not start statpipe-hwmon"

usage=$("$top/sbin/statpipe" -h 2>&1) || fail "statpipe -h failed"
[ "$usage" = "Usage: $top/sbin/statpipe [ named_pipe [ base_address ] ]" ] || fail "usage: $usage"
line=$(printf '\003\021\224' | "$top/bin/statpipe-decode" --format csv | tail -n 1)
[ "${line#*,}" = "3,fan,4500,4500,rpm" ] || fail "decode: $line"

if [ "$(id -u)" -ne 0 ]; then
    echo "init script not run: it needs root for a private mount namespace"
    exit 77
fi

# The init script with its real paths, over tmpfs in a namespace of its
# own, under BusyBox ash where it is installed, as on a device. In a pid
# namespace too, whose first process this shell is: whatever ends the
# test, even ctest's kill at its limit, ends what the init script started,
# which no longer belongs to the test's tree of processes.
shell="sh"
command -v busybox >/dev/null && shell="busybox sh"
export top root shell
# shellcheck disable=SC2016  # expanded by the inner shell
unshare -m -p -f --kill-child --mount-proc bash -euo pipefail -c '
    fail() { echo "FAIL: $*" >&2; init stop >/dev/null 2>&1; exit 1; }
    mount --make-rprivate /
    for d in /etc/default /run /var/log; do mount -t tmpfs tmpfs "$d"; done
    fifo=$root/run/pipe
    daemon=$top/sbin/statpipe
    # statpipe as the user daemon; a reader of another user (nobody) in the
    # FIFO'"'"'s group.
    printf "DAEMON=%s\nSTATPIPE_PIPE=%s\nSTATPIPE_BASE=16\nSTATPIPE_USER=daemon\nSTATPIPE_GROUP=nogroup\n" \
        "$daemon" "$fifo" >/etc/default/statpipe
    init() { $shell "$top/share/doc/statpipe/examples/statpipe.init" "$@"; }
    status() { init status >/dev/null && echo 0 || echo $?; }
    daemons() { pgrep -x -f "$daemon $fifo 16" | tr "\n" " " || true; }
    reader() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$top/bin/statpipe-decode" --base 16 --format csv "$@" "$fifo"; }
    users() { for p in $1; do ps -o user= -p "$p"; done | tr "\n" " "; }
    init start
    [ "$(stat -c "%A %U %G" "$fifo")" = "prw-r----- daemon nogroup" ] || fail "the FIFO: $(stat -c "%A %U %G" "$fifo")"
    [ "$(status)" = 0 ] || fail "status $(status) after start"
    out=$(reader --count 2 | cut -d, -f2,3 | tr "\n" " ")
    [ "$out" = "channel,name 0,load 1,processes " ] || fail "records: $out"
    [ "$(users "$(daemons)")" = "daemon " ] || fail "statpipe runs as $(users "$(daemons)")"
    pid=$(cat /var/run/statpipe.pid)

    # No second daemon, with the pid file gone or naming another process.
    rm /var/run/statpipe.pid
    init start | grep "already running" >/dev/null || fail "a second start without a pid file"
    echo $$ >/var/run/statpipe.pid
    init start | grep "already running" >/dev/null || fail "a second start with a stale pid file"
    [ "$(daemons)" = "$pid " ] || fail "daemons: $(daemons)"
    init force-reload
    [ "$(daemons)" != "$pid " ] && [ -n "$(daemons)" ] || fail "force-reload: $(daemons)"

    # LSB status: 1 with a stale pid file left behind, 3 with none. A
    # statpipe started by hand on another FIFO is not the service.
    mkfifo "$root/run/other"
    "$daemon" "$root/run/other" 2>/dev/null &
    by_hand=$!
    pid=$(cat /var/run/statpipe.pid)
    kill "$pid" && while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
    [ "$(status)" = 1 ] || fail "status $(status) with a stale pid file"
    init stop
    [ "$(status)" = 3 ] || fail "status $(status) after stop"
    kill "$by_hand" || fail "stop ended a statpipe started by hand on another FIFO"
    grep -q "unable to open i2c device" /var/log/statpipe.log || fail "no warnings in the log"

    # With a syslog: the messages go there, tagged.
    if command -v busybox >/dev/null; then
        mount -t tmpfs tmpfs /dev && mknod -m 666 /dev/null c 1 3
        busybox syslogd -n -O "$root/syslog" &
        syslogd=$!
        for _ in $(seq 50); do [ -S /dev/log ] && break; sleep 0.1; done
        init start
        "$top/bin/statpipe-decode" --count 1 "$fifo" >/dev/null
        init stop
        # By its saved id: job numbers differ between bash releases.
        kill "$syslogd" && { wait "$syslogd" 2>/dev/null || true; }
        grep -q "statpipe: Warning: unable to open i2c device" "$root/syslog" || fail "nothing in syslog"
        umount /dev
    fi

    # Through statpipe-hwmon, from a fake hwmon tree: the fan is there, and
    # the companion, root for its mounts, then runs as the daemon user.
    [ -w /dev/fuse ] || { echo "statpipe-hwmon not run: no /dev/fuse"; exit 77; }
    hwmon=$root/class/hwmon/hwmon0
    mkdir -p "$hwmon" && echo as99127f >"$hwmon/name" && echo 4500 >"$hwmon/fan2_input" && echo 45500 >"$hwmon/temp2_input"
    mount --bind "$root/class" /sys/class
    printf "HWMON=%s\nSTATPIPE_HWMON=yes\nSTATPIPE_HWMON_OPTIONS=\"--fan as99127f-*:fan2\"\n" \
        "$top/sbin/statpipe-hwmon" >>/etc/default/statpipe
    init start
    [ "$(status)" = 0 ] || fail "not running through statpipe-hwmon"
    out=$(reader --count 4 | tail -n 1 | cut -d, -f2-4)
    [ "$out" = "3,fan,4500" ] || fail "records through statpipe-hwmon: $out"
    pair="$(cat /var/run/statpipe.pid) $(daemons)"
    [ "$(users "$pair")" = "daemon daemon " ] || fail "statpipe-hwmon and statpipe run as $(users "$pair")"
    pid=$(cat /var/run/statpipe.pid)
    # A pid file that names the keeper of the companion, a fork of it,
    # names something else: the companion is found, and is what stop ends.
    keeper=
    for status in /proc/[0-9]*/status; do
        [ "$(sed -n "s/^PPid:[[:space:]]*//p" "$status" 2>/dev/null)" = "$pid" ] &&
            [ "$(readlink "${status%/status}/exe")" = "$top/sbin/statpipe-hwmon" ] && keeper=${status%/status} && keeper=${keeper#/proc/}
    done
    [ -n "$keeper" ] || fail "no keeper beside statpipe-hwmon"
    echo "$keeper" >/var/run/statpipe.pid
    init start | grep -qx "statpipe is already running (pid $pid)" || fail "the keeper taken for the service"
    init stop
    ! kill -0 "$pid" 2>/dev/null || fail "statpipe-hwmon still running after stop"
    [ -z "$(daemons)" ] || fail "a process stayed behind"
'
