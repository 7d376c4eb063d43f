# bash completion for kesp-sync                           -*- shell-script -*-

_kesp_sync()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    COMPREPLY=()
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "-h --help" -- "$cur"))
        return 0
    fi
    local IFS=$'\n'
    if ((COMP_CWORD == 1)); then
        # "init", or the database to sync.
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -W "init" -- "$cur") $(compgen -f -- "$cur"))
    elif [[ ${COMP_WORDS[1]} == init ]] && ((COMP_CWORD <= 3)); then
        # The database, then the remote (a bare repository's folder, say).
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
} &&
    complete -F _kesp_sync kesp-sync
