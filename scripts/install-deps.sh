#!/bin/sh
# Installs the Debian packages that building and testing kesp need.
# Idempotent and quiet when everything is already there; needs root
# (or sudo) only when something is missing. Says what it installs, and
# each package as it is set up, on standard error.
set -eu

PACKAGES="cmake make g++ pkg-config
libsqlite3-dev libssl-dev libqrcodegen-dev libgtest-dev
nlohmann-json3-dev libpugixml-dev libcsv-dev
sqlite3 openssl zbar-tools groff-base mandoc zsh"

# kesp-otp's one-time codes; a real X server, clipboard helper and tmux
# server for the clipboard tests.
PACKAGES="$PACKAGES liboath-dev xvfb xclip tmux"

# kesp-audit's strength estimate, kesp-gen's word list (the EFF long list in
# xkcdpass), fish for its completions' tests, strace and util-linux
# (unshare, script) to show that kesp-audit opens no socket and to give
# kesp-gen a terminal.
PACKAGES="$PACKAGES libzxcvbn-dev xkcdpass fish strace util-linux bsdutils"

# kesp-sync carries the database with git; its tests run fish on the
# completions and flock beside kesp-merge.
PACKAGES="$PACKAGES git fish util-linux"

# git-credential-kesp's tests clone and push through git's own HTTP backend
# (in git) behind a small HTTP server written in Python.
PACKAGES="$PACKAGES git python3"

# kesp-ssh hands keys to the real ssh-agent (openssh-client: ssh-agent,
# ssh-add, ssh-keygen); kesp-browser is tested in headless Firefox ESR with
# the unmodified browserpass extension; kesp-secrets serves the Secret
# Service on a session bus (sd-bus from libsystemd, dbus for
# dbus-run-session) and is tested with secret-tool, python3's secretstorage
# and keyring, and git's libsecret credential helper (built from git's
# contrib with libsecret-1-dev); pinentry asks for the master password.
PACKAGES="$PACKAGES openssh-client firefox-esr webext-browserpass
libsystemd-dev dbus libsecret-tools libsecret-1-dev python3-secretstorage
python3-keyring pinentry-tty pinentry-curses"

# Ninja, so that a build with nothing to do is over at once; bash-completion,
# which bash needs to load the completions (and the tests of them).
PACKAGES="$PACKAGES ninja-build bash-completion"

# What make deb needs to build and check the Debian package.
if [ "${KESP_DEPS_DEB:-0}" = 1 ]; then
    PACKAGES="$PACKAGES build-essential dpkg-dev debhelper lintian"
fi

# Extra tools for the fuzz, leak-check and benchmark targets.
if [ "${KESP_DEPS_EXTRA:-0}" = 1 ]; then
    PACKAGES="$PACKAGES clang libclang-rt-14-dev valgrind time hyperfine"
fi

# Tests replace these to see what would be done.
DPKG_QUERY=${KESP_DPKG_QUERY:-dpkg-query}
APT_GET=${KESP_APT_GET:-apt-get}

# One query for all: this runs before every build, and a build with
# nothing to do should start kesp at once.
# shellcheck disable=SC2086
installed=" $($DPKG_QUERY -W -f='${Package} ${Status}\n' $PACKAGES 2>/dev/null \
    | awk '/ install ok installed$/ { printf "%s ", $1 }')"
missing=""
count=0
for p in $PACKAGES; do
    case "$installed$missing " in
        *" $p "*) ;;
        *)
            missing="$missing $p"
            count=$((count + 1))
            ;;
    esac
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && [ -z "${KESP_APT_GET:-}" ] && SUDO="sudo"
noun=packages
[ "$count" -eq 1 ] && noun=package
echo "Installing $count Debian $noun that kesp needs:$missing" >&2
echo "Updating the package lists (apt-get update)..." >&2
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! $SUDO $APT_GET update -qq >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
fi
echo "Downloading and installing (a minute or two on a fresh machine)..." >&2
# The whole output goes to the log; a line per package set up shows that
# it is working. The status file carries apt-get's exit status past the
# pipe.
# mawk reads a pipe in whole blocks unless told to take each line as it comes.
interactive=
case $(awk -W version 2>&1 </dev/null) in mawk*) interactive="-W interactive" ;; esac
status=$(mktemp)
trap 'rm -f "$log" "$status"' EXIT
# shellcheck disable=SC2086
{ $SUDO $APT_GET install -y -q --no-install-recommends -o Dpkg::Use-Pty=0 $missing; echo $? >"$status"; } 2>&1 \
    | tee "$log" | awk $interactive '/^Setting up /{ print "  " $0; fflush() }' >&2
if [ "$(cat "$status")" != 0 ]; then
    tail -n 30 "$log" >&2
    exit 1
fi
echo "Installed:$missing" >&2
