#!/usr/bin/env bash
# Every man page renders without a warning.
set -uo pipefail
status=0
for page in "$@"; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        echo "$page:"
        echo "$warnings"
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "man pages: $# rendered without warnings"
exit "$status"
