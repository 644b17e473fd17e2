#!/bin/sh
# Instructions of one G.711 call's media path per second of audio, counted
# by callgrind in a release build without sanitizers, against the goal of
# 0.5 % of one core at this machine's clock (taken from /proc/cpuinfo,
# counting one instruction per cycle).
#
#   bench/callctl-media/cpu.sh [build-dir] [seconds]
set -eu
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
BUILD="${1:-$ROOT/build-bench}"
SECONDS_OF_AUDIO="${2:-20}"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQUILLON_SANITIZE=OFF >/dev/null
cmake --build "$BUILD" --target callctl_media_cpu -j2 >/dev/null
OUT="$(mktemp -d)"
trap 'rm -rf "$OUT"' EXIT
valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$OUT/cg.out" \
    "$BUILD/bench/callctl-media/callctl_media_cpu" "$SECONDS_OF_AUDIO" 2>"$OUT/vg.log"
IR="$(sed -n 's/^summary: *\([0-9]*\).*/\1/p' "$OUT/cg.out")"
MHZ="$(sed -n 's/^cpu MHz[^:]*: *\([0-9.]*\).*/\1/p' /proc/cpuinfo | head -n1)"
python3 - "$IR" "$SECONDS_OF_AUDIO" "$MHZ" <<'PY'
import sys
ir, secs, mhz = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
per_s = ir / secs
share = per_s / (mhz * 1e6) * 100
print(f"media path, one G.711 call: {ir} instructions for {secs:.0f} s of audio")
print(f"  {per_s/1e6:.3f} M instructions per second of audio")
print(f"  {share:.4f} % of one core at {mhz:.0f} MHz (1 instruction/cycle); goal <= 0.5 %: {'met' if share <= 0.5 else 'NOT met'}")
PY
