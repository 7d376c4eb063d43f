#!/bin/sh
# Asks bash (with bash-completion), zsh and fish, each with its default
# search paths (no XDG_DATA_DIRS, no fish_complete_path or fpath of ours),
# for the completions of every program, as installed under ROOT: a staged
# `make install` or an unpacked package. ROOT's folders are mounted over
# the system's own in a private mount namespace, so the shells look where
# they always look and the machine's /usr is never touched.
#   completions_test.sh ROOT "PROGRAM..."
set -u
root=$(cd "$1" && pwd) programs=$2

if [ "${KESP_IN_NAMESPACE:-}" != 1 ]; then
    if ! unshare -rm true 2>/dev/null; then
        echo "SKIP: no mount namespace here (unshare -rm failed)"
        exit 77
    fi
    KESP_IN_NAMESPACE=1 exec unshare -rm sh "$0" "$@"
fi

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Where Debian's shells read completions by default; each folder ROOT
# holds hides the system's.
mounted=0
[ -d "$root/usr/local" ] && mount --bind "$root/usr/local" /usr/local && mounted=1
for dir in /usr/share/bash-completion/completions /usr/share/zsh/vendor-completions \
    /usr/share/fish/vendor_completions.d; do
    [ -d "$root$dir" ] || continue
    [ -d "$dir" ] || { fail "$dir missing: is the shell installed? (scripts/install-deps.sh)"; continue; }
    mount --bind "$root$dir" "$dir" || fail "mount $dir"
    mounted=1
done
[ "$mounted" = 1 ] || fail "nothing to look at under $root"

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
# A plain active database with two entries for the id completions.
sqlite3 "$home/db.sqlite" "create table entries (id integer primary key, title text, user text,
    url text, password text, notes text, timestamp text);
    insert into entries (title, password) values ('mail', 'secret-one'), ('bank', 'secret-two');"
printf '%s' "$home/db.sqlite" >"$home/.kesp.open_db"
# fish completes only programs it finds: those of ROOT's /usr/bin come
# first on the PATH, as /usr/bin's would.
run() { env -i HOME="$home" PATH="/usr/local/bin:$root/usr/bin:/usr/bin:/bin" TERM=dumb "$@" 2>&1; }

for p in $programs; do
    # bash: bash-completion finds the file by the program's name and loads
    # it; its function then offers --help for "-".
    out=$(run bash -c '. /usr/share/bash-completion/bash_completion
        __load_completion "$1" || { echo "no completion"; exit; }
        f=$(complete -p "$1" | sed -n "s/.* -F \([^ ]*\) .*/\1/p")
        COMP_WORDS=("$1" -); COMP_CWORD=1; COMP_LINE="$1 -"; COMP_POINT=${#COMP_LINE}
        "$f" "$1" - "$1"; printf "%s\n" "${COMPREPLY[@]}"' bash "$p")
    printf '%s\n' "$out" | grep -qx -- --help || fail "bash, $p -: $out"

    # zsh: compinit finds _PROGRAM on the default fpath and binds it.
    out=$(run zsh -f -c 'autoload -Uz compinit && compinit -u -D && print -r -- $_comps[$1]' zsh "$p")
    [ "$out" = "_$p" ] || fail "zsh, $p: $out"

    # fish: the completion file is found and offers -h with a description.
    out=$(run fish -c 'complete -C "$argv[1] -"' "$p")
    printf '%s\n' "$out" | grep -q "^-h	" || fail "fish, $p -: $out"
done
# fish's id helper comes along wherever the completions are.
for line in "kesp -e " "kesp-clip " "kesp-history " "kesp-edit "; do
    out=$(run fish -c 'complete -C "$argv[1]"' "$line")
    [ "$out" = "1	mail
2	bank" ] || fail "fish, $line: $out"
done
# So do bash's (with the ids and their titles) and zsh's.
for line in "kesp -e" "kesp-clip" "kesp-edit --url x"; do
    out=$(run bash -c '. /usr/share/bash-completion/bash_completion
        set -- $1; __load_completion "$1" || { echo "no completion"; exit; }
        f=$(complete -p "$1" | sed -n "s/.* -F \([^ ]*\) .*/\1/p")
        COMP_WORDS=("$@" ""); COMP_CWORD=$#; COMP_LINE="$* "; COMP_POINT=${#COMP_LINE}
        "$f" "$1" "" "${@: -1}"; printf "%s\n" "${COMPREPLY[@]}"' bash "$line")
    [ "$out" = "1 mail
2 bank" ] || fail "bash, $line: $out"
done
out=$(run zsh -f -c 'autoload -Uz compinit && compinit -u -D
    _describe() { print -rl -- "${(@P)4}" }; _kesp_entry_ids')
[ "$out" = "1:mail
2:bank" ] || fail "zsh, the id helper: $out"

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "bash, zsh and fish complete every program from $root"
