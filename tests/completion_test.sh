#!/usr/bin/env bash
# The bash completion of trevik-cli offers the commands, each command's options and the
# values of the options that take a fixed set.
set -euo pipefail
source /usr/share/bash-completion/bash_completion 2>/dev/null || {
    echo "bash-completion is needed: run the README's test command"
    exit 1
}
source "${1:?usage: completion_test.sh COMPLETION_FILE}"
status=0
expect() { # words... -- expected
    local line=$1 want=$2
    read -r -a COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMPREPLY=()
    _trevik_cli trevik-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    local got=" ${COMPREPLY[*]} "
    for w in $want; do
        if [[ $got != *" $w "* ]]; then
            echo "'$line': expected $w, got:$got"
            status=1
        fi
    done
}
expect "trevik-cli " "disks volumes info ls find recover mount --version"
expect "trevik-cli mount disk.img --" "--volume --foreground --zero-fill --badmap"
expect "trevik-cli rec" "recover"
expect "trevik-cli ls disk.img --log " "replay ignore"
expect "trevik-cli recover disk.img --" "--volume --to --duplicates --jobs --report --mode --badmap"
expect "trevik-cli ls disk.img --mode " "normal extensive"
expect "trevik-cli recover disk.img --duplicates " "skip rename overwrite"
expect "trevik-cli ls disk.img -" "-r --volume --scan"
expect "trevik-cli disks --" "--image --json"
[ "$status" -eq 0 ] && echo "completion: ok"
exit "$status"
