#!/bin/sh
# Installs the Debian packages that building and testing kesp need.
# Idempotent and quiet when everything is already there; needs root
# (or sudo) only when something is missing.
set -eu

PACKAGES="cmake make g++ pkg-config
libsqlite3-dev libssl-dev libqrcodegen-dev libgtest-dev
nlohmann-json3-dev libpugixml-dev libcsv-dev
sqlite3 openssl zbar-tools groff-base mandoc zsh"

# kesp-otp's one-time codes; a real X server and clipboard helper for the
# clipboard tests.
PACKAGES="$PACKAGES liboath-dev xvfb xclip"

# kesp-sync carries the database with git; its tests run fish on the
# completions and flock beside kesp-merge.
PACKAGES="$PACKAGES git fish util-linux"

# Extra tools for the fuzz, leak-check and benchmark targets.
if [ "${KESP_DEPS_EXTRA:-0}" = 1 ]; then
    PACKAGES="$PACKAGES clang libclang-rt-14-dev valgrind time hyperfine"
fi

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
