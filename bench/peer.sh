#!/bin/sh
# SPDX-License-Identifier: MIT
# What an integrator would otherwise write: the same record stream from a
# plain POSIX shell, reading /proc and formatting with printf. Kept for
# bench/footprint to measure statpipe against; not installed.
# Usage: peer.sh [ named_pipe [ base_address ] ]
pipe=${1:-/tmp/harddisk/quorvath/share/okrin_pipe}
base=$(( ${2:-0} & 255 ))
chip=/proc/sys/dev/sensors/as99127f-i2c-1-2d
[ -p "$pipe" ] || { echo "Unable to locate FIFO file at $pipe" >&2; exit 1; }
trap '' PIPE
exec 3>"$pipe" || exit 1

# Writes channel $1 with value $2 as three bytes; fails without a reader.
send() {
    c=$(( ($1 + base) & 255 )); hi=$(( ($2 >> 8) & 255 )); lo=$(( $2 & 255 ))
    # printf takes bytes as octal escapes: write each byte's digits
    c=$(( (c >> 6) * 100 + (c >> 3 & 7) * 10 + (c & 7) ))
    hi=$(( (hi >> 6) * 100 + (hi >> 3 & 7) * 10 + (hi & 7) ))
    lo=$(( (lo >> 6) * 100 + (lo >> 3 & 7) * 10 + (lo & 7) ))
    # shellcheck disable=SC2059  # the format is the record
    printf "\\${c}\\${hi}\\${lo}" >&3
}

# Sets value for channel $1, or fails to skip it.
sample() {
    case $1 in
    0)  read -r load _ </proc/loadavg
        # two digits of fraction; "08" would be a bad octal number
        frac=${load#*.}; frac=${frac#0}
        value=$(( ${load%.*} * 65536 + frac * 65536 / 100 ))
        [ "$value" -le 65535 ] || value=65535 ;;
    1)  read -r _ _ _ tasks _ </proc/loadavg
        value=${tasks#*/} ;;
    2)  total=0 free=0
        while read -r key kb _; do
            case $key in MemTotal:) total=$kb ;; MemFree:) free=$kb ;; esac
        done </proc/meminfo
        value=$(( (total - free) * 65535 / total )) ;;
    3)  [ -r "$chip/fan2" ] && read -r _ value _ <"$chip/fan2" ;;
    4)  [ -r "$chip/temp2" ] && read -r _ _ t _ <"$chip/temp2" || return 1
        # tenths of a degree, the sign kept apart: "-0.5" has an integer part of 0
        sign=1; case $t in -*) sign=-1; t=${t#-} ;; esac
        case $t in *.*) ;; *) t=$t.0 ;; esac
        whole=${t%%.*}; frac=${t#*.}
        whole=${whole#"${whole%%[!0]*}"}; frac=${frac%"${frac#?}"}
        tenths=$(( sign * (${whole:-0} * 10 + ${frac:-0}) ))
        # one division of the whole sum truncates as the daemon does
        value=$(( (tenths * 30 + 410 * 43) / 43 )) ;;
    esac
}

channel=0
while :; do
    if sample "$channel"; then
        until send "$channel" "$value" 2>/dev/null; do sleep 10; sample "$channel"; done
        sleep 2
    fi
    channel=$(( (channel + 1) % 5 ))
done
