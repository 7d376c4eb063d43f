#!/bin/sh
# No two modules of a folder of src/ include each other, directly or
# through others of the folder: a module is a header with its source file
# (x.h and x.cpp), and each folder's modules stand on one another in one
# order. Prints each circle found in the folders named.
#   include_circles_test.sh SOURCE_DIR FOLDER...
set -u
src=$1/src
shift
for folder in "$@"; do
    dir=$src/$folder/
    for file in "$dir"*.h "$dir"*.cpp; do
        [ -f "$file" ] || continue
        from=$(basename "$file"); from=${from%.*}
        sed -n "s|^[[:space:]]*#[[:space:]]*include[[:space:]]*\"$folder/\([^\"]*\)\.h\".*|$from \1|p" "$file"
    done | awk -v folder="$folder" '
        $1 != $2 { edge[$1] = edge[$1] " " $2; node[$1]; node[$2] }
        function visit(n, path,    i, k, next_nodes) {
            state[n] = 1
            k = split(edge[n], next_nodes, " ")
            for (i = 1; i <= k; i++) {
                if (state[next_nodes[i]] == 1) {
                    print "circle in src/" folder ": " path " -> " next_nodes[i]
                    found = 1
                } else if (state[next_nodes[i]] == 0) {
                    visit(next_nodes[i], path " -> " next_nodes[i])
                }
            }
            state[n] = 2
        }
        END {
            for (n in node) if (state[n] == 0) visit(n, n)
            exit found
        }'
done >"${TMPDIR:-/tmp}/include_circles.$$" 
status=0
if [ -s "${TMPDIR:-/tmp}/include_circles.$$" ]; then
    cat "${TMPDIR:-/tmp}/include_circles.$$"
    status=1
else
    echo "no circle of includes in src/ $*"
fi
rm -f "${TMPDIR:-/tmp}/include_circles.$$"
exit $status
