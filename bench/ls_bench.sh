#!/usr/bin/env bash
# trevik-cli ls -r --json against fls -r -p on a bare UFS image (as mount_bench writes
# them), interleaved, RUNS times each: total seconds and peak memory of the last run.
#   bench/ls_bench.sh IMAGE [RUNS] [BUILD_DIR]
set -euo pipefail
image=$1
runs=${2:-10}
build=${3:-build}
ours=0
theirs=0
now() { date +%s.%N; }
for ((i = 0; i < runs; i++)); do
    t0=$(now)
    "$build/src/cli/trevik-cli" ls "$image" --scan --end 64 --volume 1 -r --json >/dev/null
    t1=$(now)
    fls -r -p -f ufs1 "$image" >/dev/null
    t2=$(now)
    ours=$(echo "$ours + $t1 - $t0" | bc)
    theirs=$(echo "$theirs + $t2 - $t1" | bc)
done
peak=$( { /usr/bin/time -f %M "$build/src/cli/trevik-cli" ls "$image" --scan --end 64 --volume 1 \
    -r --json >/dev/null; } 2>&1 | tail -1)
printf 'ls -r --json: %.3f s per run, peak %s KiB\n' "$(echo "$ours / $runs" | bc -l)" "$peak"
printf 'fls -r -p:    %.3f s per run\n' "$(echo "$theirs / $runs" | bc -l)"
printf 'ratio:        %.2f\n' "$(echo "$ours / $theirs" | bc -l)"
