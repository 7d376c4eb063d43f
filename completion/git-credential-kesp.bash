# bash completion for git-credential-kesp                  -*- shell-script -*-
#
# git runs it with one action; a person types at most --help.

_git_credential_kesp()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    COMPREPLY=()
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "-h --help" -- "$cur"))
    elif [[ $COMP_CWORD == 1 ]]; then
        COMPREPLY=($(compgen -W "get store erase" -- "$cur"))
    fi
    return 0
}

complete -F _git_credential_kesp git-credential-kesp
