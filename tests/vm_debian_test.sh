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
# The journal's position now, and the companion's lines after one.
cursor() { journalctl -q -n 0 --show-cursor | sed -n 's/^-- cursor: //p'; }
companion_lines() { journalctl -q -o cat -u statpipe --no-pager --after-cursor="$1" | grep '^statpipe-hwmon: '; }
said_since() { companion_lines "$1" | grep -q "$2"; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
# COUNT events of ACTION on the chip's hwmon device, 10 ms apart, as its
# driver sends them.
events() {
    rm -f /tmp/nap && mkfifo /tmp/nap
    bash -c 'exec 3<>/tmp/nap; for ((i = 0; i < $1; i++)); do echo "$2" >"$3/uevent"; read -r -t 0.01 -u 3; done' \
        sh "$1" "$2" "$(echo /sys/bus/i2c/devices/0-002d/hwmon/hwmon*)"
}

# The README's recipe for a device, with statpipe where cmake installs it.
device_recipe() {
    cp stage/usr/sbin/statpipe /usr/sbin/
    sh -e device-recipe.sh 2>/tmp/recipe.err
    recipe_fifo=/tmp/harddisk/quorvath/share/okrin_pipe
    until_true pidof statpipe >/dev/null
    got=$(setpriv --reuid=nobody --regid=statpipe --clear-groups timeout 30 head -c 6 "$recipe_fifo" |
        od -An -tx1 -v -w3 | sed 's/^ //' | channels)
    seen="statpipe as $(user_of "$(daemon)"), FIFO $(stat -c '%a %U:%G' "$recipe_fifo"); a reader in statpipe got $got"
    kill "$(daemon)"
    rm -f "$recipe_fifo" /usr/sbin/statpipe
    [ "$seen" = "statpipe as statpipe, FIFO 640 statpipe:statpipe; a reader in statpipe got 00 01 " ]
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
    # Active from the fork on; statpipe is there once the sandbox is made.
    until_true active
    until_true daemon >/dev/null
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
    until_true statpipe_other_than "$old"
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
    # One that is not there is built into this kernel.
    for module in i2c-dev hwmon-vid w83781d fuse; do [ ! -e "modules/$module.ko" ] || insmod "modules/$module.ko"; done
    insmod modules/i2c-stub.ko chip_addr=0x2d,0x48,0x49
    apt-get install -y -qq ./statpipe-hwmon_*_amd64.deb >>/tmp/apt.log 2>&1
    until_true active
    until_true companion >/dev/null
    # The FIFO held open by a reader that reads nothing until the journal
    # is taken: else the records' reader, which leaves after the last,
    # adds statpipe's line for a reader gone whenever the journal comes
    # 2 s after it (seen on a host that took a third of the CPU).
    exec 8<"$fifo"
    got=$(records "$fifo" 90 | channels | tr -d ' 012')
    journalctl -o cat _SYSTEMD_INVOCATION_ID="$(systemctl show -p InvocationID --value statpipe)" >/tmp/journal
    exec 8<&-
    opened=$(grep -c '^Warning: unable to open' /tmp/journal)
    seen="90 records, other channels than 0-2: '$got'; $(wc -l </tmp/journal) lines: $(tr '\n' '|' </tmp/journal)"
    [ -z "$got" ] && [ "$opened" = 2 ] && [ "$(wc -l </tmp/journal)" -le 4 ]
}

# The chip bound: the companion hears of it and starts statpipe again.
hwmon_chip_bound() {
    # A record a line as it comes, across statpipe's restart, and the first
    # fan record waited for, not polled for: a poll would take the guest's
    # CPU from the restart that the row times.
    (while setpriv --reuid=nobody --regid=statpipe --clear-groups stdbuf -oL od -An -tx1 -v -w3 "$fifo"; do :; done) \
        >/tmp/stream &
    reader=$!
    until_true test -s /tmp/stream
    bound=$(centiseconds)
    rm -f /tmp/fan_at
    bind_chip
    timeout 30 tail -n +1 -f /tmp/stream 2>/dev/null | { grep -q -m 1 '^ 03' && centiseconds >/tmp/fan_at; }
    took=$((($(cat /tmp/fan_at 2>/dev/null || echo $((bound + 3000))) - bound) * 10))
    kill "$reader" && pkill -x od
    until_true sh -c '! pgrep -x od'
    ours=/sys/bus/i2c/devices/0-002d
    want=$(expected "$ours")
    got=$(records "$fifo" 5 | sensors)
    server=$(privileges "$(companion)")
    users="statpipe-hwmon $(user_of "$(companion)"), $server; statpipe $(user_of "$(daemon)") $(confinement "$(daemon)")"
    level=$(exposure)
    seen="a fan record $took ms after the bind; $got; sysfs fan2 $(cat $ours/fan2_input) temp2 $(cat $ours/temp2_input); $users; exposure $level"
    [ "$got" = "$want" ] && [ "$took" -le 10000 ] &&
        [ "$users" = "statpipe-hwmon statpipe, Uid: $(id -u statpipe) CapEff: 0000000000000000 ; statpipe statpipe $(sealed)" ] &&
        awk -v s="$level" 'BEGIN { exit !(s != "" && s <= 1.0) }'
}

ours=/sys/bus/i2c/devices/0-002d
# An administrator's file under umask 077, which statpipe cannot read, then
# an event: the look fails, what is served stays; readable again, all is
# as before, with no event.
hwmon_unreadable_configuration() {
    from=$(cursor)
    old=$(daemon)
    (umask 077 && echo "# the board's own" >/etc/sensors.d/board.conf)
    events 1 add
    until_true said_since "$from" "cannot look up" || seen="never said; "
    during=$(records "$fifo" 5 | sensors)
    chmod 644 /etc/sensors.d/board.conf
    until_true said_since "$from" "looked up again" || seen="${seen}never looked up again; "
    after=$(records "$fifo" 5 | sensors)
    rm /etc/sensors.d/board.conf
    want=$(expected "$ours")
    said=$(companion_lines "$from" | cut -d: -f2 | cut -c1-28 | tr '\n' '|')
    seen="${seen}while unreadable: $during; readable again: $after; $(companion_lines "$from" | tr '\n' '|')"
    [ "$during" = "$want" ] && [ "$after" = "$want" ] && [ "$(daemon)" = "$old" ] &&
        [ "$said" = " /etc/sensors.d/board.conf| cannot look up the sensors| the sensors are looked up a|" ]
}

# statpipe's fan file, as statpipe PID sees it, in its namespaces and as
# its user.
served_fan() {
    # shellcheck disable=SC3013 # dash, the guest's sh, has it, and it costs no exec
    if [ "/proc/$1/ns/user" -ef /proc/self/ns/user ]; then
        nsenter -t "$1" -m cat /proc/sys/dev/sensors/as99127f-i2c-1-2d/fan2 2>/dev/null
    else
        nsenter -t "$1" -U -m -S "$statpipe_uid" -G "$statpipe_gid" \
            cat /proc/sys/dev/sensors/as99127f-i2c-1-2d/fan2 2>/dev/null
    fi
}
# One statpipe, not $1, whose fan file is served.
new_statpipe_served() {
    now=$(pidof statpipe)
    [ -n "$now" ] && [ "$now" = "${now% *}" ] && [ "$now" != "$1" ] || return 1
    [ -n "${statpipe_uid:-}" ] || statpipe_uid=$(id -u statpipe) statpipe_gid=$(id -g statpipe)
    [ -n "$(served_fan "$now")" ]
}
abort_connections() { for connection in /sys/fs/fuse/connections/*/abort; do echo 1 >"$connection"; done; }
user_namespaces() { for ns in /proc/[0-9]*/ns/user; do readlink "$ns"; done 2>/dev/null | sort -u | wc -l; }
unit_restarts() { systemctl show -p NRestarts --value statpipe; }
descriptors() { find "/proc/$1/fd" -mindepth 1 | wc -l; }

# The FUSE connection aborted: a new statpipe is served within 40 s, by
# the same companion, with no restart of the unit.
hwmon_fuse_aborted() {
    from=$(cursor)
    old=$(daemon)
    server=$(companion)
    restarts=$(unit_restarts)
    mountpoint -q /sys/fs/fuse/connections || mount -t fusectl fusectl /sys/fs/fuse/connections
    aborted=$(centiseconds)
    abort_connections
    until_true statpipe_other_than "$old"
    got=$(records "$fifo" 5 | sensors)
    took=$((($(centiseconds) - aborted) * 10))
    want=$(expected "$ours")
    lines=$(companion_lines "$from" | wc -l)
    seen="a new statpipe, its sensors $got $took ms after the abort; companion $server, then $(companion); unit restarts $restarts, then $(unit_restarts); $lines lines: $(companion_lines "$from" | tr '\n' '|')"
    [ "$got" = "$want" ] && [ "$took" -le 40000 ] && [ "$lines" -le 3 ] && active &&
        [ "$(companion)" = "$server" ] && [ "$(unit_restarts)" = "$restarts" ]
}

# Aborted 40 times in a row, more than user namespaces may nest: served
# again after each, and the companion holds no more than before.
hwmon_aborted_again_and_again() {
    server=$(companion)
    restarts=$(unit_restarts)
    measure() { echo "VmRSS $(rss "$server") kB, descriptors $(descriptors "$server") and the keeper's $(descriptors "$(keeper)"), user namespaces $(user_namespaces)"; }
    before=$(measure)
    rss_before=$(rss "$server")
    fds_before="$(descriptors "$server") $(descriptors "$(keeper)")"
    namespaces_before=$(user_namespaces)
    began=$(centiseconds)
    served=0
    while [ $served -lt 40 ]; do
        old=$(daemon)
        abort_connections
        until_true new_statpipe_served "$old" || break
        served=$((served + 1))
        # Both processes past their first recoveries: flat from here on.
        [ $served != 20 ] || warm="$(rss "$server") $(rss "$(keeper)")"
    done
    took=$((($(centiseconds) - began) * 10))
    after=$(measure)
    seen="served again $served times in $took ms; before: $before; VmRSS of the server and the keeper after 20: ${warm:-} kB, after 40: $(rss "$server") $(rss "$(keeper)") kB; after: $after; unit restarts $restarts, then $(unit_restarts)"
    [ $served = 40 ] && [ $(($(rss "$server") - rss_before)) -le 256 ] &&
        [ $(($(rss "$server") - ${warm%% *})) -le 64 ] && [ $(($(rss "$(keeper)") - ${warm##* })) -le 64 ] &&
        [ "$(descriptors "$server") $(descriptors "$(keeper)")" = "$fds_before" ] &&
        [ "$(user_namespaces)" -le "$namespaces_before" ] && [ "$(companion)" = "$server" ] &&
        [ "$(unit_restarts)" = "$restarts" ] && active
}

# A stop while a restart waits for a statpipe slow to die: passed on, and
# nothing started after it.
hwmon_stop_during_restart() {
    from=$(cursor)
    kill -STOP "$(daemon)"
    abort_connections
    until_true said_since "$from" "restarting" || seen="no restart began; "
    began=$(centiseconds)
    systemctl stop statpipe
    took=$((($(centiseconds) - began) * 10))
    result=$(systemctl show -p Result --value statpipe)
    state=$(systemctl is-active statpipe)
    left=$(pidof statpipe statpipe-hwmon)
    mounted && left="$left, a mount"
    seen="${seen}stopped in $took ms: $state, Result=$result; left: ${left:-nothing}"
    systemctl start statpipe
    [ "$state" = inactive ] && [ "$result" = success ] && [ "$took" -le 20000 ] && [ -z "$left" ] &&
        until_true active && until_true new_statpipe_served none
}

# Until $1, in hundredths of a second since boot; at once if it is past.
sleep_until() {
    left=$(($1 - $(centiseconds)))
    [ "$left" -le 0 ] || sleep_centiseconds "$left"
}

# The chip unbound and bound again each second, 10 times: the restarts
# paced, and the sensors served again soon after the last bind. Each
# change on the second from the first, for the writes to sysfs take time
# of their own in a guest: with a second after each, a busy host once saw
# a fifth restart, which the pace allows only to a chip that still
# changes 31 s after it began.
hwmon_chip_flapping() {
    from=$(cursor)
    flaps=0
    began=$(centiseconds)
    while [ $flaps -lt 10 ]; do
        echo 0x2d >/sys/bus/i2c/devices/i2c-0/delete_device && sleep_until $((began + flaps * 200 + 100)) &&
            echo as99127f 0x2d >/sys/bus/i2c/devices/i2c-0/new_device
        bound=$(centiseconds)
        flaps=$((flaps + 1))
        sleep_until $((began + flaps * 200))
    done
    flapped=$(((bound - began) * 10))
    # Served to a statpipe that no restart will replace: none pending
    # once 11 s have passed since the last.
    within 40 new_statpipe_served none
    took=$((($(centiseconds) - bound) * 10))
    sleep 11
    pid=$(daemon)
    got=$(records "$fifo" 5 | sensors)
    want=$(expected "$ours")
    restarts=$(companion_lines "$from" | grep -c '; restarting ')
    seen="10 flaps in $flapped ms; $restarts restarts of statpipe; served $took ms after the last bind; then $got"
    [ "$restarts" -le 4 ] && [ "$took" -le 25000 ] && [ "$got" = "$want" ] && [ "$(daemon)" = "$pid" ]
}

# Thousands of change events cost no look; hundreds of add events, a look
# each, leave the memory as it was.
hwmon_many_events() {
    pid=$(companion)
    old=$(daemon)
    ticks=$(cpu_ticks "$pid")
    events 2000 change
    change=$(($(cpu_ticks "$pid") - ticks))
    before=$(rss "$pid")
    ticks=$(cpu_ticks "$pid")
    events 300 add
    add=$(($(cpu_ticks "$pid") - ticks))
    after=$(rss "$pid")
    got=$(records "$fifo" 5 | sensors)
    want=$(expected "$ours")
    seen="companion's CPU for 2000 change events $((change * 10)) ms, for 300 add events $((add * 10)) ms; VmRSS $before kB before the adds, $after kB after; then $got"
    [ "$got" = "$want" ] && [ "$(daemon)" = "$old" ] && [ $((after - before)) -le 64 ] && [ "$change" -lt "$add" ]
}

# /dev/fuse as the kernel makes it, without udev: statpipe runs all the
# same, with channels 0 to 2, and one line says why; opened a little later,
# as a late device rule would, the files are served within 90 s, with no
# restart of the unit.
hwmon_fuse_closed() {
    from=$(cursor)
    chmod 600 /dev/fuse
    systemctl restart statpipe
    until_true active
    got=$(records "$fifo" 6 | channels)
    restarts=$(unit_restarts)
    server=$(companion)
    named=$(companion_lines "$from" | grep -c /dev/fuse)
    chmod 666 /dev/fuse
    opened=$(centiseconds)
    within 90 new_statpipe_served none
    took=$((($(centiseconds) - opened) * 10))
    sensors=$(records "$fifo" 5 | sensors)
    seen="$(systemctl is-active statpipe), $restarts restarts; reader got $got; served $took ms after /dev/fuse was opened, $sensors; $(companion_lines "$from" | tr '\n' '|')"
    [ "$got" = "00 01 02 00 01 02 " ] && [ "$named" = 1 ] && [ "$restarts" = 0 ] && [ "$took" -le 90000 ] &&
        [ "$sensors" = "$(expected "$ours")" ] && [ "$(companion)" = "$server" ] && [ "$(unit_restarts)" = 0 ]
}

# The drop-in's root variant, as its comment says to add it: an abort is
# ridden out too, and only the keeper holds a capability.
hwmon_root_variant() {
    variant=/etc/systemd/system/statpipe.service.d/root.conf
    mkdir -p "${variant%/*}"
    { echo "[Service]"; sed -n 's/^#\([A-Za-z]*=.*\)$/\1/p' /lib/systemd/system/statpipe.service.d/hwmon.conf; } >"$variant"
    systemctl daemon-reload && systemctl restart statpipe
    until_true active
    namespaces=$(systemctl show -p RestrictNamespaces --value statpipe)
    level=$(exposure)
    got=$(records "$fifo" 5 | sensors)
    old=$(daemon)
    abort_connections
    until_true new_statpipe_served "$old" && again=served || again="not served"
    users="statpipe-hwmon $(user_of "$(companion)") $(privileges "$(companion)"), statpipe $(user_of "$(daemon)") $(privileges "$(daemon)")$(confinement "$(daemon)"), keeper $(user_of "$(keeper)")"
    kept="$(privileges "$(keeper)")$(confinement "$(keeper)")"
    want=$(expected "$ours")
    rm "$variant" && systemctl daemon-reload && systemctl restart statpipe
    seen="RestrictNamespaces $namespaces; exposure $level; $users; $got; after an abort: $again; the keeper: $kept"
    [ "$namespaces" = mnt ] && [ "$got" = "$want" ] && [ "$again" = served ] &&
        [ "$users" = "statpipe-hwmon statpipe Uid: $(id -u statpipe) CapEff: 0000000000000000 , statpipe statpipe Uid: $(id -u statpipe) CapEff: 0000000000000000 $(sealed), keeper root" ] &&
        [ "$kept" = "Uid: 0 CapEff: 00000000002401c0 CapPrm: 00000000002401c0 CapBnd: 00000000002401c0 NoNewPrivs: 1 " ] &&
        awk -v s="$level" 'BEGIN { exit !(s != "" && s <= 1.9) }' && until_true active
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
    # The rows before started the unit often enough to reach its start limit
    # (5 in 120 s) on a slower guest; this row's restart is the one to count.
    systemctl reset-failed statpipe
    systemctl start statpipe
    until_true pidof statpipe >/dev/null
    restart
    ok=$?
    seen="$seen; now under $(companion), $(systemctl show -p NRestarts --value statpipe) restart(s) of the unit"
    [ $ok = 0 ] && active
}

remove_purge() {
    systemctl start statpipe
    apt-get remove -y -qq statpipe-hwmon statpipe >>/tmp/apt.log 2>&1
    state="$(systemctl is-active statpipe); conffile $(test -f /etc/default/statpipe && echo kept || echo gone)"
    echo "statpipe: as the init script logs without a syslog" >/var/log/statpipe.log
    apt-get purge -y -qq statpipe >>/tmp/apt.log 2>&1
    state="$state; purged: conffile $(test -f /etc/default/statpipe && echo kept || echo gone)"
    state="$state, log $(test -f /var/log/statpipe.log && echo kept || echo gone)"
    seen=$state
    [ "$state" = "inactive; conffile kept; purged: conffile gone, log gone" ] && [ -z "$(pidof statpipe)" ]
}

details() {
    journalctl -u statpipe -o cat --no-pager | tail -n 8
    tail -n 5 /tmp/apt.log /tmp/upgrade.log /tmp/recipe.err 2>/dev/null
}
echo "vm-debian: $(sed -n 's/^PRETTY_NAME="\(.*\)"$/\1/p' /etc/os-release), Linux $(uname -r), $(systemctl --version | head -n 1)"
# A device upgraded to the next release (scripts/vm-test's upgrade stage),
# in two boots; the first leaves /root/vm/upgraded, its kernel's release.
next=$(cat upgrade 2>/dev/null)
fifo_12=/run/panel/status.fifo
device_line="STATPIPE_PIPE=$fifo_12"

# The chip's registers as the rows compare them, then the chip bound.
# BusyBox's i2cset, as in the other guest: i2c-tools depends on Perl,
# which a device does not carry and whose upgrade took 45 s of the
# full-upgrade.
i2cset() { /root/vm/busybox i2cset "$@"; }
bind_chip() {
    i2cset -y 0 0x2d 0x4a 0x10 && i2cset -y 0 0x2d 0x29 0x87 && i2cset -y 0 0x48 0x00 0x80fa w &&
        echo as99127f 0x2d >/sys/bus/i2c/devices/i2c-0/new_device
}
versions() { dpkg-query -W -f '${Package} ${Version}, ' statpipe statpipe-hwmon; }

# Debian 12's packages with the chip bound, the device's own line added.
before_upgrade() {
    bind_chip
    apt-get install -y -qq ./statpipe_*_amd64.deb ./statpipe-hwmon_*_amd64.deb >/tmp/apt.log 2>&1
    # Installed for statpipe, as apt marks what it installs on a device; the
    # image holds them from the start only for want of a network.
    for deb in ./statpipe_*_amd64.deb ./statpipe-hwmon_*_amd64.deb; do dpkg-deb -f "$deb" Depends; done |
        tr ',' '\n' | sed 's/|.*//; s/(.*//; s/ //g' | grep -v '^statpipe' | xargs apt-mark auto >/dev/null
    echo "$device_line" >>/etc/default/statpipe
    systemctl restart statpipe
    until_true active
    within 60 new_statpipe_served none
    got=$(records "$fifo_12" 5 | sensors)
    seen="$(versions)$(systemctl is-active statpipe); $got"
    [ "$got" = "$(expected "$ours")" ]
}

# apt full-upgrade from the repository on the second disk, as a device's
# unattended upgrade runs it, a reader attached throughout; each tenth of
# a second, the statpipes that run. The sampler is bash's builtins alone:
# a pidof and a sleep each time took much of the guest's CPU, over the
# whole upgrade.
full_upgrade() {
    mkdir -p /mnt/repo && mount -o ro /dev/vdb /mnt/repo
    rm -f /etc/apt/sources.list.d/* && echo "deb [trusted=yes] file:/mnt/repo ./" >/etc/apt/sources.list
    (while :; do setpriv --reuid=nobody --regid=statpipe --clear-groups cat "$fifo_12"; sleep 0.1; done) >/tmp/stream &
    reader=$!
    rm -f /tmp/sampler_nap && mkfifo /tmp/sampler_nap
    # shellcheck disable=SC2016 # bash's own expansions
    bash -c 'exec 3<>/tmp/sampler_nap
        while :; do
            pids=
            for comm in /proc/[0-9]*/comm; do
                read -r name <"$comm" && [ "$name" = statpipe ] && pids+=" ${comm:6:-5}"
            done 2>/dev/null
            echo "${pids# }"
            read -r -t 0.1 -u 3
        done' >/tmp/writers &
    sampler=$!
    began=$(centiseconds)
    # Without dpkg's fsyncs, which on a disk image thrown away after the
    # run guard nothing, and cost the guest its CPU under TCG.
    apt-get update -qq >>/tmp/apt.log 2>&1 &&
        DEBIAN_FRONTEND=noninteractive apt-get full-upgrade -y -q -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
            -o Dpkg::Options::=--force-unsafe-io >/tmp/upgrade.log 2>&1
    status=$?
    took=$((($(centiseconds) - began) / 100))
    upgraded=$(grep -c '^Unpacking ' /tmp/upgrade.log)
    # Records after it, from whatever statpipe it left.
    sleep 10
    kill "$sampler" "$reader" && pkill -x cat
    seen="status $status in $took s, $upgraded packages; $(versions)"
    [ "$status" = 0 ]
}

after_upgrade_installed() {
    exes=$(for pid in $(pidof statpipe statpipe-hwmon); do readlink "/proc/$pid/exe"; done | sort -u | tr '\n' ' ')
    audit=$(dpkg --audit)
    seen="$(versions)running $exes; dpkg --audit: ${audit:-nothing}"
    [ "$(versions)" = "statpipe 1.0.0~deb${version_id}u1, statpipe-hwmon 1.0.0~deb${version_id}u1, " ] &&
        [ "$exes" = "/usr/sbin/statpipe /usr/sbin/statpipe-hwmon " ] && [ -z "$audit" ] && active
}

unit_moved() {
    owned=$(dpkg-query -L statpipe statpipe-hwmon | grep '/systemd/system/.' | sort | tr '\n' ' ')
    loaded="$(systemctl show -p FragmentPath --value statpipe) $(systemctl show -p DropInPaths --value statpipe)"
    seen="owned: $owned; loaded: $loaded"
    [ "$owned" = "/usr/lib/systemd/system/statpipe.service /usr/lib/systemd/system/statpipe.service.d /usr/lib/systemd/system/statpipe.service.d/hwmon.conf " ] &&
        [ "$loaded" = "/usr/lib/systemd/system/statpipe.service /usr/lib/systemd/system/statpipe.service.d/hwmon.conf" ] &&
        [ -f /usr/lib/systemd/system/statpipe.service ] && [ -f /usr/lib/systemd/system/statpipe.service.d/hwmon.conf ]
}

device_line_kept() {
    left=$(find /etc -name 'statpipe*.dpkg-*' | tr '\n' ' ')
    seen="$(grep -c "^$device_line\$" /etc/default/statpipe) device line(s); left by dpkg: ${left:-nothing}"
    grep -qx "$device_line" /etc/default/statpipe && [ -z "$left" ]
}

libfuse_unneeded() {
    depends=$(dpkg-query -W -f '${Depends}' statpipe-hwmon | tr ',' '\n' | grep -o 'libfuse3-[0-9]*' | tr '\n' ' ')
    removable=$(apt-get -s autoremove 2>/dev/null | sed -n 's/^Remv \(libfuse3-[0-9]*\) .*/\1/p' | tr '\n' ' ')
    seen="statpipe-hwmon depends on $depends; autoremove would remove $removable"
    [ "$depends" = "libfuse3-4 " ] && [ "$removable" = "libfuse3-3 " ]
}

# The stream the reader got: whole records of channels 0 to 4, each the
# next of the one before, or a new rotation; a break in that only where a
# new statpipe began, as the samples saw them, never two at once.
one_writer() {
    bytes=$(stat -c %s /tmp/stream)
    found=$(od -An -tu1 -v -w3 /tmp/stream | awk '
        $1 > 4 || NF != 3 { bad++ }
        NR > 1 && $1 != 0 && $1 != previous + 1 { breaks++ }
        { previous = $1 }
        END { print breaks + 0, bad + 0 }')
    two=$(awk 'NF > 1' /tmp/writers | wc -l)
    statpipes=$(tr ' ' '\n' </tmp/writers | grep . | sort -u | wc -l)
    seen="$((bytes / 3)) records ($bytes bytes), ${found% *} breaks in the rotation, ${found#* } not a record; $statpipes statpipes, $two samples of two at once"
    [ $((bytes % 3)) = 0 ] && [ "$bytes" -ge 30 ] && [ "${found#* }" = 0 ] && [ "$two" = 0 ] &&
        [ "${found% *}" -le "$statpipes" ]
}

# After the reboot on the next release's kernel: active on its own, and
# served once the chip is bound.
after_reboot() {
    until_true active
    state=$(systemctl is-active statpipe)
    bind_chip
    within 60 new_statpipe_served none
    got=$(records "$fifo_12" 5 | sensors)
    want=$(expected "$ours")
    seen="Linux $(uname -r), not $(cat upgraded); $(versions)$state at boot; $got, sysfs fan2 $(cat $ours/fan2_input) temp2 $(cat $ours/temp2_input)"
    [ "$state" = active ] && [ "$got" = "$want" ] && [ "$(uname -r)" != "$(cat upgraded)" ] && active
}

if [ -n "$next" ]; then
    version_id=$(sed -n 's/^VERSION_ID="\(.*\)"$/\1/p' /etc/os-release)
    if [ ! -f upgraded ]; then
        row "Debian $version_id's packages under the drop-in, the device's own line: served" before_upgrade
        row "apt full-upgrade to $next, a reader attached" full_upgrade
        version_id=$(sed -n 's/^VERSION_ID="\(.*\)"$/\1/p' /etc/os-release)
        row "Debian $version_id's build installed, its programs running" after_upgrade_installed
        row "the unit and the drop-in only under /usr/lib" unit_moved
        row "/etc/default/statpipe keeps the device's own line" device_line_kept
        row "libfuse3-3 needed by nothing of statpipe's" libfuse_unneeded
        row "during the upgrade: whole records, never two writers" one_writer
        uname -r >upgraded
        sync
        verdict vm-upgrade
    else
        row "booted again on Debian $version_id's kernel: active, fan and temperature as sysfs" after_reboot
        verdict vm-upgraded
    fi
    sync
    systemctl poweroff --force --force
fi

row "the README's recipe for a device" device_recipe
row "cmake --install, then the README's systemd steps" readme_steps
row "installed: running as statpipe, sandboxed, its FIFO read by group statpipe" running
row "journal: each start-up warning once a start" journal
row "exposure on the live system at most 1.0" exposure_level
row "killed: restarted, records resume" restart
row "changed path in a new directory: made at the next start" changed_path
row "statpipe-hwmon, no chip for 30 rotations: the two open warnings, nothing each rotation" hwmon_no_chip
row "the chip bound: served within 10 s; the companion not root, no capability; exposure at most 1.0" hwmon_chip_bound
row "a configuration file the companion cannot read, then an event: records go on, said and then mended" hwmon_unreadable_configuration
row "the FUSE connection aborted: a new statpipe served within 40 s, by the same companion" hwmon_fuse_aborted
row "aborted 40 times in a row: served again each time; VmRSS, descriptors and user namespaces as before, both processes flat after the first 20" hwmon_aborted_again_and_again
row "a stop during a restart: inactive, Result=success, within 20 s, nothing left" hwmon_stop_during_restart
row "the chip flapping 10 times in 20 s: at most 4 restarts, served within 25 s of the last bind" hwmon_chip_flapping
row "2000 change events cost no look; 300 add events leave VmRSS flat" hwmon_many_events
row "/dev/fuse 0600: the unit stays active, channels 0 to 2, one line naming /dev/fuse; 0666 later: served within 90 s" hwmon_fuse_closed
row "the drop-in's root variant: user namespaces refused, the sensors served, an abort ridden out, the keeper alone privileged" hwmon_root_variant
row "systemctl stop under the drop-in: inactive, nothing left" hwmon_stopped
row "statpipe killed under the drop-in: restarted" hwmon_killed
row "remove keeps the conffile, purge removes it and the log" remove_purge
verdict vm-debian
systemctl poweroff --force --force
