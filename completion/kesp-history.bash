# bash completion for kesp-history                        -*- shell-script -*-
#
# Entry ids are not completed (that would mean reading the database);
# options for a word that starts with "-".

_kesp_history()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    COMPREPLY=()
    [[ $cur == -* ]] && COMPREPLY=($(compgen -W "--show-passwords --restore --forget --forget-all -h --help" -- "$cur"))
    return 0
} &&
    complete -F _kesp_history kesp-history
