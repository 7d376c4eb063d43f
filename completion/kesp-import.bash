# bash completion for kesp-import                         -*- shell-script -*-

_kesp_import()
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
    if [[ $prev == --format ]]; then
        COMPREPLY=($(compgen -W "keepassxc-csv keepass-xml bitwarden-json bitwarden-csv
            chrome-csv firefox-csv lastpass-csv 1password-csv kesp-csv kesp-json" -- "$cur"))
        return 0
    fi
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--format --dry-run --update -h --help -" -- "$cur"))
        return 0
    fi
    compopt -o filenames 2>/dev/null
    local IFS=$'\n'
    COMPREPLY=($(compgen -f -- "$cur"))
} &&
    complete -F _kesp_import kesp-import
