#!/bin/sh
# Installs into staging folders, through cmake and through the Makefile, and
# checks what lands where, that the installed program runs, that nothing is
# written outside the staging folder, and that `make uninstall` takes it all
# away again.
#   install_test.sh CMAKE BUILD_DIR SOURCE_DIR
set -eu
cmake=$1 build=$2 source=$3

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

# check_tree ROOT: the files under ROOT (a prefix inside a staging folder):
# kesp's four, four for each companion, a fish completion for each program
# and the fish function they share.
check_tree() {
    root=$1
    [ -x "$root/bin/kesp" ] || fail "$root/bin/kesp missing or not executable"
    cmp -s "$source/kesp.1" "$root/share/man/man1/kesp.1" || fail "$root/share/man/man1/kesp.1"
    cmp -s "$source/completion/kesp.bash" "$root/share/bash-completion/completions/kesp" \
        || fail "$root/share/bash-completion/completions/kesp"
    cmp -s "$source/completion/_kesp" "$root/share/zsh/site-functions/_kesp" \
        || fail "$root/share/zsh/site-functions/_kesp"
    version=$(HOME=$stage "$root/bin/kesp" -v 2>&1) || true
    [ "$version" = "Kesp version 1.7" ] || fail "installed kesp -v printed: $version"
    for companion in kesp-import kesp-export kesp-clip kesp-otp kesp-audit kesp-gen kesp-merge kesp-sync kesp-history; do
        # kesp-clip and kesp-otp share one bash completion file.
        case $companion in kesp-clip | kesp-otp) bash_source=kesp-clip-otp ;; *) bash_source=$companion ;; esac
        [ -x "$root/bin/$companion" ] || fail "$root/bin/$companion missing or not executable"
        cmp -s "$source/$companion.1" "$root/share/man/man1/$companion.1" \
            || fail "$root/share/man/man1/$companion.1"
        cmp -s "$source/completion/$bash_source.bash" "$root/share/bash-completion/completions/$companion" \
            || fail "$root/share/bash-completion/completions/$companion"
        cmp -s "$source/completion/_$companion" "$root/share/zsh/site-functions/_$companion" \
            || fail "$root/share/zsh/site-functions/_$companion"
        usage=$(HOME=$stage "$root/bin/$companion" --help 2>&1) || fail "installed $companion --help failed"
        case $usage in "Usage: $companion "*) ;; *) fail "installed $companion --help printed: $usage" ;; esac
    done
    words=$("$root/bin/kesp-gen" --words 6 --separator . | tr . '\n' | wc -l)
    [ "$words" -eq 6 ] || fail "installed kesp-gen --words 6 printed $words words"
    # The installed programs carry none of the tests' hooks.
    for program in kesp kesp-import kesp-export kesp-clip kesp-otp kesp-audit kesp-gen kesp-merge kesp-sync kesp-history; do
        if grep -q -a -e KESP_TEST_STOP_AT -e KESP_TEST_NAMED_TEMP -e KESP_TEST_SEED "$root/bin/$program"; then
            fail "installed $program knows a test hook"
        fi
    done
    # The companions link the vault layer, not kesp's command code (nm
    # must see the symbols at all, or the check would prove nothing).
    for program in kesp-import kesp-export kesp-clip kesp-otp kesp-audit kesp-gen kesp-merge kesp-sync kesp-history; do
        symbols=$(nm -C "$root/bin/$program" 2>/dev/null) || { fail "nm $program"; continue; }
        case $symbols in *" T main"*) ;; *) fail "nm sees no main in $program" ;; esac
        if printf '%s\n' "$symbols" | grep -q ' cmd_'; then fail "installed $program carries kesp's commands"; fi
    done
    # The installed programs ignore the tests' seed.
    [ "$(KESP_TEST_SEED=1 "$root/bin/kesp-gen")" != "$(KESP_TEST_SEED=1 "$root/bin/kesp-gen")" ] \
        || fail "installed kesp-gen honours KESP_TEST_SEED"
    for program in kesp kesp-import kesp-export kesp-clip kesp-otp kesp-audit kesp-gen kesp-merge kesp-sync kesp-history; do
        cmp -s "$source/completion/$program.fish" "$root/share/fish/vendor_completions.d/$program.fish" \
            || fail "$root/share/fish/vendor_completions.d/$program.fish"
    done
    cmp -s "$source/completion/__kesp_entry_ids.fish" "$root/share/fish/vendor_functions.d/__kesp_entry_ids.fish" \
        || fail "$root/share/fish/vendor_functions.d/__kesp_entry_ids.fish"
}

# 1. cmake --install with DESTDIR, as a packager runs it.
DESTDIR=$stage/cmake "$cmake" --install "$build" --prefix /usr >"$stage/cmake.log" 2>&1 \
    || { cat "$stage/cmake.log"; fail "cmake --install"; }
check_tree "$stage/cmake/usr"
[ "$(find "$stage/cmake" -type f | wc -l)" -eq $((4 + 9 + 9 + 9 + 9 + 10 + 1)) ] || fail "unexpected files: $(find "$stage/cmake" -type f)"

# 2. make install / make uninstall with PREFIX and DESTDIR. The build itself
# is not redone (-o build); variables of an enclosing make are not inherited.
run_make() {
    env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL make -C "$source" -o build BUILD="$build" \
        DESTDIR="$stage/make" "$@" >"$stage/make.log" 2>&1 || { cat "$stage/make.log"; fail "make $*"; }
}
run_make install PREFIX="$prefix"
check_tree "$stage/make$prefix"
[ ! -e "$prefix" ] || fail "make install wrote to $prefix outside DESTDIR"
run_make uninstall
left=$(find "$stage/make" -type f)
[ -z "$left" ] || fail "make uninstall left: $left"

if [ "$failures" -ne 0 ]; then
    echo "$failures failed"
    exit 1
fi
echo "install checks passed"
