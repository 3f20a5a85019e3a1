#!/bin/sh
# Runs a Windows test program under Wine in the build tree's prefix, from WORKDIR, and judges it by what it prints:
# at least one check, every check line "ok", a last line "N checks, 0 failed" that counts them, and exit status 0.
# Wine's own messages go to standard error and take no part in the judgement.
# usage: run-under-wine.sh PREFIX WORKDIR PROGRAM [ARGUMENTS...]
set -u
prefix=$1
workdir=$2
shift 2
printed=$(mktemp)
trap 'rm -f "$printed"' EXIT
(cd "$workdir" && WINEPREFIX=$prefix WINEDEBUG=-all wine "$@") >"$printed"
status=$?
tr -d '\r' <"$printed"
passed=$(tr -d '\r' <"$printed" | grep -c '^ok - ')
failed=$(tr -d '\r' <"$printed" | grep -c '^FAIL - ')
last=$(tr -d '\r' <"$printed" | tail -n 1)
if [ "$status" -ne 0 ] || [ "$passed" -eq 0 ] || [ "$failed" -ne 0 ] || [ "$last" != "$passed checks, 0 failed" ]; then
    echo "judged FAILED: exit status $status, $passed ok, $failed FAIL, last line \"$last\""
    exit 1
fi
echo "judged passed: $passed checks"
