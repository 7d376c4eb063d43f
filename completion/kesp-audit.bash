# bash completion for kesp-audit                          -*- shell-script -*-
#
# Entry ids are not completed (that would mean reading the database); a
# path after --hibp, options for a word that starts with "-".

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
    [[ $cur == -* ]] && COMPREPLY=($(compgen -W "--hibp --older-than --json -h --help" -- "$cur"))
    return 0
} &&
    complete -F _kesp_audit kesp-audit
