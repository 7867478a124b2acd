#!/bin/sh
# Runs one fuzz target for a fixed time from the committed seeds, with a fixed seed, in a
# scratch corpus of its own; prints how many inputs ran. Any finding fails the test.
# usage: run_fuzz.sh FUZZER SEED_DIR SECONDS
set -u
fuzzer=$1 seeds=$2 seconds=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
"$fuzzer" -max_total_time="$seconds" -seed=1 -max_len=2048 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "$seeds" >"$work/log" 2>&1
status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
if [ "$status" -ne 0 ]; then
    tail -n 40 "$work/log"
    for crash in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
        [ -e "$crash" ] && echo "input: $(od -An -tx1 -v "$crash" | tr -d '\n')"
    done
    echo "$(basename "$fuzzer"): FINDING after ${runs:-?} executions"
    exit 1
fi
echo "$(basename "$fuzzer"): ${runs:-?} executions in ${seconds} s, no findings"
