#!/bin/sh
# Installs into staging folders, through cmake and through the Makefile, and
# checks what lands where, that the installed program runs, that nothing is
# written outside the staging folder, and that `make uninstall` takes it all
# away again; then asks the shells for the completions of a staged install
# to /usr/local.
#   install_test.sh CMAKE BUILD_DIR SOURCE_DIR "PROGRAM..."
set -eu
cmake=$1 build=$2 source=$3 programs=$4
companions=$(printf '%s\n' $programs | grep -v '^kesp$' | tr '\n' ' ')

stage=$(mktemp -d)
manifest=$build/install_manifest.txt
# A real `make install` from this build folder stays uninstallable.
[ -f "$manifest" ] && cp "$manifest" "$stage/saved_manifest"
# A prefix that nothing else uses: if DESTDIR were ignored, files would land
# there for real.
prefix=/opt/kesp-install-test-$$
cleanup() {
    if [ -f "$stage/saved_manifest" ]; then cp "$stage/saved_manifest" "$manifest"; else rm -f "$manifest"; fi
    rm -rf "$stage" "$prefix"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# check_tree ROOT ZSH FISH: the files under ROOT (a prefix inside a staging
# folder), with the zsh and fish completions in the folders ZSH and FISH:
# four for each program besides its fish completion, and the id helpers
# they share (one each for bash, zsh and fish).
check_tree() {
    root=$1 zsh=$2 fish=$3
    for program in $programs; do
        # kesp-clip and kesp-otp share one bash completion file.
        case $program in kesp-clip | kesp-otp) bash_source=kesp-clip-otp ;; *) bash_source=$program ;; esac
        [ -x "$root/bin/$program" ] || fail "$root/bin/$program missing or not executable"
        cmp -s "$source/$program.1" "$root/share/man/man1/$program.1" \
            || fail "$root/share/man/man1/$program.1"
        cmp -s "$source/completion/$bash_source.bash" "$root/share/bash-completion/completions/$program" \
            || fail "$root/share/bash-completion/completions/$program"
        cmp -s "$source/completion/_$program" "$zsh/_$program" || fail "$zsh/_$program"
        cmp -s "$source/completion/$program.fish" "$fish/$program.fish" || fail "$fish/$program.fish"
    done
    cmp -s "$source/completion/__kesp_entry_ids.fish" "$fish/__kesp_entry_ids.fish" \
        || fail "$fish/__kesp_entry_ids.fish"
    cmp -s "$source/completion/_kesp_entry_ids" "$zsh/_kesp_entry_ids" || fail "$zsh/_kesp_entry_ids"
    cmp -s "$source/completion/__kesp_entry_ids.bash" \
        "$root/share/bash-completion/completions/__kesp_entry_ids.bash" \
        || fail "$root/share/bash-completion/completions/__kesp_entry_ids.bash"
    version=$(HOME=$stage "$root/bin/kesp" -v 2>&1) || true
    [ "$version" = "Kesp version 1.7" ] || fail "installed kesp -v printed: $version"
    for companion in $companions; do
        usage=$(HOME=$stage "$root/bin/$companion" --help 2>&1) || fail "installed $companion --help failed"
        case $usage in "Usage: $companion "*) ;; *) fail "installed $companion --help printed: $usage" ;; esac
    done
    words=$("$root/bin/kesp-gen" --words 6 --separator . | tr . '\n' | wc -l)
    [ "$words" -eq 6 ] || fail "installed kesp-gen --words 6 printed $words words"
    # The installed programs carry none of the tests' hooks: every variable
    # that the hooks read, as their source names them, so that a new hook
    # cannot be missed here.
    hooks=$(grep -o 'getenv("KESP_TEST_[A-Z_]*")' "$source/src/state/test_hooks.cpp" |
            sed 's/.*"\(.*\)".*/\1/' | sort -u)
    [ "$(printf '%s\n' $hooks | wc -l)" -ge 4 ] || fail "found only these test hooks: $hooks"
    for program in $programs; do
        for hook in $hooks; do
            if grep -q -a -e "$hook" "$root/bin/$program"; then
                fail "installed $program knows the test hook $hook"
            fi
        done
    done
    # The companions link the vault layer, not kesp's command code (nm
    # must see the symbols at all, or the check would prove nothing).
    for program in $companions; do
        symbols=$(nm -C "$root/bin/$program" 2>/dev/null) || { fail "nm $program"; continue; }
        case $symbols in *" T main"*) ;; *) fail "nm sees no main in $program" ;; esac
        if printf '%s\n' "$symbols" | grep -q ' cmd_'; then fail "installed $program carries kesp's commands"; fi
    done
    # The installed programs ignore the tests' seed.
    [ "$(KESP_TEST_SEED=1 "$root/bin/kesp-gen")" != "$(KESP_TEST_SEED=1 "$root/bin/kesp-gen")" ] \
        || fail "installed kesp-gen honours KESP_TEST_SEED"
}

# 1. cmake --install with DESTDIR, as a packager runs it.
DESTDIR=$stage/cmake "$cmake" --install "$build" --prefix /usr >"$stage/cmake.log" 2>&1 \
    || { cat "$stage/cmake.log"; fail "cmake --install"; }
# For /usr, the folders Debian's zsh and fish read.
check_tree "$stage/cmake/usr" "$stage/cmake/usr/share/zsh/vendor-completions" \
    "$stage/cmake/usr/share/fish/vendor_completions.d"
count=$(printf '%s\n' $programs | wc -l)
[ "$(find "$stage/cmake" -type f | wc -l)" -eq $((5 * count + 3)) ] || fail "unexpected files: $(find "$stage/cmake" -type f)"

# 2. make install / make uninstall with PREFIX and DESTDIR. The build itself
# is not redone (-o build); variables of an enclosing make are not inherited.
run_make() {
    env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL make -C "$source" -o build BUILD="$build" \
        DESTDIR="$stage/make" "$@" >"$stage/make.log" 2>&1 || { cat "$stage/make.log"; fail "make $*"; }
}
run_make install PREFIX="$prefix"
# Elsewhere, fish's completions go where fish reads them.
check_tree "$stage/make$prefix" "$stage/make$prefix/share/zsh/site-functions" \
    "$stage/make$("$cmake" -L -N "$build" | sed -n 's/^KESP_FISH_SYSTEM_COMPLETIONS:PATH=//p')"
[ ! -e "$prefix" ] || fail "make install wrote to $prefix outside DESTDIR"
run_make uninstall
left=$(find "$stage/make" -type f)
[ -z "$left" ] || fail "make uninstall left: $left"

# 3. The shells find every completion of a staged install to /usr/local.
DESTDIR=$stage/local "$cmake" --install "$build" --prefix /usr/local >"$stage/local.log" 2>&1 \
    || { cat "$stage/local.log"; fail "cmake --install --prefix /usr/local"; }
sh "$source/tests/scripts/completions_test.sh" "$stage/local" "$programs" || {
    status=$?
    [ "$status" -eq 77 ] || fail "the shells do not find the completions of /usr/local"
}

if [ "$failures" -ne 0 ]; then
    echo "$failures failed"
    exit 1
fi
echo "install checks passed"
