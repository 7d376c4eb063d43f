# bash completion for kesp-browser                         -*- shell-script -*-
#
# The browser starts it itself; a person installs or uninstalls its manifest.

_kesp_browser()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    COMPREPLY=()
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--firefox --chromium -h --help" -- "$cur"))
    elif [[ $COMP_CWORD == 1 ]]; then
        COMPREPLY=($(compgen -W "install uninstall" -- "$cur"))
    fi
    return 0
}

complete -F _kesp_browser kesp-browser
