#!/bin/bash
# Round-trip audio latency of a call through an echoing peer, on the Windows
# test bed: from a tone's onset in the microphone sink to its onset in the
# speaker sink, median over ten tones. Goal: <= 150 ms.
#
#   scripts/testbed bench/callctl-media/latency.sh [build-win]
#
# Each 20 ms tone burst is played into a combined sink that feeds both the
# microphone sink (which the phone records) and the speaker sink directly,
# so one recording of the speaker sink holds the burst at its onset and
# again when it has been through the phone, the RTP echo and back.
set -eu
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
BUILD="${1:-$ROOT/build-win}"
[ -n "${QUILLON_TESTBED:-}" ] || { echo "run inside scripts/testbed" >&2; exit 2; }
cmake --build "$BUILD" --target callctl_media_latency -j2 >/dev/null
W="$(mktemp -d)"
PIDS=""
cleanup() {
    for p in $PIDS; do kill "$p" 2>/dev/null || true; done
    [ -n "${MOD:-}" ] && pactl unload-module "$MOD" 2>/dev/null || true
    if [ -n "${LATENCY_KEEP:-}" ]; then cp "$W/heard.raw" "$LATENCY_KEEP" 2>/dev/null || true; fi
    rm -rf "$W"
}
trap cleanup EXIT

MOD="$(pactl load-module module-combine-sink sink_name=both slaves=microphone,speakers)"
python3 - "$W/tones.raw" <<'PY'
import math, struct, sys
rate, out = 8000, []
out += [0] * int(0.5 * rate)
for k in range(10):
    out += [int(12000 * math.sin(2 * math.pi * 1000 * i / rate)) for i in range(int(0.02 * rate))]
    out += [0] * int(0.98 * rate)
open(sys.argv[1], "wb").write(struct.pack("<%dh" % len(out), *out))
PY

SIP_PORT=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
MEDIA_PORT=$(( (SIP_PORT + 2000) % 30000 + 20000 ))
MEDIA_PORT=$(( MEDIA_PORT & ~1 ))
sipp -sf "$ROOT/tests/callctl/scenarios/echo_callee.xml" -i 127.0.0.1 -p "$SIP_PORT" -mp "$MEDIA_PORT" \
     -rtp_echo -m 1 -nostdin -timeout 60 -bg >/dev/null 2>&1 || true
sleep 0.5
CALLCTL_MEDIA_TRACE="${CALLCTL_MEDIA_TRACE:-0}" wine "$BUILD/bench/callctl-media/callctl_media_latency.exe" "$SIP_PORT" 16 >"$W/call.log" 2>"${LATENCY_TRACE:-/dev/null}" &
PIDS="$PIDS $!"
for _ in $(seq 100); do grep -q connected "$W/call.log" && break; sleep 0.1; done
grep -q connected "$W/call.log" || { cat "$W/call.log" >&2; echo "call did not connect" >&2; exit 1; }
sleep 1.5   # let the devices open and the jitter buffer settle
parec --device=speakers.monitor --format=s16le --rate=8000 --channels=1 --raw --latency-msec=10 "$W/heard.raw" &
PIDS="$PIDS $!"
sleep 0.3
pacat --device=both --format=s16le --rate=8000 --channels=1 --raw --latency-msec=10 "$W/tones.raw"
sleep 1
kill $! 2>/dev/null || true
wait 2>/dev/null || true
python3 - "$W/heard.raw" <<'PY'
import struct, sys, statistics
data = open(sys.argv[1], "rb").read()
x = struct.unpack("<%dh" % (len(data) // 2), data[: len(data) // 2 * 2])
# Envelope over 2 ms blocks; an onset is the first block above a third of
# the burst level after at least 10 ms below a tenth of it (so an echo
# 30 ms or more after its burst's onset is told apart from it).
blk = 16
env = [max(abs(v) for v in x[i:i + blk]) for i in range(0, len(x) - blk, blk)]
peak = max(env) if env else 0
onsets, quiet = [], 0
for i, e in enumerate(env):
    if e < peak / 10:
        quiet += 1
    else:
        if e > peak / 3 and quiet >= 5:
            onsets.append(i * blk / 8.0)
        quiet = 0 if e >= peak / 10 else quiet
lat = []
# Bursts are a second apart: pair each direct onset with the next one
# within 600 ms.
i = 0
while i + 1 < len(onsets):
    d = onsets[i + 1] - onsets[i]
    if d < 600:
        lat.append(d)
        i += 2
    else:
        i += 1
print("onsets (ms):", " ".join("%.0f" % o for o in onsets))
if len(lat) < 10:
    print("only %d tone pairs found" % len(lat))
if lat:
    print("round trip per tone (ms):", " ".join("%.0f" % l for l in lat))
    m = statistics.median(lat)
    print("round-trip latency, median of %d tones: %.0f ms (goal <= 150 ms: %s)" % (len(lat), m, "met" if m <= 150 else "NOT met"))
else:
    sys.exit(1)
PY
