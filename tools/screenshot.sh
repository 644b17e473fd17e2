#!/bin/bash
# tools/screenshot.sh OUT.png [SECONDS]
# Runs the built program (build-win/dist) headless in the test bed, in a scratch copy of
# its folder, waits SECONDS (default 6) and writes a picture of its windows to OUT.png
# (the desktop around them trimmed away).
set -eu
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
OUT="$(realpath -m "$1")"
WAIT="${2:-6}"
RUN="$(mktemp -d)"
trap 'rm -rf "$RUN"' EXIT
cp -r "$ROOT/build-win/dist/." "$RUN/"
"$ROOT/scripts/testbed" bash -c '
    cd "$1"
    wine Quillon.exe --server=http://127.0.0.1:9 &
    sleep "$3"
    import -display "$DISPLAY" -window root "$1/full.png"
    convert "$1/full.png" -trim +repage "$2"
    wineserver -k
' shot "$RUN" "$OUT" "$WAIT"
echo "wrote $OUT"
