#!/bin/bash
# tests/package/run.sh: checks the release package in build-win/package (scripts/package
# writes it) as a subscriber meets it: the files of the package, then a silent install,
# the shortcuts, the installed program's login window, an upgrade over a running and a
# stopped copy, a silent uninstall and an install into a chosen folder, all in a fresh
# Wine prefix of its own inside the test bed. The prefix is removed afterwards.
# Exit status 0 when every check held.
set -u
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
PKG="$ROOT/build-win/package"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/quillon-package-test.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

# The helper that reads shortcuts through the shell and drives the login window.
i686-w64-mingw32-g++-posix -O1 -municode -static -finput-charset=UTF-8 -I"$ROOT/res" -I"$ROOT/build-win/generated" \
    -o "$WORK/probe.exe" "$ROOT/tests/package/probe.cpp" -lole32 -luuid -lshell32 ||
    { echo "package tests: the probe does not build" >&2; exit 1; }

# The account server the package was built for. A package built for a loopback address
# gets the fixture's account server on that port, and is started as its shortcut says.
QUILLON_PACKAGE_SERVER="$(sed -n 's/^QUILLON_SERVER_URL:[A-Z]*=//p' "$ROOT/build-win/CMakeCache.txt")"
export QUILLON_PACKAGE_SERVER
if [[ "$QUILLON_PACKAGE_SERVER" =~ ^http://127\.0\.0\.1:([0-9]+)$ ]]; then
    export QUILLON_ACCOUNT_PORT="${BASH_REMATCH[1]}"
fi

export WINEPREFIX="$WORK/prefix"
"$ROOT/scripts/testbed" "$ROOT/tests/fixtures/with_account_server" \
    python3 "$ROOT/tests/package/check_package.py" "$PKG" "$WORK/probe.exe" "$WORK"
