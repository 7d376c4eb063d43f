# bash completion for kesp-gen                            -*- shell-script -*-
#
# Nothing is offered for the counts or the separator; entry ids with their
# titles after --set (__kesp_entry_ids).

# The id helper comes from beside this file.
declare -F __kesp_entry_ids >/dev/null ||
    . "$(dirname -- "${BASH_SOURCE[0]}")/__kesp_entry_ids.bash" 2>/dev/null

_kesp_gen()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi

    COMPREPLY=()
    case $prev in
        --words | --separator | --length) return 0 ;;
        --set)
            __kesp_entry_ids "$cur"
            return 0
            ;;
    esac
    COMPREPLY=($(compgen -W "--words --separator --capitalize --length --set --clip --show -h --help" -- "$cur"))
    return 0
} &&
    complete -F _kesp_gen kesp-gen
