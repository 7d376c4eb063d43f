# bash completion for kesp-clip and kesp-otp                -*- shell-script -*-
#
# Both take one entry id, offered with its title (__kesp_entry_ids);
# options are offered for a word that starts with "-".

# The id helper comes from beside this file.
declare -F __kesp_entry_ids >/dev/null ||
    . "$(dirname -- "${BASH_SOURCE[0]}")/__kesp_entry_ids.bash" 2>/dev/null

_kesp_companion()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    local options
    case ${COMP_WORDS[0]##*/} in
        kesp-clip)
            [[ $prev == -t || $prev == --time ]] && return 0
            options="-t --time --otp -h --help"
            ;;
        *) options="--clip -h --help" ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    else
        __kesp_entry_ids "$cur"
    fi
    return 0
}

complete -F _kesp_companion kesp-clip kesp-otp
