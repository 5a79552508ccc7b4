#!/bin/busybox sh
# SPDX-License-Identifier: MIT
# Init of the VM that scripts/vm-test boots: statpipe-hwmon and statpipe on
# the kernel's own w83781d driver, bound to an AS99127F that i2c-stub
# emulates, then the installed init script as BusyBox init runs it. One
# scenario a row; each says what it saw, and the last line is the verdict.
# Expected records come from the driver's sysfs readings at that moment.
/bin/busybox --install -s 2>/dev/null
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
# shellcheck source=/dev/null
. /vm_common.sh
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
printf '%s\n' root:x:0:0::/root:/bin/sh statpipe:x:100:100::/:/bin/false reader:x:1001:1001::/:/bin/false >/etc/passwd
printf '%s\n' root:x:0: statpipe:x:100: panel:x:1001:reader >/etc/group

# A module that is not there is built into this kernel.
for module in i2c-dev hwmon-vid w83781d fuse; do [ ! -e "/lib/modules/$module.ko" ] || insmod "/lib/modules/$module.ko"; done
# Two AS99127Fs: ours at 0x2d, its temperature subclients at 0x48 and 0x49
# (register 0x4a), and another at 0x2e, with its own at 0x4a and 0x4b.
insmod /lib/modules/i2c-stub.ko chip_addr=0x2d,0x48,0x49,0x2e,0x4a,0x4b
i2cset -y 0 0x2d 0x4a 0x10
i2cset -y 0 0x2e 0x4a 0x32
bus=/sys/bus/i2c/devices/i2c-0
ours=/sys/bus/i2c/devices/0-002d # where this driver publishes
driver=/sys/bus/i2c/drivers/w83781d
set_fan() { i2cset -y -f 0 0x2d 0x29 "$1"; }             # count: 1350000 / count rpm
set_temperature() { i2cset -y -f 0 0x48 0x00 "$1" w; } # LM75 word, bytes swapped
settle() { sleep 2; }                                   # the driver caches for 1.5 s
fifo=/run/status.fifo
stream=/tmp/stream
errors=/tmp/errors
# The pair, as root, with a reader that keeps every record in $stream and
# opens the FIFO again whenever statpipe is started again.
start_pair() {
    stop_reader
    rm -f "$fifo" "$stream" && mkfifo -m 0666 "$fifo" && : >"$stream"
    statpipe-hwmon "$@" -- statpipe "$fifo" 2>"$errors" &
    pair=$!
    (while cat "$fifo"; do :; done) >>"$stream" &
    reader=$!
}
stop_reader() {
    [ -z "${reader:-}" ] || kill "$reader"
    killall cat 2>/dev/null
    reader=
}
count() { echo $(($(wc -c <"$stream") / 3)); }
# The N records after the first FROM, one a line, as they come (2 s a
# record, and 30 s more, at most). It sleeps a second for each missing
# record but the last, which cannot all come sooner, then checks each
# fifth of a second: a check each tenth took a third of the guest's CPU.
records() {
    waited=0
    limit=$((($2 * 2 + 30) * 100))
    while missing=$(($1 + $2 - $(count))) && [ $missing -gt 0 ] && [ $waited -lt $limit ]; do
        nap_within $((missing > 1 ? (missing - 1) * 100 : 20))
    done
    od -An -tx1 -v -w3 -j $(($1 * 3)) -N $(($2 * 3)) "$stream" | sed 's/^ //'
}
said() { grep -qF "$1" "$errors"; }
lines() { wc -l <"$errors"; }
alive() { [ -n "$(pidof "$1")" ]; }
mounted() { cat /proc/[0-9]*/mountinfo 2>/dev/null | grep -q statpipe-hwmon; }
# The most statpipes seen at once, sampled every 0.1 s while /tmp/watch is.
# Two processes a check, not four: the checks take the guest's CPU from the
# restarts that the rows time.
watch_writers() {
    echo 0 >/tmp/writers && : >/tmp/watch
    (
        most=0
        while [ -e /tmp/watch ]; do
            # shellcheck disable=SC2046 # the words are the pids
            set -- $(pidof statpipe)
            [ $# -le $most ] || { most=$# && echo $most >/tmp/writers; }
            sleep 0.1
        done
    ) &
}

# --- the scenarios, in order: each starts where the last one left off ---

# No option: the default names address 0x2d, so the other chip, bound
# first, is never served; ours is, once bound, by a new statpipe.
other_chip_first_then_ours() {
    start_pair
    first=$(records 0 3 | channels)
    i2cset -y -f 0 0x2e 0x29 0x32 && i2cset -y -f 0 0x4a 0x00 0x0048 w # 27000 rpm, 72 degrees
    echo as99127f 0x2e >"$bus/new_device"
    settle
    other=$(records "$(count)" 6 | channels)
    set_fan 0x87
    set_temperature 0x0034
    watch_writers
    from=$(count)
    bound=$(centiseconds)
    echo as99127f 0x2d >"$bus/new_device"
    took=$(first_fan_record "$from" "$bound")
    settle
    want=$(expected "$ours")
    got=$(records "$(count)" 5 | sensors)
    rm /tmp/watch
    writers=$(cat /tmp/writers)
    seen="before the chips: $first; 0x2e bound: $other; ours bound: a fan record after $took ms, at most $writers statpipe at once; then $got; sysfs fan2 $(cat "$ours/fan2_input") temp2 $(cat "$ours/temp2_input"); 0x2e: fan2 $(cat /sys/bus/i2c/devices/0-002e/fan2_input) temp2 $(cat /sys/bus/i2c/devices/0-002e/temp2_input)"
    [ "$first" = "00 01 02 " ] && [ -n "$other" ] && [ "$(echo "$other" | tr -d ' 012')" = "" ] &&
        [ "$got" = "$want" ] && [ "$took" -le 10000 ] &&
        [ "$writers" = 1 ] && said "statpipe-hwmon: no chip as99127f-i2c-*-2d; fan2 is served once it appears" &&
        said "statpipe-hwmon: as99127f-i2c-0-2d:fan2 appeared (from /sys/devices/i2c-0/0-002d)" && ! said 0-002e
}

below_zero_next_rotation() {
    set_fan 0xc8
    set_temperature 0x80fa
    settle
    want=$(expected "$ours")
    got=$(records "$(count)" 5 | sensors)
    seen="$got; sysfs fan2 $(cat "$ours/fan2_input") temp2 $(cat "$ours/temp2_input")"
    [ "$got" = "$want" ]
}

# Unbound for 30 rotations (of channels 0 to 2: 90 records), then bound
# again while the other chip leaves hwmon0 to it.
away_then_back_under_another_number() {
    before=$(lines)
    echo 0-002d >"$driver/unbind"
    records "$(count)" 6 >/dev/null
    settled=$(lines)
    away=$(records "$(count)" 90 | channels)
    late=$(($(lines) - settled))
    echo 0-002e >"$driver/unbind"
    echo 0-002d >"$driver/bind"
    echo 0-002e >"$driver/bind"
    settle
    want=$(expected "$ours")
    got=$(records "$(count)" 5 | sensors)
    number=$(basename "$(readlink -f "$ours/hwmon/hwmon"*)")
    seen="while away: $((settled - before)) lines, then $late in 30 rotations; back as $number: $got; sysfs fan2 $(cat "$ours/fan2_input") temp2 $(cat "$ours/temp2_input")"
    [ -n "$away" ] && [ "$(echo "$away" | tr -d ' 012')" = "" ] && [ "$late" = 0 ] &&
        [ $((settled - before)) -le 6 ] && [ "$number" = hwmon0 ] && [ "$got" = "$want" ] &&
        said "statpipe-hwmon: as99127f-i2c-0-2d:fan2 is gone, as99127f-i2c-0-2d:temp2 is gone; restarting statpipe"
}

# Milliseconds from BOUND (centiseconds, taken just before the bind) to the
# first fan record after record FROM, checked each tenth of a second; 30100
# if none came within 30 s. A statpipe started for the bind writes it three
# pauses after its start, 6 s after the bind at the soonest, so the checks
# begin 4 s after it: sooner, they would only take the guest's CPU from the
# restart that they time (a record that came before would be counted at
# 4 s, never less than it took).
first_fan_record() {
    left=$(($2 + 400 - $(centiseconds)))
    [ "$left" -le 0 ] || sleep_centiseconds "$left"
    until od -An -tx1 -v -w3 -j $(($1 * 3)) "$stream" | grep -q '^ 03'; do
        [ $(($(centiseconds) - $2)) -le 3000 ] || { echo 30100 && return; }
        sleep 0.1
    done
    echo $((($(centiseconds) - $2) * 10))
}

# Away for 2 to 8 s and back for 10 s, ten times in a row, as a loose
# connector or a reloaded driver does: each return is followed at once, so
# the fan and temperature records reach the reader in each spell.
served_in_each_spell() {
    restarts=$(grep -c '; restarting ' "$errors")
    served=0 times=
    for away in 2 5 8 3 6 2 7 4 8 2; do
        echo 0-002d >"$driver/unbind"
        sleep "$away"
        from=$(count)
        bound=$(centiseconds)
        echo 0-002d >"$driver/bind"
        took=$(first_fan_record "$from" "$bound")
        times="$times $took"
        [ "$took" -gt 10000 ] || served=$((served + 1))
        [ "$took" -gt 10000 ] || sleep $(((10000 - took) / 1000))
    done
    restarts=$(($(grep -c '; restarting ' "$errors") - restarts))
    seen="served in $served of 10 spells; ms from each bind to its first fan record:$times; $restarts restarts"
    [ $served = 10 ]
}

# The chip bound 3 s after the companion starts, as a driver loaded a
# little after the service: served within 10 s of the bind.
bound_after_the_start() {
    kill -TERM "$pair" && wait "$pair"
    echo 0-002d >"$driver/unbind"
    start_pair
    sleep 3
    from=$(count)
    bound=$(centiseconds)
    echo 0-002d >"$driver/bind"
    took=$(first_fan_record "$from" "$bound")
    restarts=$(grep -c '; restarting ' "$errors")
    seen="a fan record $took ms after the bind; $restarts restart(s)"
    [ "$took" -le 10000 ] && [ "$restarts" = 1 ]
}

sigterm() {
    kill -TERM "$pair"
    wait "$pair"
    status=$?
    sleep 0.5
    seen="status $status"
    alive statpipe && seen="$seen; statpipe still runs"
    mounted && seen="$seen; still mounted"
    [ $status = 143 ] && ! alive statpipe && ! mounted
}

companion_killed() {
    start_pair --user statpipe
    records 0 1 >/dev/null
    daemon=$(pidof statpipe)
    user="$(awk '/^Uid:/ { print $2 }' "/proc/$daemon/status") $(confinement "$daemon")"
    server=$(privileges "$pair")
    kill -KILL "$pair"
    sleep 1
    seen="statpipe ran as uid $user; statpipe-hwmon, serving: $server"
    alive statpipe && seen="$seen; outlived the companion"
    mounted && seen="$seen; still mounted"
    [ "$user" = "100 $(sealed)" ] && [ "$server" = "Uid: 100 CapEff: 0000000000000000 " ] && ! alive statpipe && ! mounted
}

init_script_at_boot() {
    stop_reader
    cat >>/etc/default/statpipe <<EOF
STATPIPE_PIPE=/run/panel/status.fifo
STATPIPE_GROUP=panel
STATPIPE_HWMON=yes
STATPIPE_HWMON_OPTIONS="--fan as99127f-i2c-*-2d:fan2 --temperature=as99127f-i2c-*-2d:temp2"
EOF
    /etc/init.d/S50statpipe start >/tmp/init.out 2>&1 # as rcS runs it
    fifo=/run/panel/status.fifo
    mode=$(stat -c '%A %U %G' "$fifo")
    got=$(su -s /bin/sh reader -c "head -c 15 $fifo" | od -An -tx1 -v -w3 | sed 's/^ //')
    users="statpipe-hwmon $(privileges "$(companion)")"
    users="$users, statpipe uid $(awk '/^Uid:/ { print $2 }' "/proc/$(pidof statpipe)/status") $(confinement "$(pidof statpipe)")"
    want=$(expected "$ours")
    /etc/init.d/S50statpipe stop >/dev/null
    seen="$mode; $users; reader got $(echo "$got" | sensors)"
    [ "$mode" = "prw-r----- statpipe panel" ] &&
        [ "$users" = "statpipe-hwmon Uid: 100 CapEff: 0000000000000000 , statpipe uid 100 $(sealed)" ] &&
        [ "$(echo "$got" | channels)" = "00 01 02 03 04 " ] && [ "$(echo "$got" | sensors)" = "$want" ] &&
        ! alive statpipe && ! alive statpipe-hwmon
}

# Under the init script no supervisor helps: the companion itself mounts
# the files anew once their FUSE connection is aborted, its keeper as root,
# so that /dev/fuse stays 0600 as the kernel makes it.
init_script_fuse_aborted() {
    /etc/init.d/S50statpipe start >/tmp/init.out 2>&1
    until_true pidof statpipe >/dev/null
    old=$(pidof statpipe)
    grep -q " /sys/fs/fuse/connections " /proc/mounts || mount -t fusectl fusectl /sys/fs/fuse/connections
    aborted=$(centiseconds)
    for connection in /sys/fs/fuse/connections/*/abort; do echo 1 >"$connection"; done
    until_true statpipe_other_than "$old"
    got=$(su -s /bin/sh reader -c "head -c 15 $fifo" | od -An -tx1 -v -w3 | sed 's/^ //' | sensors)
    took=$((($(centiseconds) - aborted) * 10))
    want=$(expected "$ours")
    new=$(pidof statpipe)
    /etc/init.d/S50statpipe stop >/dev/null
    seen="statpipe $old, then $new; its sensors $got $took ms after the abort"
    [ -n "$new" ] && [ "$new" != "$old" ] && [ "$got" = "$want" ] && [ "$took" -le 40000 ] &&
        ! alive statpipe && ! alive statpipe-hwmon
}

details() { cat "$errors" /tmp/init.out 2>/dev/null; }
echo "vm: on Linux $(uname -r)"
row "no option: the other chip bound first never served, ours within 10 s, one statpipe at once" other_chip_first_then_ours
row "below zero, changed registers at the next rotation" below_zero_next_rotation
row "unbound for 30 rotations: a few lines; back under another hwmon number" away_then_back_under_another_number
row "away 2 to 8 s and back for 10 s, ten times: served in each spell" served_in_each_spell
row "bound 3 s after the companion starts: served within 10 s of the bind" bound_after_the_start
row "SIGTERM: 143, nothing left mounted or running" sigterm
row "companion killed: statpipe goes with it; it served as statpipe, with no capability" companion_killed
row "init script at boot, hwmon: a reader in group panel" init_script_at_boot
row "init script, the FUSE connection aborted: a new statpipe served within 40 s" init_script_fuse_aborted
verdict vm
poweroff -f
