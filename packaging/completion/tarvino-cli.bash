# bash completion for tarvino-cli: verbs, options, and the devices that the last scan listed
# (tarvino-cli scan keeps them in ~/.cache/tarvino/devices.txt).

_tarvino_cli_devices()
{
    local cache="${XDG_CACHE_HOME:-$HOME/.cache}/tarvino/devices.txt"
    [ -r "$cache" ] && cat -- "$cache"
}

_tarvino_cli()
{
    local cur prev words cword
    _init_completion -n : || return

    local verbs="scan search info ssh command upgrade-board upgrade-controller config diag logs reset check watch doctor history report library plan apply"
    local options="--all --type --name --from --wait --tcp --jobs -j --timeout --expect --yes -y --dry-run
                   --output -o --json --csv --unfinished --with-updater --help -h --version --range --rate
                   --since --until --site --site-name --technician --pc --interval --count --for
                   --library --components --allow-downgrade --component --version --note"

    case $prev in
        --from|--output|-o)
            _filedir
            return ;;
        --site)
            _filedir
            return ;;
        --library)
            _filedir -d
            return ;;
        --components)
            COMPREPLY=($(compgen -W "board controller board,controller" -- "$cur"))
            return ;;
        --component)
            COMPREPLY=($(compgen -W "board controller" -- "$cur"))
            return ;;
        --note)
            return ;;
        --since|--until|--site-name|--technician|--pc)
            return ;;
        --type|--name|--wait|--jobs|-j|--timeout|--expect|--interval|--count|--for|--range|--rate)
            return ;;
    esac

    # The verb: the first word that is not an option; config and logs take a second word.
    local verb="" i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -*) ;;
            *) verb=${words[i]}; break ;;
        esac
    done

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    case $verb in
        "")
            COMPREPLY=($(compgen -W "$verbs" -- "$cur")) ;;
        config)
            if [ "$i" -eq $((cword - 1)) ]; then COMPREPLY=($(compgen -W "get put" -- "$cur")); return; fi
            COMPREPLY=($(compgen -W "$(_tarvino_cli_devices)" -- "$cur"))
            [ "${words[i + 1]}" = put ] && _filedir ;;
        logs)
            if [ "$i" -eq $((cword - 1)) ]; then COMPREPLY=($(compgen -W "get erase" -- "$cur")); return; fi
            COMPREPLY=($(compgen -W "$(_tarvino_cli_devices)" -- "$cur")) ;;
        upgrade-board|upgrade-controller)
            COMPREPLY=($(compgen -W "$(_tarvino_cli_devices)" -- "$cur"))
            _filedir ;;
        command)
            COMPREPLY=($(compgen -W "$(_tarvino_cli_devices) StartFtpServer StopFtpServer StartUpdater StopUpdater StartDaemon StopDaemon SetDropBear SystemUpgrade" -- "$cur")) ;;
        scan|doctor|history|check|watch) ;;
        report) ;;
        library)
            if [ "$i" -eq $((cword - 1)) ]; then COMPREPLY=($(compgen -W "list check add remove" -- "$cur")); return; fi
            [ "${words[i + 1]}" = add ] && _filedir ;;
        *)
            COMPREPLY=($(compgen -W "$(_tarvino_cli_devices)" -- "$cur")) ;;
    esac
    __ltrim_colon_completions "$cur"
}
complete -F _tarvino_cli tarvino-cli
