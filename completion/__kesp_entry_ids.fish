# The entries of kesp's active database as fish completions, "ID<tab>TITLE",
# for kesp and the companions that take an entry id. Only the id and title
# columns are read, by sqlite3 in read-only mode, so no password or note
# ever reaches the shell. Offers nothing without sqlite3, without an active
# database, or when it is encrypted (sqlite3 then sees no database).
function __kesp_entry_ids
    test -f "$HOME/.kesp.open_db"; or return
    set -l db (string collect <"$HOME/.kesp.open_db")
    test -f "$db"; and command -q sqlite3; or return
    sqlite3 -readonly -batch -noheader -init /dev/null -separator \t "$db" \
        "select id, replace(replace(replace(title, char(9), ' '), char(10), ' '), char(13), ' ')
         from entries order by id" 2>/dev/null
end
