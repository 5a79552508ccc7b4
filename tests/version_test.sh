#!/bin/sh
# SPDX-License-Identifier: MIT
# The version is project()'s alone: what else carries it must agree.
# Usage: version_test.sh VERSION SOURCE_DIR PROGRAM...
version=$1 source=$2
shift 2
status=0
disagrees() { echo "$1 says '$2', not '$version'" && status=1; }
changelog=$(sed -n '1s/^statpipe (\([^)]*\)).*/\1/p' "$source/debian/changelog")
[ "$changelog" = "$version" ] || disagrees debian/changelog "$changelog"
for page in "$source"/man/*.[18]; do
    os=$(sed -n 's/^\.Os statpipe //p' "$page")
    [ "$os" = "$version" ] || disagrees "$page" "$os"
done
for program; do
    said=$("$program" --version)
    [ "$said" = "$(basename "$program") $version" ] || disagrees "$program --version" "$said"
done
exit $status
