#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What a distribution would build with, read off the binaries: full RELRO
# with immediate binding, PIE, a stack protector, fortified libc calls; and
# the stripped daemon within 16 KiB.
# Usage: hardening_test.sh DAEMON TOOL...
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
daemon=$1
for binary in "$@"; do
    readelf -lW "$binary" | grep GNU_RELRO >/dev/null || fail "$binary: no RELRO"
    readelf -d "$binary" | grep BIND_NOW >/dev/null || fail "$binary: no BIND_NOW"
    readelf -h "$binary" | grep "DYN (Position-Independent" >/dev/null || fail "$binary: not PIE"
    nm -D "$binary" | grep __stack_chk_fail >/dev/null || fail "$binary: no stack protector"
done
# The daemon's calls are all provably within bounds, so only the tools show
# the checked variants.
for tool in "${@:2}"; do
    nm -D "$tool" | grep "_chk@" >/dev/null || fail "$tool: no fortified calls"
done
stripped=$(mktemp)
trap 'rm -f "$stripped"' EXIT
strip -o "$stripped" "$daemon"
size=$(stat -c %s "$stripped")
echo "stripped daemon: $size bytes"
[ "$size" -le 16384 ] || fail "the stripped daemon is $size bytes, above 16 KiB"
