# bash completion for kesp-audit                          -*- shell-script -*-
#
# Entry ids with their titles (__kesp_entry_ids), a path after --hibp,
# options for a word that starts with "-".

# The id helper comes from beside this file.
declare -F __kesp_entry_ids >/dev/null ||
    . "$(dirname -- "${BASH_SOURCE[0]}")/__kesp_entry_ids.bash" 2>/dev/null

_kesp_audit()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # "--hibp=<TAB>": '=' is a word of its own here.
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi

    COMPREPLY=()
    case $prev in
        --hibp)
            compopt -o filenames 2>/dev/null
            local IFS=$'\n'
            COMPREPLY=($(compgen -f -- "$cur"))
            return 0
            ;;
        --older-than) return 0 ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--hibp --older-than --json -h --help" -- "$cur"))
    else
        __kesp_entry_ids "$cur"
    fi
    return 0
} &&
    complete -F _kesp_audit kesp-audit
