# bash completion for kesp-history                        -*- shell-script -*-
#
# Entry ids with their titles (__kesp_entry_ids) as the operand and after
# --forget; the fields after --only; options for a word that starts with "-".

# The id helper comes from beside this file.
declare -F __kesp_entry_ids >/dev/null ||
    . "$(dirname -- "${BASH_SOURCE[0]}")/__kesp_entry_ids.bash" 2>/dev/null

_kesp_history()
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
        --restore) return 0 ;;
        --only)
            # A list: the fields after the last comma.
            local done=${cur%,*}, last=${cur##*,}
            [[ $cur == *,* ]] || done=
            COMPREPLY=($(compgen -P "$done" -W "title user url password notes" -- "$last"))
            compopt -o nospace 2>/dev/null
            return 0
            ;;
        --forget)
            __kesp_entry_ids "$cur"
            return 0
            ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--show-passwords --restore --only --forget --forget-all --undo-import -h --help" -- "$cur"))
    else
        __kesp_entry_ids "$cur"
    fi
    return 0
} &&
    complete -F _kesp_history kesp-history
