#!/bin/sh
# SPDX-License-Identifier: MIT
# Run by systemd at boot of the Debian VM that scripts/vm-test makes: the
# packages from build/deb installed, and statpipe.service checked live,
# one scenario a row, each saying what it saw; the last line is the verdict.
# There is no chip until the chip row binds one (i2c-stub).
cd /root/vm || exit 1
# shellcheck source=/dev/null
. ./vm_common.sh
fifo=/tmp/harddisk/quorvath/share/okrin_pipe

# Records as a reader of another user in group statpipe gets them, one a
# line (2 s a record, and 30 s more, at most).
records() {
    setpriv --reuid=nobody --regid=statpipe --clear-groups timeout $(($2 * 2 + 30)) head -c $(($2 * 3)) "$1" |
        od -An -tx1 -v -w3 |
        sed 's/^ //'
}
daemon() { pidof statpipe; }
user_of() { ps -o user= -p "$1" | tr -d ' '; }
mounted() { cat /proc/[0-9]*/mountinfo 2>/dev/null | grep -q statpipe-hwmon; }
exposure() { systemd-analyze security statpipe.service | sed -n 's/.*exposure level for statpipe.service: \([0-9.]*\).*/\1/p'; }
active() { [ "$(systemctl is-active statpipe)" = active ]; }

# The README's recipe for a device, with statpipe where cmake installs it.
device_recipe() {
    cp stage/usr/sbin/statpipe /usr/sbin/
    sh -e device-recipe.sh 2>/tmp/recipe.err
    recipe_fifo=/tmp/harddisk/quorvath/share/okrin_pipe
    until_true pidof statpipe >/dev/null
    got=$(setpriv --reuid=nobody --regid=panel --clear-groups timeout 30 head -c 6 "$recipe_fifo" |
        od -An -tx1 -v -w3 | sed 's/^ //' | channels)
    seen="statpipe as $(user_of "$(daemon)"), FIFO $(stat -c '%a %U:%G' "$recipe_fifo"); a reader in panel got $got"
    kill "$(daemon)"
    rm -f "$recipe_fifo" /usr/sbin/statpipe
    [ "$seen" = "statpipe as statpipe, FIFO 640 statpipe:panel; a reader in panel got 00 01 " ]
}

# The README's steps after `cmake --install`, which the copy stands for.
readme_steps() {
    cp -a stage/. /
    systemd-sysusers && systemd-tmpfiles --create statpipe.conf && systemctl daemon-reload &&
        systemctl enable --now statpipe 2>/dev/null
    until_true active
    got=$(records "$fifo" 1 | channels)
    seen="$(systemctl is-active statpipe) as $(user_of "$(daemon)"); reader got $got"
    # Gone again, for the packages.
    systemctl disable --now statpipe 2>/dev/null
    (cd stage && find . ! -type d) | (cd / && xargs rm -f)
    rm -f "$fifo" && systemctl daemon-reload
    [ "$got" = "00 " ] && [ "$(echo "$seen" | cut -d' ' -f1-3)" = "active as statpipe;" ]
}

running() {
    apt-get install -y -qq ./statpipe_*_amd64.deb >/tmp/apt.log 2>&1
    until_true active
    pid=$(daemon)
    sandbox=$(awk '/^(NoNewPrivs|Seccomp|CapEff):/ { printf "%s %s ", $1, $2 }' "/proc/$pid/status")
    mode=$(stat -c '%a %U:%G' "$fifo")
    got=$(records "$fifo" 4 | channels)
    seen="$(systemctl is-active statpipe) as $(user_of "$pid"), $sandbox; FIFO $mode; reader got $got"
    [ "$(user_of "$pid")" = statpipe ] && [ "$sandbox" = "CapEff: 0000000000000000 NoNewPrivs: 1 Seccomp: 2 " ] &&
        [ "$mode" = "640 statpipe:statpipe" ] && [ "$got" = "00 01 02 00 " ]
}

journal() {
    # This start's lines: the README's steps started the unit once before.
    journalctl -o cat _SYSTEMD_INVOCATION_ID="$(systemctl show -p InvocationID --value statpipe)" >/tmp/journal
    fan=$(grep -c "^Warning: unable to open i2c device \`/proc/sys/dev/sensors/as99127f-i2c-1-2d/fan2'$" /tmp/journal)
    temp=$(grep -c "^Warning: unable to open i2c device \`/proc/sys/dev/sensors/as99127f-i2c-1-2d/temp2'$" /tmp/journal)
    seen="fan2 warning $fan time(s), temp2 warning $temp time(s): $(grep Warning /tmp/journal | head -n 2 | tr '\n' '|')"
    [ "$fan" = 1 ] && [ "$temp" = 1 ]
}

exposure_level() {
    level=$(exposure)
    seen="systemd-analyze security: $level"
    awk -v s="$level" 'BEGIN { exit !(s != "" && s <= 1.0) }'
}

restart() {
    old=$(daemon)
    kill -KILL "$old"
    until_true sh -c "pidof statpipe | grep -qv '^$old\$'"
    sleep 1
    got=$(records "$fifo" 1 | channels)
    seen="killed $old, now $(daemon); reader got $got"
    [ -n "$(daemon)" ] && [ "$(daemon)" != "$old" ] && [ "$got" = "00 " ]
}

changed_path() {
    echo "STATPIPE_PIPE=/run/panel/status.fifo" >>/etc/default/statpipe
    systemctl restart statpipe
    until_true active
    fifo=/run/panel/status.fifo
    made="$(stat -c '%a %U:%G' /run/panel) $(stat -c '%a %U:%G' "$fifo")"
    got=$(records "$fifo" 1 | channels)
    seen="/run/panel and the FIFO: $made; reader got $got"
    [ "$made" = "755 root:root 640 statpipe:statpipe" ] && [ "$got" = "00 " ] && active
}

# statpipe-hwmon installed on a machine with no chip yet: the drop-in
# starts the pair, and 30 rotations later the journal holds the two open
# warnings and nothing for each rotation.
hwmon_no_chip() {
    for module in i2c-dev hwmon-vid w83781d fuse; do insmod "modules/$module.ko"; done
    insmod modules/i2c-stub.ko chip_addr=0x2d,0x48,0x49
    apt-get install -y -qq ./statpipe-hwmon_*_amd64.deb >>/tmp/apt.log 2>&1
    until_true active
    until_true pidof statpipe-hwmon >/dev/null
    got=$(records "$fifo" 90 | channels | tr -d ' 012')
    journalctl -o cat _SYSTEMD_INVOCATION_ID="$(systemctl show -p InvocationID --value statpipe)" >/tmp/journal
    opened=$(grep -c '^Warning: unable to open' /tmp/journal)
    seen="90 records, other channels than 0-2: '$got'; $(wc -l </tmp/journal) lines: $(tr '\n' '|' </tmp/journal)"
    [ -z "$got" ] && [ "$opened" = 2 ] && [ "$(wc -l </tmp/journal)" -le 4 ]
}

# The chip bound: the companion hears of it and starts statpipe again.
hwmon_chip_bound() {
    (while setpriv --reuid=nobody --regid=statpipe --clear-groups cat "$fifo"; do :; done) >/tmp/stream &
    reader=$!
    sleep 3
    i2cset -y 0 0x2d 0x4a 0x10 && i2cset -y 0 0x2d 0x29 0x87 && i2cset -y 0 0x48 0x00 0x80fa w
    bound=$(centiseconds)
    echo as99127f 0x2d >/sys/bus/i2c/devices/i2c-0/new_device
    until_true sh -c "od -An -tx1 -v -w3 /tmp/stream | grep -q '^ 03'"
    took=$((($(centiseconds) - bound) * 10))
    kill "$reader" && pkill -x cat
    sleep 2
    ours=/sys/bus/i2c/devices/0-002d
    want=$(expected "$ours")
    got=$(records "$fifo" 5 | sensors)
    server=$(privileges "$(pidof statpipe-hwmon)")
    users="statpipe-hwmon $(user_of "$(pidof statpipe-hwmon)"), $server; statpipe $(user_of "$(daemon)")"
    level=$(exposure)
    seen="a fan record $took ms after the bind; $got; sysfs fan2 $(cat $ours/fan2_input) temp2 $(cat $ours/temp2_input); $users; exposure $level"
    [ "$got" = "$want" ] && [ "$took" -le 10000 ] &&
        [ "$users" = "statpipe-hwmon statpipe, Uid: $(id -u statpipe) CapEff: 0000000000000000 ; statpipe statpipe" ] &&
        awk -v s="$level" 'BEGIN { exit !(s != "" && s <= 1.0) }'
}

hwmon_stopped() {
    systemctl stop statpipe
    state=$(systemctl is-active statpipe)
    left=$(pidof statpipe statpipe-hwmon)
    mounted && left="$left, a mount"
    seen="$state; after stop: ${left:-nothing}"
    [ "$state" = inactive ] && [ -z "$left" ]
}

# As the plain unit's row above: the companion ends with statpipe, and
# the unit restarts the pair.
hwmon_killed() {
    systemctl start statpipe
    until_true pidof statpipe >/dev/null
    restart
    ok=$?
    seen="$seen; now under $(pidof statpipe-hwmon), $(systemctl show -p NRestarts --value statpipe) restart(s) of the unit"
    [ $ok = 0 ] && active
}

remove_purge() {
    systemctl start statpipe
    apt-get remove -y -qq statpipe-hwmon statpipe >>/tmp/apt.log 2>&1
    state="$(systemctl is-active statpipe); conffile $(test -f /etc/default/statpipe && echo kept || echo gone)"
    apt-get purge -y -qq statpipe >>/tmp/apt.log 2>&1
    state="$state; purged: conffile $(test -f /etc/default/statpipe && echo kept || echo gone)"
    seen=$state
    [ "$state" = "inactive; conffile kept; purged: conffile gone" ] && [ -z "$(pidof statpipe)" ]
}

details() {
    journalctl -u statpipe -o cat --no-pager | tail -n 8
    tail -n 5 /tmp/apt.log /tmp/recipe.err 2>/dev/null
}
row "the README's recipe for a device" device_recipe
row "cmake --install, then the README's systemd steps" readme_steps
row "installed: running as statpipe, sandboxed, its FIFO read by group statpipe" running
row "journal: each start-up warning once a start" journal
row "exposure on the live system at most 1.0" exposure_level
row "killed: restarted, records resume" restart
row "changed path in a new directory: made at the next start" changed_path
row "statpipe-hwmon, no chip for 30 rotations: the two open warnings, nothing each rotation" hwmon_no_chip
row "the chip bound: served within 10 s; the companion not root, no capability; exposure at most 1.0" hwmon_chip_bound
row "systemctl stop under the drop-in: inactive, nothing left" hwmon_stopped
row "statpipe killed under the drop-in: restarted" hwmon_killed
row "remove keeps the conffile, purge removes it" remove_purge
verdict vm-debian
systemctl poweroff --force --force
