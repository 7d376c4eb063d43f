# bash completion for kesp-clip and kesp-otp                -*- shell-script -*-
#
# Both take one entry id, which is not completed (it would mean reading the
# database); options are offered for a word that starts with "-".

_kesp_companion()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    local options
    case ${COMP_WORDS[0]##*/} in
        kesp-clip)
            [[ $prev == -t || $prev == --time ]] && return 0
            options="-t --time --otp -h --help"
            ;;
        *) options="--clip -h --help" ;;
    esac
    [[ $cur == -* ]] && COMPREPLY=($(compgen -W "$options" -- "$cur"))
    return 0
}

complete -F _kesp_companion kesp-clip kesp-otp
