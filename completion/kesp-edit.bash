# bash completion for kesp-edit                           -*- shell-script -*-
#
# The entry id with its title (__kesp_entry_ids) for a word that is no
# option; nothing after the options that take a text or a length; options
# for a word that starts with "-".

# The id helper comes from beside this file.
declare -F __kesp_entry_ids >/dev/null ||
    . "$(dirname -- "${BASH_SOURCE[0]}")/__kesp_entry_ids.bash" 2>/dev/null

_kesp_edit()
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
        --title | --user | --url | --notes | --add-note | --generate) return 0 ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--title --user --url --notes --add-note --password --generate -h --help" -- "$cur"))
    else
        __kesp_entry_ids "$cur"
    fi
    return 0
} &&
    complete -F _kesp_edit kesp-edit
