#!/usr/bin/env bash
# Fails when a file of one layer includes a header of a layer above it (or of a front
# end). The layers, bottom up: format, disk, volume, ufs, recovery; then text (words the
# front ends share), then the front ends shell and cli, which include nothing of each other.
set -euo pipefail
cd "$(dirname "$0")/../src"

rank() {
    case "$1" in
    format) echo 0 ;; disk) echo 1 ;; volume) echo 2 ;; ufs) echo 3 ;; recovery) echo 4 ;;
    text) echo 5 ;; shell | cli) echo 6 ;; *) echo -1 ;;
    esac
}

status=0
for dir in */; do
    layer=${dir%/}
    mine=$(rank "$layer")
    [ "$mine" -ge 0 ] || { echo "unknown layer: src/$layer"; status=1; continue; }
    while IFS=: read -r file line include; do
        target=$(sed -E 's/.*#include "([a-z_]+)\/.*/\1/' <<<"$include")
        theirs=$(rank "$target")
        if [ "$theirs" -lt 0 ]; then
            continue # not one of ours (a header of this folder named without its layer)
        fi
        if [ "$theirs" -gt "$mine" ] || { [ "$theirs" -eq "$mine" ] && [ "$target" != "$layer" ]; }; then
            echo "src/$file:$line: $layer includes $target, a layer above or beside it"
            status=1
        fi
    done < <(grep -rnE '^#include "[a-z_]+/' "$layer" || true)
done
[ $status -eq 0 ] && echo "layers: every include points downwards"
exit $status
