# bash completion for kesp                                -*- shell-script -*-
#
# Options take their argument in the next word (or after "=" for the long
# forms). Paths are completed after -i, -D and -u, entry ids with their
# titles after the options that take an id (__kesp_entry_ids); nothing is
# offered after a length or a search text, nor after -t, which reads the
# next word as its count whatever it is.

# The id helper comes from beside this file.
declare -F __kesp_entry_ids >/dev/null ||
    . "$(dirname -- "${BASH_SOURCE[0]}")/__kesp_entry_ids.bash" 2>/dev/null

_kesp()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}

    # "--init=<TAB>" and "--init=fo<TAB>": '=' is a word of its own here.
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi

    COMPREPLY=()
    case $prev in
        -i | --init | -D | --decrypt | -u | --use-db)
            compopt -o filenames 2>/dev/null
            local IFS=$'\n'
            COMPREPLY=($(compgen -f -- "$cur"))
            return 0
            ;;
        -c | --copy | -r | --remove | -e | --edit | -l | --list-entry)
            __kesp_entry_ids "$cur"
            return 0
            ;;
        -g | --gen-password | -f | --find | -F | --regex | -q | --quick | \
        -t | --show-latest)
            return 0
            ;;
    esac

    local options="-i --init -E --encrypt -D --decrypt -a --add -c --copy
        -r --remove -p --show-db-path -u --use-db -f --find -F --regex
        -e --edit -l --list-entry -t --show-latest -A --list-all -h --help
        -g --gen-password -q --quick -v --version
        --auto-encrypt --show-passwords --show-qrcode --force"
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
}

complete -F _kesp kesp
