#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# scripts/demo as a user runs it: bad arguments refused, a timed run that
# ends by itself, Ctrl-C (SIGINT to the whole group) giving 130, and no
# daemon or reader left behind either way. It builds build/default.
# Usage: demo_test.sh SOURCE_DIR
set -euo pipefail
demo=$1/scripts/demo
fail() { echo "FAIL: $*" >&2; exit 1; }
# The demos started here carry a mark in their environment, and so does
# every process they start: only those are ours to look for.
mark=STATPIPE_DEMO_TEST=$$
left() {
    grep -lzx "$mark" /proc/[0-9]*/environ 2>/dev/null | sed 's|^/proc/||; s|/environ$||' | tr '\n' ' ' || true
}
for args in "--seconds abc" "--seconds 0" "--seconds=" "--seconds" "--count 3"; do
    # shellcheck disable=SC2086  # the words are the arguments
    status=0 && env "$mark" timeout 300 bash "$demo" $args >/dev/null 2>&1 || status=$?
    [ "$status" = 2 ] || fail "demo $args: status $status"
done
out=$(env "$mark" timeout 300 bash "$demo" --seconds 3 2>/dev/null) || fail "a timed demo: status $?"
grep " 0 load " <<<"$out" >/dev/null || fail "no record shown: $out"
[ -z "$(left)" ] || fail "left behind after a timed demo: $(left)"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
env "$mark" setsid bash "$demo" >"$out" 2>&1 &
demo_pid=$!
for _ in $(seq 100); do grep " 0 load " "$out" >/dev/null && break; sleep 0.1; done
kill -INT -- "-$demo_pid"
status=0 && wait "$demo_pid" || status=$?
[ "$status" = 130 ] || fail "Ctrl-C: status $status"
sleep 0.2
[ -z "$(left)" ] || fail "left behind after Ctrl-C: $(left)"
