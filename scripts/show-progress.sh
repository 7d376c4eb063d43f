#!/bin/sh
# Reads the output of a CMake build (Make's or Ninja's) on standard input and shows, on
# standard error, one line for each file compiled and each program linked,
# so that a long first build can be told from a hang. Shows nothing when
# there is nothing to build.
#
# mawk reads a pipe in whole blocks, which would hold the lines back until
# the build ends; -W interactive makes it take each line as it comes.
interactive=
case $(awk -W version 2>&1 </dev/null) in mawk*) interactive="-W interactive" ;; esac
# shellcheck disable=SC2086
exec awk $interactive '
/^\[ *[0-9]+(%|\/[0-9]+)\] (Building|Linking)/ {
    if (!started) {
        print "Building kesp (the first build takes a few minutes on two cores; log in " logfile ")..." > "/dev/stderr"
        started = 1
    }
    percent = $0; sub(/\].*/, "]", percent)
    what = $NF; sub(/CMakeFiles\/[^\/]*\.dir\//, "", what); sub(/^.*\/src\//, "src/", what)
    sub(/\.o$/, "", what)
    if ($0 ~ /Linking/) what = "linking " $NF
    print "  " percent " " what > "/dev/stderr"
    fflush("/dev/stderr")
}' logfile="${1:-the build log}"
