# bash completion for kesp-ssh                              -*- shell-script -*-
#
# The command first; entry ids (with their titles, __kesp_entry_ids) for add
# and remove, a file for import.

declare -F __kesp_entry_ids >/dev/null ||
    . "$(dirname -- "${BASH_SOURCE[0]}")/__kesp_entry_ids.bash" 2>/dev/null

_kesp_ssh()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    if [[ $COMP_CWORD == 1 && $cur == -* ]]; then
        COMPREPLY=($(compgen -W "-c --confirm -t --lifetime -T --title -h --help" -- "$cur"))
        return 0
    elif [[ $COMP_CWORD == 1 ]]; then
        COMPREPLY=($(compgen -W "add remove list import" -- "$cur"))
        return 0
    fi
    case $prev in
        -t | --lifetime | -T | --title) return 0 ;;
    esac
    case ${COMP_WORDS[1]} in
        add)
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "-c --confirm -t --lifetime" -- "$cur"))
            else
                __kesp_entry_ids "$cur"
            fi
            ;;
        remove) __kesp_entry_ids "$cur" ;;
        import)
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "-T --title" -- "$cur"))
            else
                COMPREPLY=($(compgen -f -- "$cur"))
            fi
            ;;
    esac
    return 0
}

complete -F _kesp_ssh kesp-ssh
