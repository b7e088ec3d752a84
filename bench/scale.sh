#!/usr/bin/env bash
# Growth of mount, find and Recover All from 10 000 to 100 000 to 1 000 000 files (ten
# files a folder). Images are built in WORKDIR (default /tmp) and kept for reruns.
#   bench/scale.sh [BUILD_DIR] [WORKDIR]
set -euo pipefail
build=${1:-build}
work=${2:-/tmp}
for n in 10000 100000 1000000; do
    echo "== $n files, $((n / 10)) folders"
    "$build/bench/mount_bench" "$n" "$((n / 10))" "$work" --skip-tsk | grep -E "measure:|Normal mount|Extensive mount|Recover All|tree memory"
done
