#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What clang-tidy found clean is not analysed again, and nothing else is
# taken for it: a comment changed in a file that the source reads is
# analysed again, and a finding fails every time.
# Usage: clang_tidy_remembered_test.sh CLANG_TIDY
set -euo pipefail
tidy=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export STATPIPE_CLANG_TIDY=$tidy STATPIPE_CLANG_TIDY_CACHE=$work/cache
fail() { echo "FAIL: $*" >&2; exit 1; }

# A header whose NOLINT hides the one finding, and a source that reads it.
tree() {
    mkdir -p "$1/src" "$1/build"
    printf 'Checks: "-*,readability-inconsistent-declaration-parameter-name"\nWarningsAsErrors: "*"\nHeaderFilterRegex: ".*"\n' >"$1/.clang-tidy"
    printf '// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)\nint twice(int count);\n' >"$1/src/a.h"
    printf '#include "a.h"\nint twice(int value) { return value * 2; }\n' >"$1/src/a.cpp"
    printf '[{"directory": "%s/build", "command": "c++ -std=c++17 -I%s/src -o a.o -c %s/src/a.cpp", "file": "%s/src/a.cpp"}]\n' \
        "$1" "$1" "$1" "$1" >"$1/build/compile_commands.json"
}
# run TREE: "clean", "remembered" or "found", as the script said.
run() {
    local out status=0
    out=$(STATPIPE_SOURCE_DIR=$1 python3 "$here/clang_tidy_remembered.py" "-p=$1/build" -quiet "$1/src/a.cpp" 2>&1) || status=$?
    if [ "$status" != 0 ]; then
        grep -q "readability-inconsistent-declaration-parameter-name" <<<"$out" && echo found || echo "status $status: $out"
    elif grep -q "not analysed again" <<<"$out"; then
        echo remembered
    else
        echo clean
    fi
}
one=$work/one
tree "$one"
# Each row: an edit (none for ""), the tree it is run in, what must follow.
rows=(
    "|$one|clean"
    "|$one|remembered"
    "sed -i s/NOLINTNEXTLINE/Once/ $one/src/a.h|$one|found"
    "|$one|found"
    "tree $one|$one|remembered"
    "tree $work/another/clone|$work/another/clone|remembered"
)
for row in "${rows[@]}"; do
    IFS='|' read -r edit at want <<<"$row"
    [ -z "$edit" ] || eval "$edit"
    got=$(run "$at")
    [ "$got" = "$want" ] || fail "after '${edit:-nothing}' in $at: $got, not $want"
done
echo "${#rows[@]} rows"
