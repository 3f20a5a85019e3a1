#!/bin/sh
# Runs the Linux build's host program on each input the Windows test program blurred (listed in
# linux-compare.txt) and requires byte-equal outputs.
# usage: compare-with-linux.sh WORKDIR LINUX_HOST
set -u
workdir=$1
host=$2
if [ ! -x "$host" ]; then
    echo "FAIL - the Linux build's host program is missing ($host): build the default preset first"
    exit 1
fi
cd "$workdir" || exit 1
if [ ! -s linux-compare.txt ]; then
    echo "FAIL - no outputs of the Windows module to compare (linux-compare.txt)"
    exit 1
fi
failed=0
compared=0
while read -r input output; do
    compared=$((compared + 1))
    rm -f "linux-$output"
    if "$host" "$input" "linux-$output" >/dev/null && cmp -s "$output" "linux-$output"; then
        echo "ok - $output equals the Linux build's output for $input"
    else
        echo "FAIL - $output differs from the Linux build's output for $input"
        failed=$((failed + 1))
    fi
done <linux-compare.txt
echo "$compared compared, $failed differ"
[ "$failed" -eq 0 ]
