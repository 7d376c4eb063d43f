# bash completion for kesp-gen                            -*- shell-script -*-
#
# Nothing is offered for the counts, the separator or the entry id of
# --set (that would mean reading the database).

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
        --words | --separator | --length | --set) return 0 ;;
    esac
    COMPREPLY=($(compgen -W "--words --separator --capitalize --length --set --clip --show -h --help" -- "$cur"))
    return 0
} &&
    complete -F _kesp_gen kesp-gen
