#!/bin/sh
# What SRTP costs a G.729 call: instructions of one call's media path (the
# measured engine's ticks and receives, as in cpu.sh) counted by callgrind
# in a release build without sanitizers, with plain RTP and with SRTP/SRTCP
# (AES_CM_128_HMAC_SHA1_80 both ways), and their ratio against the goal of
# at most 1.2.
#
#   bench/callctl-media/srtp.sh [build-dir] [seconds]
set -eu
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
BUILD="${1:-$ROOT/build-bench}"
SECONDS_OF_AUDIO="${2:-20}"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQUILLON_SANITIZE=OFF >/dev/null
cmake --build "$BUILD" --target callctl_media_cpu -j2 >/dev/null
OUT="$(mktemp -d)"
trap 'rm -rf "$OUT"' EXIT
count() {
    valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$OUT/cg-$1.out" \
        "$BUILD/bench/callctl-media/callctl_media_cpu" "$SECONDS_OF_AUDIO" G729 $2 2>"$OUT/vg-$1.log" >&2
    sed -n 's/^summary: *\([0-9]*\).*/\1/p' "$OUT/cg-$1.out"
}
PLAIN="$(count plain rtp)"
SECURE="$(count srtp srtp)"
python3 - "$PLAIN" "$SECURE" "$SECONDS_OF_AUDIO" <<'PY'
import sys
plain, secure, secs = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
ratio = secure / plain
print(f"G.729 call, media path, {secs:.0f} s of audio:")
print(f"  RTP   {plain/secs/1e6:8.3f} M instructions per second of audio")
print(f"  SRTP  {secure/secs/1e6:8.3f} M instructions per second of audio")
print(f"  ratio {ratio:.3f} (SRTP adds {(secure-plain)/secs/1e6:.3f} M/s); goal <= 1.2: {'met' if ratio <= 1.2 else 'NOT met'}")
PY
