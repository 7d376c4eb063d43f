#!/bin/sh
# Checks the Debian package that `make deb` built: lintian finds no error
# and no warning; it holds every program with its page and completions and
# nothing else; its dependencies come from the shared libraries and can be
# met on this machine; installed by dpkg into a throwaway root of its own,
# kesp and a companion run from it and the shells find its completions
# where Debian's shells look, and its removal leaves no file behind. The
# machine's own /usr and dpkg database are never written.
#   package_test.sh SOURCE_DIR DEB_BUILD_DIR
set -u
source=$1 debs=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

version=$(sed -n '1s/^kesp (\([^)]*\)).*/\1/p' "$source/debian/changelog")
deb=$(cd "$debs" && pwd)/kesp_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { echo "FAIL: no $deb; run make deb"; exit 1; }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# The programs, as the build lists them.
programs=$(sed -n 's/^kesp_program(\([a-z-]*\) .*/\1/p' "$source/CMakeLists.txt" | tr '\n' ' ')
case " $programs " in *" kesp "*" kesp-ls "*) ;; *) fail "programs read from CMakeLists.txt: $programs" ;; esac

# 1. lintian: no error, no warning (information and pedantic notes pass).
lint=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian: $lint"
printf '%s\n' "$lint" | grep -E '^[EW]: ' && fail "lintian reported the lines above"

# 2. Contents: five files for each program, the id helpers of bash, zsh
# and fish, and Debian's own changelog and copyright.
expected=$(
    for p in $programs; do
        printf '%s\n' "./usr/bin/$p" "./usr/share/man/man1/$p.1.gz" \
            "./usr/share/bash-completion/completions/$p" "./usr/share/zsh/vendor-completions/_$p" \
            "./usr/share/fish/vendor_completions.d/$p.fish"
    done
    printf '%s\n' ./usr/share/fish/vendor_completions.d/__kesp_entry_ids.fish \
        ./usr/share/bash-completion/completions/__kesp_entry_ids.bash \
        ./usr/share/zsh/vendor-completions/_kesp_entry_ids \
        ./usr/share/doc/kesp/changelog.gz ./usr/share/doc/kesp/copyright
)
printf '%s\n' "$expected" | sort >"$root/expected"
dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort >"$root/actual"
diff "$root/expected" "$root/actual" >"$root/contents.diff" || fail "contents: $(cat "$root/contents.diff")"

# 3. Dependencies from the shared libraries, met by this machine's
# packages (apt only simulates; nothing is installed).
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libsqlite3-0 libssl3; do
    case $depends in *"$library "* | *"$library,"* | *"$library") ;; *) fail "Depends lacks $library: $depends" ;; esac
done
apt-get -s -q install "$deb" >"$root/apt.log" 2>&1 || fail "apt-get -s install: $(cat "$root/apt.log")"

# 4. Installed by dpkg into a clean root of its own (an empty dpkg
# database; the libraries it depends on are this machine's, checked in 3):
# kesp and a companion run from it.
mkdir -p "$root/tree/var/lib/dpkg/info" "$root/tree/var/lib/dpkg/updates"
: >"$root/tree/var/lib/dpkg/status"
dpkg --root="$root/tree" --force-depends --force-script-chrootless -i "$deb" >"$root/dpkg.log" 2>&1 \
    || fail "dpkg --root -i: $(cat "$root/dpkg.log")"
status=$(dpkg --root="$root/tree" -s kesp 2>/dev/null | sed -n 's/^Status: //p')
[ "$status" = "install ok installed" ] || fail "dpkg --root -s kesp: $status"
mkdir "$root/home"
out=$(env -i HOME="$root/home" "$root/tree/usr/bin/kesp" -v 2>&1)
[ "$out" = "Kesp version $version" ] || fail "kesp -v printed: $out"
out=$(env -i HOME="$root/home" "$root/tree/usr/bin/kesp-ls" 2>&1)
status=$?
[ "$status" = 1 ] && [ "$out" = "No decrypted database found." ] || fail "kesp-ls: $status $out"
out=$(env -i HOME="$root/home" "$root/tree/usr/bin/kesp-gen" --words 4 --separator . 2>&1)
[ "$(printf '%s\n' "$out" | tr . '\n' | wc -l)" -eq 4 ] || fail "kesp-gen --words 4 printed: $out"

# 5. The shells find every completion at the package's paths.
sh "$source/tests/scripts/completions_test.sh" "$root/tree" "$programs" \
    || fail "the shells do not find the package's completions"

# 6. Removed again, it leaves none of its files behind.
dpkg --root="$root/tree" --force-script-chrootless -r kesp >"$root/dpkg.log" 2>&1 \
    || fail "dpkg --root -r: $(cat "$root/dpkg.log")"
left=$(cd "$root/tree" && find . -path ./var -prune -o -type f -print | head -5)
[ -z "$left" ] || fail "left after removal: $left"

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "package $(basename "$deb"): lintian clean, complete, installs, runs and is removed in a throwaway root"
