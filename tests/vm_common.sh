# SPDX-License-Identifier: MIT
# shellcheck shell=sh
# What both guests of scripts/vm-test share: the scenario table and the
# records that the driver's sysfs readings call for. Each guest defines
# details(), what it shows under a failed row.

passed=0
failed=0
# One scenario: FUNCTION says what it saw in $seen and succeeds or fails.
# Each row says how long it took and the CPU the guest spent meanwhile,
# which is what it costs the host under TCG.
row() {
    seen=
    row_began=$(centiseconds)
    row_busy=$(busy)
    if "$2"; then
        passed=$((passed + 1))
        row_result=ok
    else
        failed=$((failed + 1))
        row_result="not ok"
    fi
    echo "$row_result - $1: $seen [$(seconds $(($(centiseconds) - row_began))) s, CPU $(seconds $(($(busy) - row_busy))) s]"
    [ "$row_result" = ok ] || details | sed 's/^/    /'
}
verdict() { echo "$1: $passed passed, $failed failed"; }

# The fan and temperature records of the chip whose attributes are in
# directory $1, as its driver reads them now: rpm, and t * 300 / 43 + 410
# for t in degrees, truncated (above -58.7 degrees), sorted as sensors()
# sorts them.
expected() {
    rpm=$(cat "$1/fan2_input")
    millidegrees=$(cat "$1/temp2_input")
    t=$(((millidegrees * 300 + 17630000) / 43000))
    printf '03 %02x %02x 04 %02x %02x ' $((rpm >> 8 & 255)) $((rpm & 255)) $((t >> 8 & 255)) $((t & 255))
}
# The sensor records among records, one a line, in channel order.
sensors() { grep -E '^0[34]' | sort | tr '\n' ' '; }
channels() { cut -c1-2 | tr '\n' ' '; }

# Runs a command until it succeeds, SECONDS at most: after a tenth of a
# second, then twice as long each time, up to a second. Under TCG a check
# costs the guest fork/execs, and a check each tenth of a second takes
# much of the CPU that what a row waits for needs.
within() {
    waited=0
    nap=10
    limit=$(($1 * 100))
    shift
    while ! "$@" && [ $waited -lt $limit ]; do
        nap_within "$nap"
        nap=$((nap * 2 > 100 ? 100 : nap * 2))
    done
    "$@"
}
until_true() { within 30 "$@"; }
# Sleeps $1 hundredths of a second.
sleep_centiseconds() { sleep "$(($1 / 100)).$(($1 / 10 % 10))$(($1 % 10))"; }
# Sleeps $1 hundredths of a second of a wait that has slept $waited of
# its $limit, never past the limit, and counts it in $waited.
nap_within() {
    slept=$(($1 < limit - waited ? $1 : limit - waited))
    sleep_centiseconds "$slept"
    waited=$((waited + slept))
}
# A statpipe runs that is not PID $1.
statpipe_other_than() {
    now=$(pidof statpipe)
    [ -n "$now" ] && [ "$now" != "$1" ]
}

# Time since boot, in hundredths of a second.
centiseconds() { cut -d' ' -f1 /proc/uptime | tr -d .; }
# The CPU time the guest has spent since boot, in the same unit: user,
# nice, system, interrupts.
busy() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 }' /proc/stat; }
# Hundredths of a second as seconds, to a tenth.
seconds() { printf '%d.%d' $(($1 / 100)) $(($1 / 10 % 10)); }
# A process's user and capabilities: "Uid: N CapEff: HEX ".
privileges() { awk '/^(Uid|CapEff):/ { printf "%s %s ", $1, $2 }' "/proc/$1/status"; }
# What it could still come to hold: "CapPrm: HEX CapBnd: HEX NoNewPrivs: N ".
confinement() { awk '/^(CapPrm|CapBnd|NoNewPrivs):/ { printf "%s %s ", $1, $2 }' "/proc/$1/status"; }
# A command confined: nothing permitted, nothing bounded, nothing to gain.
sealed() { printf "CapPrm: 0000000000000000 CapBnd: 0000000000000000 NoNewPrivs: 1 "; }
# statpipe-hwmon's server, which answers the requests: not its keeper,
# whose parent it is.
companion() {
    for p in $(pidof statpipe-hwmon); do
        [ "$(cat "/proc/$(awk '/^PPid:/ { print $2 }' "/proc/$p/status")/comm" 2>/dev/null)" = statpipe-hwmon ] ||
            echo "$p"
    done
}
keeper() { for p in $(pidof statpipe-hwmon); do [ "$p" = "$(companion)" ] || echo "$p"; done; }
