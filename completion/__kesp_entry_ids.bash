# bash: the entries of kesp's active database as completions, for kesp and
# the companions that take an entry id.                  -*- shell-script -*-
#
# __kesp_entry_ids WORD fills COMPREPLY with the ids that start with WORD.
# Several are offered as "ID TITLE", so that the list shows what each id
# is (bash inserts only their common prefix, digits of an id); a single one
# as the id alone, which is what goes on the command line. Only the id and
# title columns are read, by sqlite3 in read-only mode, so no password or
# note ever reaches the shell. Offers nothing without sqlite3, without an
# active database, or when it is encrypted (sqlite3 then sees no database).

__kesp_entry_ids()
{
    local cur=$1 db line
    local -a rows matches
    COMPREPLY=()
    [[ -f $HOME/.kesp.open_db ]] || return 0
    db=$(<"$HOME/.kesp.open_db")
    [[ -f $db ]] && command -v sqlite3 >/dev/null 2>&1 || return 0
    local IFS=$'\n'
    rows=($(sqlite3 -readonly -batch -noheader -init /dev/null -separator ' ' "$db" \
        "select id, replace(replace(replace(title, char(9), ' '), char(10), ' '), char(13), ' ')
         from entries order by id" 2>/dev/null))
    for line in "${rows[@]}"; do
        [[ ${line%% *} == "$cur"* ]] && matches+=("$line")
    done
    if ((${#matches[@]} == 1)); then
        COMPREPLY=("${matches[0]%% *}")
    else
        COMPREPLY=("${matches[@]}")
    fi
    return 0
}
