#!/bin/sh
# A companion's source that no program or library of CMakeLists.txt names
# stops the configure with a message, instead of being left out unseen; the
# same tree without it configures.
#   orphan_main_test.sh CMAKE SOURCE_DIR
set -u
cmake=$1 source=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/src"
cp -r "$source/CMakeLists.txt" "$source/cmake" "$source/src" "$source/completion" "$dir/src/"
cp "$source"/*.1 "$dir/src/"
configure() {
    rm -rf "$dir/build"
    "$cmake" -S "$dir/src" -B "$dir/build" -DKESP_BUILD_TESTS=OFF >"$dir/log" 2>&1
}
configure || { cat "$dir/log"; echo "FAIL: the tree as it is does not configure"; exit 1; }
printf 'int main() { return 0; }\n' >"$dir/src/src/companions/kesp_orphan.cpp"
if configure; then
    echo "FAIL: a main without its kesp_program line configured"
    exit 1
fi
tr -s "\n " "  " <"$dir/log" | grep -q "kesp_orphan.cpp belongs to no program or library" \
    || { cat "$dir/log"; echo "FAIL: no message naming the file"; exit 1; }
echo "a main without its program line is refused"
