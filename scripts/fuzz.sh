#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 60) on a copy
# of its seed corpus. A crash, leak or sanitizer report fails the run.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(label scan superblock inode directory mount log mddb)
build=${TREVIK_FUZZ_BUILD_DIR:-build-fuzz}

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DTREVIK_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"

declare -A max_len=([label]=1024 [scan]=1048576 [superblock]=4096 [inode]=300000 [directory]=8192 [mount]=300000 [log]=300000 [mddb]=65536)
for t in "${targets[@]}"; do
    work="$build/corpus/$t"
    mkdir -p "$work" "$build/crashes"
    cp -n fuzz/corpus/"$t"/* "$work"/ 2>/dev/null || true
    echo "fuzz_$t: ${seconds}s"
    "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len="${max_len[$t]}" -timeout=20 \
        -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$build/crashes/$t-" "$work" \
        > "$build/fuzz_$t.log" 2>&1 || { tail -40 "$build/fuzz_$t.log"; echo "fuzz_$t FAILED"; exit 1; }
    grep -E "stat::number_of_executed_runs|cov:" "$build/fuzz_$t.log" | tail -2
done
echo "fuzz: ${#targets[@]} passed, 0 failed"
