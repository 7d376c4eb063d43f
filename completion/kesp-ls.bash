# bash completion for kesp-ls                              -*- shell-script -*-
#
# Options for a word that starts with "-"; the word looked for is not
# completed.

_kesp_ls()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    COMPREPLY=()
    [[ $cur == -* ]] && COMPREPLY=($(compgen -W "--json -h --help" -- "$cur"))
    return 0
}

complete -F _kesp_ls kesp-ls
