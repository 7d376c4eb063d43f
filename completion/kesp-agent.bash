# bash completion for kesp-agent                          -*- shell-script -*-

_kesp_agent()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    COMPREPLY=()
    case $prev in
        --idle | --max)
            COMPREPLY=($(compgen -W "30s 5m 10m 30m 1h 2h" -- "$cur"))
            return 0
            ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--idle --max -h --help" -- "$cur"))
        return 0
    fi
    local IFS=$'\n'
    if ((COMP_CWORD == 1)); then
        COMPREPLY=($(compgen -W "unlock lock status" -- "$cur"))
    elif [[ ${COMP_WORDS[1]} == unlock ]]; then
        # The encrypted database.
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
} &&
    complete -F _kesp_agent kesp-agent
