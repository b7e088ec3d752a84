#!/usr/bin/env bash
# The built manual is whole: every page and picture a page names exists, every page of a
# wizard step the window opens is there, and every picture was rendered (a PNG, not empty).
set -euo pipefail
dir=${1:?usage: check_manual.sh MANUAL_DIR}
status=0
for page in index.html disk.html volume.html browse.html; do
    [ -f "$dir/$page" ] || { echo "missing page: $page"; status=1; }
done
for page in "$dir"/*.html; do
    while IFS= read -r ref; do
        case "$ref" in http*|\#*) continue ;; esac
        target=${ref%%#*}
        if [ ! -s "$dir/$target" ]; then
            echo "$(basename "$page"): missing $target"
            status=1
        fi
    done < <(grep -o -E '(src|href)="[^"]+"' "$page" | sed -E 's/^(src|href)="(.*)"$/\2/')
done
for png in "$dir"/images/*.png; do
    if [ "$(head -c 8 "$png" | od -An -tx1 | tr -d ' \n')" != "89504e470d0a1a0a" ]; then
        echo "not a PNG: $png"
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "manual complete: $(ls "$dir"/*.html | wc -l) pages, $(ls "$dir"/images | wc -l) pictures"
exit "$status"
