#!/bin/sh
# What a newcomer sees during `make run` on a fresh machine: the packages
# being installed, one line each, and each file being compiled; and nothing
# at all when there is nothing to do. apt-get and dpkg-query are replaced
# by fakes, and the build's output by a sample.
#   quickstart_test.sh SOURCE_DIR
set -u
source=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cat >"$dir/dpkg-query" <<'FAKE'
#!/bin/sh
status=0
for p in "$@"; do
    case $p in -*) continue ;; esac
    case " $KESP_FAKE_MISSING " in
        *" $p "*) echo "dpkg-query: no packages found matching $p" >&2; status=1 ;;
        *) echo "$p install ok installed" ;;
    esac
done
exit $status
FAKE
cat >"$dir/apt-get" <<'FAKE'
#!/bin/sh
[ "$1" = update ] && exit 0
[ -n "${KESP_FAKE_FAIL:-}" ] && { echo "E: Unable to locate package $KESP_FAKE_FAIL"; exit 100; }
skip=
for p in "$@"; do
    [ -n "$skip" ] && { skip=; continue; }
    case "$p" in -o) skip=1;; -*|install) ;; *) echo "Unpacking $p"; echo "Setting up $p (1.0) ...";; esac
done
FAKE
chmod +x "$dir/dpkg-query" "$dir/apt-get"
deps() {
    KESP_DPKG_QUERY="$dir/dpkg-query" KESP_APT_GET="$dir/apt-get" sh "$source/scripts/install-deps.sh" \
        >"$dir/out" 2>"$dir/err"
}

KESP_FAKE_MISSING="" deps || fail "nothing missing: exit $?"
[ -s "$dir/out" ] || [ -s "$dir/err" ] && fail "nothing missing: output $(cat "$dir/out" "$dir/err")"

KESP_FAKE_MISSING="zsh xclip" deps || fail "two missing: exit $?"
grep -q "^Installing 2 Debian packages that kesp needs: zsh xclip$" "$dir/err" || fail "no list: $(cat "$dir/err")"
grep -q "^  Setting up zsh (1.0) ...$" "$dir/err" || fail "no progress: $(cat "$dir/err")"
grep -q "^Installed: zsh xclip$" "$dir/err" || fail "no end: $(cat "$dir/err")"
[ -s "$dir/out" ] && fail "standard output is kesp's: $(cat "$dir/out")"

KESP_FAKE_MISSING="zsh" KESP_FAKE_FAIL=zsh deps && fail "a failing apt-get reported success"
grep -q "E: Unable to locate package zsh" "$dir/err" || fail "apt-get's error not shown: $(cat "$dir/err")"

# The build: one line a compiled file or linked program; silence when up to date.
printf '%s\n' "[  3%] Building CXX object CMakeFiles/kesp_state.dir/src/state/files.cpp.o" \
    "[ 50%] Built target kesp_state" "[ 51%] Linking CXX executable kesp" \
    | sh "$source/scripts/show-progress.sh" build.log >"$dir/out" 2>"$dir/err"
[ "$(cat "$dir/err")" = "Building kesp (the first build takes a few minutes on two cores; log in build.log)...
  [  3%] src/state/files.cpp
  [ 51%] linking kesp" ] || fail "build progress: $(cat "$dir/err")"
[ -s "$dir/out" ] && fail "build progress on standard output"
printf '%s\n' "[0/2] Re-checking globbed directories..." \
    "[1/85] Building CXX object CMakeFiles/kesp_state.dir/src/state/files.cpp.o" \
    "[85/85] Linking CXX executable kesp-ls" \
    | sh "$source/scripts/show-progress.sh" build.log >"$dir/out" 2>"$dir/err"
[ "$(cat "$dir/err")" = "Building kesp (the first build takes a few minutes on two cores; log in build.log)...
  [1/85] src/state/files.cpp
  [85/85] linking kesp-ls" ] || fail "build progress with Ninja: $(cat "$dir/err")"
printf '%s\n' "[ 50%] Built target kesp_state" "[100%] Built target kesp" \
    | sh "$source/scripts/show-progress.sh" build.log >"$dir/out" 2>"$dir/err"
[ -s "$dir/err" ] && fail "an up-to-date build printed: $(cat "$dir/err")"

# Each line shows as the build writes it, not when the pipe fills or ends:
# one line a second, each looked for before the next is written.
mkfifo "$dir/pipe"
sh "$source/scripts/show-progress.sh" build.log <"$dir/pipe" 2>"$dir/live" &
exec 3>"$dir/pipe"
for i in 1 2 3; do
    printf '[ %d%%] Building CXX object CMakeFiles/x.dir/src/x/live%d.cpp.o\n' "$i" "$i" >&3
    sleep 1
    grep -q "src/x/live$i.cpp" "$dir/live" || fail "line $i not shown before the next: $(cat "$dir/live")"
done
exec 3>&-
wait

[ $failures -eq 0 ] && echo "quick start: packages and build progress shown"
exit $((failures > 0))
