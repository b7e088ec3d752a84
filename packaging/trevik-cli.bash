# bash completion for trevik-cli

_trevik_cli() {
    local cur prev words cword
    _init_completion || return

    local commands="disks volumes info ls find recover mount"
    local read_opts="--retries --sectors-per-read --badmap --save-badmap --json"
    local volume_opts="--volume --scan --start --end --mode --log $read_opts"
    local command="" w
    for w in "${words[@]:1:cword-1}"; do
        case "$w" in
        disks | volumes | info | ls | find | recover | mount)
            command=$w
            break
            ;;
        esac
    done

    case "$prev" in
    --mode)
        COMPREPLY=($(compgen -W "normal extensive" -- "$cur"))
        return
        ;;
    --duplicates)
        COMPREPLY=($(compgen -W "skip rename overwrite" -- "$cur"))
        return
        ;;
    --log)
        COMPREPLY=($(compgen -W "replay ignore" -- "$cur"))
        return
        ;;
    --to)
        _filedir -d
        return
        ;;
    --image | --badmap | --save-badmap | --report)
        _filedir
        return
        ;;
    --volume | --start | --end | --retries | --sectors-per-read | --jobs)
        return
        ;;
    esac

    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
        return
    fi
    if [[ $cur == -* ]]; then
        local opts
        case "$command" in
        disks) opts="--image --json" ;;
        volumes) opts="--scan --start --end $read_opts" ;;
        info | find) opts="$volume_opts" ;;
        ls) opts="$volume_opts -r --recursive" ;;
        mount) opts="$volume_opts --foreground --zero-fill --keep-setid" ;;
        recover)
            opts="$volume_opts --to --duplicates --raw-names --keep-setid --keep-owner --jobs --report"
            ;;
        esac
        COMPREPLY=($(compgen -W "$opts --help" -- "$cur"))
        return
    fi
    # Disk images and devices.
    _filedir
}
complete -F _trevik_cli trevik-cli
