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

for module in i2c-dev hwmon-vid w83781d fuse; do insmod "/lib/modules/$module.ko"; done
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
# The pair, as root, with a reader that keeps every record in $stream.
start_pair() {
    rm -f "$fifo" "$stream" && mkfifo -m 0666 "$fifo" && : >"$stream"
    statpipe-hwmon "$@" -- statpipe "$fifo" 2>"$errors" &
    pair=$!
    cat "$fifo" >"$stream" &
}
count() { echo $(($(wc -c <"$stream") / 3)); }
# The N records after the first FROM, one a line, as they come (30 s at most).
records() {
    i=0
    while [ "$(count)" -lt $(($1 + $2)) ] && [ $i -lt 300 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    od -An -tx1 -v -w3 -j $(($1 * 3)) -N $(($2 * 3)) "$stream" | sed 's/^ //'
}
said() { grep -qF "$1" "$errors"; }
alive() { [ -n "$(pidof "$1")" ]; }
mounted() { cat /proc/[0-9]*/mountinfo 2>/dev/null | grep -q statpipe-hwmon; }

# --- the scenarios, in order: each starts where the last one left off ---

no_option_chip_later() {
    start_pair
    first=$(records 0 3 | channels)
    set_fan 0x87
    set_temperature 0x0034
    echo as99127f 0x2d >"$bus/new_device"
    settle
    want=$(expected "$ours")
    from=$(count)
    got=$(records "$from" 5 | sensors)
    seen="before the chip: $first; then $got; sysfs fan2 $(cat "$ours/fan2_input") temp2 $(cat "$ours/temp2_input")"
    [ "$first" = "00 01 02 " ] && [ "$got" = "$want" ] &&
        said "statpipe-hwmon: no chip as99127f-*; fan2 fails to read until it appears" &&
        said "statpipe-hwmon: serving as99127f-i2c-0-2d:fan2"
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

unbound() {
    echo 0-002d >"$driver/unbind"
    got=$(records "$(count)" 5 | channels)
    seen="channels $got; $(find "$ours" -maxdepth 1 -name '*_input' | wc -l) inputs left in sysfs"
    [ -n "$got" ] && [ "$(echo "$got" | tr -d ' 012')" = "" ] &&
        said "Warning: unable to read from i2c device \`/proc/sys/dev/sensors/as99127f-i2c-1-2d/fan2'" &&
        said "statpipe-hwmon: as99127f-i2c-0-2d:fan2 is gone; its reads fail until it is back"
}

back_under_another_number() {
    echo as99127f 0x2e >"$bus/new_device" # the other chip takes hwmon0
    echo 0-002d >"$driver/bind"
    settle
    want=$(expected "$ours")
    got=$(records "$(count)" 5 | sensors)
    other=$(cat /sys/bus/i2c/devices/0-002e/fan2_input /sys/bus/i2c/devices/0-002e/temp2_input | tr '\n' ' ')
    seen="$got; ours $(basename "$(readlink -f "$ours/hwmon/hwmon"*)"): fan2 $(cat "$ours/fan2_input") temp2 $(cat "$ours/temp2_input"); hwmon0 (0-002e): $other"
    [ -e "$ours/hwmon/hwmon1" ] && [ "$got" = "$want" ]
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
    user=$(awk '/^Uid:/ { print $2 }' "/proc/$daemon/status")
    kill -KILL "$pair"
    sleep 1
    seen="statpipe ran as uid $user"
    alive statpipe && seen="$seen; outlived the companion"
    mounted && seen="$seen; still mounted"
    [ "$user" = 100 ] && ! alive statpipe && ! mounted
}

init_script_at_boot() {
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
    users="statpipe-hwmon uid $(awk '/^Uid:/ { print $2 }' "/proc/$(pidof statpipe-hwmon)/status")"
    users="$users, statpipe uid $(awk '/^Uid:/ { print $2 }' "/proc/$(pidof statpipe)/status")"
    want=$(expected "$ours")
    /etc/init.d/S50statpipe stop >/dev/null
    seen="$mode; $users; reader got $(echo "$got" | sensors)"
    [ "$mode" = "prw-r----- statpipe panel" ] && [ "$users" = "statpipe-hwmon uid 0, statpipe uid 100" ] &&
        [ "$(echo "$got" | channels)" = "00 01 02 03 04 " ] && [ "$(echo "$got" | sensors)" = "$want" ] &&
        ! alive statpipe && ! alive statpipe-hwmon
}

details() { cat "$errors" /tmp/init.out 2>/dev/null; }
row "no option, chip bound after start: said, then served" no_option_chip_later
row "below zero, changed registers at the next rotation" below_zero_next_rotation
row "chip unbound: statpipe warns and skips" unbound
row "another chip takes hwmon0, ours returns as hwmon1" back_under_another_number
row "SIGTERM: 143, nothing left mounted or running" sigterm
row "companion killed: statpipe goes with it" companion_killed
row "init script at boot, hwmon: a reader in group panel" init_script_at_boot
verdict vm
poweroff -f
