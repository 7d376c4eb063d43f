#!/bin/sh
# What `make run` builds and how soon it starts kesp: the programs only
# (none of the test programs or the programs' hooked copies), and, with
# nothing to rebuild, kesp within 2 s.
#   build_targets_test.sh CMAKE SOURCE_DIR BUILD_DIR
set -u
cmake=$1 source=$2 build=$3
command -v ninja >/dev/null || { echo "SKIP: ninja is not installed"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A fresh configure, asked what the programs' target would run.
"$cmake" -S "$source" -B "$dir" -G Ninja >"$dir.log" 2>&1 || { cat "$dir.log"; rm -f "$dir.log"; exit 1; }
rm -f "$dir.log"
ninja -C "$dir" -t commands kesp_programs >"$dir/commands" || fail "ninja -t commands"
programs=$(sed -n 's/^kesp_program(\([a-z-]*\) .*/\1/p' "$source/CMakeLists.txt")
for p in $programs; do
    grep -q -- "-o $p " "$dir/commands" || fail "$p is not linked by make run"
done
grep -e 'hooked/' -e 'tests/' -e 'gtest' "$dir/commands" | head -3 >"$dir/extra"
[ -s "$dir/extra" ] && fail "make run builds more than the programs: $(cat "$dir/extra")"

# A make run with nothing to rebuild, in the suite's own build folder (the
# best of three, on a machine that runs other tests meanwhile).
case $build in
"$source"/*)
    best=-1
    for _ in 1 2 3; do
        start=$(date +%s%N)
        out=$(cd "$source" && env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL make BUILD="${build#"$source"/}" \
            run ARGS=-v 2>&1)
        ms=$((($(date +%s%N) - start) / 1000000))
        [ "$out" = "Kesp version 1.7" ] || fail "make run ARGS=-v printed: $out"
        if [ "$best" -lt 0 ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
    done
    [ "$best" -le 2000 ] || fail "a make run with nothing to rebuild took $best ms"
    echo "make run with nothing to rebuild: $best ms"
    ;;
*) echo "(the build folder is outside the source tree: make run not timed)" ;;
esac

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "make run builds the programs only"
