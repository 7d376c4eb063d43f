# bash completion for kesp-export                         -*- shell-script -*-

_kesp_export()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # "--format=<TAB>": '=' is a word of its own here.
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi

    COMPREPLY=()
    case $prev in
        --format)
            COMPREPLY=($(compgen -W "kesp-csv kesp-json bitwarden-json keepass-xml" -- "$cur"))
            return 0
            ;;
        -o | --output)
            compopt -o filenames 2>/dev/null
            local IFS=$'\n'
            COMPREPLY=($(compgen -f -- "$cur"))
            return 0
            ;;
    esac
    COMPREPLY=($(compgen -W "--format -o --output --with-history -h --help" -- "$cur"))
} &&
    complete -F _kesp_export kesp-export
