# bash completion for kesp-merge                          -*- shell-script -*-

_kesp_merge()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    # "--output=<TAB>": '=' is a word of its own here.
    [[ $cur == = ]] && cur=
    local prev=${COMP_WORDS[COMP_CWORD-1]}
    [[ $prev == = ]] && prev=${COMP_WORDS[COMP_CWORD-2]}
    COMPREPLY=()
    # A descriptor or a name: nothing to offer.
    case $prev in
    --password-fd | --lock-fd | --moved-fd | --name) return 0 ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "-o --output --password-fd --lock-fd --moved-fd --name -h \
            --help" -- "$cur"))
        return 0
    fi
    # BASE, OURS, THEIRS and OUT are all files.
    compopt -o filenames 2>/dev/null
    local IFS=$'\n'
    COMPREPLY=($(compgen -f -- "$cur"))
} &&
    complete -F _kesp_merge kesp-merge
