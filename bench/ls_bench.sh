#!/usr/bin/env bash
# trevik-cli ls -r --json and ls -r against the mount alone (info) and against fls -r -p on
# a bare UFS image (as mount_bench writes them), interleaved, RUNS times each: seconds per
# run, the ratios measured side by side, and peak memory of the last run.
#   bench/ls_bench.sh IMAGE [RUNS] [BUILD_DIR]
set -euo pipefail
image=$1
runs=${2:-10}
build=${3:-build}
cli=$build/src/cli/trevik-cli
args=(--scan --end 64 --volume 1)
json=0
text=0
info=0
theirs=0
now() { date +%s.%N; }
for ((i = 0; i < runs; i++)); do
    t0=$(now)
    "$cli" info "$image" "${args[@]}" >/dev/null
    t1=$(now)
    "$cli" ls "$image" "${args[@]}" -r --json >/dev/null
    t2=$(now)
    "$cli" ls "$image" "${args[@]}" -r >/dev/null
    t3=$(now)
    fls -r -p -f ufs1 "$image" >/dev/null
    t4=$(now)
    info=$(echo "$info + $t1 - $t0" | bc)
    json=$(echo "$json + $t2 - $t1" | bc)
    text=$(echo "$text + $t3 - $t2" | bc)
    theirs=$(echo "$theirs + $t4 - $t3" | bc)
done
peak=$( { /usr/bin/time -f %M "$cli" ls "$image" "${args[@]}" -r --json >/dev/null; } 2>&1 | tail -1)
per() { echo "$1 / $runs" | bc -l; }
printf 'info (the mount): %.3f s per run\n' "$(per "$info")"
printf 'ls -r --json:     %.3f s per run, peak %s KiB, %.2fx info (limit 1.5)\n' \
    "$(per "$json")" "$peak" "$(echo "$json / $info" | bc -l)"
printf 'ls -r (text):     %.3f s per run, %.2fx info (limit 1.3)\n' "$(per "$text")" \
    "$(echo "$text / $info" | bc -l)"
printf 'fls -r -p:        %.3f s per run\n' "$(per "$theirs")"
printf 'ratio:            %.2f (ls -r --json against fls -r -p)\n' "$(echo "$json / $theirs" | bc -l)"
